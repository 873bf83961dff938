// The host layer: what the browser hosts (the WinForms host, the pywebview host and the GTK host)
// do the same way, written once. A host keeps its window and its browser view in the `holder`
// dictionary of one call; the hosts differ in which holder keys hold them, in how the browser core
// is reached from the view, and in how work reaches their UI thread, which a `pk::host::View`
// describes:
//
//     // WinForms host: holder["form"] is the form, holder["wv"].CoreWebView2 the core.
//     constexpr const char *kWvCore[] = {"CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "form", .view_key = "wv", .core_path = kWvCore};
//     // pywebview host: holder["browser_view"] is both; the core is .browser.webview.CoreWebView2.
//     constexpr const char *kBvCore[] = {"browser", "webview", "CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "browser_view", .view_key = "browser_view",
//                                    .core_path = kBvCore};
//     // GTK host: holder["form"] is the Gtk.Window, holder["core"] the core itself; GLib marshalling.
//     constexpr pk::host::View kView{.form_key = "form", .view_key = "core", .toolkit = Toolkit::GLib};
//
// `make_callables` builds the Python-visible nested functions every host hands to its toolbar and
// to the control server (`_invoke`, `_invoke_sync`, `_core`, `_do_navigate`, ...), nested in the
// host's run_toolbar_main (its module, qualnames "run_toolbar_main.<locals>._core" and so on).
// Every function here reads `holder` at call time (a missing key counts as None) and drops an
// ordinary Exception exactly where the hosts guard; KeyboardInterrupt and SystemExit pass.
#pragma once

#include "pk.hpp"

#include <cstdint>
#include <span>
#include <utility>

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

// The entry point both hosts share: run_toolbar_main(*, start_url, ...) -> int.
inline constexpr Param kRunParams[] = {
    {.name = "start_url", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly},
    {.name = "home_url", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "form_title", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = "panekit"},
    {.name = "user_data_folder", .annotation = "Optional[Path]", .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "with_control_server", .annotation = "bool", .check = Check::Truth, .kind = Kind::KeywordOnly, .def = Def::True},
    {.name = "control_host", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "control_port_override", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "browser_download_directory", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "browser_download_prompt", .annotation = "Optional[bool]", .check = Check::OptBool, .kind = Kind::KeywordOnly, .def = Def::None},
};

// How work reaches a toolkit's UI thread.
//  * DotNet: the window's InvokeRequired, Invoke (waits) and BeginInvoke (queues) with the work
//    wrapped in a System.Action delegate.
//  * GLib: the window's channel (glib_channel_open, kept in the holder) queues the work for the
//    main loop of the UI thread, which watches it at the default priority (the idle priorities let
//    every redraw and input event go first, which doubles a control request's round trip while a
//    page loads); synchronous work is waited for until it has run or the window has gone (the
//    channel is closed, or the holder's window key is None again), so no caller waits on a main
//    loop that has ended. Work asked for on the UI thread itself runs at once.
enum class Toolkit { DotNet, GLib };

struct View {
    const char *form_key;  // holder key of the window
    const char *view_key;  // holder key of the object the core is read from
    std::span<const char *const> core_path = {};  // attribute chain from that object to its core
    Toolkit toolkit = Toolkit::DotNet;
    // For a host that learns late that its core exists (the pywebview host): called with the
    // host's own state (as given to make_callables) and the core just read, before _core,
    // _do_navigate and the history calls act; true when the parked navigation is to be
    // delivered now (see make_callables for where).
    bool (*seen)(nb::handle host_state, nb::handle cv) = nullptr;
};

// The holder key of the address waiting for the browser core.
inline constexpr const char *kPendingKey = "pending_navigate_url";
// The holder key of the GLib toolkit's channel to the UI thread's main loop.
inline constexpr const char *kUiChannelKey = "ui_channel";

// holder.get(key): the value, or None when the key is missing.
nb::object get(nb::handle holder, const char *key);

