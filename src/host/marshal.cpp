// UI-thread marshalling of the host layer (see marshal.hpp): the toolkits' ways of running work
// on the window's UI thread, and the GLib channel of the GTK host.
#include "marshal.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace pk::host {

using namespace nb::literals;

void set(nb::handle holder, const char *key, nb::handle value) {
    check(PyObject_SetItem(holder.ptr(), nb::str(key).ptr(), value.ptr()));
}

namespace {

// ---- GLib: the window's channel to its main loop ---------------------------------------------

// A window's channel (kept in its holder under kUiChannelKey): work handed to the UI thread waits
// in `work` and a byte written to a pipe wakes the main loop, which watches the pipe's read end
// with one step callable for the channel's whole life. The step runs the work in order and counts
// it in `finished`; a waiter sleeps on `cv` with the GIL released, so it is woken by the count
// itself and not by Python code of the UI thread. `work` is touched under the GIL and `m`; the
// counters and `closed` under `m`.
struct GlibChannel {
    unsigned long ui_thread = 0;  // PyThread_get_thread_ident() of the thread running the loop
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::pair<std::uint64_t, PyObject *>> work;  // (number, act), references owned
    std::uint64_t queued = 0, finished = 0;
    std::uint64_t waited = 0;  // the number of the last piece of work another thread waits for
    bool closed = false;
    PyObject *rfd = nullptr, *wfd = nullptr;  // the pipe's ends (ints), closed with the channel
    PyObject *os_read = nullptr, *os_write = nullptr, *wake_byte = nullptr;
    PyObject *glib = nullptr, *source = nullptr;  // GLib and the watch's source id (None once removed)
};

const char *const kChannelName = "panekit.glib_channel";

GlibChannel *channel_of(nb::handle capsule) {
    void *ch = PyCapsule_GetPointer(capsule.ptr(), kChannelName);
    if (!ch) throw nb::python_error();
    return static_cast<GlibChannel *>(ch);
}

void channel_free(PyObject *capsule) {
    auto *ch = static_cast<GlibChannel *>(PyCapsule_GetPointer(capsule, kChannelName));
    if (!ch) {
        PyErr_Clear();
        return;
    }
    PyObject *exc = PyErr_GetRaisedException();
    for (auto &item : ch->work) Py_DECREF(item.second);
    for (PyObject *fd : {ch->rfd, ch->wfd}) {
        if (!fd) continue;
        PyObject *os = PyImport_ImportModule("os");
        PyObject *r = os ? PyObject_CallMethod(os, "close", "O", fd) : nullptr;
        Py_XDECREF(os);
        Py_XDECREF(r);
        if (!r) PyErr_Clear();
    }
    for (PyObject *o : {ch->rfd, ch->wfd, ch->os_read, ch->os_write, ch->wake_byte, ch->glib, ch->source}) Py_XDECREF(o);
    delete ch;
    PyErr_SetRaisedException(exc);
}

// Marks work `n` done and wakes its waiter.
void channel_finished(GlibChannel *ch, std::uint64_t n) {
    {
        std::lock_guard lk(ch->m);
        ch->finished = n;
    }
    ch->cv.notify_all();
}

// The main loop's watch on the pipe: drains it, runs the queued work in order (an Exception of a
// piece of work is dropped; KeyboardInterrupt and SystemExit are reported as the loop reports an
// error of a callback, once the rest has run) and keeps watching.
PyObject *channel_step(PyObject *capsule, PyObject *) {
    auto *ch = static_cast<GlibChannel *>(PyCapsule_GetPointer(capsule, kChannelName));
    if (!ch) return nullptr;
    PyObject *drained = PyObject_CallFunction(ch->os_read, "Oi", ch->rfd, 4096);
    Py_XDECREF(drained);
    if (!drained) PyErr_Clear();
    PyObject *stop = nullptr;  // a KeyboardInterrupt or SystemExit of a piece of work
    for (;;) {
        std::pair<std::uint64_t, PyObject *> item;
        {
            std::lock_guard lk(ch->m);
            if (ch->work.empty()) break;
            item = ch->work.front();
            ch->work.pop_front();
        }
        PyObject *r = PyObject_CallNoArgs(item.second);
        Py_DECREF(item.second);
        Py_XDECREF(r);
        if (!r) {
            if (PyErr_ExceptionMatches(PyExc_Exception) || stop) PyErr_Clear();
            else stop = PyErr_GetRaisedException();
        }
        const std::uint64_t seen = gil_arrivals();
        channel_finished(ch, item.first);
        bool waited;
        {
            std::lock_guard lk(ch->m);
            waited = ch->waited == item.first;
        }
        if (waited) gil_hand_over(seen, kHandOverSeconds);
    }
    if (stop) {
        PyErr_SetRaisedException(stop);
        PyErr_Print();  // as the loop does with an error of a callback (SystemExit ends the process)
    }
    return Py_NewRef(Py_True);
}
PyMethodDef channel_step_def = {"_ui_step", channel_step, METH_VARARGS, nullptr};

// How long one wait for queued work lasts before the window is looked at again.
constexpr auto kGlibWaitSlice = std::chrono::milliseconds(50);
// The watch's priority: that of GLib's default sources, so a control request queues beside the
// engine's own events instead of after every redraw and input event (the idle priorities).
constexpr int kGlibPriority = 0;  // G_PRIORITY_DEFAULT

void glib_run(const View &v, nb::handle holder, nb::handle act, bool wait) {
    nb::object capsule = get(holder, kUiChannelKey);
    if (capsule.is_none() || PyThread_get_thread_ident() == channel_of(capsule)->ui_thread) {
        act();  // on the UI thread (or no main loop to queue on)
        return;
    }
    GlibChannel *ch = channel_of(capsule);
    std::uint64_t n;
    {
        std::lock_guard lk(ch->m);
        if (ch->closed) return;  // the window has gone: nothing will run it
        n = ++ch->queued;
        ch->work.emplace_back(n, nb::borrow(act).release().ptr());
        if (wait) ch->waited = n;
    }
    check(PyObject_CallFunctionObjArgs(ch->os_write, ch->wfd, ch->wake_byte, nullptr));  // GIL released inside
    if (!wait) return;
    for (;;) {
        // Waited without the interpreter, which the program's end may take away meanwhile.
        const bool done = pk::without_interpreter([&]() noexcept {
            std::unique_lock lk(ch->m);
            return ch->cv.wait_for(lk, kGlibWaitSlice, [&] { return ch->finished >= n || ch->closed; });
        });
        if (done) gil_arrived();
        if (done || get(holder, v.form_key).is_none()) return;
    }
}

// Marshalling with its errors dropped (the hosts' _invoke / _invoke_sync).
void marshal(const View &v, nb::handle holder, nb::handle form, nb::handle action, nb::handle act, bool wait) {
    guarded([&] { run_on_ui(v, holder, form, action, act, wait); });
}

}  // namespace

