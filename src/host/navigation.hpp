// The host layer's navigation: the nested functions every host makes (`_invoke`, `_invoke_sync`,
// `_core`, `_do_navigate`, ...; nested in the host's run_toolbar_main: its module, qualnames
// "run_toolbar_main.<locals>._core" and so on), which the host hands to its toolbar and to the
// control server, with the pending-navigation rule, over the window's engine (engine.hpp).
#pragma once

#include "engine.hpp"
#include "marshal.hpp"
#include "tracker.hpp"
#include "window.hpp"

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

// The engine's view object (a CoreWebView2, the WebKit view), or None when there is no view yet or
// reading it raises.
nb::object core(const View &v, nb::handle holder);

// Navigation with the pending-navigation rule. `norm` is the address normaliser (called
// unguarded: its errors reach the caller). An address that normalises to empty, or that still
// holds what no browser navigates to (unusable_address), is ignored; with no view the normalised
// address replaces the pending one; otherwise, guarded, the engine navigates to it and then the
// pending address is cleared (a failed navigation keeps the earlier pending address).
void navigate(const View &v, nb::handle holder, engine::Engine &engine, nb::handle norm, nb::handle url);

// Navigates the pending address once a view exists and clears it (guarded); nothing pending or
// no view: nothing happens.
void flush_pending(const View &v, nb::handle holder, engine::Engine &engine);

// Back / forward when the history allows it, reload; nothing without a view; guarded.
enum class History { Back, Forward, Reload };
void history(const View &v, nb::handle holder, engine::Engine &engine, History what);

// The address box follows the view: the engine's address of the page, stripped, when it is not
// empty (an empty address never clears the box); nothing without a view or a box; guarded. The
// box is written through `Text` (DotNet) or set_text (GLib, only when the text differs).
void sync_address_bar(const View &v, nb::handle holder, engine::Engine &engine);

// Built by make_callables for one call; each is a function of the runtime nested in the caller.
struct Callables {
    nb::object engine;       // the window's engine (engine::wrap)
    nb::object pages;        // the window's page tracker
    nb::object invoke;       // _invoke(act): queued on the UI thread, never waits
    nb::object invoke_sync;  // _invoke_sync(act): run on the UI thread and waited for
    nb::object core;         // _core(): the engine's view object or None
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

// The engine and the page tracker of the window whose `_core` callable (made by make_callables)
// is `core_fn`: how the control server, handed the host's callables, finds them. Both None for
// any other callable (a server started with plain callables).
struct WindowParts {
    nb::object engine, pages;
};
WindowParts window_of(nb::handle core_fn);

namespace detail {
// The closure state of the built functions. Tag marks it as such a state (window_of).
enum class Cb { Tag, Holder, Action, Host, Engine, Pages, kCount };
nb::handle window_tag();

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

// The engine of a state.
inline engine::Engine &engine_of(const State<Cb> &st) { return *engine::of(st[Cb::Engine]); }

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
    if (seen_now(V, st, cv)) host::flush_pending(V, st[Cb::Holder], engine_of(st));
    return cv;
}
template <const View &V> void cb_navigate(const Call &c, nb::str url) {
    auto st = c.state<Cb>();
    const bool deliver = V.seen && seen_now(V, st, host::core(V, st[Cb::Holder]));
    host::navigate(V, st[Cb::Holder], engine_of(st), c.global("norm_browser_url"), url);
    // Still parked (this address normalised to nothing): deliver the parked one now.
    if (deliver) host::flush_pending(V, st[Cb::Holder], engine_of(st));
}
template <const View &V> void cb_flush(const Call &c) {
    auto st = c.state<Cb>();
    host::flush_pending(V, st[Cb::Holder], engine_of(st));
}
template <const View &V, History What> void cb_history(const Call &c) {
    auto st = c.state<Cb>();
    nb::handle holder = st[Cb::Holder];
    if (V.seen && seen_now(V, st, host::core(V, holder))) {
        const bool parked = truthy(host::get(holder, kPendingKey));
        host::flush_pending(V, holder, engine_of(st));
        // The parked address has just been navigated: a history command now would start a second
        // navigation, and WebView2 cancels the first of two overlapping ones (OperationCanceled),
        // so the address would be lost. The delivered navigation stands for this request.
        if (parked && !truthy(host::get(holder, kPendingKey))) return;
    }
    host::history(V, holder, engine_of(st), What);
}
template <const View &V> void cb_sync(const Call &c) {
    auto st = c.state<Cb>();
    host::sync_address_bar(V, st[Cb::Holder], engine_of(st));
}
}  // namespace detail

// Makes the nested functions of one host call over `holder`, with the window's engine (an object
// engine::wrap made) and a new page tracker. `action` is the System.Action type for DotNet
// marshalling (an empty handle imports it at each marshalled call); `host_state` is what the
// View's `seen` hook receives. _do_navigate reads the module global norm_browser_url at each call.
template <const View &V>
Callables make_callables(const Call &c, nb::handle holder, nb::handle engine, nb::handle action = nb::handle(),
                         nb::handle host_state = nb::handle()) {
    using namespace detail;
    State<Cb> st;
    st.set(Cb::Tag, window_tag());
    st.set(Cb::Holder, holder);
    st.set(Cb::Engine, engine);
    if (action.is_valid()) st.set(Cb::Action, action);
    if (host_state.is_valid()) st.set(Cb::Host, host_state);
    // An empty Action slot is None in the state; the marshalling takes an empty handle for it.
    nb::handle s = st.object();
    Callables out;
    out.engine = nb::borrow(engine);
    out.invoke = c.nested<kInvokeSpec>(cb_invoke<V>, s);
    out.invoke_sync = c.nested<kInvokeSyncSpec>(cb_invoke_sync<V>, s);
    out.core = c.nested<kCoreSpec>(cb_core<V>, s);
    out.navigate = c.nested<kNavigateSpec>(cb_navigate<V>, s);
    out.flush = c.nested<kFlushSpec>(cb_flush<V>, s);
    out.back = c.nested<kBackSpec>(cb_history<V, History::Back>, s);
    out.forward = c.nested<kForwardSpec>(cb_history<V, History::Forward>, s);
    out.reload = c.nested<kReloadSpec>(cb_history<V, History::Reload>, s);
    out.sync = c.nested<kSyncSpec>(cb_sync<V>, s);
    out.pages = new_pages(engine, out.core);
    st.set(Cb::Pages, out.pages);
    return out;
}

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
