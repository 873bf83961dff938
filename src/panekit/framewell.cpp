// panekit.framewell: the WinForms host. run_toolbar_main builds one window (the toolbar above one
// WebView2 view), optionally starts the control server, and runs the message loop on an STA thread
// (the calling one when it can be STA; see run_on_sta_thread). The nested functions of one call share one state; the callables handed to the toolbar
// and the control server (marshalling, the core, navigation with its pending rule, history, the
// address-box sync) and the setting rules come from the host layer.
//
// Platform facts the window relies on:
//  * the WebView2 control creates its CoreWebView2 only when asked, so the window asks once, when
//    it is first shown (EnsureCoreWebView2Async, guarded; the task is not awaited);
//  * docked controls are laid out in reverse order of their index in Controls, so the body is
//    brought to the front after the toolbar and the body are added: the toolbar then takes its
//    strip at the top and the body fills the rest below it;
//  * the control server started by a call is shut down and its socket closed when the window has
//    closed, so that its port answers for no window that is gone and can be bound again.
#include "pk.hpp"
#include "host.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

constexpr const char *kCorePath[] = {"CoreWebView2"};
constexpr pk::host::View kView{.form_key = "form", .view_key = "wv", .core_path = kCorePath};

// What the nested functions of one call share.
// `Failed` is True once the browser cannot be created on this machine (no WebView2 Runtime): the
// window is then closed and the call ends in 1.
enum class S { Holder, Form, Wv, Start, Action, Invoke, Flush, Sync, NewWindow, AskedCore, Pages, Failed, Signalled, kCount };

void close_later(const pk::State<S> &st);

// Start-up refusals of the platform, one line each: no .NET runtime behind pythonnet, no WebView2
// Runtime on the machine.
const char *const kNoDotNet =
    "[panekit] 无法加载 .NET 运行时（%s）：请安装 .NET Framework 4.8 或更高版本："
    "https://dotnet.microsoft.com/download/dotnet-framework";
const char *const kNoRuntime =
    "[panekit] 未找到 WebView2 Runtime：请安装 Microsoft Edge WebView2 Runtime（Evergreen 版）："
    "https://developer.microsoft.com/microsoft-edge/webview2/";


// `a, b = value`, with Python's errors for anything that is not exactly two values.
std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value.ptr());
        if (n > 2) pk::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (n < 2) pk::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        PyObject **items = PySequence_Fast_ITEMS(value.ptr());
        return {nb::borrow(items[0]), nb::borrow(items[1])};
    }
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            pk::raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object got[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject *v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            pk::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        }
        got[i] = nb::steal(v);
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        pk::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {got[0], got[1]};
}

// ---- browser events ---------------------------------------------------------------------------

// One view only: a new-window request navigates the view that raised it.
constexpr pk::Param new_window_params[] = {{.name = "sender", .annotation = "Any"}, {.name = "e", .annotation = "Any"}};
constexpr pk::Spec new_window_spec{.name = "_on_new_window", .params = new_window_params, .returns = "None"};
void on_new_window(nb::handle sender, nb::handle e) {
    pk::guarded([&] { nb::setattr(e, "Handled", Py_True); });
    pk::guarded([&] {
        nb::object uri = pk::attr_or(e, "Uri", nb::none());
        if (!pk::truthy(uri)) uri = pk::attr_or(e, "uri", nb::none());
        nb::str text = pk::text_or_empty(uri);
        if (pk::truthy(text) && !sender.is_none()) sender.attr("Navigate")(text);
    });
}

constexpr pk::Param source_params[] = {{.name = "_s"}, {.name = "_a"}};
constexpr pk::Spec source_spec{.name = "<lambda>", .params = source_params};
nb::object on_source_changed(const pk::Call &c, nb::handle, nb::handle) {
    auto st = c.state<S>();
    return st[S::Invoke](st[S::Sync]);
}