// ---- handing the interpreter's lock over ----------------------------------------------------
// A thread that wakes another one (the UI thread ending the control thread's wait for its work or
// for a navigation) goes on holding the interpreter's lock, and takes it again for every next
// callback of a busy main loop before the woken thread, which only wakes and asks for it, gets a
// turn: CPython hands it over by force only after its switch interval (5 ms). So the waker hands
// it over: gil_hand_over releases it until a woken thread reports that it holds it
// (gil_arrived, called by every thread that has just woken from such a wait and got the lock
// back) or `max_seconds` have passed. `seen` is gil_arrivals() read before waking the other.
std::uint64_t gil_arrivals();
void gil_arrived();
void gil_hand_over(std::uint64_t seen, double max_seconds);
// The longest a waker waits for the woken thread to take the lock.
inline constexpr double kHandOverSeconds = 0.002;

// ---- UI-thread marshalling ------------------------------------------------------------------
// `action` is the System.Action delegate type that wraps `act`; an empty handle imports it from
// System at each call, inside the guard. `act` is a zero-argument callable; its result is dropped.

// Runs `act` on the window's UI thread through `method` ("Invoke" waits, "BeginInvoke" queues),
// wrapped in `action` (System.Action, imported when not given), when the window reports
// InvokeRequired; else act() at once. Errors propagate.
void run_on_ui(nb::handle form, nb::handle action, nb::handle act, const char *method);

// The same for any toolkit: `wait` chooses Invoke / BeginInvoke (DotNet) or a waited / queued
// GLib.idle_add (GLib; work queued there runs with its Exceptions dropped). Errors of the
// marshalling itself propagate.
void run_on_ui(const View &v, nb::handle holder, nb::handle form, nb::handle action, nb::handle act, bool wait);

// GLib: opens the window's channel to the main loop of the calling thread (which becomes the UI
// thread) and keeps it in the holder: from now on other threads' work for the window runs there.
// `glib` is PyGObject's GLib module. Made once per window.
void glib_channel_open(nb::handle holder, nb::handle glib);
// Closes the holder's channel (nothing when it has none): the main loop no longer watches it,
// work still queued is dropped and whoever waits for it returns. Once the window has gone.
void glib_channel_close(nb::handle holder);

// No window yet: `act` is dropped. Otherwise, guarded: BeginInvoke(Action(act)) when the window
// reports InvokeRequired, else act() at once. Never waits.
void invoke(const View &v, nb::handle holder, nb::handle action, nb::handle act);

// No window yet: act() on the calling thread, guarded. Otherwise, guarded: Invoke(Action(act))
// (waits until the UI thread has run it) when InvokeRequired, else act() at once.
void invoke_sync(const View &v, nb::handle holder, nb::handle action, nb::handle act);

// ---- the browser core -----------------------------------------------------------------------

// The view's CoreWebView2, or None when there is no view yet or reading the core raises.
nb::object core(const View &v, nb::handle holder);

// Navigation with the pending-navigation rule. `norm` is the address normaliser (called
// unguarded: its errors reach the caller). An address that normalises to empty, or that still
// holds what no browser navigates to (unusable_address), is ignored; with
// no core the normalised address replaces the pending one; otherwise, guarded, Navigate(text)
// and then the pending address is cleared (a failed Navigate keeps the earlier pending address).
void navigate(const View &v, nb::handle holder, nb::handle norm, nb::handle url);

// Navigates the pending address once a core exists and clears it (guarded); nothing pending or
// no core: nothing happens.
void flush_pending(const View &v, nb::handle holder);

// Back / forward when the history allows it, reload; nothing without a core; guarded.
enum class History { Back, Forward, Reload };
void history(const View &v, nb::handle holder, History what);

// Prints the one line that says the control server could not start at `base_url` and why
// ("[panekit] 控制接口 <address> 启动失败: <error text>").
void say_control_server_failed(nb::handle base_url, nb::handle error);

