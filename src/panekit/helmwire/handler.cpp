// panekit.helmwire: the request handler of the control server, with its checks (header form, Host,
// Origin, body length) and its routes.
#include "helmwire.hpp"
#include "pk_host.hpp"

#include <cstring>
#include <optional>
#include <utility>

namespace helmwire {
namespace {

// ---- the server's shared state ----------------------------------------------------------------

constexpr pk::Param log_params[] = {{.name = "msg", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec log_spec{.name = "_log", .params = log_params, .returns = "None"};
void log_line(const pk::Call &c, nb::str msg) {
    nb::handle log = c.state<Server>()[Server::Log];
    if (pk::truthy(log))
        log(msg);
    else
        pk::print_line(msg);
}

// ---- the request handler: logging, body, answers ------------------------------------------------

constexpr pk::Param log_message_params[] = {
    {.name = "self"},
    {.name = "fmt", .annotation = "str", .check = Check::Str},
    {.name = "args", .annotation = "Any", .kind = Kind::VarPositional},
};
constexpr pk::Spec log_message_spec{.name = "log_message", .params = log_message_params, .returns = "None"};
// A log text as the standard handler writes it: control characters (C0, DEL and C1) as \xNN and
// a backslash doubled, so that nothing a client sends can move the console's cursor or fake a line.
nb::object escape_log(nb::handle text) {
    // Most lines hold nothing to escape: those are written as they are.
    PyObject *t = text.ptr();
    bool plain = PyUnicode_Check(t);
    for (Py_ssize_t i = 0, n = plain ? PyUnicode_GET_LENGTH(t) : 0; plain && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(t, i);
        plain = ch != '\\' && !pk::is_control_char(ch);
    }
    if (plain) return nb::borrow(text);
    static PyObject *table = nullptr;  // str.translate's table, made once
    if (!table) {
        nb::dict t;
        for (int ch = 0; ch < 0xa0; ++ch)
            if (pk::is_control_char(ch)) t[nb::int_(ch)] = nb::str("\\x{:02x}").format(ch);
        t[nb::int_('\\')] = "\\\\";
        table = t.release().ptr();
    }
    return text.attr("translate")(nb::handle(table));
}

}  // namespace

void log_control(const pk::Call &c, nb::handle text) {
    static PyObject *prefix = PyUnicode_InternFromString("[panekit control] ");
    nb::object line = escape_log(text);
    c.state<Server>()[Server::LogFn](pk::check(PyUnicode_Concat(prefix, line.ptr())));
}

namespace {

void log_message(const pk::Call &c, nb::handle, nb::str fmt, nb::tuple args) {
    nb::object msg = nb::len(args) ? pk::check(PyNumber_Remainder(fmt.ptr(), args.ptr())) : nb::object(fmt);
    static PyObject *probe_text = PyUnicode_InternFromString("GET /ready");
    if (pk::check(PySequence_Contains(msg.ptr(), probe_text))) return;
    log_control(c, nb::str(msg));
}

}  // namespace

long long body_length(nb::handle values, long long cap) {
    if (values.is_none()) return 0;
    nb::object first;
    for (nb::handle v : values) {
        nb::object text = PyUnicode_Check(v.ptr()) ? nb::object(nb::str(v).attr("strip")(" \t")) : nb::borrow(v);
        if (!first.is_valid()) first = text;
        else if (!first.equal(text)) return kConflict;
    }
    if (!first.is_valid() || !pk::truthy(first)) return 0;
    return length_value(first, cap);
}

long long length_value(nb::handle v, long long cap) {
    nb::object n;
    try {
        n = pk::check(PyNumber_Long(v.ptr()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        // int() refuses very long digit strings; those still declare a length, a huge one.
        nb::object s = nb::str(v).attr("strip")();
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0 && PyUnicode_READ_CHAR(s.ptr(), 0) == '+')
            s = pk::check(PyUnicode_Substring(s.ptr(), 1, PyUnicode_GET_LENGTH(s.ptr())));
        return pk::truthy(s.attr("isdecimal")()) ? kTooLarge : 0;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow > 0 || (overflow == 0 && value > cap)) return kTooLarge;
    if (overflow < 0 || value < 0) return 0;
    return value;
}

namespace {

// The body length a parsed head declares, from its (name, value) pairs in arrival order (as the
// header parser's items() gives them): its Content-Length values as body_length judges them.
long long declared_length(const pk::Call &c, nb::handle pairs) {
    nb::object values = nb::none();
    for (nb::handle pair : pairs) {
        nb::handle name = PyTuple_GET_ITEM(pair.ptr(), 0);
        if (!PyUnicode_Check(name.ptr()) || !iequals(utf8(name), "content-length")) continue;
        if (values.is_none()) values = nb::list();
        nb::borrow<nb::list>(values).append(nb::handle(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
    return body_length(values, body_cap(c));
}

constexpr pk::Param self_param[] = {{.name = "self"}};
constexpr pk::Spec read_body_spec{.name = "_read_body", .params = self_param, .returns = "bytes"};
// The body of `declared` bytes (as declared_length reads it).
nb::object body_of(nb::handle self, long long declared) {
    if (declared <= 0) return nb::bytes("", 0);  // empty, conflicting or above the cap (do_POST answers those)
    return call_method(get_attr(self, t_rfile), t_read, nb::int_(declared));  // short when the client stopped early
}
nb::object read_body(const pk::Call &c, nb::handle self) {
    return body_of(self, declared_length(c, get_attr(self, t_headers).attr("items")()));
}

constexpr pk::Param json_params[] = {
    {.name = "self"},
    {.name = "code", .annotation = "int", .check = Check::Int},
    {.name = "obj", .annotation = "Any"},
};
constexpr pk::Spec json_spec{.name = "_json", .params = json_params, .returns = "None"};
// Writes an answer: its status, type and length, the header that lets every page read it, and
// its body.
void send_body(nb::handle self, nb::handle code, nb::handle type, nb::bytes body) {
    call_method(self, t_send_response, code);
    call_method(self, t_send_header, t_content_type.get(), type);
    call_method(self, t_send_header, t_content_length.get(), nb::str(nb::int_(body.size())));
    call_method(self, t_send_header, t_allow_origin.get(), t_any.get());
    call_method(self, t_end_headers);
    call_method(get_attr(self, t_wfile), t_write, body);
}
void send_json(nb::handle self, nb::handle code, nb::handle obj) {
    send_body(self, code, t_json_type.get(), pk::json_bytes(obj));
}

// Answers `obj` as JSON with `code` through the handler's _json; a text alone is the failure
// {"ok": false, "error": text}.
void reply(nb::handle self, int code, nb::handle obj) { call_method(self, t_json, nb::int_(code), obj); }
void reply(nb::handle self, int code, const char *error) { reply(self, code, failure(error)); }

// ---- host names answered ----------------------------------------------------------------------
//
// A page served under a name that its owner points at 127.0.0.1 (DNS rebinding) reaches this
// loopback server as its own origin, but its requests still carry that name in `Host`. Requests
// are therefore served only when every Host header is absent, empty, an IP literal, `localhost`
// or the host text the server was started with (port removed, one trailing dot ignored, letters
// compared without case); anything else is answered 403 before any other work.

bool is_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

pk::Lazy g_ip_address{"ipaddress", "ip_address"};

// The address an IP literal names (IPv4, or IPv6 with an optional zone), or None for any other text.
nb::object ip_literal(std::string_view s) {
    return pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(g_ip_address.get()(nb::str(s.data(), s.size()))); });
}
bool is_ip(std::string_view s) { return !ip_literal(s).is_none(); }
bool is_ipv4(std::string_view s) {
    nb::object a = ip_literal(s);
    return !a.is_none() && nb::cast<int>(a.attr("version")) == 4;
}

// The host text as compared: one trailing dot removed, ASCII letters in lower case.
std::string host_key(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return lower_ascii(name);
}

// The name of a "name", "name:port", "[literal]" or "[literal]:port" text (a port of digits, maybe
// none), and whether it is in brackets; false for any other form.
bool split_host(std::string_view v, std::string_view &name, bool &bracketed) {
    std::string_view port;
    bracketed = !v.empty() && v.front() == '[';
    if (bracketed) {
        std::size_t close = v.find(']');
        if (close == std::string_view::npos) return false;
        name = v.substr(1, close - 1);
        port = v.substr(close + 1);
    } else {
        name = v.substr(0, v.find(':'));
        port = v.substr(name.size());
    }
    return port.empty() || (port.front() == ':' && is_digits(port.substr(1)));
}

bool host_value_allowed(std::string_view v, std::string_view own) {
    v = trim(v);
    if (v.empty()) return true;
    std::size_t colon = v.find(':');
    if (v.front() != '[' && colon != std::string_view::npos && v.find(':', colon + 1) != std::string_view::npos)
        return is_ip(v) && !is_ipv4(v);  // an IPv6 literal sent without brackets (and so without a port)
    std::string_view name;
    bool bracketed = false;
    if (!split_host(v, name, bracketed)) return false;
    if (bracketed) return is_ip(name);
    std::string key = host_key(name);
    if (is_ipv4(key) || key == "localhost") return true;
    return !own.empty() && key == own;
}

// ---- origins answered ---------------------------------------------------------------------------
//
// A page of any site can address this server directly (http://127.0.0.1:PORT) and have the browser
// send requests to it, even read the answers, which allow every origin. A browser names the page's
// origin in `Origin` on every such request (form posts and preflights included), so a request that
// carries one is served only when that origin's host is an IP loopback literal, `localhost` or the
// server's own host text, or the origin is listed in PANEKIT_CONTROL_ORIGINS (comma-separated,
// `*` for any); `Origin: null` and every other origin are answered 403. Programs that are not
// browsers send no Origin and are not concerned.

bool is_loopback_literal(std::string_view name) {
    nb::object addr = ip_literal(name);
    if (addr.is_none()) return false;
    if (pk::truthy(addr.attr("is_loopback"))) return true;
    nb::object mapped = pk::attr_or(addr, "ipv4_mapped", nb::none());
    return !mapped.is_none() && pk::truthy(mapped.attr("is_loopback"));
}

// An origin as compared with the configured ones: ASCII letters in lower case, no trailing "/".
std::string origin_key(std::string_view v) {
    while (!v.empty() && v.back() == '/') v.remove_suffix(1);
    return lower_ascii(v);
}

bool origin_listed(std::string_view origin) {
    nb::object listed = pk::env_get("PANEKIT_CONTROL_ORIGINS");
    if (listed.is_none()) return false;
    std::string key = origin_key(origin);
    std::string_view all = utf8(listed);
    while (true) {
        std::size_t comma = all.find(',');
        std::string_view item = trim(all.substr(0, comma));
        if (item == "*" || (!item.empty() && origin_key(item) == key)) return true;
        if (comma == std::string_view::npos) return false;
        all.remove_prefix(comma + 1);
    }
}

// Whether an Origin value names a page of this machine (or one the user allowed).
bool origin_value_allowed(std::string_view v, std::string_view own) {
    v = trim(v);
    std::size_t sep = v.find("://");
    if (sep != std::string_view::npos && sep > 0) {
        std::string_view name;
        bool bracketed = false;
        if (split_host(v.substr(sep + 3), name, bracketed) && !name.empty()) {
            std::string key = host_key(name);
            if (key == "localhost" || is_loopback_literal(key) || (!own.empty() && key == own)) return true;
        }
    }
    return origin_listed(v);
}

// Who may use a route: anyone this server answers (the routes that steer the window or report its
// address), or only who holds the server's token (the routes that read the page); a preflight is
// never guarded (browsers send it without credentials, and it does nothing).
enum class Access { Preflight, Open, Token };

// Whether an Authorization value is "Bearer <the server's token>".
bool bearer_ok(const pk::Call &c, nb::handle value) {
    nb::handle token = c.state<Server>()[Server::Token];
    if (!PyUnicode_Check(value.ptr()) || !PyUnicode_Check(token.ptr())) return false;
    std::string_view v = trim(utf8(value));
    constexpr std::string_view scheme = "bearer";
    if (v.size() <= scheme.size() || !iequals(v.substr(0, scheme.size()), scheme) || !is_space(v[scheme.size()]))
        return false;
    return same_secret(trim(v.substr(scheme.size())), utf8(token));
}

// Whether a head is one the header parser may have read otherwise than another reader would: a
// line it set aside (a defect: no colon, no name, a name with spaces or controls), a folded line
// (joined into a value), or a lone CR inside a line (which the reading of the connection marks).
bool malformed(nb::handle self, nb::handle headers, nb::handle pairs) {
    nb::object flags = attr_or(get_attr(self, t_request), t_flags, nb::none());
    if (PyLong_Check(flags.ptr()) && (PyLong_AsLong(flags.ptr()) & kBadHeaderLine)) return true;
    if (pk::truthy(attr_or(headers, t_defects, nb::none()))) return true;
    for (nb::handle pair : pairs) {
        nb::handle value = PyTuple_GET_ITEM(pair.ptr(), 1);
        if (!PyUnicode_Check(value.ptr())) return true;
        std::string_view v = utf8(value);
        if (v.find_first_of("\r\n") != std::string_view::npos) return true;
    }
    return false;
}

// The checks every request passes before any work: a head the header parser may have misread
// (400), conflicting Content-Length headers (400), a Host this server does not answer to (403), an
// Origin it does not serve (403), a guarded route (or any route, with PANEKIT_CONTROL_AUTH=all)
// without the server's token (401). The refusal's status and text, or a null text when it passes.
std::pair<int, const char *> refusal(const pk::Call &c, nb::handle self, Access access, long long &declared,
                                     bool &token) {
    nb::object headers = get_attr(self, t_headers);
    nb::list pairs(headers.attr("items")());  // (name, value) pairs in arrival order
    if (malformed(self, headers, pairs)) return {400, "malformed header line"};
    std::string_view own = utf8(c.state<Server>()[Server::OwnName]);
    bool host_ok = true, origin_ok = true;
    int bearers = 0;
    bool bearer = false;
    for (nb::handle pair : pairs) {
        nb::handle name = PyTuple_GET_ITEM(pair.ptr(), 0), value = PyTuple_GET_ITEM(pair.ptr(), 1);
        if (!PyUnicode_Check(name.ptr())) continue;
        std::string_view n = utf8(name);
        bool str_value = PyUnicode_Check(value.ptr());
        if (iequals(n, "host")) {
            host_ok = host_ok && str_value && host_value_allowed(utf8(value), own);
        } else if (iequals(n, "origin")) {
            origin_ok = origin_ok && str_value && origin_value_allowed(utf8(value), own);
        } else if (iequals(n, "authorization")) {
            ++bearers;  // two of them are one too many: neither is taken
            bearer = bearers == 1 && bearer_ok(c, value);
        }
    }
    token = bearer;
    declared = declared_length(c, pairs);
    if (declared == kConflict) return {400, "conflicting Content-Length"};
    if (!host_ok) return {403, "host not allowed"};
    if (!origin_ok) return {403, "origin not allowed"};
    const bool guarded = access == Access::Token || (access == Access::Open && every_route_guarded());
    if (guarded && !bearer) return {401, "token required"};
    return {0, nullptr};
}

// Answers a request that fails those checks; true when it did. Otherwise `declared` (when given)
// has the body length the head declares, as declared_length reads it.
bool refuse(const pk::Call &c, nb::handle self, Access access, long long *declared = nullptr, bool *token = nullptr) {
    long long length = 0;
    bool has_token = false;
    auto [code, error] = refusal(c, self, access, length, has_token);
    if (error) reply(self, code, error);
    if (declared) *declared = length;
    if (token) *token = has_token;
    return error != nullptr;
}

// ---- the request handler: routes --------------------------------------------------------------

constexpr pk::Spec options_spec{.name = "do_OPTIONS", .params = self_param, .returns = "None"};
void do_options(const pk::Call &c, nb::handle self) {
    if (refuse(c, self, Access::Preflight)) return;
    self.attr("send_response")(204);
    self.attr("send_header")("Access-Control-Allow-Origin", "*");
    self.attr("send_header")("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    self.attr("send_header")("Access-Control-Allow-Headers", "Content-Type");
    self.attr("end_headers")();
}

// ---- work on the UI thread ------------------------------------------------------------------------
//
// Everything handed to invoke_sync is a closure of this server that catches an Exception of the
// work itself and keeps it for the handler, so the answer tells the truth (500 with the error's
// type and text, logged once) whether the host's invoke_sync drops such exceptions, passes them
// on, or fails itself.

// What a UI-thread closure shares with its handler: the callable, its argument or the answer it
// fills in, and the Exception it caught.
// For waited navigations also: the tracker, the waiter, the core callable and which request it is.
enum class Work { Fn, Arg, Out, Err, Pages, Waiter, Core, What, kCount };

// Runs `f` on the UI thread's side of a closure, keeping an Exception in the state.
template <class F> void keeping_error(pk::State<Work> st, F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        st.set(Work::Err, e.value());
    }
}

// Calls the route's callable (Work::Fn), with its argument (Work::Arg) when it has one.
void call_route(const pk::State<Work> &st) {
    nb::handle arg = st[Work::Arg];
    if (arg.is_none())
        st[Work::Fn]();
    else
        st[Work::Fn](arg);
}

// A route's callable on the UI thread (as _go with an address, as _act without).
constexpr pk::Spec go_spec{.name = "_go", .returns = "None"};
constexpr pk::Spec act_spec{.name = "_act", .returns = "None"};
void act(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] { call_route(st); });
}

// GET routes, by the start of the target (the Parts' first, in their order).
enum class Get { Ready, Url, State, Screenshot, Events };

// The page as /ready (_probe), /url (_read) and /state (_state) report it, an Exception while
// reading one of its values dropped. Without a tracker (a server started with plain callables) the
// page is never reported loading and there is no last navigation.
constexpr pk::Spec probe_spec{.name = "_probe", .returns = "None"};
constexpr pk::Spec read_spec{.name = "_read", .returns = "None"};
constexpr pk::Spec state_spec{.name = "_state", .returns = "None"};
template <Get Route> void read_page(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] {
        nb::object core = st[Work::Fn]();
        nb::handle out = st[Work::Out];
        if (Route != Get::Url) out["core"] = nb::bool_(!core.is_none());
        if (!core.is_none()) pk::guarded([&] { out["url"] = pk::source_text(core); });
        if (Route != Get::State) return;
        if (!core.is_none()) {
            pk::guarded([&] { out["title"] = pk::text_or_empty(nb::object(core.attr("DocumentTitle"))); });
            pk::guarded([&] { out["can_go_back"] = nb::bool_(pk::truthy(nb::object(core.attr("CanGoBack")))); });
            pk::guarded([&] { out["can_go_forward"] = nb::bool_(pk::truthy(nb::object(core.attr("CanGoForward")))); });
        }
        if (st[Work::Pages].is_none()) return;
        auto [loading, last] = pk::host::pages_snapshot(st[Work::Pages]);
        out["loading"] = nb::bool_(loading);
        if (!last.is_none()) out["last"] = pk::check(PyDict_Copy(last.ptr()));
    });
}

// Which navigation a waited request starts (Work::What).
enum Start : long { kNavigate, kBack, kForward, kReload, kScript };

// Starts the navigation a waited request asks for, with its waiter armed first; a request that
// cannot start one (no core yet, no history that way) gets its answer at once in Work::Out.
constexpr pk::Spec start_wait_spec{.name = "_start_and_wait", .returns = "None"};
void start_and_wait(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] {
        nb::object core = st[Work::Core]();
        const long what = PyLong_AsLong(st[Work::What].ptr());
        const char *refusal = nullptr;
        if (core.is_none())
            refusal = "browser not ready";
        else if (what == kBack && !pk::truthy(nb::object(core.attr("CanGoBack"))))
            refusal = "cannot go back";
        else if (what == kForward && !pk::truthy(nb::object(core.attr("CanGoForward"))))
            refusal = "cannot go forward";
        if (refusal) {
            st.set(Work::Out, failure(refusal));
            return;
        }
        pk::host::pages_arm(st[Work::Pages], st[Work::Waiter]);
        try {
            call_route(st);
        } catch (nb::python_error &) {
            pk::host::pages_disarm(st[Work::Pages], st[Work::Waiter]);
            throw;
        }
    });
}

}  // namespace

