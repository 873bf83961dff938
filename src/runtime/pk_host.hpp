// The host layer: what both browser hosts (the WinForms host and the pywebview host) do the same
// way, written once. A host keeps its window and its browser view in the `holder` dictionary of
// one call; the hosts differ only in which holder keys hold them and in how the CoreWebView2 is
// reached from the view, which a `pk::host::View` describes:
//
//     // WinForms host: holder["form"] is the form, holder["wv"].CoreWebView2 the core.
//     constexpr const char *kWvCore[] = {"CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "form", .view_key = "wv", .core_path = kWvCore};
//     // pywebview host: holder["browser_view"] is both; the core is .browser.webview.CoreWebView2.
//     constexpr const char *kBvCore[] = {"browser", "webview", "CoreWebView2"};
//     constexpr pk::host::View kView{.form_key = "browser_view", .view_key = "browser_view",
//                                    .core_path = kBvCore};
//
// The Python-visible nested functions (`_invoke`, `_core`, `_do_navigate`, ...) stay in each host,
// with the host's own module, names, qualnames and annotations; their bodies call these functions.
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

struct View {
    const char *form_key;  // holder key of the window (InvokeRequired, Invoke, BeginInvoke)
    const char *view_key;  // holder key of the object the core is read from
    std::span<const char *const> core_path;  // attribute chain from that object to its CoreWebView2
};

// The holder key of the address waiting for the browser core.
inline constexpr const char *kPendingKey = "pending_navigate_url";

// holder.get(key): the value, or None when the key is missing.
nb::object get(nb::handle holder, const char *key);

// ---- UI-thread marshalling ------------------------------------------------------------------
// `action` is the System.Action delegate type that wraps `act`; an empty handle imports it from
// System at each call, inside the guard. `act` is a zero-argument callable; its result is dropped.

// Runs `act` on the window's UI thread through `method` ("Invoke" waits, "BeginInvoke" queues),
// wrapped in `action` (System.Action, imported when not given), when the window reports
// InvokeRequired; else act() at once. Errors propagate.
void run_on_ui(nb::handle form, nb::handle action, nb::handle act, const char *method);

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
// unguarded: its errors reach the caller). An address that normalises to empty is ignored; with
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

// Stops what start_control_server returned (the pair server, thread; a server object is taken
// as it is): shutdown() and then server_close(), each guarded. Anything else is left alone.
void stop_control_server(nb::handle started);

// ---- settings -----------------------------------------------------------------------------------
// Environment variables are read at call time from `env_vars` (the host module's os.env_vars, so a
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

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