// The host's callables as the control server takes them (the eight keywords every host hands
// over), read from the host module's globals at call time: `start_control_server` on (host,
// port), and `control_base_url` for the address it reports.
struct ServerHandles {
    nb::handle invoke_sync, core, navigate, back, forward, reload;
};
// Starts the window's control server and returns what start_control_server returned. When it
// raises an Exception, the failure is said in one line (say_control_server_failed) and the error
// goes on to the caller, whose window decides what a window nobody can steer becomes.
nb::object start_window_server(const Call &c, nb::handle host, nb::handle port, const ServerHandles &fns);
// The address the window's control server reports: helmwire's _control_address (control_base_url
// with an IPv6 literal in brackets) on the port `started` (what start_control_server returned) is
// bound to, else on `port`.
nb::object window_server_url(const Call &c, nb::handle host, nb::handle port, nb::handle started = nb::handle());

// The address box follows the view: the core's Source, stripped, when it is not empty (an empty
// address never clears the box); nothing without a core or a box; guarded. The box is written
// through `Text` (DotNet) or set_text (GLib, only when the text differs).
void sync_address_bar(const View &v, nb::handle holder);

// Stops what start_control_server returned (the pair server, thread; a server object is taken
// as it is): shutdown() and then server_close(), each guarded. Anything else is left alone.
void stop_control_server(nb::handle started);

// The module globals of a host that the host layer and every host read at call time: os, sys,
// pathlib's Path and the typing names of the hosts' annotations (Any, Callable, Dict, Optional),
// both imported at their first use, and helmwire's control_base_url, control_port,
// start_control_server and _control_address, imported with the host's module or at their first
// use (a host that opens its window before it starts its control server).
enum class ServerImport { WithModule, AtFirstUse };
void add_host_globals(const Module &mod, ServerImport server = ServerImport::WithModule);

// ---- settings -----------------------------------------------------------------------------------
// Environment variables are read at call time from `env_vars` (the host module's os.environ, so a
// host whose `os` is rebound reads the new one); an empty value counts as unset. Errors propagate.

// Whether `sys_module.platform == "win32"` (the host's own `sys`, read at call time).
bool on_windows(nb::handle sys_module);

// The first non-empty of home_url, PANEKIT_HOME, default_home, normalised; default_home as it is
// when that normalises to empty.
nb::object home(nb::handle env_vars, nb::handle home_url, nb::handle default_home, nb::handle norm);

// norm(start_url), or home when that is empty.
nb::object start(nb::handle start_url, nb::handle home, nb::handle norm);

// The first non-empty of control_host, PANEKIT_CONTROL_HOST, "127.0.0.1", stripped; "127.0.0.1"
// when stripping leaves nothing.
nb::object control_host(nb::handle env_vars, nb::handle control_host);

// int(override) unless it is None, else int(control_port_fn()) (0 is a port like any other).
nb::object control_port(nb::handle override_port, nb::handle control_port_fn);

// The user-data folder, created with missing parents. A truthy `folder` is used as given (a
// relative folder stays relative), made a path_type(folder) first when it is text or os.PathLike
// without a mkdir of its own; otherwise PANEKIT_USER_DATA, else cwd/"runtime_data"/"panekit",
// as path_type(...).resolve(). `path_type` is the host's pathlib.Path (its module global).
nb::object user_data_folder(nb::handle env_vars, nb::handle folder, nb::handle path_type);

// ---- the nested functions every host makes ---------------------------------------------------