constexpr pk::Param nav_params[] = {{.name = "_s", .annotation = "Any"}, {.name = "args", .annotation = "Any"}};
constexpr pk::Spec nav_spec{.name = "_on_nav_completed", .params = nav_params, .returns = "None"};
void on_nav_completed(const pk::Call &c, nb::handle, nb::handle args) {
    auto st = c.state<S>();
    pk::guarded([&] {
        if (!pk::truthy(pk::attr_or(args, "IsSuccess", Py_True))) {
            nb::object status = pk::attr_or(args, "WebErrorStatus", Py_None);
            pk::print_line(pk::format1("[panekit] 导航未完成: IsSuccess=False WebErrorStatus=%s", status));
        }
    });
    st[S::Invoke](st[S::Sync]);
    st[S::Invoke](st[S::Flush]);
}

constexpr pk::Param ready_params[] = {{.name = "_sender", .annotation = "Any"}, {.name = "args", .annotation = "Any"}};
constexpr pk::Spec ready_spec{.name = "_on_ready", .params = ready_params, .returns = "None"};
void on_ready(const pk::Call &c, nb::handle, nb::handle args) {
    auto st = c.state<S>();
    nb::handle holder = st[S::Holder];
    auto ready = [&] { nb::object(holder[nb::str("core_ready")]).attr("set")(); };
    if (!pk::truthy(nb::object(args.attr("IsSuccess")))) {
        nb::object error = args.attr("InitializationException");
        const bool no_runtime = pk::guarded_or(false, [&] {
            return nb::str(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()))).attr("__name__")).equal(
                nb::str("WebView2RuntimeNotFoundException"));
        });
        if (!no_runtime) {
            // The window stays (its toolbar and queue work; the browser area stays empty).
            pk::print_line(pk::format1("[panekit] WebView2 初始化失败: %s", error));
            ready();
            return;
        }
        // No WebView2 Runtime on this machine: no browser will ever come, so the window is not
        // kept. It is closed once this event is over (or once shown, when it has no handle yet)
        // and run_toolbar_main ends in 1.
        pk::print_line(kNoRuntime);
        st.set(S::Failed, Py_True);
        close_later(st);
        ready();
        return;
    }
    nb::object cv;
    try {
        cv = st[S::Wv].attr("CoreWebView2");
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        ready();
        return;
    }
    nb::object nav_completed = c.nested<nav_spec>(on_nav_completed);
    pk::guarded([&] {
        pk::event_add(cv, "SourceChanged", c.nested<source_spec>(on_source_changed));
        pk::event_add(cv, "NavigationCompleted", nav_completed);
        pk::event_add(cv, "NewWindowRequested", st[S::NewWindow]);
    });
    // The page tracker follows the view's navigations (for the control server's /state and waits).
    pk::guarded([&] { pk::host::watch_webview2(c, st[S::Pages], cv); });
    nb::object folder = pk::host::get(holder, "download_folder");
    if (pk::truthy(folder)) {
        pk::guarded_else(
            [&] {
                bool prompt = pk::truthy(pk::host::get(holder, "download_prompt"));
                c.global("attach_download_to_corewebview2")(cv, st[S::Form], nb::str(folder), "use_prompt"_a = prompt);
            },
            [&](nb::python_error &e) {
                // The folder cannot be made: said once, and every download is cancelled with the
                // failure line instead of going to the browser's own folder.
                pk::guarded([&] { pk::print_line(pk::format1("[panekit] 挂载下载处理失败: %s", e.value())); });
                pk::guarded([&] { c.global("_refuse_downloads")(cv, e.value()); });
            });
    }
    // The first page, then an address queued before the browser was ready once that page's
    // navigation has completed (_on_nav_completed flushes it): navigating it at once would cancel
    // the first page (WebView2 ends an overlapped navigation with OperationCanceled), printing a
    // failure line and leaving the first page out of the history. When the first page could not
    // be started at all, the queued address goes now.
    const bool first_started = pk::guarded_or(false, [&] {
        cv.attr("Navigate")(nb::str(st[S::Start]));
        return true;
    });
    if (!first_started) st[S::Flush]();
    ready();
}