namespace {
struct Arrivals {
    std::mutex m;
    std::condition_variable cv;
    std::uint64_t count = 0;
};
Arrivals &arrivals() {
    static Arrivals *a = new Arrivals;  // never destroyed: threads may use it while the process ends
    return *a;
}
}  // namespace

std::uint64_t gil_arrivals() {
    Arrivals &a = arrivals();
    std::lock_guard lk(a.m);
    return a.count;
}

void gil_arrived() {
    Arrivals &a = arrivals();
    {
        std::lock_guard lk(a.m);
        ++a.count;
    }
    a.cv.notify_all();
}

void gil_hand_over(std::uint64_t seen, double max_seconds) {
    Arrivals &a = arrivals();
    // Released and taken back by hand, with no object of this frame alive across the taking: a
    // thread that takes the lock back while the interpreter ends is ended there (a forced unwind,
    // which a destructor would turn into a termination).
    PyThreadState *ts = PyEval_SaveThread();
    {
        std::unique_lock lk(a.m);
        a.cv.wait_for(lk, std::chrono::duration<double>(max_seconds), [&] { return a.count != seen; });
    }
    PyEval_RestoreThread(ts);
}

void run_on_ui(nb::handle form, nb::handle action, nb::handle act, const char *method) {
    nb::object delegate_type =
        action.is_valid() && !action.is_none() ? nb::borrow(action) : import_from("System", "Action");
    if (truthy(form.attr("InvokeRequired")))
        form.attr(method)(delegate_type(act));
    else
        act();
}

void run_on_ui(const View &v, nb::handle holder, nb::handle form, nb::handle action, nb::handle act, bool wait) {
    if (v.toolkit == Toolkit::GLib)
        glib_run(v, holder, act, wait);
    else
        run_on_ui(form, action, act, wait ? "Invoke" : "BeginInvoke");
}

void glib_channel_open(nb::handle holder, nb::handle glib) {
    auto *ch = new GlibChannel;
    nb::object capsule = nb::steal(PyCapsule_New(ch, kChannelName, channel_free));
    if (!capsule.is_valid()) {
        delete ch;
        throw nb::python_error();
    }
    ch->ui_thread = PyThread_get_thread_ident();
    nb::object os = import("os");
    nb::object fds = os.attr("pipe")();
    ch->rfd = nb::object(fds[0]).release().ptr();
    ch->wfd = nb::object(fds[1]).release().ptr();
    ch->os_read = nb::object(os.attr("read")).release().ptr();
    ch->os_write = nb::object(os.attr("write")).release().ptr();
    ch->wake_byte = nb::bytes("\1", 1).release().ptr();
    ch->glib = nb::borrow(glib).release().ptr();
    nb::object step = check(PyCFunction_New(&channel_step_def, capsule.ptr()));
    nb::object source = glib.attr("unix_fd_add_full")(kGlibPriority, nb::handle(ch->rfd),
                                                      glib.attr("IOCondition").attr("IN"), step);
    ch->source = source.release().ptr();
    set(holder, kUiChannelKey, capsule);
}

void glib_channel_close(nb::handle holder) {
    nb::object capsule = get(holder, kUiChannelKey);
    if (capsule.is_none()) return;
    GlibChannel *ch = channel_of(capsule);
    std::deque<std::pair<std::uint64_t, PyObject *>> dropped;
    {
        std::lock_guard lk(ch->m);
        ch->closed = true;
        dropped.swap(ch->work);
    }
    ch->cv.notify_all();
    for (auto &item : dropped) Py_DECREF(item.second);
    if (ch->source != Py_None) {
        guarded([&] { nb::handle(ch->glib).attr("source_remove")(nb::handle(ch->source)); });
        Py_SETREF(ch->source, Py_NewRef(Py_None));
    }
}

nb::object get(nb::handle holder, const char *key) {
    if (PyDict_Check(holder.ptr())) {
        PyObject *v = nullptr;
        check(PyDict_GetItemStringRef(holder.ptr(), key, &v));
        return v ? nb::steal(v) : nb::none();
    }
    return holder.attr("get")(key);
}

void invoke(const View &v, nb::handle holder, nb::handle action, nb::handle act) {
    nb::object form = get(holder, v.form_key);
    if (form.is_none()) return;
    marshal(v, holder, form, action, act, false);
}

void invoke_sync(const View &v, nb::handle holder, nb::handle action, nb::handle act) {
    nb::object form = get(holder, v.form_key);
    if (form.is_none()) {
        guarded([&] { act(); });
        return;
    }
    marshal(v, holder, form, action, act, true);
}

}  // namespace pk::host