nb::str error_text(nb::handle err) {
    nb::object name = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr()))).attr("__name__");
    nb::object text = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(nb::str(err)); });
    if (!pk::truthy(text)) return nb::str(name);
    return nb::str("{}: {}").format(name, text);
}

namespace {

// Hands `closure` to invoke_sync; true when the work or invoke_sync raised, which is then logged
// once and answered 500.
bool ui_work_failed(const pk::Call &c, nb::handle self, nb::handle closure, const pk::State<Work> &st,
                    const char *what) {
    // The host's marshalling waits for its UI thread, which the program's end may stop.
    keeping_error(st, [&] { pk::resting(c.state<Server>()[Server::Invoke], closure); });
    nb::handle err = st[Work::Err];
    if (err.is_none()) return false;
    nb::str text = error_text(err);
    log_control(c, nb::str("{} failed: {}").format(what, text));  // `what` is a route name: nothing to escape
    reply(self, 500, failure_text(text));
    return true;
}

bool starts_with(nb::handle text, const char *prefix) {
    Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(prefix));
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) < n) return false;
    return PyUnicode_Tailmatch(text.ptr(), nb::str(prefix).ptr(), 0, n, -1) == 1;
}

bool ends_with(nb::handle text, const char *suffix) {
    return PyUnicode_Tailmatch(text.ptr(), nb::str(suffix).ptr(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

// The first route of `table` that `matches` the request, or null.
template <class R, std::size_t N, class Match> const R *find_route(const R (&table)[N], Match matches) {
    for (const R &r : table)
        if (matches(r)) return &r;
    return nullptr;
}

// ---- requests answered later: script, picture, events ----------------------------------------------

// Leaves the request waiting with the serving loop, which answers it from `waiter` once it has its
// result (or at `deadline`, steady seconds).
void park(nb::handle self, nb::handle waiter, double deadline) {
    nb::object open_only = attr_or(self, "_pk_open_only", Py_False);
    set_attr(get_attr(self, t_request), t_parked, nb::make_tuple(waiter, deadline, open_only));
}

// A new waiter for a request answered later, or nothing (answered here) when this server is not
// run by its own serving loop, which alone answers later (501), or _MAX_WAITING requests wait
// already (503).
std::optional<nb::object> later_waiter(const pk::Call &c, nb::handle self) {
    auto server = c.state<Server>();
    if (server[Server::Wake].is_none()) {
        reply(self, 501, "this server cannot answer later");
        return std::nullopt;
    }
    if (PyLong_AsLong(server[Server::Waiting].ptr()) >= nb::cast<long>(c.global("_MAX_WAITING"))) {
        reply(self, 503, "too many waiting requests");
        return std::nullopt;
    }
    return pk::host::waiter_new(server[Server::Wake]);
}

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
constexpr pk::Spec page_work_spec{.name = "_page_work", .returns = "None"};
void page_work(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] {
        nb::object core = st[Work::Core]();
        if (core.is_none()) {
            st.set(Work::Out, failure("browser not ready"));
            return;
        }
        nb::object done = c.nested<answered_spec>(answered, st.object());
        if (st[Work::What].is(Py_True))
            pk::host::capture_png(c, core, done);
        else
            pk::host::run_script(c, core, st[Work::Arg], done);
    });
}

// Runs the script or takes the picture, answering once the engine has (or 504 at `seconds`).
void serve_page_work(const pk::Call &c, nb::handle self, nb::handle script, double seconds, const char *route) {
    std::optional<nb::object> waiter = later_waiter(c, self);
    if (!waiter) return;
    pk::State<Work> st;
    st.set(Work::Core, c.state<Server>()[Server::Core]);
    st.set(Work::Arg, script);
    st.set(Work::What, nb::bool_(script.is_none()));
    st.set(Work::Waiter, *waiter);
    const double deadline = pk::host::steady_seconds() + seconds;
    if (ui_work_failed(c, self, c.nested<page_work_spec>(page_work, st.object()), st, route)) return;
    if (!st[Work::Out].is_none()) return reply(self, 503, st[Work::Out]);
    park(self, *waiter, deadline);
}

// On the UI thread: the events after Work::Arg, or the waiter held for the next one (Work::Out None).
constexpr pk::Spec events_spec{.name = "_events", .returns = "None"};
void read_events(const pk::Call &c) {
    auto st = c.state<Work>();
    keeping_error(st, [&] {
        st.set(Work::Out, pk::host::events_since(st[Work::Pages], nb::cast<long long>(st[Work::Arg]), st[Work::Waiter],
                                                 nb::cast<double>(st[Work::What])));
    });
}

// The value of `name` in a GET target's query (the last one given), or None.
nb::object query_value(nb::handle target, const char *name) {
    nb::object parse = pk::import("urllib.parse");
    nb::object query = parse.attr("urlsplit")(nb::str(target)).attr("query");
    nb::object values = parse.attr("parse_qs")(query).attr("get")(name);
    if (values.is_none()) return nb::none();
    return values[nb::int_(-1)];
}

void serve_events(const pk::Call &c, nb::handle self, nb::handle target) {
    auto server = c.state<Server>();
    nb::object after_text = query_value(target, "after"), wait_text = query_value(target, "wait");
    long long after = 0;
    if (!after_text.is_none()) {
        std::string_view a = trim(utf8(after_text));
        if (a.empty() || a.size() > 18 || !is_digits(a)) return reply(self, 400, "after must be a whole number from 0");
        after = std::stoll(std::string(a));
    }
    double wait = 0;
    if (!wait_text.is_none()) {
        nb::object number = pk::guarded_or(nb::object(), [&] { return nb::object(nb::float_(wait_text)); });
        if (!number.is_valid() || !wait_seconds(number, wait)) return reply(self, 400, kBadWait);
    }
    nb::object pages = pk::host::pages_of(server[Server::Core]);
    if (pages.is_none()) return reply(self, 501, "this window cannot report page loads");
    std::optional<nb::object> waiter;
    if (wait > 0 && !(waiter = later_waiter(c, self))) return;
    const double deadline = pk::host::steady_seconds() + wait;
    pk::State<Work> st;
    st.set(Work::Pages, pages);
    st.set(Work::Arg, nb::int_(after));
    st.set(Work::Waiter, waiter ? nb::handle(*waiter) : nb::none());
    st.set(Work::What, nb::float_(deadline));
    if (ui_work_failed(c, self, c.nested<events_spec>(read_events, st.object()), st, "events")) return;
    if (!st[Work::Out].is_none()) return reply(self, 200, st[Work::Out]);
    if (!waiter) return reply(self, 503, "window closed");  // the work never ran: the window has gone
    park(self, *waiter, deadline);
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
void serve_script(const pk::Call &c, nb::handle self, const std::optional<nb::object> &data) {
    nb::object script = body_item(data, "script"), timeout = body_item(data, "timeout");
    if (!PyUnicode_Check(script.ptr()) || !pk::truthy(script.attr("strip")())) return reply(self, 400, "missing script");
    double seconds = kScriptSeconds;
    if (!timeout.is_none() && !wait_seconds(timeout, seconds))
        return reply(self, 400, "timeout must be a number of seconds from 0 to 120");
    serve_page_work(c, self, script, seconds, "script");
}

struct GetRoute {
    const char *prefix;
    Get what;
    Access access;
};
constexpr GetRoute kGetRoutes[] = {
    {"/ready", Get::Ready, Access::Open},
    {"/state", Get::State, Access::Open},
    {"/url", Get::Url, Access::Open},
    {"/screenshot", Get::Screenshot, Access::Token},
    {"/events", Get::Events, Access::Open},
};

constexpr pk::Spec get_spec{.name = "do_GET", .params = self_param, .returns = "None"};
void do_get(const pk::Call &c, nb::handle self) {
    nb::object path = get_attr(self, t_path);
    const GetRoute *route = find_route(kGetRoutes, [&](const GetRoute &r) { return starts_with(path, r.prefix); });
    bool token = false;
    if (refuse(c, self, route ? route->access : Access::Open, nullptr, &token)) return;
    auto server = c.state<Server>();
    nb::dict out;
    out["ok"] = true;
    if (!route) {
        out["hint"] = "GET /ready  |  GET /url  |  POST /navigate /back /forward /reload";
        return reply(self, 200, out);
    }
    if (route->what == Get::Screenshot) {
        serve_page_work(c, self, nb::none(), kCaptureSeconds, "screenshot");
        return;
    }
    if (route->what == Get::Events) {
        serve_events(c, self, path);
        return;
    }
    const bool ready = route->what == Get::Ready, state = route->what == Get::State;
    // The page reads: the answer as it stands without a core, filled in on the UI thread.
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
    st.set(Work::Out, out);
    if (state) st.set(Work::Pages, pk::host::pages_of(server[Server::Core]));
    nb::object work = state   ? c.nested<state_spec>(read_page<Get::State>, st.object())
                      : ready ? c.nested<probe_spec>(read_page<Get::Ready>, st.object())
                              : c.nested<read_spec>(read_page<Get::Url>, st.object());
    if (ui_work_failed(c, self, work, st, state ? "state" : ready ? "ready" : "url")) return;
    reply(self, 200, state && !token ? for_open_caller(out) : nb::object(out));
}

// A POST body as JSON: its value when the body is strict UTF-8 JSON; nothing when it is empty or
// is not JSON (read once, for both the address and the wait).
std::optional<nb::object> body_json(const nb::bytes &raw) {
    if (raw.size() == 0) return std::nullopt;
    return pk::guarded_or(std::optional<nb::object>(), [&] {
        return std::optional<nb::object>(nb::handle(g_json_loads.get())(
            pk::check(PyUnicode_DecodeUTF8(raw.c_str(), static_cast<Py_ssize_t>(raw.size()), "strict"))));
    });
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

// The "wait" of a JSON object body: None when there is none (no body, not a JSON object, no
// "wait" or null); `bad` when it is not a number of seconds from 0 to kMaxWait.
nb::object body_wait(const std::optional<nb::object> &data, bool &bad) {
    bad = false;
    nb::object w = body_item(data, "wait");
    if (w.is_none()) return w;
    double v = 0;
    if (!wait_seconds(w, v)) {
        bad = true;
        return nb::none();
    }
    return nb::float_(v);
}

// A request that asked to wait for its navigation: the navigation is started on the UI thread
// with a waiter armed; the answer is written now when there is one already, else the request is
// parked with the serving loop, which answers it when the navigation ends or its time is up.
void start_waited(const pk::Call &c, nb::handle self, long what, nb::handle fn, nb::handle arg, double wait,
                  const char *route) {
    auto server = c.state<Server>();
    nb::object pages = pk::host::pages_of(server[Server::Core]);
    if (pages.is_none() || server[Server::Wake].is_none())
        return reply(self, 501, "this window cannot report page loads");
    std::optional<nb::object> later = later_waiter(c, self);  // at most _MAX_WAITING wait at once
    if (!later) return;
    nb::object waiter = *later;
    pk::State<Work> st;
    st.set(Work::Fn, fn);
    st.set(Work::Arg, arg);
    st.set(Work::Pages, pages);
    st.set(Work::Waiter, waiter);
    st.set(Work::Core, server[Server::Core]);
    st.set(Work::What, nb::int_(what));
    if (ui_work_failed(c, self, c.nested<start_wait_spec>(start_and_wait, st.object()), st, route)) return;
    if (!st[Work::Out].is_none()) return reply(self, 200, st[Work::Out]);
    park(self, waiter, pk::host::steady_seconds() + wait);  // answered by the serving loop
}

// The target up to its first "?", without trailing slashes; "/" when nothing is left.
nb::object post_path(nb::object target) {
    if (target.is_none() || !pk::truthy(target)) return nb::str("/");
    if (!PyUnicode_Check(target.ptr())) target = nb::str(target);
    PyObject *t = target.ptr();
    Py_ssize_t end = PyUnicode_FindChar(t, '?', 0, PyUnicode_GET_LENGTH(t), 1);
    if (end == -2) throw nb::python_error();
    if (end < 0) end = PyUnicode_GET_LENGTH(t);
    while (end > 0 && PyUnicode_READ_CHAR(t, end - 1) == '/') --end;
    if (end == 0) return nb::str("/");
    if (end == PyUnicode_GET_LENGTH(t)) return target;
    return pk::check(PyUnicode_Substring(t, 0, end));
}

// The POST routes: the server's callable each one calls, which navigation a waited request starts,
// and the route's name in the log.
// (/script runs script in the page instead: no callable, no navigation.)
struct Route {
    const char *suffix;
    Server fn;
    Start start;
    const char *what;
    Access access = Access::Open;
};
constexpr Route kRoutes[] = {
    {"/navigate", Server::Navigate, kNavigate, "navigate"},
    {"/back", Server::Back, kBack, "back"},
    {"/forward", Server::Forward, kForward, "forward"},
    {"/reload", Server::Reload, kReload, "reload"},
    {"/script", Server::Core, kScript, "script", Access::Token},
};

constexpr pk::Spec post_spec{.name = "do_POST", .params = self_param, .returns = "None"};
void do_post(const pk::Call &c, nb::handle self) {
    nb::object path = post_path(get_attr(self, t_path));
    const Route *route = find_route(kRoutes, [&](const Route &r) { return ends_with(path, r.suffix); });
    long long declared = 0;
    bool token = false;
    if (refuse(c, self, route ? route->access : Access::Open, &declared, &token)) return;
    nb::setattr(self, "_pk_open_only", nb::bool_(!token));  // what a waited answer may tell
    nb::object raw = body_of(self, declared);
    if (declared == kTooLarge)  // none of it was read; the server drains it after the answer
        return reply(self, 413, "body too large");
    nb::object flags = attr_or(get_attr(self, t_request), t_flags, nb::none());
    const bool head_cut = PyLong_Check(flags.ptr()) && (PyLong_AsLong(flags.ptr()) & kHeadCut);
    if (head_cut || (declared > 0 && nb::len(raw) < static_cast<std::size_t>(declared))) {
        // The client stopped before its request was complete: nothing of it is acted on.
        return reply(self, 400, "incomplete body");
    }
    if (!route) return reply(self, 404, "unknown path");
    auto server = c.state<Server>();
    nb::bytes body(raw);
    std::optional<nb::object> data = body_json(body);
    if (route->start == kScript) {
        serve_script(c, self, data);
        return;
    }
    nb::object url;  // the address of a navigation
    if (route->start == kNavigate) {
        // A body meant as a JSON object that does not parse is no address: taken as text it
        // would become one ("https://{url: example.org}").
        if (!data && looks_like_object(body)) return reply(self, 400, "invalid JSON");
        nb::object given = body_address(body, data);
        url = c.global(t_norm_url)(given);
        if (!pk::truthy(url)) return reply(self, 400, "missing url");
        if (pk::unusable_address(url)) return reply(self, 400, "invalid url");
        // What the network could open is open to every local program; local files, page sources
        // and the engine's own pages need the token; script addresses are no navigation at all.
        const Scheme scheme = scheme_of(url);
        if (scheme == Scheme::Script || (PyUnicode_Check(given.ptr()) && scheme_of(given) == Scheme::Script))
            return reply(self, 400, "invalid url");
        if (scheme == Scheme::Local && !token) return reply(self, 401, "token required");
    }
    bool bad = false;
    nb::object wait = body_wait(data, bad);
    if (bad) return reply(self, 400, kBadWait);
    if (!wait.is_none()) {
        start_waited(c, self, route->start, server[route->fn], url.is_valid() ? nb::handle(url) : nb::none(),
                     nb::cast<double>(wait), route->what);
        return;
    }
    pk::State<Work> st;
    st.set(Work::Fn, server[route->fn]);
    if (url.is_valid()) st.set(Work::Arg, url);
    nb::object work = url.is_valid() ? c.nested<go_spec>(act, st.object()) : c.nested<act_spec>(act, st.object());
    if (ui_work_failed(c, self, work, st, route->what)) return;
    nb::dict out;
    out["ok"] = true;
    if (url.is_valid()) out["url"] = url;
    reply(self, 200, out);
}

}  // namespace

void send_answer(nb::handle self, int code, nb::handle obj) {
    if (PyTuple_Check(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2) {
        send_answer(self, nb::cast<int>(nb::handle(PyTuple_GET_ITEM(obj.ptr(), 0))), PyTuple_GET_ITEM(obj.ptr(), 1));
        return;
    }
    if (PyBytes_Check(obj.ptr())) send_body(self, nb::int_(code), nb::str("image/png"), nb::borrow<nb::bytes>(obj));
    else reply(self, code, obj);
}

Scheme scheme_of(nb::handle url) {
    std::string_view text = utf8(url);
    // As browsers read an address: C0 controls and spaces before it are dropped, tabs and line
    // breaks anywhere inside it are not there.
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
    std::string scheme;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '\t' || ch == '\n' || ch == '\r') continue;
        if (ch == ':') break;
        const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!letter && (scheme.empty() || !((ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.')))
            return Scheme::Local;
        scheme += ch;
    }
    if (i == text.size() || scheme.empty()) return Scheme::Local;
    scheme = lower_ascii(scheme);
    if (scheme == "javascript") return Scheme::Script;
    if (scheme == "http" || scheme == "https") return Scheme::Open;
    if (scheme == "about") {
        std::string rest;
        for (char ch : text.substr(i + 1))
            if (ch != '\t' && ch != '\n' && ch != '\r') rest += ch;
        if (lower_ascii(rest) == "blank") return Scheme::Open;
    }
    return Scheme::Local;
}

nb::object for_open_caller(nb::handle obj) {
    if (!PyDict_Check(obj.ptr())) return nb::borrow(obj);
    nb::dict out = nb::borrow<nb::dict>(obj.attr("copy")());
    nb::object url = out.attr("get")("url");
    if (PyUnicode_Check(url.ptr()) && pk::truthy(url) && scheme_of(url) != Scheme::Open) {
        out["url"] = "";
        for (const char *key : {"title", "error", "path"})
            if (out.contains(key)) out[key] = "";
    }
    nb::object last = out.attr("get")("last");
    if (PyDict_Check(last.ptr())) out["last"] = for_open_caller(last);
    return out;
}

nb::object make_log_function(const pk::Call &c, nb::handle state) { return c.nested<log_spec>(log_line, state); }

nb::str own_host_key(nb::str host) { return nb::str(host_key(unbracketed(utf8(host))).c_str()); }

nb::object make_handler_class(const pk::Call &c, nb::handle state) {
    return c.klass("_Handler", nb::make_tuple(pk::import_from("http.server", "BaseHTTPRequestHandler")), state)
        .method<log_message_spec>(log_message)
        .method<read_body_spec>(read_body)
        .method<json_spec>(send_json)
        .method<options_spec>(do_options)
        .method<get_spec>(do_get)
        .method<post_spec>(do_post)
        .build();
}

}  // namespace helmwire
