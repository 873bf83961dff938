// panekit.helmwire: the control server's routes. One table (kRoutes, at the end) says for each route
// its method, its path, who may call it, whether it may be answered later, and the function that
// serves it; the handler (handler.cpp) dispatches by it and writes the GET hint from it.
#include "helmwire.hpp"
#include "engine.hpp"
#include "tracker.hpp"

#include <optional>

namespace helmwire {
namespace {

// ---- work on the UI thread ------------------------------------------------------------------------
//
// Everything handed to invoke_sync is a closure of this server that catches an Exception of the
// work itself and keeps it for the handler, so the answer tells the truth (500 with the error's
// type and text, logged once) whether the host's invoke_sync drops such exceptions, passes them
// on, or fails itself.

// What a UI-thread closure shares with its handler: the callable, its argument or the answer it
// fills in, and the Exception it caught.
// For waited navigations also: the tracker, the waiter, the core callable and which request it is;
// for the page's reads and work the window's engine, and the seconds a script may take.
enum class Work { Fn, Arg, Out, Err, Pages, Waiter, Core, What, Engine, Seconds, kCount };

// The window's engine that a closure's state holds (the server's, which always has one).
pk::engine::Engine &engine_of(const pk::State<Work> &st) { return *pk::engine::of(st[Work::Engine]); }

// Runs `f` on the UI thread's side of a closure, keeping an Exception in the state.
template <class F> void keeping_error(pk::State<Work> st, F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        st.set(Work::Err, e.value());
    }
}

// Work on the UI thread: a function of the closure's state.
using UiWork = void (*)(const pk::Call &, const pk::State<Work> &);

// The closure handed to invoke_sync: runs F over its state, keeping an Exception in the state.
constexpr pk::Spec ui_work_spec{.name = "_ui_work", .returns = "None"};
template <UiWork F> void on_ui(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] { F(c, st); });
}

// Calls the route's callable (Work::Fn), with its argument (Work::Arg) when it has one.
void call_route(const pk::Call &, const pk::State<Work> &st) {
    nb::handle arg = st[Work::Arg];
    if (arg.is_none())
        st[Work::Fn]();
    else
        st[Work::Fn](arg);
}

// The page reads, by the start of the target.
enum class Get { Ready, Url, State };

// The page as /ready, /url and /state report it, an Exception while reading one of its values
// dropped. Without a tracker (a server started with plain callables) the page is never reported
// loading and there is no last navigation.
template <Get Route> void read_page(const pk::Call &, const pk::State<Work> &st) {
    nb::object core = st[Work::Fn]();
    nb::handle out = st[Work::Out];
    pk::engine::Engine &engine = engine_of(st);
    if (Route != Get::Url) out["core"] = nb::bool_(!core.is_none());
    if (!core.is_none()) pk::guarded([&] { out["url"] = engine.url(core); });
    if (Route != Get::State) return;
    if (!core.is_none()) {
        pk::guarded([&] { out["title"] = engine.title(core); });
        pk::guarded([&] { out["can_go_back"] = nb::bool_(engine.can_go_back(core)); });
        pk::guarded([&] { out["can_go_forward"] = nb::bool_(engine.can_go_forward(core)); });
    }
    if (st[Work::Pages].is_none()) return;
    auto [loading, last] = pk::host::pages_snapshot(st[Work::Pages]);
    out["loading"] = nb::bool_(loading);
    if (!last.is_none()) out["last"] = pk::check(PyDict_Copy(last.ptr()));
}

// Which navigation a waited request starts (Work::What).
enum Start : long { kNavigate, kBack, kForward, kReload };

