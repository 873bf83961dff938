// The host layer the browser hosts share (see pk_host.hpp).
#include "pk_host.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace pk::host {

using namespace nb::literals;

namespace {

void set(nb::handle holder, const char *key, nb::handle value) {
    check(PyObject_SetItem(holder.ptr(), nb::str(key).ptr(), value.ptr()));
}

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
        channel_finished(ch, item.first);
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
    }
    check(PyObject_CallFunctionObjArgs(ch->os_write, ch->wfd, ch->wake_byte, nullptr));  // GIL released inside
    if (!wait) return;
    for (;;) {
        const bool done = without_interpreter([&]() noexcept {
            std::unique_lock lk(ch->m);
            return ch->cv.wait_for(lk, kGlibWaitSlice, [&] { return ch->finished >= n || ch->closed; });
        });
        if (done || get(holder, v.form_key).is_none()) return;
    }
}

// Marshalling with its errors dropped (the hosts' _invoke / _invoke_sync).
void marshal(const View &v, nb::handle holder, nb::handle form, nb::handle action, nb::handle act, bool wait) {
    guarded([&] { run_on_ui(v, holder, form, action, act, wait); });
}

}  // namespace

void run_on_ui(nb::handle form, nb::handle action, nb::handle act, const char *method) {
    nb::object delegate_type =
        action.is_valid() && !action.is_none() ? nb::borrow(action) : import_from("System", "Action");
    if (truthy(form.attr("InvokeRequired")))
        form.attr(method)(delegate_type(act));
    else
        act();
}

void say_control_server_failed(nb::handle base_url, nb::handle error) {
    print_line(nb::str("[panekit] 控制接口 ") + nb::str(base_url) + nb::str(" 启动失败: ") + nb::str(error));
}

nb::object window_server_url(const Call &c, nb::handle host, nb::handle port, nb::handle started) {
    // The port the server was bound to (port 0 asks the system for a free one).
    nb::object bound = nb::borrow(port);
    if (started.is_valid() && !started.is_none())
        bound = guarded_or(bound, [&] {
            nb::object srv = nb::hasattr(started, "server_address") ? nb::borrow(started) : nb::object(started[0]);
            return nb::object(srv.attr("server_address")[1]);
        });
    return c.global("_control_address")("port"_a = bound, "host"_a = host);
}

