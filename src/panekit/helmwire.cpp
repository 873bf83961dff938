// panekit.helmwire: where the control plane listens, the HTTP control server a host starts, and
// the client calls another process uses to steer it.
#include "pk.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#if !defined(_WIN32)
#  include <sys/socket.h>
#endif

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

const char *const kDefaultHost = "127.0.0.1";
const char *const kDefaultPortText = "18765";
const long kDefaultPort = 18765;

pk::Lazy g_json_loads{"json", "loads"};

// Texts the request path uses on every request (attribute names, header names and values), made
// once and interned (see pk::Name).

pk::Name t_headers{"headers"}, t_get{"get"}, t_get_all{"get_all"}, t_path{"path"}, t_request{"request"};
pk::Name t_rfile{"rfile"}, t_read{"read"}, t_wfile{"wfile"}, t_write{"write"}, t_read_body{"_read_body"};
pk::Name t_json{"_json"}, t_send_response{"send_response"}, t_send_header{"send_header"};
pk::Name t_end_headers{"end_headers"}, t_socket{"socket"}, t_accept{"_accept"}, t_shutdown{"shutdown"};
pk::Name t_close_request{"close_request"}, t_deadline{"_pk_deadline"}, t_sent{"_pk_sent"}, t_unread{"_pk_unread"};
pk::Name t_host{"Host"}, t_content_length{"Content-Length"}, t_content_type{"Content-Type"};
pk::Name t_json_type{"application/json; charset=utf-8"}, t_allow_origin{"Access-Control-Allow-Origin"}, t_any{"*"};
pk::Name t_max_body{"_MAX_BODY_BYTES"}, t_time_limit{"_CONNECTION_TIME_LIMIT"}, t_norm_url{"norm_browser_url"};

// obj.<name>(args...) as Python evaluates it (the attribute looked up on obj, then called), made
// without a bound method in between when the attribute is a plain method.
template <class... A> nb::object call_method(nb::handle obj, pk::Name &name, const A &...args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    return pk::check(PyObject_VectorcallMethod(name.get().ptr(), argv, 1 + sizeof...(A), nullptr));
}

nb::object get_attr(nb::handle obj, pk::Name &name) { return pk::check(PyObject_GetAttr(obj.ptr(), name.get().ptr())); }

void set_attr(nb::handle obj, pk::Name &name, nb::handle value) {
    pk::check(PyObject_SetAttr(obj.ptr(), name.get().ptr(), value.ptr()));
}


// ---- endpoint settings ----------------------------------------------------------------------

