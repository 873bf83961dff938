// panekit.helmwire: where the control plane listens, the HTTP control server a host starts, and
// the client calls another process uses to steer it. This file: the endpoint settings and the
// module itself; connection.cpp reads connections, handler.cpp checks requests, routes.cpp answers
// them, client.cpp makes the client calls.
#include "helmwire.hpp"
#include "window.hpp"

#include <string>
#include <string_view>

namespace helmwire {
namespace {

const char *const kDefaultHost = "127.0.0.1";
const long kDefaultPort = 18765;

// ---- endpoint settings ----------------------------------------------------------------------

constexpr pk::Spec control_port_spec{
    .name = "control_port",
    .returns = "int",
    .doc = "Control port from PANEKIT_CONTROL_PORT; 18765 when it is unset, empty or not an integer.",
};
nb::object control_port() {
    nb::object text = env_text("PANEKIT_CONTROL_PORT");
    if (text.is_none()) return nb::int_(kDefaultPort);
    try {
        return pk::check(PyNumber_Long(text.ptr()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return nb::int_(kDefaultPort);
    }
}

constexpr pk::Param base_url_params[] = {
    kPort,
    {.name = "host", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
};
constexpr pk::Spec base_url_spec{
    .name = "control_base_url",
    .params = base_url_params,
    .returns = "str",
    .doc = "Base address of the control plane, \"http://<host>:<port>\", from the arguments, the "
           "environment and the defaults.",
};
// The host text and the port of the control address, from the arguments, the environment and
// the defaults.
std::pair<nb::object, nb::object> endpoint(const pk::Call &c, nb::handle port, nb::handle host) {
    nb::object p = port.is_none() ? pk::check(PyNumber_Long(c.global("control_port")().ptr())) : nb::borrow(port);
    nb::object fallback = c.global("DEFAULT_CONTROL_HOST");
    nb::object h = pk::first_nonempty({host, pk::env_get("PANEKIT_CONTROL_HOST"), fallback}).attr("strip")();
    if (!pk::truthy(h)) h = fallback;
    return {h, p};
}

nb::object control_base_url(const pk::Call &c, nb::handle port, nb::handle host) {
    auto [h, p] = endpoint(c, port, host);
    return nb::str("http://{}:{}").format(h, p);
}

// The base address as an address is written: control_base_url's text with a host that holds a
// colon outside brackets (an IPv6 literal, which control_base_url writes bare) put in brackets.
// What the clients connect to and what the hosts and the command print.
constexpr pk::Spec address_spec{
    .name = "_control_address",
    .params = base_url_params,
    .returns = "str",
    .doc = "control_base_url(port=..., host=...) as an address is written: an IPv6 literal host in "
           "brackets, no trailing slash.",
};
nb::object control_address(const pk::Call &c, nb::handle port, nb::handle host) {
    auto [h, p] = endpoint(c, port, host);
    HostPort parts;
    const bool brackets = split_host_port(utf8(h), parts) && !parts.bracketed && (parts.has_port || parts.bare_ipv6());
    return nb::str(brackets ? "http://[{}]:{}" : "http://{}:{}").format(h, p);
}

constexpr pk::Param bind_host_params[] = {{.name = "host", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec bind_host_spec{
    .name = "_bind_host",
    .params = bind_host_params,
    .returns = "str",
    .doc = "The host text as the control server binds it: an IPv6 literal without its brackets.",
};
nb::object bind_host_text(nb::str host) { return bind_host(host); }

constexpr pk::Param token_params[] = {kPort};
constexpr pk::Spec token_spec{
    .name = "control_token",
    .params = token_params,
    .returns = "Optional[str]",
    .doc = "The token the client calls send to the window on port (default: control_port()): "
           "PANEKIT_CONTROL_TOKEN when set, else the one that window wrote into its runtime file; None "
           "when there is none. Other clients send it as \"Authorization: Bearer <token>\".",
};
nb::object control_token(const pk::Call &c, nb::handle port) {
    ClientToken t = client_token(port.is_none() ? c.global("control_port")() : nb::borrow(port));
    if (t.token.empty()) return nb::none();
    return nb::str(t.token.data(), t.token.size());
}

}  // namespace
}  // namespace helmwire

using namespace helmwire;

NB_MODULE(helmwire, m) {
    pk::Module mod(m, "panekit.helmwire", "The loopback HTTP control plane: endpoint settings, server and client calls.");
    pk::host::start_host();
    mod.defer_names("panekit.trailbar", {"norm_browser_url"});
    // The names the annotations use, so typing.get_type_hints resolves them here; imported when
    // first used, so a client does not load the server's modules.
    mod.defer_names("threading", {"threading"});
    mod.defer_names("http.server", {"HTTPServer"});
    mod.defer_names("typing", {"Any", "Callable", "Dict", "Optional", "Tuple"});

    nb::object host = env_text("PANEKIT_CONTROL_HOST");
    mod.set("DEFAULT_CONTROL_HOST", host.is_none() ? nb::object(nb::str(kDefaultHost)) : host);

    // Limits of one control connection (read at each use, so tests may lower them).
    mod.set("_MAX_BODY_BYTES", nb::int_(1 << 20));
    mod.set("_CONNECTION_TIME_LIMIT", nb::float_(10.0));
    mod.set("_DRAIN_SECONDS", nb::float_(2.0));
    mod.set("_DRAIN_BYTES", nb::int_(4 << 20));
    mod.set("_MAX_CONNECTIONS", nb::int_(64));  // read at once; one more closes the longest-waiting
    mod.set("_MAX_WAITING", nb::int_(32));      // requests waiting for their navigation; one more answers 503
    // The limits of the waits (helmwire.hpp), for the command.
    mod.set("_MAX_WAIT", nb::float_(kMaxWait));
    mod.set("_WAIT_MARGIN", nb::float_(kWaitMargin));
    mod.set("_REQUEST_SECONDS", nb::float_(kRequestSeconds));

    mod.def<control_port_spec>(control_port);
    mod.def<base_url_spec>(control_base_url);
    mod.def<address_spec>(control_address);
    mod.def<bind_host_spec>(bind_host_text);
    mod.def<token_spec>(control_token);
    define_server(mod);
    define_client(mod);
}