// Closes the form once the current event is over; a form without a window handle yet is closed
// when it is shown (on_shown).
void close_later(const pk::State<S> &st) {
    nb::handle form = st[S::Form];
    pk::guarded([&] {
        if (pk::truthy(nb::object(form.attr("IsHandleCreated"))))
            form.attr("BeginInvoke")(st[S::Action](form.attr("Close")));
    });
}

// The control creates its core only when asked: ask once, when the window is first shown.
constexpr pk::Param shown_params[] = {{.name = "_s", .annotation = "Any"}, {.name = "_a", .annotation = "Any"}};
constexpr pk::Spec shown_spec{.name = "_on_shown", .params = shown_params, .returns = "None"};
void on_shown(const pk::Call &c, nb::handle, nb::handle) {
    auto st = c.state<S>();
    if (st[S::Failed].is(Py_True) || st[S::Signalled].is(Py_True)) {
        close_later(st);
        return;
    }
    if (st[S::AskedCore].ptr() == Py_True) return;
    st.set(S::AskedCore, Py_True);
    pk::guarded([&] { st[S::Wv].attr("EnsureCoreWebView2Async")(nb::none()); });
}

// ---- the window, on an STA thread -------------------------------------------------------------

// What the window's part of one call needs from the start-up part.
struct Window {
    nb::object winforms, size, creation_properties, webview2, form_title, user_data_folder;
    bool with_control_server;
    nb::object ch, cp, home, start;
    pk::host::Callables fns;
    nb::object state;  // the nested functions' shared state (pk::State<S>)
};

// ---- signals ------------------------------------------------------------------------------------

// A signal closes the window as its close button does (pk::host::catch_signals): the close is
// queued for the window's message loop, wherever the main thread was when the handler ran; a
// window not shown yet closes as it is shown.
constexpr pk::Spec close_on_signal_spec{.name = "_close_on_signal", .returns = "None"};
void close_on_signal(const pk::Call &c) {
    auto st = c.state<S>();
    st.set(S::Signalled, Py_True);
    close_later(st);
}

// Application.Run on the main thread runs no Python of its own accord, so Python's handlers of
// the signals that arrived meanwhile would wait for the next event that calls into Python: a
// timer's tick runs them.
constexpr pk::Spec tick_spec{.name = "_on_tick", .params = shown_params, .returns = "None"};
void on_tick(const pk::Call &, nb::handle, nb::handle) { pk::host::run_pending_signals(); }

void stop_timer(nb::handle timer) {
    if (!timer.is_valid()) return;
    pk::guarded([&] { timer.attr("Stop")(); });
    pk::guarded([&] { timer.attr("Dispose")(); });
}