constexpr pk::Spec control_port_spec{
    .name = "control_port",
    .returns = "int",
    .doc = "Control port from PANEKIT_CONTROL_PORT; 18765 when it is unset, empty or not an integer.",
};
nb::object control_port() {
    nb::object text = pk::first_nonempty({pk::env_get("PANEKIT_CONTROL_PORT"), nb::str(kDefaultPortText)});
    nb::object stripped = text.attr("strip")();
    try {
        return pk::check(PyNumber_Long(stripped.ptr()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return nb::int_(kDefaultPort);
    }
}

constexpr pk::Param base_url_params[] = {
    {.name = "port", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "host", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
};
constexpr pk::Spec base_url_spec{
    .name = "control_base_url",
    .params = base_url_params,
    .returns = "str",
    .doc = "Base address of the control plane, \"http://<host>:<port>\", from the arguments, the "
           "environment and the defaults.",
};
nb::object control_base_url(const pk::Call &c, nb::handle port, nb::handle host) {
    nb::object p = port.is_none() ? pk::check(PyNumber_Long(c.global("control_port")().ptr())) : nb::borrow(port);
    nb::object fallback = c.global("DEFAULT_CONTROL_HOST");
    nb::object h = pk::first_nonempty({host, pk::env_get("PANEKIT_CONTROL_HOST"), fallback}).attr("strip")();
    if (!pk::truthy(h)) h = fallback;
    return nb::str("http://{}:{}").format(h, p);
}

// ---- the server's shared state ----------------------------------------------------------------

// What one start_control_server call shares with its handler class, its log function and the
// connection hooks of its server.
enum class Server {
    Log, Invoke, Core, Navigate, Back, Forward, Reload,  // the caller's callables
    LogFn,                                               // the _log function
    OwnName,                                             // the host text as host_key made it
    Srv, Family, Type, Proto,                            // the server and its listening socket's kind
    kCount
};

constexpr pk::Param log_params[] = {{.name = "msg", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec log_spec{.name = "_log", .params = log_params, .returns = "None"};
void log_line(const pk::Call &c, nb::str msg) {
    nb::handle log = c.state<Server>()[Server::Log];
    if (pk::truthy(log))
        log(msg);
    else
        pk::print_line(msg);
}

// ---- the request handler: logging, body, answers ------------------------------------------------

constexpr pk::Param log_message_params[] = {
    {.name = "self"},
    {.name = "fmt", .annotation = "str", .check = Check::Str},
    {.name = "args", .annotation = "Any", .kind = Kind::VarPositional},
};
constexpr pk::Spec log_message_spec{.name = "log_message", .params = log_message_params, .returns = "None"};
void log_message(const pk::Call &c, nb::handle, nb::str fmt, nb::tuple args) {
    nb::object msg = nb::len(args) ? pk::check(PyNumber_Remainder(fmt.ptr(), args.ptr())) : nb::object(fmt);
    static PyObject *probe_text = PyUnicode_InternFromString("GET /ready");
    static PyObject *prefix = PyUnicode_InternFromString("[panekit control] ");
    if (pk::check(PySequence_Contains(msg.ptr(), probe_text))) return;
    c.state<Server>()[Server::LogFn](pk::check(PyUnicode_Concat(prefix, nb::str(msg).ptr())));
}

// Declared Content-Length: 0 when absent, empty or not an integer (negative counts as 0);
// kTooLarge when above the module's _MAX_BODY_BYTES, also for digit strings too long for int().
constexpr long long kTooLarge = -1;

long long declared_length(const pk::Call &c, nb::handle self) {
    nb::object v = call_method(get_attr(self, t_headers), t_get, t_content_length.get());
    if (v.is_none() || !pk::truthy(v)) return 0;
    long long cap = nb::cast<long long>(c.global(t_max_body));
    nb::object n;
    try {
        n = pk::check(PyNumber_Long(v.ptr()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        // int() refuses very long digit strings; those still declare a length, a huge one.
        nb::object s = nb::str(v).attr("strip")();
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0 && PyUnicode_READ_CHAR(s.ptr(), 0) == '+')
            s = pk::check(PyUnicode_Substring(s.ptr(), 1, PyUnicode_GET_LENGTH(s.ptr())));
        return pk::truthy(s.attr("isdecimal")()) ? kTooLarge : 0;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow > 0 || (overflow == 0 && value > cap)) return kTooLarge;
    if (overflow < 0 || value < 0) return 0;
    return value;
}

constexpr pk::Param self_param[] = {{.name = "self"}};
constexpr pk::Spec read_body_spec{.name = "_read_body", .params = self_param, .returns = "bytes"};
nb::object read_body(const pk::Call &c, nb::handle self) {
    long long n = declared_length(c, self);
    if (n <= 0) return nb::bytes("", 0);  // empty, or above the cap (do_POST answers that one)
    return call_method(get_attr(self, t_rfile), t_read, nb::int_(n));
}

constexpr pk::Param json_params[] = {
    {.name = "self"},
    {.name = "code", .annotation = "int", .check = Check::Int},
    {.name = "obj", .annotation = "Any"},
};
constexpr pk::Spec json_spec{.name = "_json", .params = json_params, .returns = "None"};
void send_json(nb::handle self, nb::handle code, nb::handle obj) {
    nb::bytes body = pk::json_bytes(obj);
    call_method(self, t_send_response, code);
    call_method(self, t_send_header, t_content_type.get(), t_json_type.get());
    call_method(self, t_send_header, t_content_length.get(), nb::str(nb::int_(body.size())));
    call_method(self, t_send_header, t_allow_origin.get(), t_any.get());
    call_method(self, t_end_headers);
    call_method(get_attr(self, t_wfile), t_write, body);
}

nb::dict failure(const char *error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = error;
    return d;
}

// ---- host names answered ----------------------------------------------------------------------
//
// A page served under a name that its owner points at 127.0.0.1 (DNS rebinding) reaches this
// loopback server as its own origin, but its requests still carry that name in `Host`. Requests
// are therefore served only when every Host header is absent, empty, an IP literal, `localhost`
// or the host text the server was started with (port removed, one trailing dot ignored, letters
// compared without case); anything else is answered 403 before any other work.

bool is_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool is_ipv4(std::string_view s) {
    int parts = 0;
    while (true) {
        std::size_t dot = s.find('.');
        std::string_view part = s.substr(0, dot);
        if (part.empty() || part.size() > 3 || !is_digits(part)) return false;
        if (std::stoi(std::string(part)) > 255) return false;
        if (++parts > 4) return false;
        if (dot == std::string_view::npos) break;
        s.remove_prefix(dot + 1);
    }
    return parts == 4;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_ipv6(std::string_view s) {
    std::size_t zone = s.find('%');  // a zone (fe80::1%eth0; %25 in a URL) names a local interface
    if (zone != std::string_view::npos) {
        if (zone + 1 == s.size()) return false;
        s = s.substr(0, zone);
    }
    std::size_t gap = s.find("::");
    if (gap != std::string_view::npos && s.find("::", gap + 1) != std::string_view::npos) return false;
    int groups = 0;
    // Counts the groups of one side of "::" (either side may be empty when "::" is present).
    auto side = [&](std::string_view t, bool last) {
        if (t.empty()) return true;
        while (true) {
            std::size_t colon = t.find(':');
            std::string_view g = t.substr(0, colon);
            if (colon == std::string_view::npos && last && g.find('.') != std::string_view::npos) {
                if (!is_ipv4(g)) return false;
                groups += 2;
                return true;
            }
            if (g.empty() || g.size() > 4) return false;
            for (char c : g)
                if (!is_hex(c)) return false;
            ++groups;
            if (colon == std::string_view::npos) return true;
            t.remove_prefix(colon + 1);
        }
    };
    if (gap == std::string_view::npos) return side(s, true) && groups == 8;
    return side(s.substr(0, gap), false) && side(s.substr(gap + 2), true) && groups <= 7;
}

// The host text as compared: one trailing dot removed, ASCII letters in lower case.
std::string host_key(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    std::string key(name);
    for (char &c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

bool host_value_allowed(std::string_view v, std::string_view own) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    if (v.empty()) return true;
    std::string_view name;
    if (v.front() == '[') {
        std::size_t close = v.find(']');
        if (close == std::string_view::npos) return false;
        std::string_view rest = v.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !is_digits(rest.substr(1)))) return false;
        name = v.substr(1, close - 1);
        return is_ipv6(name) || is_ipv4(name);
    }
    std::size_t colon = v.find(':');
    if (colon != std::string_view::npos && v.find(':', colon + 1) != std::string_view::npos)
        return is_ipv6(v);  // an IPv6 literal sent without brackets (and so without a port)
    name = v.substr(0, colon);
    if (colon != std::string_view::npos && !is_digits(v.substr(colon + 1))) return false;
    std::string key = host_key(name);
    if (is_ipv4(key) || key == "localhost") return true;
    return !own.empty() && key == own;
}

// A str's UTF-8 text, valid while the str lives.
std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!p) throw nb::python_error();
    return {p, static_cast<std::size_t>(size)};
}

// Whether the request may be served; `own` is the server's host text as host_key made it.
bool host_allowed(nb::handle self, nb::handle own) {
    nb::object values = call_method(get_attr(self, t_headers), t_get_all, t_host.get());
    if (values.is_none()) return true;
    std::string_view own_text = utf8(own);
    for (nb::handle value : values)
        if (!PyUnicode_Check(value.ptr()) || !host_value_allowed(utf8(value), own_text)) return false;
    return true;
}

// Answers 403 and returns true when the request names a host this server does not answer to.
bool refuse_foreign_host(const pk::Call &c, nb::handle self) {
    if (host_allowed(self, c.state<Server>()[Server::OwnName])) return false;
    call_method(self, t_json, nb::int_(403), failure("host not allowed"));
    return true;
}

// ---- the request handler: routes --------------------------------------------------------------

constexpr pk::Spec options_spec{.name = "do_OPTIONS", .params = self_param, .returns = "None"};
void do_options(const pk::Call &c, nb::handle self) {
    if (refuse_foreign_host(c, self)) return;
    self.attr("send_response")(204);
    self.attr("send_header")("Access-Control-Allow-Origin", "*");
    self.attr("send_header")("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    self.attr("send_header")("Access-Control-Allow-Headers", "Content-Type");
    self.attr("end_headers")();
}

// What the UI-thread reads of do_GET share: the core callable and the answer they fill in.
enum class Read { Core, Out, kCount };

// Sets out["url"] from the core's Source; an Exception while reading or converting it is dropped.
void store_source(nb::handle core, nb::handle out) {
    pk::guarded([&] { out["url"] = pk::source_text(core); });
}

constexpr pk::Spec probe_spec{.name = "_probe", .returns = "None"};
void probe(const pk::Call &c) {
    auto st = c.state<Read>();
    nb::object core = st[Read::Core]();
    st[Read::Out]["core"] = nb::bool_(!core.is_none());
    if (!core.is_none()) store_source(core, st[Read::Out]);
}

constexpr pk::Spec read_spec{.name = "_read", .returns = "None"};
void read_url(const pk::Call &c) {
    auto st = c.state<Read>();
    nb::object core = st[Read::Core]();
    if (!core.is_none()) store_source(core, st[Read::Out]);
}

bool starts_with(nb::handle text, const char *prefix) {
    Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(prefix));
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) < n) return false;
    return PyUnicode_Tailmatch(text.ptr(), nb::str(prefix).ptr(), 0, n, -1) == 1;
}

bool ends_with(nb::handle text, const char *suffix) {
    return PyUnicode_Tailmatch(text.ptr(), nb::str(suffix).ptr(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

constexpr pk::Spec get_spec{.name = "do_GET", .params = self_param, .returns = "None"};
void do_get(const pk::Call &c, nb::handle self) {
    if (refuse_foreign_host(c, self)) return;
    nb::object path = get_attr(self, t_path);
    auto server = c.state<Server>();
    nb::dict out;
    out["ok"] = true;
    bool ready = starts_with(path, "/ready");
    if (ready || starts_with(path, "/url")) {
        if (ready) out["core"] = false;
        out["url"] = "";
        pk::State<Read> st;
        st.set(Read::Core, server[Server::Core]);
        st.set(Read::Out, out);
        server[Server::Invoke](ready ? c.nested<probe_spec>(probe, st.object()) : c.nested<read_spec>(read_url, st.object()));
    } else {
        out["hint"] = "GET /ready  |  GET /url  |  POST /navigate /back /forward /reload";
    }
    call_method(self, t_json, nb::int_(200), out);
}

// The address a navigate body names. A body that parses as JSON names it only through the
// "url" value of an object; any other body is plain text holding the address.
nb::object body_address(nb::bytes raw) {
    if (raw.size() == 0) return nb::str("");
    const auto size = static_cast<Py_ssize_t>(raw.size());
    nb::object data;
    bool parsed = pk::guarded_or(false, [&] {
        data = nb::handle(g_json_loads.get())(pk::check(PyUnicode_DecodeUTF8(raw.c_str(), size, "strict")));
        return true;
    });
    if (!parsed) return pk::check(PyUnicode_DecodeUTF8(raw.c_str(), size, "ignore")).attr("strip")();
    if (!PyDict_Check(data.ptr())) return nb::str("");
    PyObject *url = PyDict_GetItemWithError(data.ptr(), nb::str("url").ptr());
    if (!url) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::str("");
    }
    if (!pk::truthy(url)) return nb::str("");
    return nb::str(nb::handle(url)).attr("strip")();
}

// The target up to its first "?", without trailing slashes; "/" when nothing is left.
nb::object post_path(nb::object target) {
    if (target.is_none() || !pk::truthy(target)) return nb::str("/");
    if (!PyUnicode_Check(target.ptr())) target = nb::str(target);
    PyObject *t = target.ptr();
    Py_ssize_t end = PyUnicode_FindChar(t, '?', 0, PyUnicode_GET_LENGTH(t), 1);
    if (end == -2) throw nb::python_error();
    if (end < 0) end = PyUnicode_GET_LENGTH(t);
    while (end > 0 && PyUnicode_READ_CHAR(t, end - 1) == '/') --end;
    if (end == 0) return nb::str("/");
    if (end == PyUnicode_GET_LENGTH(t)) return target;
    return pk::check(PyUnicode_Substring(t, 0, end));
}

// What _go calls, on the UI thread.
enum class Go { Navigate, Url, kCount };

constexpr pk::Spec go_spec{.name = "_go", .returns = "None"};
void go(const pk::Call &c) {
    auto st = c.state<Go>();
    st[Go::Navigate](st[Go::Url]);
}

constexpr pk::Spec post_spec{.name = "do_POST", .params = self_param, .returns = "None"};
void do_post(const pk::Call &c, nb::handle self) {
    if (refuse_foreign_host(c, self)) return;
    nb::object path = post_path(get_attr(self, t_path));
    nb::object raw = call_method(self, t_read_body);
    // _read_body never reads a body above the cap; only an empty result can be that case.
    if (nb::len(raw) == 0 && declared_length(c, self) == kTooLarge) {
        // The server drains what it can of the unread body before closing.
        set_attr(get_attr(self, t_request), t_unread, Py_True);
        call_method(self, t_json, nb::int_(413), failure("body too large"));
        return;
    }
    auto server = c.state<Server>();
    nb::dict out;
    out["ok"] = true;
    if (ends_with(path, "/navigate")) {
        nb::object url = c.global(t_norm_url)(body_address(nb::bytes(raw)));
        if (!pk::truthy(url)) {
            call_method(self, t_json, nb::int_(400), failure("missing url"));
            return;
        }
        pk::State<Go> st;
        st.set(Go::Navigate, server[Server::Navigate]);
        st.set(Go::Url, url);
        server[Server::Invoke](c.nested<go_spec>(go, st.object()));
        out["url"] = url;
        call_method(self, t_json, nb::int_(200), out);
        return;
    }
    Server action = ends_with(path, "/back")      ? Server::Back
                    : ends_with(path, "/forward") ? Server::Forward
                    : ends_with(path, "/reload")  ? Server::Reload
                                                  : Server::kCount;
    if (action == Server::kCount) {
        call_method(self, t_json, nb::int_(404), failure("unknown path"));
        return;
    }
    server[Server::Invoke](server[action]);
    call_method(self, t_json, nb::int_(200), out);
}

// ---- connection limits ----------------------------------------------------------------------
//
// The server handles one connection at a time, so a client that stalls would hold up every
// other client. Each accepted connection therefore gets a deadline (_CONNECTION_TIME_LIMIT seconds
// from acceptance) that bounds every read on it, however the client trickles its bytes; a read
// past the deadline raises TimeoutError, which the standard handler logs and drops.
//
// The socket stays blocking. Where the system has MSG_DONTWAIT a read first takes what is there
// without waiting, so an ordinary request, whose input has arrived by the time it is read, pays no
// system call for its deadline; only a read that finds nothing waits for input until the
// deadline. Elsewhere each read makes sure input is there first (select() until the deadline).
// Writes of an ordinary answer fit in the socket's own send buffer and cannot block; once a connection has written more than
// kUnboundedWriteBytes, each write gets a socket time-out of what is left of the same deadline,
// so reads and writes together hold the server for at most one limit.

constexpr long long kUnboundedWriteBytes = 4096;  // below every platform's minimum send buffer

pk::Lazy g_select{"select", "select"};
pk::Lazy g_socket_type{"socket", "socket"};
pk::Lazy g_shut_wr{"socket", "SHUT_WR"};

// Methods of the plain socket class, which _DeadlineSocket extends (fetched once).
struct SocketMethods {
    PyObject *settimeout = nullptr, *recv = nullptr, *recv_into = nullptr, *sendall = nullptr;
    SocketMethods &get() {
        if (!settimeout) {
            nb::handle t = g_socket_type.get();
            settimeout = nb::object(t.attr("settimeout")).release().ptr();
            recv = nb::object(t.attr("recv")).release().ptr();
            recv_into = nb::object(t.attr("recv_into")).release().ptr();
            sendall = nb::object(t.attr("sendall")).release().ptr();
        }
        return *this;
    }
} g_sock;

// Seconds on a steady clock; only ever compared with other readings of this function.
double monotonic() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Whether input (or the end of it) is waiting on `sock` within `wait` seconds.
bool readable(nb::handle sock, double wait) {
    nb::list rlist;
    rlist.append(sock);
    nb::list none;
    try {
        nb::tuple ready = nb::tuple(g_select.get()(rlist, none, none, wait));
        return nb::len(nb::object(ready[0])) > 0;
    } catch (nb::python_error &e) {
        // select() cannot watch descriptors above FD_SETSIZE; poll() can, where it exists.
        nb::object select_mod = pk::import("select");
        if (!e.matches(PyExc_ValueError) || !nb::hasattr(select_mod, "poll")) throw;
        nb::object poller = select_mod.attr("poll")();
        poller.attr("register")(sock, select_mod.attr("POLLIN"));
        return nb::len(poller.attr("poll")(wait * 1000.0)) > 0;
    }
}

// Whether `sock` is readable now (input, the end of it, or an error to report), asked with one
// non-blocking peek: 1 yes, 0 no, -1 where the system offers no such peek (select() must tell).
int readable_now(nb::handle sock) {
#if defined(MSG_DONTWAIT)
    int fd = PyObject_AsFileDescriptor(sock.ptr());
    if (fd < 0) throw nb::python_error();
    char byte;
    if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) return 1;
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : 1;
#else
    (void)sock;
    return -1;
#endif
}

// Raises TimeoutError once the socket's deadline has passed.
void check_deadline(nb::handle sock) {
    double left = nb::cast<double>(get_attr(sock, t_deadline)) - monotonic();
    if (left <= 0) pk::raise(PyExc_TimeoutError, "timed out");
}

// Waits for input until the socket's deadline; raises TimeoutError when none comes by then.
// Input usually arrives before it is read, so the peek spares most reads the wait.
void await_input(nb::handle sock) {
    double left = nb::cast<double>(get_attr(sock, t_deadline)) - monotonic();
    if (left <= 0) pk::raise(PyExc_TimeoutError, "timed out");
    if (readable_now(sock) == 1) return;
    if (!readable(sock, left)) pk::raise(PyExc_TimeoutError, "timed out");
}

// A read made at once: the plain socket method called with `flags` plus MSG_DONTWAIT, which
// takes what is already there (or the end of input, or an error) with one system call. Returns
// nothing when no input is there yet; the caller then waits for it as await_input does. Only for
// reads without flags of their own, which is how the standard handler reads.
std::optional<nb::object> read_at_once(PyObject *method, nb::handle sock, std::initializer_list<nb::handle> args,
                                       nb::handle flags) {
#if defined(MSG_DONTWAIT)
    static PyObject *dont_wait = nullptr;
    if (!dont_wait && !(dont_wait = PyLong_FromLong(MSG_DONTWAIT))) throw nb::python_error();
    if (!PyLong_CheckExact(flags.ptr()) || PyLong_AsLong(flags.ptr()) != 0) {
        if (PyErr_Occurred()) PyErr_Clear();
        return std::nullopt;
    }
    PyObject *argv[4] = {sock.ptr()};
    std::size_t n = 1;
    for (nb::handle a : args) argv[n++] = a.ptr();
    argv[n++] = dont_wait;
    PyObject *r = PyObject_Vectorcall(method, argv, n, nullptr);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_BlockingIOError)) throw nb::python_error();
    PyErr_Clear();
#else
    (void)method, (void)sock, (void)args, (void)flags;
#endif
    return std::nullopt;
}

// The plain socket methods check their arguments themselves.
constexpr pk::Param recv_into_params[] = {
    {.name = "self"},
    {.name = "buffer", .annotation = "Any"},
    {.name = "nbytes", .annotation = "int", .def = Def::Int, .number = 0},
    {.name = "flags", .annotation = "int", .def = Def::Int, .number = 0},
};
constexpr pk::Spec recv_into_spec{.name = "recv_into", .params = recv_into_params, .returns = "int"};
nb::object deadline_recv_into(nb::handle self, nb::handle buffer, nb::handle nbytes, nb::handle flags) {
    check_deadline(self);
    if (auto got = read_at_once(g_sock.get().recv_into, self, {buffer, nbytes}, flags)) return *got;
    await_input(self);
    return nb::handle(g_sock.get().recv_into)(self, buffer, nbytes, flags);
}

constexpr pk::Param recv_params[] = {
    {.name = "self"},
    {.name = "bufsize", .annotation = "int"},
    {.name = "flags", .annotation = "int", .def = Def::Int, .number = 0},
};
constexpr pk::Spec recv_spec{.name = "recv", .params = recv_params, .returns = "bytes"};
nb::object deadline_recv(nb::handle self, nb::handle bufsize, nb::handle flags) {
    check_deadline(self);
    if (auto got = read_at_once(g_sock.get().recv, self, {bufsize}, flags)) return *got;
    await_input(self);
    return nb::handle(g_sock.get().recv)(self, bufsize, flags);
}

constexpr pk::Param sendall_params[] = {
    {.name = "self"},
    {.name = "data", .annotation = "Any"},
    {.name = "flags", .annotation = "int", .def = Def::Int, .number = 0},
};
constexpr pk::Spec sendall_spec{.name = "sendall", .params = sendall_params, .returns = "None"};
nb::object bounded_sendall(nb::handle self, nb::handle data, nb::handle flags) {
    long long sent = nb::cast<long long>(get_attr(self, t_sent));
    Py_ssize_t n = PyObject_Length(data.ptr());
    if (n < 0) PyErr_Clear(), n = 0;  // sendall itself reports what it cannot send
    if (sent + n > kUnboundedWriteBytes) {
        // What is left of the connection's deadline, the reads' share already spent.
        double left = nb::cast<double>(get_attr(self, t_deadline)) - monotonic();
        if (left <= 0) pk::raise(PyExc_TimeoutError, "timed out");
        nb::handle(g_sock.get().settimeout)(self, left);
    }
    set_attr(self, t_sent, nb::int_(sent + n));
    return nb::handle(g_sock.get().sendall)(self, data, flags);
}

// The socket class of accepted connections (made on first use, kept for the process).
nb::handle deadline_socket_type(const pk::Call &c) {
    static PyObject *type = nullptr;
    if (!type)
        type = c.module_class("_DeadlineSocket", nb::make_tuple(g_socket_type.get()),
                              "An accepted control connection whose reads all end by one deadline.")
                   .attr("__slots__", nb::make_tuple("_pk_deadline", "_pk_sent", "_pk_unread"))
                   .method<recv_into_spec>(deadline_recv_into)
                   .method<recv_spec>(deadline_recv)
                   .method<sendall_spec>(bounded_sendall)
                   .build()
                   .release()
                   .ptr();
    return type;
}

constexpr pk::Spec get_request_spec{.name = "get_request", .returns = "Tuple[Any, Any]"};
nb::object get_request(const pk::Call &c) {
    auto st = c.state<Server>();
    double limit = nb::cast<double>(c.global(t_time_limit));
    if (!(limit > 0)) limit = 0.0;
    nb::tuple accepted = nb::tuple(call_method(get_attr(st[Server::Srv], t_socket), t_accept));
    nb::object sock = deadline_socket_type(c)(st[Server::Family], st[Server::Type], st[Server::Proto], accepted[0]);
    set_attr(sock, t_deadline, nb::float_(monotonic() + limit));
    set_attr(sock, t_sent, nb::int_(0));
    set_attr(sock, t_unread, Py_False);
    return nb::make_tuple(sock, accepted[1]);
}

// Before closing, take in what the client sent beyond what was read (a body on a GET, a body
// behind a 413, pipelined bytes): closing a socket with unread input resets the connection, which
// can discard the answer before the client has read it.
constexpr pk::Param request_param[] = {{.name = "request", .annotation = "Any"}};
constexpr pk::Spec shutdown_request_spec{.name = "shutdown_request", .params = request_param, .returns = "None"};
void shutdown_request(const pk::Call &c, nb::handle request) {
    try {
        // Drain only when input is pending now (checked before our FIN, so it is the client's
        // data, not its close) or a body was deliberately left unread; otherwise close at once.
        bool unread = pk::truthy(get_attr(request, t_unread)) == 1;
        int now = unread ? 1 : readable_now(request);
        bool pending = now == 1 || (now < 0 && readable(request, 0.0));
        call_method(request, t_shutdown, g_shut_wr.get());
        if (pending) {
            double budget = nb::cast<double>(c.global("_DRAIN_SECONDS"));
            long long left_bytes = nb::cast<long long>(c.global("_DRAIN_BYTES"));
            double end = monotonic() + budget, wait = budget;
            while (left_bytes > 0) {
                if (!readable(request, wait)) break;
                nb::handle(g_sock.get().settimeout)(request, 0.0);
                nb::bytes chunk = nb::bytes(nb::handle(g_sock.get().recv)(request, 65536));
                if (chunk.size() == 0) break;
                left_bytes -= static_cast<long long>(chunk.size());
                double left = end - monotonic();
                if (left <= 0) break;
                wait = left < 0.25 ? left : 0.25;
            }
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
    }
    call_method(c.state<Server>()[Server::Srv], t_close_request, request);
}

// The standard loop looks for a stop request only between waits of half a second on the listening
// socket; a short connection to that socket ends the wait at once, so stopping costs no idle
// polling and nothing per request.
constexpr pk::Spec shutdown_spec{.name = "shutdown", .returns = "None"};
nb::object prompt_shutdown(const pk::Call &c) {
    nb::handle srv = c.state<Server>()[Server::Srv];
    nb::setattr(srv, "_BaseServer__shutdown_request", nb::bool_(true));
    try {
        nb::tuple address = nb::tuple(srv.attr("server_address"));
        nb::object host = address[0];
        if (!pk::truthy(host) || nb::str(host).equal(nb::str("0.0.0.0")))
            host = nb::str("127.0.0.1");
        nb::object poke = pk::import("socket").attr("create_connection")(nb::make_tuple(host, address[1]), 1.0);
        poke.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;  // the loop still stops at its next wait
    }
    return pk::import_from("socketserver", "BaseServer").attr("shutdown")(srv);
}

// ---- start_control_server -------------------------------------------------------------------

constexpr pk::Param start_params[] = {
    {.name = "host", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly},
    {.name = "port", .annotation = "int", .check = Check::Int, .kind = Kind::KeywordOnly},
    {.name = "invoke_sync", .annotation = "Callable[[Callable[[], None]], None]", .kind = Kind::KeywordOnly},
    {.name = "core", .annotation = "Callable[[], Any]", .kind = Kind::KeywordOnly},
    {.name = "do_navigate", .annotation = "Callable[[str], None]", .kind = Kind::KeywordOnly},
    {.name = "do_back", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "do_forward", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "do_reload", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "log", .annotation = "Optional[Callable[[str], None]]", .kind = Kind::KeywordOnly, .def = Def::None},
};
constexpr pk::Spec start_spec{
    .name = "start_control_server",
    .params = start_params,
    .returns = "Tuple[HTTPServer, threading.Thread]",
    .doc = "Start the HTTP control plane on (host, port) in a daemon thread named \"panekit-control\".\n\n"
           "Every browser operation is handed to invoke_sync, which must run it on the UI thread and "
           "return when it has finished. Returns the listening server and its started thread.",
};
nb::object start_control_server(const pk::Call &c, nb::str host, nb::handle port, nb::handle invoke_sync,
                                nb::handle core, nb::handle do_navigate, nb::handle do_back,
                                nb::handle do_forward, nb::handle do_reload, nb::handle log) {
    pk::State<Server> st;
    st.set(Server::Log, log);
    st.set(Server::LogFn, c.nested<log_spec>(log_line, st.object()));
    std::string_view own_text = utf8(host);
    if (own_text.size() >= 2 && own_text.front() == '[' && own_text.back() == ']')
        own_text = own_text.substr(1, own_text.size() - 2);
    st.set(Server::OwnName, nb::str(host_key(own_text).c_str()));
    st.set(Server::Invoke, invoke_sync);
    st.set(Server::Core, core);
    st.set(Server::Navigate, do_navigate);
    st.set(Server::Back, do_back);
    st.set(Server::Forward, do_forward);
    st.set(Server::Reload, do_reload);

    nb::object handler = c.klass("_Handler", nb::make_tuple(pk::import_from("http.server", "BaseHTTPRequestHandler")),
                                 st.object())
                             .method<log_message_spec>(log_message)
                             .method<read_body_spec>(read_body)
                             .method<json_spec>(send_json)
                             .method<options_spec>(do_options)
                             .method<get_spec>(do_get)
                             .method<post_spec>(do_post)
                             .build();
    nb::object srv = pk::import_from("http.server", "HTTPServer")(nb::make_tuple(host, port), handler);
    st.set(Server::Srv, srv);
    nb::object listener = srv.attr("socket");
    st.set(Server::Family, listener.attr("family"));
    st.set(Server::Type, listener.attr("type"));
    st.set(Server::Proto, listener.attr("proto"));
    srv.attr("get_request") = c.nested<get_request_spec>(get_request, st.object());
    srv.attr("shutdown_request") = c.nested<shutdown_request_spec>(shutdown_request, st.object());
    srv.attr("shutdown") = c.nested<shutdown_spec>(prompt_shutdown, st.object());
    nb::object th = pk::import_from("threading", "Thread")(
        "target"_a = srv.attr("serve_forever"), "name"_a = "panekit-control", "daemon"_a = true);
    th.attr("start")();
    return nb::make_tuple(srv, th);
}

// ---- client ---------------------------------------------------------------------------------

nb::object request_address(const pk::Call &c, nb::handle path, nb::handle port) {
    nb::object base = c.global("control_base_url")("port"_a = port);
    return base.attr("rstrip")("/") + nb::borrow(path);
}

// Reads an answer body: strict UTF-8 JSON that must be an object or null.
nb::object parse_answer(nb::handle raw) {
    nb::object data = nb::handle(g_json_loads.get())(raw.attr("decode")("utf-8"));
    if (!data.is_none() && !PyDict_Check(data.ptr()))
        pk::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.ptr())->tp_name);
    return data;
}

