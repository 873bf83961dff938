// The host layer the browser hosts share (see pk_host.hpp).
#include "pk_host.hpp"

namespace pk::host {

using namespace nb::literals;

namespace {

void set(nb::handle holder, const char *key, nb::handle value) {
    check(PyObject_SetItem(holder.ptr(), nb::str(key).ptr(), value.ptr()));
}

// ---- GLib: work queued on the main loop -------------------------------------------------------

// One queued piece of work: its `self` is the tuple (act, done), `done` a threading.Event or None.
// Runs act() with an Exception dropped, sets `done` whatever happened, and returns False so that
// the main loop runs it once.
PyObject *glib_step(PyObject *self, PyObject *) {
    PyObject *act = PyTuple_GET_ITEM(self, 0), *done = PyTuple_GET_ITEM(self, 1);
    PyObject *r = PyObject_CallNoArgs(act);
    Py_XDECREF(r);
    if (!r && PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    if (done != Py_None) {
        PyObject *exc = PyErr_GetRaisedException();  // a KeyboardInterrupt travels on after set()
        PyObject *s = PyObject_CallMethod(done, "set", nullptr);
        Py_XDECREF(s);
        if (!s) PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(Py_False);
}
PyMethodDef glib_step_def = {"_ui_step", glib_step, METH_NOARGS, nullptr};

// How long one wait for queued work lasts before the window is looked at again.
constexpr double kGlibWaitSlice = 0.05;

void glib_run(const View &v, nb::handle holder, nb::handle act, bool wait) {
    nb::object threading = import("threading");
    nb::object ui = get(holder, kUiThreadKey);
    if (ui.equal(threading.attr("get_ident")())) {
        act();
        return;
    }
    nb::object glib = import("gi.repository.GLib");
    nb::object done = wait ? nb::object(threading.attr("Event")()) : nb::object(nb::none());
    nb::object step = check(PyCFunction_New(&glib_step_def, nb::make_tuple(act, done).ptr()));
    glib.attr("idle_add")(step, "priority"_a = glib.attr("PRIORITY_DEFAULT"));
    if (!wait) return;
    while (!truthy(done.attr("wait")(kGlibWaitSlice)))
        if (get(holder, v.form_key).is_none()) return;  // the window has gone: nothing will run it
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

void run_on_ui(const View &v, nb::handle holder, nb::handle form, nb::handle action, nb::handle act, bool wait) {
    if (v.toolkit == Toolkit::GLib)
        glib_run(v, holder, act, wait);
    else
        run_on_ui(form, action, act, wait ? "Invoke" : "BeginInvoke");
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
    if (!truthy(u)) return;
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
