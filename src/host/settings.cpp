// The host settings (see settings.hpp).
#include "settings.hpp"

namespace pk::host {

using namespace nb::literals;

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