// The failure object of an error: {"ok": False, "error": its text}.
nb::object failure_of(nb::python_error &e) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = nb::str(e.value());
    return d;
}

// resp.read(), closing resp afterwards whatever happens; an error of that close is not reported.
nb::object read_and_close(nb::handle resp) {
    nb::object raw;
    try {
        raw = resp.attr("read")();
    } catch (nb::python_error &) {
        try { resp.attr("close")(); } catch (nb::python_error &) {}
        throw;
    }
    resp.attr("close")();
    return raw;
}

constexpr pk::Param post_params[] = {
    {.name = "path", .annotation = "str", .check = Check::Str},
    {.name = "body", .annotation = "Optional[Dict[str, Any]]", .check = Check::OptDict, .def = Def::None},
    {.name = "port", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "timeout", .annotation = "float", .check = Check::Float, .kind = Kind::KeywordOnly, .def = Def::Float, .number = 15.0},
};
constexpr pk::Spec post_json_spec{
    .name = "_http_post_json",
    .params = post_params,
    .returns = "Dict[str, Any]",
    .doc = "POST body as UTF-8 JSON to the control server; the answer object, or {\"ok\": False, "
           "\"error\": text}.",
};
nb::object http_post_json(const pk::Call &c, nb::str path, nb::handle body, nb::handle port, double timeout) {
    nb::object address = request_address(c, path, port);
    nb::object data = body.is_none() ? nb::object(nb::bytes("", 0)) : nb::object(pk::json_bytes(body));
    nb::object urlreq = pk::import("urllib.request");
    return pk::guarded_else(
        [&]() -> nb::object {
            nb::object req = urlreq.attr("Request")(address, "data"_a = data, "method"_a = "POST");
            req.attr("add_header")("Content-Type", "application/json; charset=utf-8");
            nb::object resp;
            try {
                resp = urlreq.attr("urlopen")(req, "timeout"_a = timeout);
            } catch (nb::python_error &e) {
                // An error status: the server's own answer when it sent one, else the error's text.
                if (!e.matches(pk::import_from("urllib.error", "HTTPError").ptr())) throw;
                nb::object err = nb::borrow(e.value());
                return pk::guarded_else([&] { return parse_answer(read_and_close(err)); },
                                        [&](nb::python_error &) { return failure_of(e); });
            }
            return parse_answer(read_and_close(resp));
        },
        failure_of);
}