// Builds the window, starts the control server and runs the message loop until the window has
// closed: 0.
nb::object open_window(const pk::Call &c, const Window &w) {
    pk::State<S> st(w.state);
    nb::handle state = w.state;
    nb::handle holder = st[S::Holder];
    const pk::host::Callables &fns = w.fns;
    nb::object winforms = w.winforms, size = w.size, creation_properties = w.creation_properties;
    nb::object webview2 = w.webview2, form_title = w.form_title, user_data_folder = w.user_data_folder;
    const bool with_control_server = w.with_control_server;
    nb::object ch = w.ch, cp = w.cp, home = w.home, start = w.start;

    nb::object app = winforms.attr("Application");
    pk::guarded([&] {
        app.attr("EnableVisualStyles")();
        app.attr("SetCompatibleTextRenderingDefault")(false);
    });

    nb::object form = winforms.attr("Form")();
    form.attr("Text") = form_title;
    form.attr("Size") = size(1280, 860);
    st.set(S::Form, form);

    nb::object drawing = nb::module_::import_("System.Drawing");
    nb::object bar = c.global("attach_edge_chrome_toolbar")(
        winforms, drawing, form, holder, "on_navigate"_a = fns.navigate, "on_back"_a = fns.back,
        "on_forward"_a = fns.forward, "on_reload"_a = fns.reload, "start_url"_a = start);
    auto [top, addr] = unpack2(bar);

    nb::object props = creation_properties();
    nb::object ud = pk::host::user_data_folder(c.global("os").attr("environ"), user_data_folder, c.global("Path"));
    props.attr("UserDataFolder") = nb::str(ud);

    nb::object fill = winforms.attr("DockStyle").attr("Fill");
    nb::object wv = webview2();
    wv.attr("Dock") = fill;
    wv.attr("CreationProperties") = props;
    st.set(S::Wv, wv);

    nb::object body = winforms.attr("Panel")();
    body.attr("Dock") = fill;
    body.attr("Controls").attr("Add")(wv);

    st.set(S::NewWindow, c.nested<new_window_spec>(on_new_window, state));
    nb::object f_ready = c.nested<ready_spec>(on_ready, state);
    pk::event_add(wv, "CoreWebView2InitializationCompleted", f_ready);
    pk::event_add(form, "Shown", c.nested<shown_spec>(on_shown, state));

    holder["form"] = form;
    holder["wv"] = wv;
    holder["addr"] = addr;

    form.attr("SuspendLayout")();
    try {
        nb::object controls = form.attr("Controls");
        controls.attr("Add")(top);
        controls.attr("Add")(body);
        // Docking runs in reverse order of the controls' indexes: the body goes first in that
        // order so that the toolbar's strip is taken before the body fills what is left.
        pk::guarded([&] { body.attr("BringToFront")(); });
    } catch (nb::python_error &) {
        form.attr("ResumeLayout")(true);
        throw;
    }
    form.attr("ResumeLayout")(true);

    // From here on the window's server goes with the window: shut down and its socket closed on
    // every way out (the start-up lines and the message loop may raise).
    nb::object server, timer;
    try {
        if (with_control_server) {
            // A failure is said once, plainly, and still reaches the caller (no window was shown).
            server = pk::host::start_window_server(c, ch, cp, fns);
            pk::print_line(pk::format1("[panekit] 控制接口 %s  |  远程: remote_navigate / remote_go_back / …",
                                       pk::host::window_server_url(c, ch, cp, server)));
        }
        pk::print_line(nb::str("[panekit] 首页=") + nb::str(home) + nb::str("  首跳=") + nb::str(start) +
                       nb::str("  (宿主=winforms)"));
        if (pk::host::on_main_thread()) {
            timer = winforms.attr("Timer")();
            timer.attr("Interval") = pk::host::kSignalPollMilliseconds;
            pk::event_add(timer, "Tick", c.nested<tick_spec>(on_tick, state));
            timer.attr("Start")();
        }
        app.attr("Run")(form);
    } catch (std::exception &) {  // a Python error (nb::python_error) is one too
        stop_timer(timer);
        pk::host::end_window(fns.pages, server);
        throw;
    }
    stop_timer(timer);
    pk::host::end_window(fns.pages, server);
    return nb::int_(st[S::Failed].is(Py_True) ? 1 : 0);
}


// WebView2 is COM and must live on an STA thread ("Threading model for WebView2 apps"), as must
// the clipboard and the Save-As dialog; pythonnet leaves Python's threads' apartment unset, and a
// thread whose COM is already MTA (Python's main thread once the CLR has used COM there) cannot
// change. So the window runs on the calling thread when it is STA or can still become STA, and
// otherwise on a new STA thread that the caller joins in half-second steps (so that the caller
// still handles its signals), as pywebview runs its own window. The result and any exception of
// the window's part reach the caller either way.
enum class T { Fn, Globals, Window, Result, Error, kCount };

constexpr pk::Spec window_thread_spec{.name = "_window_thread", .returns = "None"};
void window_thread(const pk::Call &c) {
    auto t = c.state<T>();
    pk::Call outer(t[T::Fn].ptr(), t[T::Globals].ptr(), Py_None);
    try {
        t.set(T::Result, open_window(outer, *static_cast<Window *>(nb::borrow<nb::capsule>(t[T::Window]).data())));
    } catch (nb::python_error &e) {
        t.set(T::Error, e.value());
    } catch (std::exception &e) {  // nothing may escape into the .NET thread: it would end the process
        t.set(T::Error, nb::handle(PyExc_RuntimeError)(e.what()));
    }
}

