// A window's control server and its end (see window.hpp).
#include "window.hpp"

#include "tracker.hpp"

namespace pk::host {

using namespace nb::literals;

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

void stop_control_server(nb::handle started) {
    nb::object srv = guarded_or(nb::object(), [&]() -> nb::object {
        return nb::hasattr(started, "shutdown") ? nb::borrow(started) : nb::object(started[0]);
    });
    if (!srv.is_valid()) return;
    guarded([&] { srv.attr("shutdown")(); });
    guarded([&] { srv.attr("server_close")(); });
}

void start_host_layer(void *nanobind_state) {
    if (!nb::detail::internals) nb::detail::internals = static_cast<nb::detail::nb_internals *>(nanobind_state);
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

void end_window(nb::handle pages, nb::handle server) {
    pages_closed(pages);
    if (server.is_valid() && !server.is_none()) stop_control_server(server);
}

}  // namespace pk::host
