// panekit.glassport: the browser window opened through pywebview's Edge backend.
//
// pywebview creates the WinForms form and its WebView2; this host only resolves the settings,
// prepares pywebview (links stay in the view, downloads as configured), runs pywebview's loop on
// the calling thread and, from pywebview's start-up callback on a worker thread, finds the form,
// waits for its CoreWebView2, arms the delivery of navigations that arrived too early and starts
// the control server with callables that reach the view through the form's Invoke.
//
// Every module-level name the host uses (pywebview, the sibling functions, `os`, `sys`, `time`, `Path`,
// `_DEFAULT_HOME`) is read from the module dict at call time, so callers and tests can rebind
// them; the start-up waits read the clock and sleep through the module's `time`.
#include "pk.hpp"
#include "host.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

const char *const kOnlyWindows = "[panekit] 仅支持 Windows。";
const char *const kStartFailed = "[panekit] pywebview 启动失败: %s";
const char *const kNoBrowserView = "[panekit] pywebview：未等到 BrowserView 实例。";
const char *const kControlLine = "[panekit] 控制接口 %s  |  宿主=pywebview(edgechromium)";
const char *const kDefaultHome = "https://duckduckgo.com/";

constexpr double kWaitSeconds = 30.0;
constexpr double kPollSeconds = 0.05;
constexpr double kCallbackGrace = 1.0;  // how long a closed window waits for its start-up callback
constexpr int kWidth = 1280;
constexpr int kHeight = 860;


// Where this host keeps its window and view: pywebview's form, holder["browser_view"], is both;
// its core is .browser.webview.CoreWebView2. A core first seen by the callables after the start-up
// wait gave up arms the delivery of parked navigations (seen_core, below).
constexpr const char *kBvCore[] = {"browser", "webview", "CoreWebView2"};
bool seen_core(nb::handle host_state, nb::handle cv);
constexpr pk::host::View kView{
    .form_key = "browser_view", .view_key = "browser_view", .core_path = kBvCore, .seen = seen_core};

// Window title: PANEKIT_WINDOW_TITLE before form_title, stripped; blank gives form_title unstripped.
nb::object resolve_title(nb::handle env_vars, nb::handle form_title) {
    nb::object title = pk::first_nonempty({env_vars.attr("get")("PANEKIT_WINDOW_TITLE"), form_title}).attr("strip")();
    return pk::truthy(title) ? title : nb::borrow(form_title);
}

// ---- state of one run_toolbar_main call ----------------------------------------------------------

// Shared by the nested functions of one call. `Armed` is True once _on_nc is subscribed;
// `Closed` is True once webview.start has returned; `Server` is the running control server;
// `ServerFailed` is True once starting it failed (the window is then closed and the call ends in 1).
enum class Host {
    Holder, Win, Ch, Cp, WithServer, View,
    InvokeSync, Core, DoNavigate, Flush, DoBack, DoForward, DoReload,
    ArmFlush, Armed, Server, Closed, Started, CallbackDone, ServerFailed,
    Pages,  // the window's page tracker
    kCount
};
using HostState = pk::State<Host>;

// One polling pass of the CoreWebView2 wait: its box and the form.
enum class Probe { Box, View, kCount };

double now(const pk::Call &c) { return nb::cast<double>(c.global("time").attr("monotonic")()); }
void pause(const pk::Call &c) { c.global("time").attr("sleep")(kPollSeconds); }

nb::handle holder_of(const HostState &st) { return st[Host::Holder]; }

// Runs `fn` on the form's UI thread (Invoke with an Action) or directly when already there.
void on_ui(nb::handle i, nb::handle fn) { pk::host::run_on_ui(i, nb::handle(), fn, "Invoke"); }

// The core seen for the first time after the start-up wait gave up: arm the delivery of parked
// navigations now (once). Returns whether this call armed it. Runs on the UI thread.
bool arm_on_sight(const HostState &st, nb::handle cv) {
    if (cv.is_none() || st[Host::Armed].is(Py_True) || st[Host::ArmFlush].is_none()) return false;
    pk::guarded([&] { st[Host::ArmFlush](); });
    return st[Host::Armed].is(Py_True);
}