nb::object start_window_server(const Call &c, nb::handle host, nb::handle port, const ServerHandles &fns) {
    try {
        return c.global("start_control_server")(
            "host"_a = host, "port"_a = port, "invoke_sync"_a = fns.invoke_sync, "core"_a = fns.core,
            "do_navigate"_a = fns.navigate, "do_back"_a = fns.back, "do_forward"_a = fns.forward,
            "do_reload"_a = fns.reload);
    } catch (nb::python_error &e) {
        if (is_exception(e)) guarded([&] { say_control_server_failed(window_server_url(c, host, port), e.value()); });
        throw;
    }
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

void sync_address_bar(const View &v, nb::handle holder) {
    nb::object cv = core(v, holder);
    nb::object tb = get(holder, "addr");
    if (cv.is_none() || tb.is_none()) return;
    guarded([&] {
        nb::object src = text_or_empty(nb::object(cv.attr("Source"))).attr("strip")();
        if (!truthy(src)) return;
        if (v.toolkit == Toolkit::GLib) {
            if (src.not_equal(tb.attr("get_text")())) tb.attr("set_text")(src);
        } else {
            tb.attr("Text") = src;
        }
    });
}

void stop_control_server(nb::handle started) {
    nb::object srv = guarded_or(nb::object(), [&]() -> nb::object {
        return nb::hasattr(started, "shutdown") ? nb::borrow(started) : nb::object(started[0]);
    });
    if (!srv.is_valid()) return;
    guarded([&] { srv.attr("shutdown")(); });
    guarded([&] { srv.attr("server_close")(); });
}

void add_host_globals(const Module &mod, ServerImport server) {
    mod.set("os", import("os"));
    mod.set("sys", import("sys"));
    mod.defer_names("pathlib", {"Path"});
    mod.defer_names("typing", {"Any", "Callable", "Dict", "Optional"});
    auto names = {"control_base_url", "control_port", "start_control_server", "_control_address"};
    if (server == ServerImport::WithModule)
        mod.import_names("panekit.helmwire", names);
    else
        mod.defer_names("panekit.helmwire", names);
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

nb::object core(const View &v, nb::handle holder) {
    nb::object view = get(holder, v.view_key);
    if (view.is_none()) return view;
    return guarded_or(nb::object(nb::none()), [&]() -> nb::object {
        nb::object o = view;
        for (const char *name : v.core_path) o = o.attr(name);
        return o;
    });
}

void navigate(const View &v, nb::handle holder, nb::handle norm, nb::handle url) {
    nb::object u = norm(url);
    if (!truthy(u) || unusable_address(u)) return;
    nb::object cv = core(v, holder);
    if (cv.is_none()) {
        set(holder, kPendingKey, u);
        return;
    }
    guarded([&] {
        cv.attr("Navigate")(nb::str(u));
        set(holder, kPendingKey, nb::none());
    });
}

void flush_pending(const View &v, nb::handle holder) {
    nb::object u = get(holder, kPendingKey);
    if (u.is_none() || !truthy(u)) return;
    nb::object cv = core(v, holder);
    if (cv.is_none()) return;
    guarded([&] {
        cv.attr("Navigate")(nb::str(u));
        set(holder, kPendingKey, nb::none());
    });
}

void history(const View &v, nb::handle holder, History what) {
    nb::object cv = core(v, holder);
    if (cv.is_none()) return;
    guarded([&] {
        switch (what) {
            case History::Back:
                if (truthy(nb::object(cv.attr("CanGoBack")))) cv.attr("GoBack")();
                break;
            case History::Forward:
                if (truthy(nb::object(cv.attr("CanGoForward")))) cv.attr("GoForward")();
                break;
            case History::Reload: cv.attr("Reload")(); break;
        }
    });
}

bool on_windows(nb::handle sys_module) {
    nb::object plat = sys_module.attr("platform");
    return check(PyObject_RichCompareBool(plat.ptr(), nb::str("win32").ptr(), Py_EQ)) != 0;
}

nb::object home(nb::handle env_vars, nb::handle home_url, nb::handle default_home, nb::handle norm) {
    nb::object env = env_vars.attr("get")("PANEKIT_HOME");
    nb::object h = norm(first_nonempty({home_url, env, default_home}));
    return truthy(h) ? h : nb::borrow(default_home);
}

nb::object start(nb::handle start_url, nb::handle home, nb::handle norm) {
    nb::object s = norm(start_url);
    return truthy(s) ? s : nb::borrow(home);
}

nb::object control_host(nb::handle env_vars, nb::handle control_host) {
    nb::object env = env_vars.attr("get")("PANEKIT_CONTROL_HOST");
    nb::str fallback("127.0.0.1");
    nb::object ch = first_nonempty({control_host, env, fallback}).attr("strip")();
    return truthy(ch) ? ch : nb::object(fallback);
}

nb::object control_port(nb::handle override_port, nb::handle control_port_fn) {
    nb::object value = override_port.is_none() ? control_port_fn() : nb::borrow(override_port);
    return check(PyNumber_Long(value.ptr()));
}

nb::object user_data_folder(nb::handle env_vars, nb::handle folder, nb::handle path_type) {
    nb::object ud;
    if (!folder.is_none() && truthy(folder)) {
        ud = nb::borrow(folder);
        const bool pathish = PyUnicode_Check(folder.ptr()) ||
                             check(PyObject_IsInstance(folder.ptr(), import("os").attr("PathLike").ptr()));
        if (pathish && !nb::hasattr(folder, "mkdir")) ud = path_type(folder);
    } else {
        nb::object env = env_vars.attr("get")("PANEKIT_USER_DATA");
        nb::object raw = (!env.is_none() && truthy(env))
                             ? env
                             : nb::object(path_type.attr("cwd")() / nb::str("runtime_data") / nb::str("panekit"));
        ud = path_type(raw).attr("resolve")();
    }
    ud.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    return ud;
}

}  // namespace pk::host

// ---- page tracking ----------------------------------------------------------------------------------

namespace pk::host {

namespace {

// The tracker's slots. Tag marks a tracker among other states; Current is the navigation in
// flight as (id, url) or None; Bound the waiters of that navigation, Armed those waiting for the
// next start, Recent those of a navigation that just failed while a download may still follow
// (until RecentUntil); Last the last finished navigation's dict.
enum class Pages { Tag, Core, Loading, Current, Download, Last, Bound, Armed, Recent, RecentUntil, Closed, Events, kCount };

// The page's events (the tracker's Events slot): the ring (a deque of at most kEventRing), the
// newest sequence number, the waiting /events requests as (waiter, after) pairs, the last title.
enum class Ev { Ring, Seq, Waiters, Title, kCount };

// How long a failure that may be a download is held back for the engine's download event.
constexpr double kDownloadGrace = 0.5;

nb::handle pages_tag() {
    static PyObject *tag = PyUnicode_InternFromString("panekit page tracker");
    return tag;
}

State<Pages> tracker(nb::handle pages) { return State<Pages>(pages); }

// Ends a waiter with `result` (unless already answered); answerable `hold` seconds from now.
void finish_waiter(nb::handle w, nb::handle result, double hold = 0) {
    State<Waiter> st(w);
    if (st[Waiter::Done].is(Py_True)) return;
    st.set(Waiter::Result, result);
    st.set(Waiter::ReadyAt, nb::float_(steady_seconds() + hold));
    guarded([&] { st[Waiter::Wake](nb::bytes("\0", 1)); });
}

void finish_all(const State<Pages> &st, Pages list, nb::handle result, double hold = 0) {
    nb::object ws = nb::borrow(st[list]);
    st.set(list, nb::list());
    if (!PyList_Check(ws.ptr())) return;
    for (nb::handle w : ws) finish_waiter(w, result, hold);
}

nb::dict answer(bool ok) {
    nb::dict d;
    d["ok"] = ok;
    return d;
}

// The page as it is now: its address (Source) and title (DocumentTitle), "" when unknown.
std::pair<nb::object, nb::object> page_now(const State<Pages> &st) {
    nb::object cv = guarded_or(nb::object(nb::none()), [&] { return nb::object(st[Pages::Core]()); });
    if (cv.is_none()) return {nb::str(""), nb::str("")};
    nb::object url = guarded_or(nb::object(nb::str("")), [&] { return nb::object(source_text(cv)); });
    nb::object title = guarded_or(nb::object(nb::str("")),
                                  [&] { return nb::object(text_or_empty(nb::object(cv.attr("DocumentTitle")))); });
    return {url, title};
}

}  // namespace

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

namespace detail {
nb::object new_pages(nb::handle core_fn) {
    State<Pages> st;
    st.set(Pages::Tag, pages_tag());
    st.set(Pages::Core, core_fn);
    st.set(Pages::Loading, Py_False);
    st.set(Pages::Download, Py_False);
    st.set(Pages::Bound, nb::list());
    st.set(Pages::Armed, nb::list());
    st.set(Pages::Recent, nb::list());
    st.set(Pages::RecentUntil, nb::float_(0.0));
    st.set(Pages::Closed, Py_False);
    State<Ev> ev;
    ev.set(Ev::Ring, import("collections").attr("deque")("maxlen"_a = kEventRing));
    ev.set(Ev::Seq, nb::int_(0));
    ev.set(Ev::Waiters, nb::list());
    ev.set(Ev::Title, nb::str(""));
    st.set(Pages::Events, ev.object());
    return nb::borrow(st.object());
}
}  // namespace detail

nb::object pages_of(nb::handle core_fn) {
    nb::object pages = guarded_or(nb::object(nb::none()), [&] { return attr_or(core_fn, "_pk_pages", nb::none()); });
    if (pages.is_none() || !tracker(pages)[Pages::Tag].is(pages_tag())) return nb::none();
    return pages;
}

nb::object waiter_new(nb::handle wake) {
    State<Waiter> st;
    st.set(Waiter::ReadyAt, nb::float_(0.0));
    st.set(Waiter::Done, Py_False);
    st.set(Waiter::Wake, wake);
    return nb::borrow(st.object());
}

void pages_arm(nb::handle pages, nb::handle waiter) {
    auto st = tracker(pages);
    if (st[Pages::Closed].is(Py_True)) {
        nb::dict r = answer(false);
        r["error"] = "window closed";
        finish_waiter(waiter, r);
        return;
    }
    nb::borrow<nb::list>(st[Pages::Armed]).append(waiter);
}

void pages_disarm(nb::handle pages, nb::handle waiter) {
    nb::handle armed = tracker(pages)[Pages::Armed];
    guarded([&] { armed.attr("remove")(waiter); });
}

std::pair<bool, nb::object> pages_snapshot(nb::handle pages) {
    auto st = tracker(pages);
    return {st[Pages::Loading].is(Py_True), nb::borrow(st[Pages::Last])};
}

void pages_started(nb::handle pages, nb::handle id, nb::handle url) {
    auto st = tracker(pages);
    nb::object text = text_or_empty(url);
    nb::handle current = st[Pages::Current];
    if (!id.is_none() && !current.is_none()) {
        nb::handle cur_id = PyTuple_GET_ITEM(current.ptr(), 0);
        if (!cur_id.is_none() && nb::borrow(cur_id).equal(id)) {  // a redirect of the same navigation
            st.set(Pages::Current, nb::make_tuple(id, text));
            return;
        }
    }
    nb::dict superseded = answer(false);
    superseded["error"] = nb::str("superseded by ") + nb::str(text);
    finish_all(st, Pages::Bound, superseded);
    st.set(Pages::Recent, nb::list());
    st.set(Pages::Bound, nb::borrow(st[Pages::Armed]));
    st.set(Pages::Armed, nb::list());
    st.set(Pages::Current, nb::make_tuple(id, text));
    st.set(Pages::Download, Py_False);
    st.set(Pages::Loading, Py_True);
    nb::dict ev;
    ev["url"] = text;
    event_push(pages, "navigation_started", ev);
}

void pages_finished(nb::handle pages, nb::handle id, bool ok, nb::handle error, nb::handle url, bool maybe_download) {
    auto st = tracker(pages);
    nb::handle current = st[Pages::Current];
    if (current.is_none()) return;  // nothing seen starting (or already ended)
    nb::handle cur_id = PyTuple_GET_ITEM(current.ptr(), 0);
    if (!id.is_none() && !cur_id.is_none() && !nb::borrow(cur_id).equal(id)) return;  // an older one
    nb::object nav_url = url.is_none() ? nb::borrow(PyTuple_GET_ITEM(current.ptr(), 1)) : nb::object(text_or_empty(url));
    const bool downloaded = st[Pages::Download].is(Py_True);
    st.set(Pages::Current, nb::none());
    st.set(Pages::Loading, Py_False);
    if (downloaded) return;  // its wait ended with the download
    nb::dict last;
    last["url"] = nav_url;
    last["ok"] = ok;
    last["error"] = ok ? nb::object(nb::none()) : nb::object(text_or_empty(error));
    st.set(Pages::Last, last);
    nb::dict result = answer(ok);
    nb::dict ev;
    if (ok) {
        auto [src, title] = page_now(st);
        result["url"] = src;
        result["title"] = title;
        ev["url"] = src;
        ev["title"] = title;
    } else {
        result["url"] = nav_url;
        result["error"] = last["error"];
        ev["url"] = nav_url;
        ev["error"] = last["error"];
    }
    event_push(pages, ok ? "navigation_finished" : "navigation_failed", ev);
    const double hold = (!ok && maybe_download) ? kDownloadGrace : 0;
    nb::object bound = nb::borrow(st[Pages::Bound]);
    finish_all(st, Pages::Bound, result, hold);
    if (hold > 0) {
        st.set(Pages::Recent, bound);
        st.set(Pages::RecentUntil, nb::float_(steady_seconds() + hold));
    }
}

void pages_download(nb::handle pages) {
    auto st = tracker(pages);
    nb::handle current = st[Pages::Current];
    Pages list;
    nb::object nav_url;
    if (!current.is_none() && !st[Pages::Download].is(Py_True)) {
        list = Pages::Bound;
        nav_url = nb::borrow(PyTuple_GET_ITEM(current.ptr(), 1));
        st.set(Pages::Download, Py_True);
        st.set(Pages::Loading, Py_False);
    } else if (nb::cast<double>(st[Pages::RecentUntil]) > steady_seconds()) {
        list = Pages::Recent;  // the engine reported the navigation failed just before
        nb::handle last = st[Pages::Last];
        nav_url = last.is_none() ? nb::object(nb::str("")) : nb::object(last["url"]);
        st.set(Pages::RecentUntil, nb::float_(0.0));
    } else {
        return;  // a download no navigation of ours turned into
    }
    nb::dict last;
    last["url"] = nav_url;
    last["ok"] = true;
    last["error"] = nb::none();
    last["download"] = true;
    st.set(Pages::Last, last);
    nb::dict result = answer(true);
    result["url"] = page_now(st).first;
    result["download"] = true;
    finish_all(st, list, result);
}

void pages_same_document(nb::handle pages) {
    auto st = tracker(pages);
    if (st[Pages::Closed].is(Py_True)) return;
    auto [src, title] = page_now(st);
    if (st[Pages::Current].is_none()) {  // nothing else in flight: this is the last navigation that ended
        nb::dict last;
        last["url"] = src;
        last["ok"] = true;
        last["error"] = nb::none();
        st.set(Pages::Last, last);
    }
    nb::dict result = answer(true);
    result["url"] = src;
    result["title"] = title;
    finish_all(st, Pages::Armed, result);
}

void pages_closed(nb::handle pages) {
    auto st = tracker(pages);
    if (!st[Pages::Closed].is(Py_True)) event_push(pages, "window_closing", nb::dict());
    st.set(Pages::Closed, Py_True);
    st.set(Pages::Loading, Py_False);
    st.set(Pages::Current, nb::none());
    nb::dict r = answer(false);
    r["error"] = "window closed";
    for (Pages list : {Pages::Bound, Pages::Armed, Pages::Recent}) finish_all(st, list, r);
}

void end_window(nb::handle pages, nb::handle server) {
    pages_closed(pages);
    if (server.is_valid() && !server.is_none()) stop_control_server(server);
}

// The download events of a WebView2 download, from its DownloadStarting arguments (below).
void webview2_download_events(const Call &c, nb::handle pages, nb::handle args);

namespace {

constexpr Param kEventParams[] = {{.name = "_s", .annotation = "Any"}, {.name = "args", .annotation = "Any"}};
constexpr Spec kNavStartingSpec{.name = "_on_nav_starting", .params = kEventParams, .returns = "None"};
constexpr Spec kNavDoneSpec{.name = "_on_nav_done", .params = kEventParams, .returns = "None"};
constexpr Spec kDownloadSpec{.name = "_on_download_starting", .params = kEventParams, .returns = "None"};

void on_nav_starting(const Call &c, nb::handle, nb::handle args) {
    guarded([&] {
        pages_started(c.state<Pages>().object(), attr_or(args, "NavigationId", nb::none()),
                      attr_or(args, "Uri", nb::none()));
    });
}

void on_nav_done(const Call &c, nb::handle, nb::handle args) {
    guarded([&] {
        const bool ok = truthy(attr_or(args, "IsSuccess", Py_True));
        nb::object status = ok ? nb::object(nb::none()) : attr_or(args, "WebErrorStatus", nb::none());
        nb::str text = status.is_none() ? nb::str("Unknown") : nb::str(status);
        // WebView2 ends a navigation whose response becomes a download this way, before
        // DownloadStarting is raised.
        const bool maybe_download = !ok && text.equal(nb::str("ConnectionAborted"));
        pages_finished(c.state<Pages>().object(), attr_or(args, "NavigationId", nb::none()), ok, text, nb::none(),
                       maybe_download);
    });
}

void on_download_starting(const Call &c, nb::handle, nb::handle args) {
    guarded([&] { pages_download(c.state<Pages>().object()); });
    guarded([&] { webview2_download_events(c, c.state<Pages>().object(), args); });
}

}  // namespace

void watch_webview2(const Call &c, nb::handle pages, nb::handle cv) {
    event_add(cv, "NavigationStarting", c.nested<kNavStartingSpec>(on_nav_starting, pages));
    event_add(cv, "NavigationCompleted", c.nested<kNavDoneSpec>(on_nav_done, pages));
    event_add(cv, "DownloadStarting", c.nested<kDownloadSpec>(on_download_starting, pages));
    watch_webview2_page(c, pages, cv);
}

}  // namespace pk::host

// ---- the page's events --------------------------------------------------------------------------

namespace pk::host {

namespace {

State<Ev> events_of(nb::handle pages) { return State<Ev>(tracker(pages)[Pages::Events]); }

// The answer of /events for the events after `after`.
nb::dict events_answer(const State<Ev> &ev, long long after) {
    nb::handle ring = ev[Ev::Ring];
    const long long newest = nb::cast<long long>(ev[Ev::Seq]);
    const long long held = static_cast<long long>(nb::len(ring));
    const long long oldest = newest - held + 1;  // the first seq the ring still holds
    if (after < 0) after = 0;
    nb::list events;
    for (nb::handle e : ring)
        if (nb::cast<long long>(e["seq"]) > after) events.append(e);
    nb::dict d;
    d["ok"] = true;
    d["events"] = events;
    d["next"] = nb::int_(newest);
    d["dropped"] = nb::int_(oldest - 1 > after && after < newest ? oldest - 1 - after : 0);
    return d;
}

}  // namespace

void waiter_finish(nb::handle waiter, nb::handle result) { finish_waiter(waiter, result); }

void event_push(nb::handle pages, const char *type, nb::handle fields) {
    auto ev = events_of(pages);
    const long long seq = nb::cast<long long>(ev[Ev::Seq]) + 1;
    ev.set(Ev::Seq, nb::int_(seq));
    nb::dict e;
    e["seq"] = nb::int_(seq);
    e["time"] = import("time").attr("time")();
    e["type"] = type;
    for (auto [k, v] : nb::borrow<nb::dict>(fields)) e[k] = v;
    ev[Ev::Ring].attr("append")(e);
    nb::object waiting = nb::borrow(ev[Ev::Waiters]);
    ev.set(Ev::Waiters, nb::list());
    for (nb::handle pair : waiting) {
        nb::handle w = PyTuple_GET_ITEM(pair.ptr(), 0);
        finish_waiter(w, events_answer(ev, nb::cast<long long>(nb::handle(PyTuple_GET_ITEM(pair.ptr(), 1)))));
    }
}

void pages_title(nb::handle pages, nb::handle title) {
    nb::str text = text_or_empty(title);
    auto ev = events_of(pages);
    if (!truthy(text) || text.equal(ev[Ev::Title])) return;
    ev.set(Ev::Title, text);
    nb::dict f;
    f["title"] = text;
    event_push(pages, "title_changed", f);
}

nb::object events_since(nb::handle pages, long long after, nb::handle waiter, double until) {
    auto ev = events_of(pages);
    // Numbers belong to one window: one beyond the newest was given by another (an earlier window
    // on the same port), and this window's events are all new to its caller.
    if (after > nb::cast<long long>(ev[Ev::Seq])) after = 0;
    nb::dict d = events_answer(ev, after);
    if (nb::len(nb::object(d["events"])) > 0 || !waiter.is_valid() || waiter.is_none()) return d;
    State<Waiter> w(waiter);
    w.set(Waiter::Result, d);
    w.set(Waiter::ReadyAt, nb::float_(until));
    nb::borrow<nb::list>(ev[Ev::Waiters]).append(nb::make_tuple(waiter, nb::int_(after)));
    return nb::none();
}

namespace {

constexpr Spec kSourceChangedSpec{.name = "_on_source_changed", .params = kEventParams, .returns = "None"};
void on_source_changed(const Call &c, nb::handle sender, nb::handle args) {
    guarded([&] {
        if (truthy(attr_or(args, "IsNewDocument", Py_True))) return;  // a page load: NavigationStarting says it
        nb::dict f;
        f["url"] = source_text(sender);
        event_push(c.state<Pages>().object(), "same_document", f);
        // No start or finish comes for it: the waits armed for it end now.
        pages_same_document(c.state<Pages>().object());
    });
}

constexpr Spec kTitleChangedSpec{.name = "_on_title_changed", .params = kEventParams, .returns = "None"};
void on_title_changed(const Call &c, nb::handle sender, nb::handle) {
    guarded([&] { pages_title(c.state<Pages>().object(), nb::object(sender.attr("DocumentTitle"))); });
}

// One WebView2 download as its events report it: the tracker, the operation, done once final.
enum class Dl { Pages, Op, Done, kCount };

constexpr Spec kDownloadStateSpec{.name = "_on_download_state", .params = kEventParams, .returns = "None"};
void on_download_state(const Call &c, nb::handle, nb::handle) {
    auto dl = c.state<Dl>();
    guarded([&] {
        if (dl[Dl::Done].is(Py_True)) return;
        nb::handle op = dl[Dl::Op];
        // CoreWebView2DownloadState: InProgress 0, Interrupted 1, Completed 2.
        nb::str state = nb::str(nb::object(op.attr("State")));
        auto is = [&](const char *name, const char *number) {
            return state.equal(nb::str(name)) || state.equal(nb::str(number));
        };
        const bool completed = is("Completed", "2");
        const bool lost = is("Interrupted", "1") && !truthy(attr_or(op, "CanResume", Py_False));
        if (!completed && !lost) return;
        dl.set(Dl::Done, Py_True);
        nb::dict f;
        f["url"] = text_or_empty(attr_or(op, "Uri", nb::none()));
        f["path"] = text_or_empty(attr_or(op, "ResultFilePath", nb::none()));
        if (lost) f["error"] = text_or_empty(attr_or(op, "InterruptReason", nb::str("Interrupted")));
        event_push(dl[Dl::Pages], completed ? "download_finished" : "download_failed", f);
    });
}

}  // namespace

void watch_webview2_page(const Call &c, nb::handle pages, nb::handle cv) {
    event_add(cv, "SourceChanged", c.nested<kSourceChangedSpec>(on_source_changed, pages));
    event_add(cv, "DocumentTitleChanged", c.nested<kTitleChangedSpec>(on_title_changed, pages));
}

// The download events of a WebView2 download, from its DownloadStarting arguments.
void webview2_download_events(const Call &c, nb::handle pages, nb::handle args) {
    nb::object op = attr_or(args, "DownloadOperation", nb::none());
    nb::dict f;
    f["url"] = text_or_empty(op.is_none() ? nb::object(nb::none()) : attr_or(op, "Uri", nb::none()));
    event_push(pages, "download_started", f);
    if (op.is_none()) return;
    State<Dl> dl;
    dl.set(Dl::Pages, pages);
    dl.set(Dl::Op, op);
    dl.set(Dl::Done, Py_False);
    event_add(op, "StateChanged", c.nested<kDownloadStateSpec>(on_download_state, dl.object()));
}

// ---- script and picture ---------------------------------------------------------------------------

namespace {

nb::dict script_value(nb::handle json_text) {
    nb::dict d;
    d["ok"] = true;
    nb::str text = text_or_empty(json_text);
    d["value"] = truthy(text) ? import("json").attr("loads")(text) : nb::none();
    return d;
}

nb::dict script_failure(nb::handle error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = text_or_empty(error);
    return d;
}

// What one WebView2 task's completion needs: the task, what it was, the stream of a picture, done.
enum class Task { Task, Kind, Stream, Done, kCount };
enum TaskKind : long { kScriptWithResult, kScriptPlain, kCapture };

// The answer a finished WebView2 task gives.
nb::object task_answer(const State<Task> &t) {
    nb::handle task = t[Task::Task];
    const long kind = PyLong_AsLong(t[Task::Kind].ptr());
    nb::object result;
    try {
        // GetResult raises the task's own exception (Result would wrap it in an AggregateException).
        result = task.attr("GetAwaiter")().attr("GetResult")();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        nb::object msg = attr_or(e.value(), "Message", nb::none());
        return script_failure(msg.is_none() ? nb::object(nb::str(e.value())) : msg);
    }
    if (kind == kCapture) {
        nb::object data = t[Task::Stream].attr("ToArray")();
        return check(PyBytes_FromObject(data.ptr()));
    }
    if (kind == kScriptPlain) return script_value(result);
    if (truthy(nb::object(result.attr("Succeeded")))) return script_value(result.attr("ResultAsJson"));
    nb::object exc = result.attr("Exception");
    nb::object name = attr_or(exc, "Name", nb::none()), message = attr_or(exc, "Message", nb::none());
    nb::str text = text_or_empty(message);
    if (truthy(text_or_empty(name)) && !truthy(text.attr("startswith")(nb::str(name))))
        text = nb::str("{}: {}").format(name, text);
    return script_failure(text);
}

constexpr Spec kTaskDoneSpec{.name = "_on_task_done", .returns = "None"};
void on_task_done(const Call &c) {
    State<Task> t = c.state<Task>();
    nb::object answer = guarded_or(nb::object(), [&] { return task_answer(t); });
    if (!answer.is_valid()) answer = script_failure(nb::str("the browser's answer could not be read"));
    t[Task::Done](answer);
}

// Calls `done` with the answer once `task` (a System.Threading.Tasks.Task) has completed: its
// awaiter's OnCompleted runs the continuation in the UI thread's synchronization context.
void when_done(const Call &c, nb::handle task, long kind, nb::handle stream, nb::handle done) {
    State<Task> t;
    t.set(Task::Task, task);
    t.set(Task::Kind, nb::int_(kind));
    if (stream.is_valid()) t.set(Task::Stream, stream);
    t.set(Task::Done, done);
    nb::object action = import_from("System", "Action");
    task.attr("GetAwaiter")().attr("OnCompleted")(action(c.nested<kTaskDoneSpec>(on_task_done, t.object())));
}

}  // namespace

void run_script(const Call &c, nb::handle cv, nb::handle script, nb::handle done) {
    if (nb::hasattr(cv, "_pk_run_script")) {
        cv.attr("_pk_run_script")(script, done);
        return;
    }
    // ExecuteScriptWithResultAsync (SDK 1.0.2277 and later) reports a thrown script's exception;
    // ExecuteScriptAsync answers "null" for it as for undefined.
    if (nb::hasattr(cv, "ExecuteScriptWithResultAsync"))
        when_done(c, cv.attr("ExecuteScriptWithResultAsync")(script), kScriptWithResult, nb::handle(), done);
    else
        when_done(c, cv.attr("ExecuteScriptAsync")(script), kScriptPlain, nb::handle(), done);
}

void capture_png(const Call &c, nb::handle cv, nb::handle done) {
    if (nb::hasattr(cv, "_pk_capture")) {
        cv.attr("_pk_capture")(done);
        return;
    }
    nb::object stream = import_from("System.IO", "MemoryStream")();
    nb::object png = import_from("Microsoft.Web.WebView2.Core", "CoreWebView2CapturePreviewImageFormat").attr("Png");
    when_done(c, cv.attr("CapturePreviewAsync")(png, stream), kCapture, stream, done);
}

}  // namespace pk::host