// Starts the navigation a waited request asks for, with its waiter armed first; a request that
// cannot start one (no core yet, no history that way) gets its answer at once in Work::Out.
void start_and_wait(const pk::Call &c, const pk::State<Work> &st) {
    nb::object core = st[Work::Core]();
    const long what = PyLong_AsLong(st[Work::What].ptr());
    const char *refusal = nullptr;
    if (core.is_none())
        refusal = "browser not ready";
    else if (what == kBack && !engine_of(st).can_go_back(core))
        refusal = "cannot go back";
    else if (what == kForward && !engine_of(st).can_go_forward(core))
        refusal = "cannot go forward";
    if (refusal) {
        st.set(Work::Out, failure(refusal));
        return;
    }
    pk::host::pages_arm(st[Work::Pages], st[Work::Waiter]);
    try {
        call_route(c, st);
    } catch (nb::python_error &) {
        pk::host::pages_disarm(st[Work::Pages], st[Work::Waiter]);
        throw;
    }
}

// Hands F over `st` to invoke_sync; true when the work or invoke_sync raised, which is then logged
// once and answered 500.
template <UiWork F> bool ui_work_failed(const Request &r, const pk::State<Work> &st, const char *what) {
    nb::object closure = r.c.nested<ui_work_spec>(on_ui<F>, st.object());
    // The host's marshalling waits for its UI thread, which the program's end may stop.
    keeping_error(st, [&] { pk::resting(r.c.state<Server>()[Server::Invoke], closure); });
    nb::handle err = st[Work::Err];
    if (err.is_none()) return false;
    nb::str text = error_text(err);
    log_control(r.c, nb::str("{} failed: {}").format(what, text));  // `what` is a route name: nothing to escape
    reply(r.self, 500, failure_text(text));
    return true;
}

// ---- requests answered later: script, picture, events ----------------------------------------------

// The longest a picture may take.
constexpr double kCaptureSeconds = 10.0;
// The time a script may take when the request does not say.
constexpr double kScriptSeconds = 10.0;

// The function a script or a picture calls with its answer: it ends the request's waiter.
constexpr pk::Param answered_params[] = {{.name = "answer", .annotation = "Any"}};
constexpr pk::Spec answered_spec{.name = "_answered", .params = answered_params, .returns = "None"};
void answered(const pk::Call &c, nb::handle answer) {
    nb::object a = nb::borrow(answer);
    // A picture that failed is the server's failure; a script's own error is an answer like a value.
    if (PyDict_Check(a.ptr()) && c.state<Work>()[Work::What].is(Py_True) && PyDict_GetItemString(a.ptr(), "error"))
        a = nb::make_tuple(500, a);
    pk::host::waiter_finish(c.state<Work>()[Work::Waiter], a);
}

// On the UI thread: starts the script (Work::Arg; Work::What False) or the picture (True) with the
// waiter's function as its completion; without a core the answer is 503 at once (Work::Out).
void page_work(const pk::Call &c, const pk::State<Work> &st) {
    nb::object core = st[Work::Core]();
    if (core.is_none()) {
        st.set(Work::Out, failure("browser not ready"));
        return;
    }
    nb::object done = c.nested<answered_spec>(answered, st.object());
    if (st[Work::What].is(Py_True))
        engine_of(st).capture_png(c, core, std::nullopt, done);
    else
        engine_of(st).run_script(c, core, st[Work::Arg], {}, nb::cast<double>(st[Work::Seconds]), done);
}

// Runs the script or takes the picture, answering once the engine has (or 504 at `seconds`).
void serve_page_work(const Request &r, nb::handle script, double seconds, const char *route) {
    std::optional<nb::object> waiter = later_waiter(r);
    if (!waiter) return;
    pk::State<Work> st;
    st.set(Work::Core, r.c.state<Server>()[Server::Core]);
    st.set(Work::Engine, r.c.state<Server>()[Server::Engine]);
    st.set(Work::Seconds, nb::float_(seconds));
    st.set(Work::Arg, script);
    st.set(Work::What, nb::bool_(script.is_none()));
    st.set(Work::Waiter, *waiter);
    const double deadline = pk::host::steady_seconds() + seconds;
    if (ui_work_failed<page_work>(r, st, route)) return;
    if (!st[Work::Out].is_none()) return reply(r.self, 503, st[Work::Out]);
    park(r.self, *waiter, deadline);
}