// Stops the control server this call started, if any (taken from the state, so only once). The
// result of start_control_server is the pair (server, thread); anything else is left alone.
void stop_server(const HostState &st) {
    nb::object started = nb::borrow(st[Host::Server]);
    if (started.is_none()) return;
    st.set(Host::Server, nb::none());
    pk::host::stop_control_server(started);
}

// The callables' hook: the core seen there for the first time arms the flush (and asks for it).
bool seen_core(nb::handle host_state, nb::handle cv) { return arm_on_sight(HostState(host_state), cv); }

// ---- nested functions ----------------------------------------------------------------------------

constexpr pk::Param nc_params[] = {{.name = "_s", .annotation = "Any"}, {.name = "_a", .annotation = "Any"}};
constexpr pk::Spec on_nc_spec{.name = "_on_nc", .params = nc_params, .returns = "None"};
void on_nc(const pk::Call &c, nb::handle, nb::handle) { c.state<Host>()[Host::Flush](); }

constexpr pk::Spec arm_spec{.name = "_arm_nav_flush", .returns = "None"};
void arm_nav_flush(const pk::Call &c) {
    auto st = c.state<Host>();
    pk::guarded([&] {
        nb::object cv = st[Host::View].attr("browser").attr("webview").attr("CoreWebView2");
        if (cv.is_none() || st[Host::Armed].is(Py_True)) return;
        pk::event_add(cv, "NavigationCompleted", c.nested<on_nc_spec>(on_nc));
        st.set(Host::Armed, nb::bool_(true));
        // The page tracker follows the view's navigations (for the control server's /state and waits).
        pk::guarded([&] { pk::host::watch_webview2(c, st[Host::Pages], cv); });
    });
}

constexpr pk::Spec probe_spec{.name = "_probe_cv", .returns = "None"};
void probe_cv(const pk::Call &c) {
    auto ps = c.state<Probe>();
    nb::handle view = ps[Probe::View];
    nb::object cv = pk::guarded_or(nb::object(nb::none()),
                                   [&]() -> nb::object { return view.attr("browser").attr("webview").attr("CoreWebView2"); });
    ps[Probe::Box]["cv"] = cv;
}

constexpr pk::Spec on_start_spec{.name = "_on_start", .returns = "None"};
void on_start_waits(const pk::Call &c, const HostState &st);

void on_start(const pk::Call &c) {
    auto st = c.state<Host>();
    // run_toolbar_main waits for this (a little) once the window has closed: a daemon thread still
    // inside this call when the process ends would be torn down mid-call.
    st.set(Host::Started, nb::bool_(true));
    auto done = [&] { pk::guarded([&] { st[Host::CallbackDone].attr("set")(); }); };
    try {
        on_start_waits(c, st);
    } catch (nb::python_error &) {
        done();
        throw;
    }
    done();
}

// Closes pywebview's window from this worker thread: the window's destroy(), else the form's
// Close() on its UI thread. Errors are dropped (the window may be closing already).
void close_window(const HostState &st, nb::handle i) {
    const bool destroyed = pk::guarded_or(false, [&] {
        st[Host::Win].attr("destroy")();
        return true;
    });
    if (!destroyed) pk::guarded([&] { on_ui(i, i.attr("Close")); });
}

// A signal closes the window as its close button does (pk::host::catch_signals). The handler runs
// on the main thread, which pywebview keeps joining its window's thread in steps.
constexpr pk::Spec close_on_signal_spec{.name = "_close_on_signal", .returns = "None"};
void close_on_signal(const pk::Call &c) {
    auto st = c.state<Host>();
    close_window(st, st[Host::View]);
}

// pywebview 6 replaces SIGINT's handler with its own once its loop starts (a flag that its timer
// turns into Application.Exit, webview/platforms/winforms.py:45 and :795-814): the window closed
// that way had no line of ours yet. Its flag is never reset, so only a change during this window counts.
bool pywebview_ended_on_sigint() {
    return pk::guarded_or(false, [] {
        nb::object platform = pk::import("sys").attr("modules").attr("get")("webview.platforms.winforms");
        return !platform.is_none() && pk::truthy(nb::getattr(platform, "_sigint_received", nb::bool_(false)));
    });
}

// The window is gone (webview.start returned): nothing more will appear to wait for.
bool closed(const HostState &st) { return st[Host::Closed].is(Py_True); }

