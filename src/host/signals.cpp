// Signals that end a window (see signals.hpp).
#include "signals.hpp"

namespace pk::host {

using namespace nb::literals;

namespace {

const char *const kSignalNames[] = {"SIGINT", "SIGTERM", "SIGBREAK"};

constexpr Param signal_params[] = {{.name = "signum", .annotation = "int"}, {.name = "frame", .annotation = "Any"}};
constexpr Spec on_signal_spec{.name = "_on_signal", .params = signal_params, .returns = "None"};
// The closure state is the window's close callable itself.
void on_signal(const Call &c, nb::handle signum, nb::handle) {
    nb::object name = guarded_or(nb::object(nb::str(signum)), [&] {
        return nb::object(import("signal").attr("Signals")(signum).attr("name"));
    });
    print_line(format1(kSignalLine, name));
    guarded([&] { nb::handle(closure_of(c.function().ptr()))(); });
}

}  // namespace

bool on_main_thread() {
    nb::object threading = import("threading");
    return nb::object(threading.attr("current_thread")()).is(threading.attr("main_thread")());
}

nb::list catch_signals(const Call &c, nb::handle close) {
    nb::list saved;
    if (!on_main_thread()) return saved;
    nb::object signal = import("signal");
    nb::object handler = c.nested<on_signal_spec>(on_signal, close);
    for (const char *name : kSignalNames) {
        if (!nb::hasattr(signal, name)) continue;
        nb::object num = signal.attr(name);
        saved.append(nb::make_tuple(num, signal.attr("getsignal")(num)));
        signal.attr("signal")(num, handler);
    }
    return saved;
}

void restore_signals(nb::handle saved) {
    if (!saved.is_valid() || saved.is_none()) return;
    for (nb::handle pair : saved) guarded([&] { import("signal").attr("signal")(pair[0], pair[1]); });
}

void run_pending_signals() {
    if (PyErr_CheckSignals() < 0) PyErr_WriteUnraisable(nullptr);
}

}  // namespace pk::host