constexpr pk::Param get_params[] = {
    {.name = "path", .annotation = "str", .check = Check::Str},
    {.name = "port", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "timeout", .annotation = "float", .check = Check::Float, .kind = Kind::KeywordOnly, .def = Def::Float, .number = 15.0},
};
constexpr pk::Spec get_json_spec{
    .name = "_http_get_json",
    .params = get_params,
    .returns = "Dict[str, Any]",
    .doc = "GET from the control server; the answer object, or {\"ok\": False, \"error\": text}.",
};
nb::object http_get_json(const pk::Call &c, nb::str path, nb::handle port, double timeout) {
    nb::object address = request_address(c, path, port);
    return pk::guarded_else(
        [&] {
            nb::object resp = pk::import("urllib.request").attr("urlopen")(address, "timeout"_a = timeout);
            return parse_answer(read_and_close(resp));
        },
        failure_of);
}

constexpr pk::Param navigate_params[] = {
    {.name = "url", .annotation = "str", .check = Check::Str},
    {.name = "port", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "timeout", .annotation = "float", .check = Check::Float, .kind = Kind::KeywordOnly, .def = Def::Float, .number = 15.0},
};
constexpr pk::Spec navigate_spec{
    .name = "remote_navigate",
    .params = navigate_params,
    .returns = "Dict[str, Any]",
    .doc = "Make the window navigate to url (normalised first; a blank address is refused locally).",
};
nb::object remote_navigate(const pk::Call &c, nb::str url, nb::handle port, double timeout) {
    nb::object u = c.global("norm_browser_url")(url);
    if (!pk::truthy(u)) return failure("empty url");
    nb::dict body;
    body["url"] = u;
    return c.global("_http_post_json")("/navigate", body, "port"_a = port, "timeout"_a = timeout);
}