void on_start_waits(const pk::Call &c, const HostState &st) {
    nb::object browser_view = pk::import_from("webview.platforms.winforms", "BrowserView");
    pk::import_from("System", "Action");

    nb::object uid = st[Host::Win].attr("uid");
    nb::object i = nb::none();
    for (double deadline = now(c) + kWaitSeconds; now(c) < deadline && !closed(st); pause(c)) {
        i = browser_view.attr("instances").attr("get")(uid);
        if (!i.is_none()) break;
    }
    holder_of(st)["browser_view"] = i;
    if (i.is_none()) {
        pk::print_line(kNoBrowserView);
        return;
    }
    st.set(Host::View, i);

    for (double deadline = now(c) + kWaitSeconds; now(c) < deadline && !closed(st); pause(c)) {
        nb::dict box;
        pk::State<Probe> ps;
        ps.set(Probe::Box, box);
        ps.set(Probe::View, i);
        nb::object probe = c.nested<probe_spec>(probe_cv, ps.object());
        try {
            on_ui(i, probe);
        } catch (nb::python_error &e) {
            if (!pk::is_exception(e)) throw;
            box["cv"] = nb::none();
        }
        if (!box.attr("get")("cv").is_none()) break;
    }

    nb::object arm = c.nested<arm_spec>(arm_nav_flush);
    st.set(Host::ArmFlush, arm);
    pk::guarded([&] { on_ui(i, arm); });

    if (!st[Host::WithServer].is(Py_True) || closed(st)) return;
    nb::handle ch = st[Host::Ch], cp = st[Host::Cp];
    nb::object started;
    try {
        started = pk::host::start_window_server(
            c, ch, cp,
            pk::host::ServerHandles{st[Host::InvokeSync], st[Host::Core], st[Host::DoNavigate], st[Host::DoBack],
                                    st[Host::DoForward], st[Host::DoReload]});
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        // A window nobody can steer (another one may own the port, and requests would reach it
        // instead) is not kept: the failure was said; close it and let run_toolbar_main end in 1.
        st.set(Host::ServerFailed, nb::bool_(true));
        close_window(st, i);
        return;
    }
    st.set(Host::Server, started);
    // The window closed while the server was starting: nobody will stop it later.
    if (st[Host::Closed].is(Py_True)) {
        stop_server(st);
        return;
    }
    pk::print_line(pk::format1(kControlLine, pk::host::window_server_url(c, ch, cp, started)));
}

// ---- module-level functions ----------------------------------------------------------------------

constexpr pk::Spec prepare_spec{
    .name = "_prepare_embedded_navigation",
    .returns = "None",
    .doc = "Keep links that would open a new window or the external browser inside the view."};
void prepare_embedded_navigation(const pk::Call &c) {
    pk::guarded([&] { c.global("webview").attr("settings")["OPEN_EXTERNAL_LINKS_IN_BROWSER"] = false; });
}

constexpr pk::Spec run_spec{
    .name = "run_toolbar_main",
    .params = pk::host::kRunParams,
    .returns = "int",
    .doc = "Open the browser window through pywebview's Edge backend and run its loop until the "
           "window is closed (0); 1 when not on Windows or when pywebview fails to start."};