// ---- page tracking ------------------------------------------------------------------------------
// One tracker per host call (made by make_callables, reachable as the `_pk_pages` attribute of its
// `_core`) follows the view's navigations from the engine's own events, which the host reports
// on the UI thread: a navigation started (with the engine's navigation id when it has one: a start
// with the id of the navigation in flight is a redirect of it), finished (loaded, or failed with
// the engine's error text), turned into a download, or the window closed. It answers what the
// control server's /state needs (loading, the last finished navigation) and ends the waits that
// the server arms before it starts a navigation.
//
// A waiter is a state of the runtime (Waiter slots) the server makes with `waiter_new`; the
// tracker fills its Result (a dict) once, sets ReadyAt (steady-clock seconds from which it may be
// answered: a failure that may still turn out to be a download is held back a moment) and calls
// its Wake callable with b"\0". The server sets Done once it has answered (a later finish is then
// ignored). Waiters are touched under the GIL only; the tracker only on the UI thread.
// Url is the address its navigation was asked for, when the host told the tracker (pages_requested).
enum class Waiter { Result, ReadyAt, Done, Wake, Url, kCount };

// Seconds on the steady clock (comparable with the server's own readings of it).
double steady_seconds();

// The tracker of a host's `_core` callable, or None (a server started with plain callables).
nb::object pages_of(nb::handle core_fn);
// A new waiter that calls `wake(b"\0")` when it gets its result.
nb::object waiter_new(nb::handle wake);
// Arms `waiter` for the next navigation that starts (a window already closed ends it at once).
void pages_arm(nb::handle pages, nb::handle waiter);
// Forgets an armed waiter (the navigation it waited for could not be started).
void pages_disarm(nb::handle pages, nb::handle waiter);
// The host has asked the engine for a navigation to `url`, for an engine that reports no start
// for a request replaced before it started (WebKit): the waiters of an earlier request still
// waiting for their start are answered "superseded by <url>", and those armed for this one wait
// for the next start.
void pages_requested(nb::handle pages, nb::handle url);
// (loading, last finished navigation or None).
std::pair<bool, nb::object> pages_snapshot(nb::handle pages);
// Host events. `id` None: the engine has no navigation ids (every start is a new navigation).
// `url` None in finished: the address the navigation started with. `maybe_download`: a failure
// the engine also reports for a response turned into a download (held back a moment).
void pages_started(nb::handle pages, nb::handle id, nb::handle url);
void pages_finished(nb::handle pages, nb::handle id, bool ok, nb::handle error, nb::handle url,
                    bool maybe_download = false);
void pages_download(nb::handle pages);
// A navigation inside the page shown (a fragment, history.pushState, a history step between such
// entries) has ended: the engine raises no start or finish for it, only the view's address
// changes. The waiters armed for it are answered with the page as it is now; one in flight is
// left to its own navigation.
void pages_same_document(nb::handle pages);
void pages_closed(nb::handle pages);
// The window has ended, whichever way: the tracker is closed (pages_closed) and the control server
// the window started, if any (`server` empty or None when it did not), is stopped.
void end_window(nb::handle pages, nb::handle server);
// Subscribes the tracker to a CoreWebView2's NavigationStarting, NavigationCompleted and
// DownloadStarting, and to what watch_webview2_page follows (functions nested in the caller `c`);
// errors propagate.
void watch_webview2(const Call &c, nb::handle pages, nb::handle cv);

// Ends `waiter` with `result` now (unless it was answered already) and wakes its server.
void waiter_finish(nb::handle waiter, nb::handle result);

// ---- the page's events --------------------------------------------------------------------------
// The tracker also keeps the page's events for the control server's /events: the last kEventRing
// of them, each a dict {"seq": n, "time": seconds since the epoch, "type": ..., and its fields},
// numbered from 1 in the order they happened. The tracker's own hooks add navigation_started,
// navigation_finished (url, title), navigation_failed (url, error) and window_closing; the hosts
// add same_document (url), title_changed (title), download_started (url), download_finished (url,
// path) and download_failed (url, path, error). UI thread only, like the tracker.
inline constexpr long kEventRing = 1000;
// Adds an event of `type` with `fields` (copied) and answers every waiting /events request.
void event_push(nb::handle pages, const char *type, nb::handle fields);
// A title the page now shows: title_changed when it is not empty and differs from the last one.
void pages_title(nb::handle pages, nb::handle title);
// The events after `after`: {"ok": True, "events": [...], "next": newest seq, "dropped": how many
// after `after` the ring no longer holds}; an `after` beyond the newest counts as 0 (it came from
// another window). When there are none and `waiter` is given, the waiter
// is held until one comes: its result is this empty answer from `until` (steady seconds) on, and
// the answer with the new events as soon as they come; None is returned then.
nb::object events_since(nb::handle pages, long long after, nb::handle waiter = nb::handle(), double until = 0);
// Subscribes the tracker to a CoreWebView2's SourceChanged (same-document navigations: their
// event, and the end of the waits armed for them) and DocumentTitleChanged; watch_webview2 does
// this too. Errors propagate.
void watch_webview2_page(const Call &c, nb::handle pages, nb::handle cv);