// The remote_* calls without an argument of their own: one request to a fixed path.
constexpr pk::Param remote_params[] = {
    {.name = "port", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "timeout", .annotation = "float", .check = Check::Float, .kind = Kind::KeywordOnly, .def = Def::Float, .number = 15.0},
};
constexpr pk::Spec back_spec{.name = "remote_go_back", .params = remote_params, .returns = "Dict[str, Any]",
                             .doc = "Make the window go back in its history."};
constexpr pk::Spec forward_spec{.name = "remote_go_forward", .params = remote_params, .returns = "Dict[str, Any]",
                                .doc = "Make the window go forward in its history."};
constexpr pk::Spec reload_spec{.name = "remote_reload", .params = remote_params, .returns = "Dict[str, Any]",
                               .doc = "Make the window reload its page."};
constexpr pk::Spec get_url_spec{
    .name = "remote_get_url", .params = remote_params, .returns = "Dict[str, Any]",
    .doc = "The window's current address, as the server's {\"ok\": True, \"url\": ...} object."};
constexpr pk::Spec ready_spec{
    .name = "remote_ready", .params = remote_params, .returns = "Dict[str, Any]",
    .doc = "Readiness of the window, as the server's {\"ok\": True, \"core\": ..., \"url\": ...} object."};

template <const char *Path>
nb::object remote_post(const pk::Call &c, nb::handle port, double timeout) {
    return c.global("_http_post_json")(Path, nb::dict(), "port"_a = port, "timeout"_a = timeout);
}

