// How work reaches a window's UI thread, for every host: a host keeps its window and its browser
// view in the `holder` dictionary of one call, and a `View` says which holder keys hold them, how
// the engine's view object is reached from there, and which toolkit's marshalling the window uses:
//
//     // WinForms host: holder["form"] is the form, holder["wv"].CoreWebView2 the view.
//     constexpr const char *kWvCore[] = {"CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "form", .view_key = "wv", .core_path = kWvCore};
//     // pywebview host: holder["browser_view"] is both; the view is .browser.webview.CoreWebView2.
//     constexpr const char *kBvCore[] = {"browser", "webview", "CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "browser_view", .view_key = "browser_view",
//                                    .core_path = kBvCore};
//     // GTK host: holder["form"] is the Gtk.Window, holder["core"] the WebKit view; GLib marshalling.
//     constexpr pk::host::View kView{.form_key = "form", .view_key = "core", .toolkit = Toolkit::GLib};
//
// Every function here reads `holder` at call time (a missing key counts as None) and drops an
// ordinary Exception exactly where the hosts guard; KeyboardInterrupt and SystemExit pass.
#pragma once

#include "pk.hpp"

#include <span>

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

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
// holder[key] = value.
void set(nb::handle holder, const char *key, nb::handle value);

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

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