// True when the calling thread is, or has now become, an STA thread. Without System.Threading
// (a bridge that does not offer it) the window stays on the calling thread.
bool calling_thread_is_sta() {
    return pk::guarded_or(true, [] {
        nb::object threading = pk::import("System.Threading");
        nb::object sta = threading.attr("ApartmentState").attr("STA");
        return pk::truthy(threading.attr("Thread").attr("CurrentThread").attr("TrySetApartmentState")(sta));
    });
}

// The window's part on a new STA thread, joined in half-second steps.
nb::object join_sta_thread(const pk::Call &c, const Window &w) {
    nb::object threading = pk::import("System.Threading");
    pk::State<T> t;
    t.set(T::Fn, c.function());
    t.set(T::Globals, c.globals());
    t.set(T::Window, nb::capsule(new Window(w), [](void *p) noexcept { delete static_cast<Window *>(p); }));
    t.set(T::Result, Py_None);
    t.set(T::Error, Py_None);
    nb::object start = threading.attr("ThreadStart")(c.nested<window_thread_spec>(window_thread, t.object()));
    nb::object thread = threading.attr("Thread")(start);
    thread.attr("SetApartmentState")(threading.attr("ApartmentState").attr("STA"));
    thread.attr("Start")();
    while (pk::truthy(thread.attr("IsAlive"))) {
        thread.attr("Join")(500);
        pk::host::run_pending_signals();  // no Python runs here by itself
    }
    if (!t[T::Error].is_none()) {
        PyErr_SetRaisedException(nb::object(nb::borrow(t[T::Error])).release().ptr());
        throw nb::python_error();
    }
    return nb::borrow(t[T::Result]);
}

nb::object run_on_sta_thread(const pk::Call &c, const Window &w) {
    nb::list signals = pk::host::catch_signals(c, c.nested<close_on_signal_spec>(close_on_signal, w.state));
    try {
        nb::object result = calling_thread_is_sta() ? open_window(c, w) : join_sta_thread(c, w);
        pk::host::restore_signals(signals);
        return result;
    } catch (std::exception &) {
        pk::host::restore_signals(signals);
        throw;
    }
}

// ---- run_toolbar_main -------------------------------------------------------------------------

// A refusal: the message, and 1.
nb::object refuse(const char *message) {
    pk::print_line(message);
    return nb::int_(1);
}

// Imports `load()` and hands back its result; an ImportError gives nothing (other errors pass).
template <class F> bool try_import(nb::object &out, F &&load) {
    try {
        out = load();
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return false;
    }
}