template <const char *Path>
nb::object remote_get(const pk::Call &c, nb::handle port, double timeout) {
    return c.global("_http_get_json")(Path, "port"_a = port, "timeout"_a = timeout);
}

constexpr char kBackPath[] = "/back";
constexpr char kForwardPath[] = "/forward";
constexpr char kReloadPath[] = "/reload";
constexpr char kUrlPath[] = "/url";
constexpr char kReadyPath[] = "/ready";

}  // namespace

NB_MODULE(helmwire, m) {
    pk::Module mod(m, "panekit.helmwire", "The loopback HTTP control plane: endpoint settings, server and client calls.");
    mod.set("norm_browser_url", pk::import_from("panekit.trailbar", "norm_browser_url"));
    // The names the annotations use, so typing.get_type_hints resolves them here.
    mod.set("threading", pk::import("threading"));
    mod.import_names("http.server", {"HTTPServer"});
    mod.import_names("typing", {"Any", "Callable", "Dict", "Optional", "Tuple"});

    nb::object host = pk::env_get("PANEKIT_CONTROL_HOST");
    nb::object stripped = host.is_none() ? nb::object(nb::str("")) : host.attr("strip")();
    mod.set("DEFAULT_CONTROL_HOST",
            pk::truthy(stripped) ? stripped : nb::object(nb::str(kDefaultHost)));

    // Limits of one control connection (read at each use, so tests may lower them).
    mod.set("_MAX_BODY_BYTES", nb::int_(1 << 20));
    mod.set("_CONNECTION_TIME_LIMIT", nb::float_(10.0));
    mod.set("_DRAIN_SECONDS", nb::float_(2.0));
    mod.set("_DRAIN_BYTES", nb::int_(4 << 20));

    mod.def<control_port_spec>(control_port);
    mod.def<base_url_spec>(control_base_url);
    mod.def<start_spec>(start_control_server);
    mod.def<post_json_spec>(http_post_json);
    mod.def<get_json_spec>(http_get_json);
    mod.def<navigate_spec>(remote_navigate);
    mod.def<back_spec>(remote_post<kBackPath>);
    mod.def<forward_spec>(remote_post<kForwardPath>);
    mod.def<reload_spec>(remote_post<kReloadPath>);
    mod.def<get_url_spec>(remote_get<kUrlPath>);
    mod.def<ready_spec>(remote_get<kReadyPath>);
}