// On the UI thread: the events after Work::Arg, or the waiter held for the next one (Work::Out None).
void read_events(const pk::Call &, const pk::State<Work> &st) {
    st.set(Work::Out, pk::host::events_since(st[Work::Pages], nb::cast<long long>(st[Work::Arg]), st[Work::Waiter],
                                             nb::cast<double>(st[Work::What])));
}

// The value of `name` in a GET target's query (the last one given), or None.
nb::object query_value(nb::handle target, const char *name) {
    nb::object parse = pk::import("urllib.parse");
    nb::object query = parse.attr("urlsplit")(nb::str(target)).attr("query");
    nb::object values = parse.attr("parse_qs")(query).attr("get")(name);
    if (values.is_none()) return nb::none();
    return values[nb::int_(-1)];
}

void serve_events(Request &r) {
    nb::handle target = r.path;
    auto server = r.c.state<Server>();
    nb::object after_text = query_value(target, "after"), wait_text = query_value(target, "wait");
    long long after = 0;
    if (!after_text.is_none()) {
        std::string_view a = trim(utf8(after_text));
        if (a.empty() || a.size() > 18 || !is_digits(a)) return reply(r.self, 400, "after must be a whole number from 0");
        after = std::stoll(std::string(a));
    }
    double wait = 0;
    if (!wait_text.is_none()) {
        nb::object number = pk::guarded_or(nb::object(), [&] { return nb::object(nb::float_(wait_text)); });
        if (!number.is_valid() || !wait_seconds(number, wait)) return reply(r.self, 400, kBadWait);
    }
    nb::object pages = nb::borrow(server[Server::Pages]);
    if (pages.is_none()) return reply(r.self, 501, "this window cannot report page loads");
    std::optional<nb::object> waiter;
    if (wait > 0 && !(waiter = later_waiter(r))) return;
    const double deadline = pk::host::steady_seconds() + wait;
    pk::State<Work> st;
    st.set(Work::Pages, pages);
    st.set(Work::Arg, nb::int_(after));
    st.set(Work::Waiter, waiter ? nb::handle(*waiter) : nb::none());
    st.set(Work::What, nb::float_(deadline));
    if (ui_work_failed<read_events>(r, st, "events")) return;
    if (!st[Work::Out].is_none()) return reply(r.self, 200, st[Work::Out]);
    if (!waiter) return reply(r.self, 503, "window closed");  // the work never ran: the window has gone
    park(r.self, *waiter, deadline);
}