// ---- script and picture ---------------------------------------------------------------------------
// Both start on the UI thread and call `done` once, later, with the answer. A core of panekit's
// own (the GTK host's) does the work through its _pk_run_script / _pk_capture methods; a
// CoreWebView2 through ExecuteScriptWithResultAsync (ExecuteScriptAsync where the SDK lacks it)
// and CapturePreviewAsync, whose completion WebView2 posts to the UI thread.

// Runs `script` in the page: done({"ok": True, "value": the result as JSON gives it, None for
// undefined}) or done({"ok": False, "error": the engine's error text}).
void run_script(const Call &c, nb::handle cv, nb::handle script, nb::handle done);
// Takes the view's visible area as PNG: done(the PNG's bytes) or done({"ok": False, "error": text}).
void capture_png(const Call &c, nb::handle cv, nb::handle done);

// Built by make_callables for one call; each is a function of the runtime nested in the caller.
struct Callables {
    nb::object pages;        // the page tracker (also _core._pk_pages)
    nb::object invoke;       // _invoke(act): queued on the UI thread, never waits
    nb::object invoke_sync;  // _invoke_sync(act): run on the UI thread and waited for
    nb::object core;         // _core(): the core or None
    nb::object navigate;     // _do_navigate(url: str): the pending-navigation rule
    nb::object flush;        // _flush_pending_navigate()
    nb::object back, forward, reload;  // _do_back(), _do_forward(), _do_reload()
    nb::object sync;         // _sync_address_bar()
};

// start_window_server with the callables make_callables built.
inline nb::object start_window_server(const Call &c, nb::handle host, nb::handle port, const Callables &fns) {
    return start_window_server(c, host, port, ServerHandles{fns.invoke_sync, fns.core, fns.navigate, fns.back,
                                                            fns.forward, fns.reload});
}

