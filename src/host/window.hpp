// A window's control server: started by the host through its module's start_control_server with
// the host's callables, reported in one line, stopped when the window ends.
#pragma once

#include "pk.hpp"

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

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

// The host layer is a library of its own, not a nanobind module: like the runtime, it adopts the
// nanobind state of the first module that starts it. Every module that uses it calls start_host()
// in its init, before anything else of the host layer.
void start_host_layer(void *nanobind_state);
inline void start_host() { start_host_layer(nb::detail::internals); }
// The window has ended, whichever way: the tracker is closed (pages_closed) and the control server
// the window started, if any (`server` empty or None when it did not), is stopped.
void end_window(nb::handle pages, nb::handle server);


}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