// The value of `key` in a JSON object body; None when there is none (no body, not an object, no
// such key).
nb::object body_item(const std::optional<nb::object> &data, const char *key) {
    if (!data || !PyDict_Check(data->ptr())) return nb::none();
    PyObject *value = PyDict_GetItemWithError(data->ptr(), nb::str(key).ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value ? nb::borrow(value) : nb::object(nb::none());
}

// The POST /script body: {"script": text, "timeout": seconds (optional)}.
void serve_script(Request &r) {
    const std::optional<nb::object> &data = r.json;
    nb::object script = body_item(data, "script"), timeout = body_item(data, "timeout");
    if (!PyUnicode_Check(script.ptr()) || !pk::truthy(script.attr("strip")())) return reply(r.self, 400, "missing script");
    double seconds = kScriptSeconds;
    if (!timeout.is_none() && !wait_seconds(timeout, seconds))
        return reply(r.self, 400, "timeout must be a number of seconds from 0 to 120");
    serve_page_work(r, script, seconds, "script");
}

// Whether a body opens a JSON object: its first byte after JSON's white space is "{".
bool looks_like_object(const nb::bytes &raw) {
    for (const char ch : std::string_view(raw.c_str(), raw.size())) {
        if (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r') continue;
        return ch == '{';
    }
    return false;
}

// The address a navigate body names. A body that parses as JSON names it only through the
// "url" value of an object; any other body is plain text holding the address.
nb::object body_address(const nb::bytes &raw, const std::optional<nb::object> &data) {
    if (raw.size() == 0) return nb::str("");
    if (!data)
        return pk::check(PyUnicode_DecodeUTF8(raw.c_str(), static_cast<Py_ssize_t>(raw.size()), "ignore"))
            .attr("strip")();
    nb::object url = body_item(data, "url");
    if (!pk::truthy(url)) return nb::str("");
    return nb::str(url).attr("strip")();
}

// A request that asked to wait for its navigation: the navigation is started on the UI thread
// with a waiter armed; the answer is written now when there is one already, else the request is
// parked with the serving loop, which answers it when the navigation ends or its time is up.
void start_waited(const Request &r, long what, nb::handle fn, nb::handle arg, double wait,
                  const char *route) {
    auto server = r.c.state<Server>();
    nb::object pages = nb::borrow(server[Server::Pages]);
    if (pages.is_none() || server[Server::Wake].is_none())
        return reply(r.self, 501, "this window cannot report page loads");
    std::optional<nb::object> later = later_waiter(r);  // at most _MAX_WAITING wait at once
    if (!later) return;
    nb::object waiter = *later;
    pk::State<Work> st;
    st.set(Work::Fn, fn);
    st.set(Work::Arg, arg);
    st.set(Work::Pages, pages);
    st.set(Work::Waiter, waiter);
    st.set(Work::Core, server[Server::Core]);
    st.set(Work::Engine, server[Server::Engine]);
    st.set(Work::What, nb::int_(what));
    if (ui_work_failed<start_and_wait>(r, st, route)) return;
    // A caller without the token learns nothing of a page it could not have opened.
    if (!st[Work::Out].is_none()) return reply(r.self, 200, r.token ? nb::borrow(st[Work::Out]) : for_open_caller(st[Work::Out]));
    park(r.self, waiter, pk::host::steady_seconds() + wait, !r.token);  // answered by the serving loop
}

// ---- the route functions --------------------------------------------------------------------------

// The page reads: the answer as it stands without a core, filled in on the UI thread.
template <Get Route> void serve_read(Request &r) {
    auto server = r.c.state<Server>();
    nb::dict out;
    out["ok"] = true;
    const bool ready = Route == Get::Ready, state = Route == Get::State;
    if (ready || state) out["core"] = false;
    out["url"] = "";
    if (state) {
        out["title"] = "";
        out["loading"] = false;
        out["can_go_back"] = false;
        out["can_go_forward"] = false;
    }
    pk::State<Work> st;
    st.set(Work::Fn, server[Server::Core]);
    st.set(Work::Engine, server[Server::Engine]);
    st.set(Work::Out, out);
    if (state) st.set(Work::Pages, server[Server::Pages]);
    if (ui_work_failed<read_page<Route>>(r, st, state ? "state" : ready ? "ready" : "url")) return;
    reply(r.self, 200, state && !r.token ? for_open_caller(out) : nb::object(out));
}

void serve_screenshot(Request &r) { serve_page_work(r, nb::none(), kCaptureSeconds, "screenshot"); }

// POST /navigate, /back, /forward, /reload: the server's callable for it, which navigation a
// waited request starts, and the route's name in the log.
template <Start What, Server Fn> void serve_navigation(Request &r) {
    constexpr const char *what = What == kNavigate ? "navigate" : What == kBack ? "back" : What == kForward ? "forward" : "reload";
    auto server = r.c.state<Server>();
    nb::object url;  // the address of a navigation
    if (What == kNavigate) {
        // A body meant as a JSON object that does not parse is no address: taken as text it
        // would become one ("https://{url: example.org}").
        if (!r.json && looks_like_object(r.body)) return reply(r.self, 400, "invalid JSON");
        nb::object given = body_address(r.body, r.json);
        url = r.c.global(t_norm_url)(given);
        if (!pk::truthy(url)) return reply(r.self, 400, "missing url");
        if (pk::unusable_address(url)) return reply(r.self, 400, "invalid url");
        // What the network could open is open to every local program; local files, page sources
        // and the engine's own pages need the token; script addresses are no navigation at all.
        const Scheme scheme = scheme_of(url);
        if (scheme == Scheme::Script || (PyUnicode_Check(given.ptr()) && scheme_of(given) == Scheme::Script))
            return reply(r.self, 400, "invalid url");
        if (scheme == Scheme::Local && !r.token) return reply(r.self, 401, "token required");
    }
    // The "wait" of a JSON object body (none: no body, not a JSON object, no "wait" or null).
    nb::object wait = body_item(r.json, "wait");
    double seconds = 0;
    if (!wait.is_none() && !wait_seconds(wait, seconds)) return reply(r.self, 400, kBadWait);
    if (!wait.is_none())
        return start_waited(r, What, server[Fn], url.is_valid() ? nb::handle(url) : nb::none(), seconds, what);
    pk::State<Work> st;
    st.set(Work::Fn, server[Fn]);
    if (url.is_valid()) st.set(Work::Arg, url);
    if (ui_work_failed<call_route>(r, st, what)) return;
    nb::dict out;
    out["ok"] = true;
    if (url.is_valid()) out["url"] = url;
    reply(r.self, 200, out);
}

}  // namespace

// Only the server's own serving loop answers later (a server run otherwise answers 501).
std::optional<nb::object> later_waiter(const Request &r) {
    // Only a row that says it waits may leave its request to the loop (the table tells the truth).
    if (!r.route.waits) pk::raise(PyExc_RuntimeError, "the route %s does not wait", r.route.path);
    auto server = r.c.state<Server>();
    if (server[Server::Wake].is_none()) {
        reply(r.self, 501, "this server cannot answer later");
        return std::nullopt;
    }
    if (PyLong_AsLong(server[Server::Waiting].ptr()) >= nb::cast<long>(r.c.global("_MAX_WAITING"))) {
        reply(r.self, 503, "too many waiting requests");
        return std::nullopt;
    }
    return pk::host::waiter_new(server[Server::Wake]);
}

// ---- the route table ----------------------------------------------------------------------------
//
// Tried in order: the first row whose method is the request's and whose path matches serves it.
// A GET row matches a target that starts with its path (query string included: "/ready?x" and
// "/readyz" are probes); a POST row matches a normalised path (no query, no trailing "/") that
// ends with its path. A family of paths with variable parts (as "/session/<id>/...") is one Prefix
// row whose function reads the rest of the path (Request::rest). `waits`: the route may be
// answered later by the serving loop (its function parks the request). `hint`: the route is named
// in the answer to any other GET, whose text the protocol fixes ("GET /ready  |  GET /url  |  POST
// /navigate /back /forward /reload"): the rows of those six say so, and the text is made from them.
const Route kRoutes[] = {
    // WebDriver (webdriver/): its own paths, before the POST suffixes ("/session/<id>/back").
    {Method::Get, "/status", Match::Prefix, Access::Open, true, serve_webdriver, false},
    {Method::Get, "/session", Match::Prefix, Access::Open, true, serve_webdriver, false},
    {Method::Post, "/session", Match::Prefix, Access::Open, true, serve_webdriver, false},
    {Method::Delete, "/session", Match::Prefix, Access::Open, true, serve_webdriver, false},
    {Method::Get, "/ready", Match::Prefix, Access::Open, false, serve_read<Get::Ready>, true},
    {Method::Get, "/state", Match::Prefix, Access::Open, false, serve_read<Get::State>, false},
    {Method::Get, "/url", Match::Prefix, Access::Open, false, serve_read<Get::Url>, true},
    {Method::Get, "/screenshot", Match::Prefix, Access::Token, true, serve_screenshot, false},
    {Method::Get, "/events", Match::Prefix, Access::Open, true, serve_events, false},
    {Method::Post, "/navigate", Match::Suffix, Access::Open, true, serve_navigation<kNavigate, Server::Navigate>, true},
    {Method::Post, "/back", Match::Suffix, Access::Open, true, serve_navigation<kBack, Server::Back>, true},
    {Method::Post, "/forward", Match::Suffix, Access::Open, true, serve_navigation<kForward, Server::Forward>, true},
    {Method::Post, "/reload", Match::Suffix, Access::Open, true, serve_navigation<kReload, Server::Reload>, true},
    {Method::Post, "/script", Match::Suffix, Access::Token, true, serve_script, false},
};
const std::span<const Route> routes{kRoutes};

}  // namespace helmwire