nb::object run_toolbar_main(const pk::Call &c, nb::str start_url, nb::handle home_url, nb::str form_title,
                            nb::handle user_data_folder, bool with_control_server, nb::handle control_host,
                            nb::handle control_port_override, nb::handle browser_download_directory,
                            nb::handle browser_download_prompt) {
    if (!pk::host::on_windows(c.global("sys"))) {
        pk::print_line(kOnlyWindows);
        return nb::int_(1);
    }
    nb::object norm = c.global("norm_browser_url");
    nb::object home = pk::host::home(c.global("os").attr("environ"), home_url, c.global("_DEFAULT_HOME"), norm);
    nb::object start = pk::host::start(start_url, home, norm);
    nb::object ud = pk::host::user_data_folder(c.global("os").attr("environ"), user_data_folder, c.global("Path"));
    nb::str storage_path(ud);
    nb::object ch = pk::host::control_host(c.global("os").attr("environ"), control_host);
    nb::object cp = pk::host::control_port(control_port_override, c.global("control_port"));
    nb::object title = resolve_title(c.global("os").attr("environ"), form_title);

    nb::dict holder;
    holder["browser_view"] = nb::none();
    holder["pending_navigate_url"] = nb::none();
    HostState st;
    st.set(Host::Holder, holder);
    st.set(Host::Ch, ch);
    st.set(Host::Cp, cp);
    st.set(Host::WithServer, nb::bool_(with_control_server));
    st.set(Host::Armed, nb::bool_(false));
    st.set(Host::Closed, nb::bool_(false));
    st.set(Host::Started, nb::bool_(false));
    st.set(Host::CallbackDone, pk::import("threading").attr("Event")());
    st.set(Host::ServerFailed, nb::bool_(false));
    nb::handle s = st.object();
    // The engine's window operations act on pywebview's form (a Windows Forms Form).
    nb::object form_of = pk::import_from("functools", "partial")(holder.attr("get"), "browser_view");
    pk::host::Callables fns =
        pk::host::make_callables<kView>(c, holder, pk::engine::wrap(pk::engine::webview2(form_of)), nb::handle(), s);
    st.set(Host::Pages, fns.pages);
    st.set(Host::InvokeSync, fns.invoke_sync);
    st.set(Host::Core, fns.core);
    st.set(Host::DoNavigate, fns.navigate);
    st.set(Host::Flush, fns.flush);
    st.set(Host::DoBack, fns.back);
    st.set(Host::DoForward, fns.forward);
    st.set(Host::DoReload, fns.reload);
    nb::object start_cb = c.nested<on_start_spec>(on_start, s);

    c.global("_prepare_embedded_navigation")();
    c.global("configure_pywebview_edge_downloads")("directory"_a = browser_download_directory,
                                                   "prompt"_a = browser_download_prompt);
    nb::object webview = c.global("webview");
    nb::object win = webview.attr("create_window")("title"_a = title, "url"_a = start, "width"_a = kWidth,
                                                  "height"_a = kHeight);
    st.set(Host::Win, win);

    // Once pywebview's loop is over (or failed), the control server goes with the window.
    auto finish = [&] {
        st.set(Host::Closed, nb::bool_(true));
        pk::host::pages_closed(fns.pages);
        stop_server(st);
        // A start-up callback still waiting for the form or the core sees the window closed at
        // its next poll and ends; give it that moment, bounded, so that no daemon thread is
        // inside this host's code when the process ends.
        if (st[Host::Started].is(Py_True))
            pk::guarded([&] { st[Host::CallbackDone].attr("wait")(kCallbackGrace); });
    };
    nb::list signals = pk::host::catch_signals(c, c.nested<close_on_signal_spec>(close_on_signal, s));
    const bool sigint_before = pywebview_ended_on_sigint();
    try {
        pk::print_line(nb::str("[panekit] 首页=") + home + nb::str("  首跳=") + start + nb::str("  (宿主=pywebview)"));
        webview.attr("start")(start_cb, "gui"_a = "edgechromium", "private_mode"_a = false,
                              "storage_path"_a = storage_path);
    } catch (nb::python_error &e) {
        pk::host::restore_signals(signals);
        finish();
        if (!pk::is_exception(e)) throw;
        pk::print_line(pk::format1(kStartFailed, e.value()));
        return nb::int_(1);
    }
    if (signals.size() > 0 && !sigint_before && pywebview_ended_on_sigint())
        pk::print_line(pk::format1(pk::host::kSignalLine, nb::str("SIGINT")));
    pk::host::restore_signals(signals);
    finish();
    return nb::int_(st[Host::ServerFailed].is(Py_True) ? 1 : 0);
}

}  // namespace

NB_MODULE(glassport, m) {
    pk::Module mod(m, "panekit.glassport",
                   "The pywebview host: the browser window opened through pywebview's Edge backend, "
                   "steered by the same control plane as the WinForms host.");
    pk::host::start_host();
    pk::host::add_host_globals(mod);
    mod.set("time", pk::import("time"));
    mod.set("webview", pk::import("webview"));
    mod.import_names("panekit.fetchkeep", {"configure_pywebview_edge_downloads"});
    mod.import_names("panekit.trailbar", {"norm_browser_url"});
    mod.set("_DEFAULT_HOME", nb::str(kDefaultHome));
    mod.def<prepare_spec>(prepare_embedded_navigation);
    mod.def<run_spec>(run_toolbar_main);
}