constexpr pk::Spec main_spec{
    .name = "run_toolbar_main",
    .params = pk::host::kRunParams,
    .returns = "int",
    .doc = "Open the browser window (toolbar above one WebView2 view), start the control server "
           "unless with_control_server is false, and run the message loop on this thread; 0 when "
           "the window has closed, 1 when the start is refused.",
};
nb::object run_toolbar_main(const pk::Call &c, nb::str start_url, nb::handle home_url, nb::str form_title,
                            nb::handle user_data_folder, bool with_control_server, nb::handle control_host,
                            nb::handle control_port_override, nb::handle browser_download_directory,
                            nb::handle browser_download_prompt) {
    // Start-up checks: nothing is imported or changed before they pass.
    if (!pk::host::on_windows(c.global("sys"))) return refuse("[panekit] 仅支持 Windows。");
    nb::object interop_dll_path, clr;
    if (!try_import(interop_dll_path, [] { return pk::import_from("webview.util", "interop_dll_path"); }))
        return refuse("[panekit] 请先安装 pywebview: pip install pywebview");
    try {
        if (!try_import(clr, [] { return nb::object(nb::module_::import_("clr")); }))
            return refuse("[panekit] 请先安装 pythonnet: pip install pythonnet");
    } catch (nb::python_error &e) {
        // pythonnet is there but finds no .NET runtime to load.
        if (!e.matches(PyExc_RuntimeError)) throw;
        nb::object first = nb::str(e.value()).attr("strip")().attr("partition")("\n")[0];
        pk::print_line(pk::format1(kNoDotNet, first));
        return nb::int_(1);
    }

    // The WebView2 loader's folders go at the end of Path, at every call.
    nb::object env_vars = c.global("os").attr("environ");
    for (const char *folder : {"win-arm64", "win-x64", "win-x86"}) {
        nb::object current = env_vars.attr("get")("Path", "");
        nb::object entry = current + nb::str(";") + interop_dll_path(folder);
        env_vars[nb::str("Path")] = entry;
    }
    clr.attr("AddReference")("System.Windows.Forms");
    clr.attr("AddReference")("System.Drawing");
    clr.attr("AddReference")(interop_dll_path("Microsoft.Web.WebView2.Core.dll"));
    clr.attr("AddReference")(interop_dll_path("Microsoft.Web.WebView2.WinForms.dll"));
    nb::object winforms = nb::module_::import_("System.Windows.Forms");
    nb::object action = pk::import_from("System", "Action");
    nb::object size = pk::import_from("System.Drawing", "Size");
    nb::object creation_properties = pk::import_from("Microsoft.Web.WebView2.WinForms", "CoreWebView2CreationProperties");
    nb::object webview2 = pk::import_from("Microsoft.Web.WebView2.WinForms", "WebView2");

    nb::object norm = c.global("norm_browser_url");
    nb::object home = pk::host::home(c.global("os").attr("environ"), home_url, c.global("_DEFAULT_HOME"), norm);
    nb::object start = pk::host::start(start_url, home, norm);

    nb::dict holder;
    holder["form"] = nb::none();
    holder["wv"] = nb::none();
    holder["addr"] = nb::none();
    holder["core_ready"] = c.global("threading").attr("Event")();
    holder[pk::host::kPendingKey] = nb::none();

    nb::object downloads = c.global("resolve_download_settings")("directory"_a = browser_download_directory,
                                                                 "prompt"_a = browser_download_prompt);
    auto [dl_folder, dl_prompt] = unpack2(downloads);
    holder["download_folder"] = dl_folder;
    holder["download_prompt"] = nb::bool_(pk::truthy(dl_prompt));

    pk::State<S> st;
    st.set(S::Holder, holder);
    st.set(S::Start, start);
    st.set(S::Action, action);
    st.set(S::AskedCore, Py_False);
    st.set(S::Failed, Py_False);
    st.set(S::Signalled, Py_False);
    nb::handle state = st.object();
    // The engine's window operations act on the form the holder keeps.
    nb::object form_of = pk::import_from("functools", "partial")(holder.attr("get"), "form");
    pk::host::Callables fns =
        pk::host::make_callables<kView>(c, holder, pk::engine::wrap(pk::engine::webview2(form_of)), action);
    st.set(S::Invoke, fns.invoke);
    st.set(S::Flush, fns.flush);
    st.set(S::Sync, fns.sync);
    st.set(S::Pages, fns.pages);

    nb::object ch = pk::host::control_host(c.global("os").attr("environ"), control_host);
    nb::object cp = pk::host::control_port(control_port_override, c.global("control_port"));

    Window w{.winforms = winforms, .size = size, .creation_properties = creation_properties,
             .webview2 = webview2, .form_title = form_title, .user_data_folder = nb::borrow(user_data_folder),
             .with_control_server = with_control_server, .ch = ch, .cp = cp, .home = home, .start = start,
             .fns = fns, .state = nb::borrow(state)};
    return run_on_sta_thread(c, w);
}

}  // namespace

NB_MODULE(framewell, m) {
    pk::Module mod(m, "panekit.framewell",
                   "The WinForms host: one window with the toolbar above one WebView2 view, steered "
                   "by the toolbar and the loopback control server.");
    pk::host::start_host();
    pk::host::add_host_globals(mod);
    mod.set("threading", pk::import("threading"));
    mod.import_names("panekit.fetchkeep",
                     {"attach_download_to_corewebview2", "resolve_download_settings", "_refuse_downloads"});
    mod.import_names("panekit.trailbar", {"attach_edge_chrome_toolbar", "norm_browser_url"});
    mod.set("_DEFAULT_HOME", nb::str("https://duckduckgo.com/"));
    mod.def<main_spec>(run_toolbar_main);
}
