// WebDriver on the control port: the route the control server's table sends /status and
// /session/... to, and what WebDriver needs of the window made from the server's engine (the engine
// contract), its page tracker and its hand-over to the UI thread.
#include "helmwire.hpp"
#include "engine.hpp"
#include "tracker.hpp"
#include "webdriver.hpp"

#include <cmath>

namespace helmwire {
namespace {

namespace wd = pk::wd;
namespace engine = pk::engine;

// A Python callable over a C++ function (the continuations of one command; never seen by users).
template <class F> nb::object callable(F f) { return nb::cpp_function(std::move(f)); }

// A failure answer of the contract as text.
std::string error_of(nb::handle answer) {
    if (!PyDict_Check(answer.ptr())) return "";
    return nb::cast<std::string>(nb::str(answer.attr("get")("error", "")));
}

class ContractEngine final : public wd::Engine {
public:
    ContractEngine(const pk::Call &c, nb::handle server_state)
        : fn_(nb::borrow(c.function())), globals_(nb::borrow(c.globals())), server_(nb::borrow(server_state)) {}

    pk::State<Server> state() const { return pk::State<Server>(nb::handle(server_)); }
    engine::Engine *contract() { return engine::of(state()[Server::Engine]); }
    // The engine's view (a CoreWebView2, a WebKit2.WebView) as the host's core callable gives it
    // now; None before the view exists and after the window has gone.
    nb::object view() override { return pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(state()[Server::Core]()); }); }
    bool gtk() {
        engine::Engine *e = contract();
        return e && std::string_view(e->name()) == "webkitgtk";
    }

    bool post(std::function<void()> fn) override {
        nb::object act = callable([fn] { fn(); });
        state()[Server::Invoke](act);
        return contract() != nullptr;
    }
    void later(double seconds, std::function<void()> fn) override {
        // A timer waits at most 2^31 - 1 ms (Task.Delay takes an Int32): a longer wait (a pause of
        // the actions may be any whole number of ms up to 2^53) is made of several.
        constexpr double kLongest = 2147483.647;
        if (seconds > kLongest)
            return later(kLongest, [this, rest = seconds - kLongest, fn] { later(rest, fn); });
        const long ms = seconds > 0 ? static_cast<long>(seconds * 1000.0 + 0.5) : 0;
        if (gtk()) {
            nb::object glib = pk::import_from("gi.repository", "GLib");
            glib.attr("timeout_add")(ms, callable([fn] {
                fn();
                return false;  // once
            }));
            return;
        }
        // Task.Delay's awaiter continues in the UI thread's synchronization context.
        nb::object task = pk::import_from("System.Threading.Tasks", "Task").attr("Delay")(ms);
        nb::object action = pk::import_from("System", "Action");
        task.attr("GetAwaiter")().attr("OnCompleted")(action(callable([fn] { fn(); })));
    }
    bool ready() override { return contract() && !view().is_none(); }
    std::string version() override {
        std::string out;  // read on the UI thread, where the view may be used
        post([&] { out = read_version(); });
        return out;
    }
    std::string read_version() {
        return pk::guarded_or(std::string(), [&] {
            if (gtk()) {
                nb::object webkit = pk::import_from("gi.repository", "WebKit2");
                return nb::cast<std::string>(nb::str("{}.{}.{}").format(webkit.attr("get_major_version")(),
                                                                         webkit.attr("get_minor_version")(),
                                                                         webkit.attr("get_micro_version")()));
            }
            return nb::cast<std::string>(nb::str(view().attr("Environment").attr("BrowserVersionString")));
        });
    }
    void script(nb::str source, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->run_script(c, view(), source, {}, 0, callable([done](nb::object a) { done(a); }));
    }
    bool own_world() override {
        engine::Engine *e = contract();
        return e && e->has_worlds();
    }
    void world_script(nb::str source, bool own, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->run_in_world(c, view(), source, own ? "panekit-webdriver" : "",
                                 callable([done](nb::object a) { done(a); }));
    }
    void capture(nb::object rect, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        std::optional<engine::Rect> r;
        if (!rect.is_none())
            r = engine::Rect{nb::cast<double>(rect["x"]), nb::cast<double>(rect["y"]), nb::cast<double>(rect["width"]),
                             nb::cast<double>(rect["height"])};
        contract()->capture_png(c, view(), r, callable([done](nb::object a) {
            if (engine::is_unsupported(a)) a["unsupported"] = true;
            done(a);
        }));
    }
    void print(nb::dict settings, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->print_pdf(c, view(), settings, callable([done](nb::object a) {
            if (engine::is_unsupported(a)) a["unsupported"] = true;
            done(a);
        }));
    }
    void arm_load(std::function<void()> loaded) override {
        nb::object pages = nb::borrow(state()[Server::Pages]);
        if (pages.is_none()) return loaded();
        // One wait armed at a time: that of a command answered without its navigation (a click
        // that started none) is let go, so such waits do not pile up for the next navigation to
        // end one by one.
        if (armed_.is_valid()) pk::host::pages_disarm(pages, armed_);
        nb::object waiter = pk::host::waiter_new(callable([loaded](nb::handle) { loaded(); }));
        pk::host::pages_arm(pages, waiter);
        armed_ = waiter;
    }
    void navigate(nb::str url) override { contract()->navigate(view(), url); }
    void back() override { contract()->back(view()); }
    void forward() override { contract()->forward(view()); }
    void reload() override { contract()->reload(view()); }
    nb::object url() override { return contract()->url(view()); }
    nb::object title() override { return contract()->title(view()); }
    bool can_go_back() override { return contract()->can_go_back(view()); }
    bool can_go_forward() override { return contract()->can_go_forward(view()); }

