// Signals that end a window: SIGINT (Ctrl-C), SIGTERM and, where the system has it, SIGBREAK
// (Ctrl-Break on a Windows console) close the window as its close button does, so that its lines,
// its control server and its runtime file end as after a close and the host's call returns 0.
//
// The handlers are Python's (signal.signal), so they run on the main thread between two Python
// bytecodes: a host whose main thread waits in Python (a join in steps, PyGObject's main loop)
// gets them at once; one whose main thread sits in a native message loop that never runs Python
// (Windows Forms' Application.Run) runs them itself from a timer (run_pending_signals). A window
// run on another thread than the main one leaves the signals alone.
#pragma once

#include "pk.hpp"

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

// "[panekit] 收到 <signal name>，关闭窗口", said once for each signal that arrives.
inline constexpr const char *kSignalLine = "[panekit] 收到 %s，关闭窗口";
// How often a native message loop on the main thread lets the handlers run.
inline constexpr int kSignalPollMilliseconds = 200;

// On the main thread: replaces the handlers of the signals above with one that says the line and
// calls `close()` (which must only queue the close for the window's UI thread: it runs wherever
// the main thread happens to be) and returns the handlers it replaced, for restore_signals. On
// any other thread: an empty list, nothing changed.
nb::list catch_signals(const Call &c, nb::handle close);
// Puts back the handlers catch_signals replaced (each guarded); `saved` may be empty or None.
void restore_signals(nb::handle saved);
// Whether the calling thread is Python's main thread (the one signal handlers run on).
bool on_main_thread();
// Runs the handlers of signals that have arrived, when called on the main thread; an error a
// handler raised is reported as unraisable (a timer's tick has nobody to hand it to).
void run_pending_signals();

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