namespace detail {
// The closure state of the built functions.
enum class Cb { Holder, Action, Host, kCount };

inline constexpr Param kActParams[] = {{.name = "act", .annotation = "Callable[[], None]"}};
inline constexpr Param kUrlParams[] = {{.name = "url", .annotation = "str", .check = Check::Str}};
inline constexpr Spec kInvokeSpec{.name = "_invoke", .params = kActParams, .returns = "None"};
inline constexpr Spec kInvokeSyncSpec{.name = "_invoke_sync", .params = kActParams, .returns = "None"};
inline constexpr Spec kCoreSpec{.name = "_core", .returns = "Any"};
inline constexpr Spec kNavigateSpec{.name = "_do_navigate", .params = kUrlParams, .returns = "None"};
inline constexpr Spec kFlushSpec{.name = "_flush_pending_navigate", .returns = "None"};
inline constexpr Spec kBackSpec{.name = "_do_back", .returns = "None"};
inline constexpr Spec kForwardSpec{.name = "_do_forward", .returns = "None"};
inline constexpr Spec kReloadSpec{.name = "_do_reload", .returns = "None"};
inline constexpr Spec kSyncSpec{.name = "_sync_address_bar", .returns = "None"};

// A page tracker reading the page through `core_fn`.
nb::object new_pages(nb::handle core_fn);

// Whether the host's `seen` hook asks for the parked navigation now.
inline bool seen_now(const View &v, const State<Cb> &st, nb::handle cv) {
    return v.seen && v.seen(st[Cb::Host], cv);
}

template <const View &V> void cb_invoke(const Call &c, nb::handle act) {
    auto st = c.state<Cb>();
    host::invoke(V, st[Cb::Holder], st[Cb::Action], act);
}
template <const View &V> void cb_invoke_sync(const Call &c, nb::handle act) {
    auto st = c.state<Cb>();
    host::invoke_sync(V, st[Cb::Holder], st[Cb::Action], act);
}
template <const View &V> nb::object cb_core(const Call &c) {
    auto st = c.state<Cb>();
    nb::object cv = host::core(V, st[Cb::Holder]);
    if (seen_now(V, st, cv)) host::flush_pending(V, st[Cb::Holder]);
    return cv;
}
template <const View &V> void cb_navigate(const Call &c, nb::str url) {
    auto st = c.state<Cb>();
    const bool deliver = V.seen && seen_now(V, st, host::core(V, st[Cb::Holder]));
    host::navigate(V, st[Cb::Holder], c.global("norm_browser_url"), url);
    // Still parked (this address normalised to nothing): deliver the parked one now.
    if (deliver) host::flush_pending(V, st[Cb::Holder]);
}
template <const View &V> void cb_flush(const Call &c) { host::flush_pending(V, c.state<Cb>()[Cb::Holder]); }
template <const View &V, History What> void cb_history(const Call &c) {
    auto st = c.state<Cb>();
    nb::handle holder = st[Cb::Holder];
    if (V.seen && seen_now(V, st, host::core(V, holder))) {
        const bool parked = truthy(host::get(holder, kPendingKey));
        host::flush_pending(V, holder);
        // The parked address has just been navigated: a history command now would start a second
        // navigation, and WebView2 cancels the first of two overlapping ones (OperationCanceled),
        // so the address would be lost. The delivered navigation stands for this request.
        if (parked && !truthy(host::get(holder, kPendingKey))) return;
    }
    host::history(V, holder, What);
}
template <const View &V> void cb_sync(const Call &c) { host::sync_address_bar(V, c.state<Cb>()[Cb::Holder]); }
}  // namespace detail

// Makes the nested functions of one host call over `holder`. `action` is the System.Action type
// for DotNet marshalling (an empty handle imports it at each marshalled call); `host_state` is
// what the View's `seen` hook receives. _do_navigate reads the module global norm_browser_url at
// each call.
template <const View &V>
Callables make_callables(const Call &c, nb::handle holder, nb::handle action = nb::handle(),
                         nb::handle host_state = nb::handle()) {
    using namespace detail;
    State<Cb> st;
    st.set(Cb::Holder, holder);
    if (action.is_valid()) st.set(Cb::Action, action);
    if (host_state.is_valid()) st.set(Cb::Host, host_state);
    // An empty Action slot is None in the state; the marshalling takes an empty handle for it.
    nb::handle s = st.object();
    Callables out;
    out.invoke = c.nested<kInvokeSpec>(cb_invoke<V>, s);
    out.invoke_sync = c.nested<kInvokeSyncSpec>(cb_invoke_sync<V>, s);
    out.core = c.nested<kCoreSpec>(cb_core<V>, s);
    out.navigate = c.nested<kNavigateSpec>(cb_navigate<V>, s);
    out.flush = c.nested<kFlushSpec>(cb_flush<V>, s);
    out.back = c.nested<kBackSpec>(cb_history<V, History::Back>, s);
    out.forward = c.nested<kForwardSpec>(cb_history<V, History::Forward>, s);
    out.reload = c.nested<kReloadSpec>(cb_history<V, History::Reload>, s);
    out.sync = c.nested<kSyncSpec>(cb_sync<V>, s);
    out.pages = new_pages(out.core);
    nb::setattr(out.core, "_pk_pages", out.pages);
    return out;
}

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