    void cookies(wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->cookies(c, view(), nb::none(), callable([done](nb::object a) {
            if (PyDict_Check(a.ptr()) && pk::truthy(a.attr("get")("ok"))) return done(cookie_list(a["cookies"]));
            done(a);
        }));
    }
    void add_cookie(nb::dict cookie, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->add_cookie(c, view(), cookie, callable([done](nb::object a) { done(outcome(a)); }));
    }
    void delete_cookies(nb::object name, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->delete_cookies(c, view(), name, callable([done](nb::object a) { done(outcome(a)); }));
    }
    nb::object window_rect() override { return rect_of(contract()->window_rect()); }
    void set_window_rect(nb::object x, nb::object y, nb::object w, nb::object h) override {
        auto opt = [](nb::handle v) { return v.is_none() ? std::optional<double>() : std::optional<double>(nb::cast<double>(v)); };
        check(contract()->set_window_rect(opt(x), opt(y), opt(w), opt(h)));
    }
    void show(Show how) override {
        if (how == Show::Maximized) check(contract()->maximize());
        else if (how == Show::Minimized) check(contract()->minimize());
        else check(contract()->fullscreen());
    }
    void close() override { check(contract()->close_window()); }
    nb::object dialog() override {
        nb::object d = contract()->dialog(view());
        if (engine::is_unsupported(d) || !PyDict_Check(d.ptr())) return nb::none();
        nb::object kind = d.attr("get")("kind");
        if (kind.is_none()) return nb::none();
        nb::dict out;
        out["type"] = kind;
        out["text"] = d.attr("get")("text", "");
        out["default"] = d.attr("get")("default");
        return out;
    }
    void hold_dialogs(bool hold) override {
        nb::object v = view();
        if (v.is_none() || !contract()) return;
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->take_dialogs(c, v, hold);
    }
    void close_dialog(bool accept, nb::object text) override {
        nb::object a = accept ? contract()->accept_dialog(view(), text) : contract()->dismiss_dialog(view());
        check(a);
    }
    nb::object named_frame(nb::object parent, nb::object name, std::string &why) override {
        nb::object a = contract()->named_frame(view(), parent, name);
        if (PyDict_Check(a.ptr()) && pk::truthy(a.attr("get")("ok"))) return a["frame"];
        why = engine::is_unsupported(a) ? "the frame cannot be reached (of another origin)" : error_of(a);
        return nb::none();
    }
    bool frame_alive(nb::handle frame) override { return contract()->frame_alive(frame); }
    void frame_script(nb::handle frame, nb::str source, wd::Done done) override {
        pk::Call c(fn_.ptr(), globals_.ptr(), Py_None);
        contract()->run_script_in(c, frame, source, callable([done](nb::object a) { done(a); }));
    }
    bool loading() override {
        nb::object pages = nb::borrow(state()[Server::Pages]);
        return !pages.is_none() && pk::host::pages_snapshot(pages).first;
    }

private:
    // A contract answer as the driver takes it: None on success, else the failure dict.
    static nb::object outcome(nb::handle a) {
        if (PyDict_Check(a.ptr()) && pk::truthy(a.attr("get")("ok"))) return nb::none();
        return nb::borrow(a);
    }
    // Raises what an operation the engine lacks, or one that failed, answers.
    static void check(nb::handle a) {
        if (engine::is_unsupported(a)) throw wd::Unsupported(error_of(a));
        if (PyDict_Check(a.ptr()) && !pk::truthy(a.attr("get")("ok"))) throw wd::Failed(error_of(a));
    }
    static nb::object rect_of(nb::handle a) {
        check(a);
        nb::dict r;
        for (const char *k : {"x", "y", "width", "height"}) r[k] = nb::int_(static_cast<long long>(std::lround(nb::cast<double>(a[k]))));
        return r;
    }
    // The contract's cookies in the protocol's form (no expiry for a session cookie).
    static nb::object cookie_list(nb::handle cookies) {
        nb::list out;
        for (nb::handle c : cookies) {
            nb::dict w;
            for (const char *k : {"name", "value", "domain", "path", "secure", "httpOnly", "sameSite"})
                if (PyDict_GetItemString(c.ptr(), k)) w[k] = c[k];
            PyObject *expiry = PyDict_GetItemString(c.ptr(), "expiry");
            if (expiry && expiry != Py_None) w["expiry"] = nb::int_(static_cast<long long>(nb::cast<double>(nb::handle(expiry))));
            out.append(w);
        }
        return out;
    }

    nb::object fn_, globals_, server_;
    nb::object armed_;  // the wait arm_load armed last
};

// The window's driver, made on the first WebDriver request and kept in the server's state.
wd::Driver &driver_of(const pk::Call &c) {
    auto server = c.state<Server>();
    nb::handle held = server[Server::WebDriver];
    if (!held.is_none()) return *static_cast<wd::Driver *>(PyCapsule_GetPointer(held.ptr(), "panekit.webdriver"));
    nb::object port = pk::guarded_or(nb::object(nb::none()), [&] {
        return nb::object(server[Server::Srv].attr("server_address")[1]);
    });
    auto *d = new wd::Driver(std::make_unique<ContractEngine>(c, server.object()), nb::borrow(server[Server::Token]), port);
    nb::object capsule = nb::steal(PyCapsule_New(d, "panekit.webdriver", [](PyObject *cap) {
        delete static_cast<wd::Driver *>(PyCapsule_GetPointer(cap, "panekit.webdriver"));
    }));
    if (!capsule.is_valid()) {
        delete d;
        throw nb::python_error();
    }
    server.set(Server::WebDriver, capsule);
    return *d;
}

// The longest a WebDriver command may wait before the control server answers it itself: the
// session's time-outs bound every wait, and the driver answers each with the protocol's error
// before this.
constexpr double kLongestWait = 86400.0;

// A WebDriver client keeps its connection for its next command, as HTTP/1.1 does unless it says
// "Connection: close": the answer then says HTTP/1.1 and the serving loop reads the connection's
// next request. (panekit's own routes answer HTTP/1.0 and close, as they always have.)
void keep_open_if_asked(Request &r) {
    if (!nb::object(r.self.attr("request_version")).equal(nb::str("HTTP/1.1"))) return;
    for (const Field &f : r.head->fields) {
        if (!iequals(f.name, "connection")) continue;
        std::string value(f.value);
        for (char &ch : value) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (value.find("close") != std::string::npos) return;
    }
    nb::setattr(r.self, "protocol_version", nb::str("HTTP/1.1"));
    nb::setattr(r.self, "close_connection", Py_False);
}

}  // namespace

void serve_webdriver(Request &r) {
    wd::Driver &d = driver_of(r.c);
    if (r.head) keep_open_if_asked(r);
    const char *method = r.route.method == Method::Get ? "GET" : r.route.method == Method::Post ? "POST" : "DELETE";
    nb::object target = get_attr(r.self, t_path);
    std::string path = nb::cast<std::string>(nb::str(target));
    std::optional<nb::object> waiter = later_waiter(r);
    if (!waiter) return;  // answered already (too many waiting)
    nb::object w = *waiter;
    // A command answered while serve still runs (its work done on the UI thread while this thread
    // waited for it) is answered from here: waking this thread's loop for it would make the UI
    // thread wait to hand the interpreter's lock to a thread that cannot take it yet. (Both sides
    // read `serving` holding the lock.)
    auto serving = std::make_shared<bool>(true);
    auto early = std::make_shared<std::optional<wd::Answer>>();
    auto answer = d.serve(method, path, r.body, r.token, [w, serving, early](wd::Answer a) {
        if (*serving) return void(*early = std::move(a));
        pk::host::waiter_finish(w, nb::make_tuple(a.status, a.body));
    });
    *serving = false;
    if (!answer) answer = std::move(*early);
    if (answer) return send_webdriver_answer(r.self, answer->status, answer->body);
    park(r.self, w, pk::host::steady_seconds() + kLongestWait);
}

}  // namespace helmwire
