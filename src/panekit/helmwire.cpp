// panekit.helmwire: where the control plane listens, the HTTP control server a host starts, and
// the client calls another process uses to steer it.
#include "pk.hpp"

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;

namespace {

const char *const kModule = "panekit.helmwire";
const char *const kDefaultHost = "127.0.0.1";
const char *const kDefaultPortText = "18765";
const long kDefaultPort = 18765;

PyObject *g_dict = nullptr;  // the module's namespace (borrowed; the module lives for the process)
pk::Lazy g_json_loads{"json", "loads"};

nb::object global(const char *name) { return pk::module_global(nb::handle(g_dict), name); }

using pk::is_exception;

// ---- endpoint settings ----------------------------------------------------------------------

nb::object control_port(pk::Args &) {
    nb::object text = pk::first_nonempty({pk::env_get("PANEKIT_CONTROL_PORT"), nb::str(kDefaultPortText)});
    nb::object stripped = text.attr("strip")();
    PyObject *n = PyNumber_Long(stripped.ptr());
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        return nb::int_(kDefaultPort);
    }
    return nb::steal(n);
}

nb::object control_base_url(pk::Args &a) {
    nb::object port = nb::borrow(a[0]);
    if (port.is_none()) port = nb::steal(PyNumber_Long(global("control_port")().ptr()));
    if (!port.is_valid()) throw nb::python_error();
    nb::object fallback = global("DEFAULT_CONTROL_HOST");
    nb::object h = pk::first_nonempty({a[1], pk::env_get("PANEKIT_CONTROL_HOST"), fallback}).attr("strip")();
    if (!PyObject_IsTrue(h.ptr())) h = fallback;
    return nb::str("http://{}:{}").format(h, port);
}

// ---- the request handler --------------------------------------------------------------------

// Captured state of one start_control_server call, shared by the handler's methods.
enum Cell { kLog, kInvoke, kCore, kNavigate, kBack, kForward, kReload, kLogFn, kOwnName, kCells };

nb::object log_fn(pk::Args &a) {
    nb::handle log = a.cell(0);
    if (PyObject_IsTrue(log.ptr()))
        log(a[0]);
    else
        pk::print_line(a[0]);
    return nb::none();
}

nb::object handler_log_message(pk::Args &a) {
    nb::handle fmt = a[1];
    nb::handle args = a[2];
    nb::object msg = nb::len(args) ? nb::steal(PyNumber_Remainder(fmt.ptr(), args.ptr())) : nb::borrow(fmt);
    if (!msg.is_valid()) throw nb::python_error();
    static PyObject *probe_text = PyUnicode_InternFromString("GET /ready");
    static PyObject *prefix = PyUnicode_InternFromString("[panekit control] ");
    int has = PySequence_Contains(msg.ptr(), probe_text);
    if (has < 0) throw nb::python_error();
    if (has) return nb::none();
    nb::object line = nb::steal(PyUnicode_Concat(prefix, nb::str(msg).ptr()));
    if (!line.is_valid()) throw nb::python_error();
    a.cell(kLogFn)(line);
    return nb::none();
}

// Declared Content-Length: 0 when absent, empty or not an integer (negative counts as 0);
// kTooLarge when above the module's _MAX_BODY_BYTES, also for digit strings too long for int().
constexpr long long kTooLarge = -1;

long long declared_length(nb::handle self) {
    nb::object v = self.attr("headers").attr("get")("Content-Length");
    if (v.is_none() || !PyObject_IsTrue(v.ptr())) return 0;
    long long cap = nb::cast<long long>(global("_MAX_BODY_BYTES"));
    PyObject *n = PyNumber_Long(v.ptr());
    if (!n) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        // int() refuses very long digit strings; those still declare a length, a huge one.
        nb::object s = nb::str(v).attr("strip")();
        if (PyUnicode_GET_LENGTH(s.ptr()) > 0 && PyUnicode_READ_CHAR(s.ptr(), 0) == '+')
            s = nb::steal(PyUnicode_Substring(s.ptr(), 1, PyUnicode_GET_LENGTH(s.ptr())));
        if (PyObject_IsTrue(s.attr("isdecimal")().ptr())) return kTooLarge;
        return 0;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(n, &overflow);
    Py_DECREF(n);
    if (overflow > 0 || (overflow == 0 && value > cap)) return kTooLarge;
    if (overflow < 0 || value < 0) return 0;
    return value;
}

nb::object handler_read_body(pk::Args &a) {
    nb::handle self = a[0];
    long long n = declared_length(self);
    if (n <= 0) return nb::bytes("", 0);  // empty, or above the cap (do_POST answers that one)
    return self.attr("rfile").attr("read")(n);
}

nb::object handler_json(pk::Args &a) {
    nb::handle self = a[0];
    nb::bytes body = pk::json_bytes(a[2]);
    self.attr("send_response")(a[1]);
    self.attr("send_header")("Content-Type", "application/json; charset=utf-8");
    self.attr("send_header")("Content-Length", nb::str(nb::int_(body.size())));
    self.attr("send_header")("Access-Control-Allow-Origin", "*");
    self.attr("end_headers")();
    self.attr("wfile").attr("write")(body);
    return nb::none();
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

// Whether the request may be served; `own` is the server's host text as host_key made it.
bool host_allowed(nb::handle self, nb::handle own) {
    nb::object values = self.attr("headers").attr("get_all")("Host");
    if (values.is_none()) return true;
    Py_ssize_t own_size = 0;
    const char *own_text = PyUnicode_AsUTF8AndSize(own.ptr(), &own_size);
    if (!own_text) throw nb::python_error();
    for (nb::handle value : values) {
        if (!PyUnicode_Check(value.ptr())) return false;
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (!text) throw nb::python_error();
        if (!host_value_allowed({text, static_cast<std::size_t>(size)}, {own_text, static_cast<std::size_t>(own_size)}))
            return false;
    }
    return true;
}

nb::dict failure(const char *error);

// Answers 403 and returns true when the request names a host this server does not answer to.
bool refuse_foreign_host(pk::Args &a) {
    if (host_allowed(a[0], a.cell(kOwnName))) return false;
    a[0].attr("_json")(403, failure("host not allowed"));
    return true;
}

nb::object handler_options(pk::Args &a) {
    nb::handle self = a[0];
    if (refuse_foreign_host(a)) return nb::none();
    self.attr("send_response")(204);
    self.attr("send_header")("Access-Control-Allow-Origin", "*");
    self.attr("send_header")("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    self.attr("send_header")("Access-Control-Allow-Headers", "Content-Type");
    self.attr("end_headers")();
    return nb::none();
}

// Reads `Source` of a core into out["url"]; any Exception while reading or converting is dropped.
void store_source(nb::handle core_obj, nb::handle out) {
    try {
        nb::object src = core_obj.attr("Source");
        nb::object text = PyObject_IsTrue(src.ptr()) ? nb::object(nb::str(src)) : nb::object(nb::str(""));
        PyObject_SetItem(out.ptr(), nb::str("url").ptr(), text.ptr()) == 0 ? void() : throw nb::python_error();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
}

// _probe / _read: closure (core, out)
nb::object probe(pk::Args &a) {
    nb::object c = a.cell(0)();
    nb::handle out = a.cell(1);
    out["core"] = nb::bool_(!c.is_none());
    if (!c.is_none()) store_source(c, out);
    return nb::none();
}

nb::object read_url(pk::Args &a) {
    nb::object c = a.cell(0)();
    if (!c.is_none()) store_source(c, a.cell(1));
    return nb::none();
}

// _go: closure (do_navigate, url)
nb::object go(pk::Args &a) {
    a.cell(0)(a.cell(1));
    return nb::none();
}

const pk::Spec probe_spec{"_probe", "start_control_server.<locals>._Handler.do_GET.<locals>._probe",
                          pk::kNoParams, "None", nullptr, probe};
const pk::Spec read_spec{"_read", "start_control_server.<locals>._Handler.do_GET.<locals>._read",
                         pk::kNoParams, "None", nullptr, read_url};
const pk::Spec go_spec{"_go", "start_control_server.<locals>._Handler.do_POST.<locals>._go", pk::kNoParams,
                       "None", nullptr, go};

bool starts_with(nb::handle text, const char *prefix) {
    Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(prefix));
    if (!PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) < n) return false;
    return PyUnicode_Tailmatch(text.ptr(), nb::str(prefix).ptr(), 0, n, -1) == 1;
}

bool ends_with(nb::handle text, const char *suffix) {
    return PyUnicode_Tailmatch(text.ptr(), nb::str(suffix).ptr(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

nb::object handler_get(pk::Args &a) {
    if (refuse_foreign_host(a)) return nb::none();
    nb::handle self = a[0];
    nb::object path = self.attr("path");
    nb::handle invoke = a.cell(kInvoke);
    if (starts_with(path, "/ready")) {
        nb::dict out;
        out["ok"] = true;
        out["core"] = false;
        out["url"] = "";
        invoke(pk::make_function(probe_spec, kModule, nb::make_tuple(a.cell(kCore), out)));
        self.attr("_json")(200, out);
    } else if (starts_with(path, "/url")) {
        nb::dict out;
        out["ok"] = true;
        out["url"] = "";
        invoke(pk::make_function(read_spec, kModule, nb::make_tuple(a.cell(kCore), out)));
        self.attr("_json")(200, out);
    } else {
        nb::dict out;
        out["ok"] = true;
        out["hint"] = "GET /ready  |  GET /url  |  POST /navigate /back /forward /reload";
        self.attr("_json")(200, out);
    }
    return nb::none();
}

nb::dict failure(const char *error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = error;
    return d;
}

// The address a navigate body names. A body that parses as JSON names it only through the
// "url" value of an object; any other body is plain text holding the address.
nb::object body_address(nb::bytes raw) {
    if (raw.size() == 0) return nb::str("");
    nb::object data;
    try {
        nb::object text = nb::steal(PyUnicode_DecodeUTF8(raw.c_str(), static_cast<Py_ssize_t>(raw.size()), "strict"));
        if (!text.is_valid()) throw nb::python_error();
        data = nb::handle(g_json_loads.get())(text);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        nb::object text = nb::steal(PyUnicode_DecodeUTF8(raw.c_str(), static_cast<Py_ssize_t>(raw.size()), "ignore"));
        if (!text.is_valid()) throw nb::python_error();
        return text.attr("strip")();
    }
    if (!PyDict_Check(data.ptr())) return nb::str("");
    PyObject *url = PyDict_GetItemWithError(data.ptr(), nb::str("url").ptr());
    if (!url) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::str("");
    }
    if (!PyObject_IsTrue(url)) return nb::str("");
    return nb::str(nb::handle(url)).attr("strip")();
}

// The target up to its first "?", without trailing slashes; "/" when nothing is left.
nb::object post_path(nb::object target) {
    if (target.is_none() || !PyObject_IsTrue(target.ptr())) return nb::str("/");
    if (!PyUnicode_Check(target.ptr())) target = nb::str(target);
    PyObject *t = target.ptr();
    Py_ssize_t end = PyUnicode_FindChar(t, '?', 0, PyUnicode_GET_LENGTH(t), 1);
    if (end == -2) throw nb::python_error();
    if (end < 0) end = PyUnicode_GET_LENGTH(t);
    while (end > 0 && PyUnicode_READ_CHAR(t, end - 1) == '/') --end;
    if (end == 0) return nb::str("/");
    if (end == PyUnicode_GET_LENGTH(t)) return target;
    return nb::steal(PyUnicode_Substring(t, 0, end));
}

nb::object handler_post(pk::Args &a) {
    if (refuse_foreign_host(a)) return nb::none();
    nb::handle self = a[0];
    nb::object path = post_path(self.attr("path"));

    nb::object raw = self.attr("_read_body")();
    // _read_body never reads a body above the cap; only an empty result can be that case.
    if (nb::len(raw) == 0 && declared_length(self) == kTooLarge) {
        // The server drains what it can of the unread body before closing.
        nb::setattr(self.attr("request"), "_pk_unread", nb::bool_(true));
        self.attr("_json")(413, failure("body too large"));
        return nb::none();
    }
    nb::handle invoke = a.cell(kInvoke);
    if (ends_with(path, "/navigate")) {
        nb::object text = body_address(nb::bytes(raw));
        nb::object url = global("norm_browser_url")(text);
        if (!PyObject_IsTrue(url.ptr())) {
            self.attr("_json")(400, failure("missing url"));
            return nb::none();
        }
        invoke(pk::make_function(go_spec, kModule, nb::make_tuple(a.cell(kNavigate), url)));
        nb::dict out;
        out["ok"] = true;
        out["url"] = url;
        self.attr("_json")(200, out);
        return nb::none();
    }
    Cell action = ends_with(path, "/back")      ? kBack
                  : ends_with(path, "/forward") ? kForward
                  : ends_with(path, "/reload")  ? kReload
                                                : kCells;
    if (action == kCells) {
        self.attr("_json")(404, failure("unknown path"));
        return nb::none();
    }
    invoke(a.cell(action));
    nb::dict out;
    out["ok"] = true;
    self.attr("_json")(200, out);
    return nb::none();
}

#define HANDLER_QUAL "start_control_server.<locals>._Handler."

const pk::Param log_message_params[] = {pk::pos("self", nullptr), pk::pos("fmt", "str", Check::Str),
                                        pk::varargs("args", "Any")};
const pk::Param self_only[] = {pk::pos("self", nullptr)};
const pk::Param json_params[] = {pk::pos("self", nullptr), pk::pos("code", "int", Check::Int),
                                 pk::pos("obj", "Any")};
const pk::Spec handler_specs[] = {
    {"log_message", HANDLER_QUAL "log_message", log_message_params, "None", nullptr, handler_log_message},
    {"_read_body", HANDLER_QUAL "_read_body", self_only, "bytes", nullptr, handler_read_body},
    {"_json", HANDLER_QUAL "_json", json_params, "None", nullptr, handler_json},
    {"do_OPTIONS", HANDLER_QUAL "do_OPTIONS", self_only, "None", nullptr, handler_options},
    {"do_GET", HANDLER_QUAL "do_GET", self_only, "None", nullptr, handler_get},
    {"do_POST", HANDLER_QUAL "do_POST", self_only, "None", nullptr, handler_post},
};

const pk::Param log_params[] = {pk::pos("msg", "str", Check::Str)};
const pk::Spec log_spec{"_log", "start_control_server.<locals>._log", log_params, "None", nullptr, log_fn};

// ---- connection limits ----------------------------------------------------------------------
//
// The server handles one connection at a time, so a client that stalls would hold up every
// other client. Each accepted connection therefore gets a deadline (_CONNECTION_TIME_LIMIT seconds
// from acceptance) that bounds every read on it, however the client trickles its bytes; a read
// past the deadline raises TimeoutError, which the standard handler logs and drops.
//
// The socket stays blocking and each read first waits for input until the deadline, so an
// ordinary request costs one wait and no other extra system call. Writes of an ordinary answer
// fit in the socket's own send buffer and cannot block; once a connection has written more than
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

// Waits for input until the socket's deadline; raises TimeoutError when none comes by then.
void await_input(nb::handle sock) {
    double left = nb::cast<double>(sock.attr("_pk_deadline")) - monotonic();
    if (left <= 0 || !readable(sock, left)) pk::raise(PyExc_TimeoutError, "timed out");
}

nb::object deadline_recv_into(pk::Args &a) {
    await_input(a[0]);
    return nb::handle(g_sock.get().recv_into)(a[0], a[1], a[2], a[3]);
}

nb::object deadline_recv(pk::Args &a) {
    await_input(a[0]);
    return nb::handle(g_sock.get().recv)(a[0], a[1], a[2]);
}

nb::object bounded_sendall(pk::Args &a) {
    nb::handle sock = a[0];
    long long sent = nb::cast<long long>(sock.attr("_pk_sent"));
    Py_ssize_t n = PyObject_Length(a[1].ptr());
    if (n < 0) PyErr_Clear(), n = 0;  // sendall itself reports what it cannot send
    if (sent + n > kUnboundedWriteBytes) {
        // What is left of the connection's deadline, the reads' share already spent.
        double left = nb::cast<double>(sock.attr("_pk_deadline")) - monotonic();
        if (left <= 0) pk::raise(PyExc_TimeoutError, "timed out");
        nb::handle(g_sock.get().settimeout)(sock, left);
    }
    sock.attr("_pk_sent") = nb::int_(sent + n);
    return nb::handle(g_sock.get().sendall)(a[0], a[1], a[2]);
}

// The plain socket methods check these arguments themselves.
const pk::Param recv_into_params[] = {pk::pos("self", nullptr), pk::pos("buffer", "Any"),
                                      pk::pos("nbytes", "int", Check::Any, Def::Int, 0),
                                      pk::pos("flags", "int", Check::Any, Def::Int, 0)};
const pk::Param recv_params[] = {pk::pos("self", nullptr), pk::pos("bufsize", "int"),
                                 pk::pos("flags", "int", Check::Any, Def::Int, 0)};
const pk::Spec recv_into_spec{"recv_into", "_DeadlineSocket.recv_into", recv_into_params, "int", nullptr,
                              deadline_recv_into};
const pk::Spec recv_spec{"recv", "_DeadlineSocket.recv", recv_params, "bytes", nullptr, deadline_recv};
const pk::Param sendall_params[] = {pk::pos("self", nullptr), pk::pos("data", "Any"),
                                    pk::pos("flags", "int", Check::Any, Def::Int, 0)};
const pk::Spec sendall_spec{"sendall", "_DeadlineSocket.sendall", sendall_params, "None", nullptr,
                            bounded_sendall};

PyObject *g_deadline_socket = nullptr;  // the socket class with deadline-bound reads (owned)

nb::handle deadline_socket_type() {
    if (!g_deadline_socket) {
        nb::dict ns;
        ns["__module__"] = kModule;
        ns["__qualname__"] = "_DeadlineSocket";
        ns["__doc__"] = "An accepted control connection whose reads all end by one deadline.";
        ns["__slots__"] = nb::make_tuple("_pk_deadline", "_pk_sent", "_pk_unread");
        ns["recv_into"] = pk::make_function(recv_into_spec, kModule);
        ns["recv"] = pk::make_function(recv_spec, kModule);
        ns["sendall"] = pk::make_function(sendall_spec, kModule);
        nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
        g_deadline_socket = type("_DeadlineSocket", nb::make_tuple(g_socket_type.get()), ns).release().ptr();
    }
    return g_deadline_socket;
}

// srv.get_request: closure (srv, family, type, proto of the listening socket)
nb::object get_request(pk::Args &a) {
    nb::handle srv = a.cell(0);
    double limit = nb::cast<double>(global("_CONNECTION_TIME_LIMIT"));
    if (!(limit > 0)) limit = 0.0;
    nb::tuple accepted = nb::tuple(srv.attr("socket").attr("_accept")());
    nb::object sock = deadline_socket_type()(a.cell(1), a.cell(2), a.cell(3), accepted[0]);
    sock.attr("_pk_deadline") = nb::float_(monotonic() + limit);
    sock.attr("_pk_sent") = nb::int_(0);
    sock.attr("_pk_unread") = nb::bool_(false);
    return nb::make_tuple(sock, accepted[1]);
}

// srv.shutdown_request: closure (srv,). Before closing, take in what the client sent beyond what
// was read (a body on a GET, a body behind a 413, pipelined bytes): closing a socket with unread
// input resets the connection, which can discard the answer before the client has read it.
nb::object shutdown_request(pk::Args &a) {
    nb::handle srv = a.cell(0);
    nb::handle request = a[0];
    try {
        // Drain only when input is pending now (checked before our FIN, so it is the client's
        // data, not its close) or a body was deliberately left unread; otherwise close at once.
        bool unread = PyObject_IsTrue(nb::object(request.attr("_pk_unread")).ptr()) == 1;
        bool pending = unread || readable(request, 0.0);
        request.attr("shutdown")(g_shut_wr.get());
        if (pending) {
            double budget = nb::cast<double>(global("_DRAIN_SECONDS"));
            long long left_bytes = nb::cast<long long>(global("_DRAIN_BYTES"));
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
    srv.attr("close_request")(request);
    return nb::none();
}

// srv.shutdown: closure (srv,). The standard loop looks for a stop request only between waits of
// half a second on the listening socket; a short connection to that socket ends the wait at once,
// so stopping costs no idle polling and nothing per request.
nb::object prompt_shutdown(pk::Args &a) {
    nb::handle srv = a.cell(0);
    nb::setattr(srv, "_BaseServer__shutdown_request", nb::bool_(true));
    try {
        nb::tuple address = nb::tuple(srv.attr("server_address"));
        nb::object host = address[0];
        if (!PyObject_IsTrue(host.ptr()) || nb::str(host).equal(nb::str("0.0.0.0"))) host = nb::str("127.0.0.1");
        nb::object poke = pk::import("socket").attr("create_connection")(nb::make_tuple(host, address[1]), 1.0);
        poke.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;  // the loop still stops at its next wait
    }
    return pk::import("socketserver").attr("BaseServer").attr("shutdown")(srv);
}

const pk::Param request_param[] = {pk::pos("request", "Any")};
const pk::Spec shutdown_spec{"shutdown", "start_control_server.<locals>.shutdown", pk::kNoParams, "None",
                             nullptr, prompt_shutdown};
const pk::Spec get_request_spec{"get_request", "start_control_server.<locals>.get_request", pk::kNoParams,
                                "Tuple[Any, Any]", nullptr, get_request};
const pk::Spec shutdown_request_spec{"shutdown_request", "start_control_server.<locals>.shutdown_request",
                                     request_param, "None", nullptr, shutdown_request};

// ---- start_control_server -------------------------------------------------------------------

nb::object start_control_server(pk::Args &a) {
    // a: host, port, invoke_sync, core, do_navigate, do_back, do_forward, do_reload, log
    nb::object log = nb::borrow(a[8]);
    nb::object logf = pk::make_function(log_spec, kModule, nb::make_tuple(log));
    Py_ssize_t host_size = 0;
    const char *host_text = PyUnicode_AsUTF8AndSize(a[0].ptr(), &host_size);
    if (!host_text) throw nb::python_error();
    std::string_view own_text{host_text, static_cast<std::size_t>(host_size)};
    if (own_text.size() >= 2 && own_text.front() == '[' && own_text.back() == ']')
        own_text = own_text.substr(1, own_text.size() - 2);
    nb::str own_name(host_key(own_text).c_str());
    nb::tuple cells = nb::make_tuple(log, a[2], a[3], a[4], a[5], a[6], a[7], logf, own_name);

    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "start_control_server.<locals>._Handler";
    for (const pk::Spec &spec : handler_specs) ns[spec.name] = pk::make_function(spec, kModule, cells);
    nb::object server_mod = pk::import("http.server");
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    nb::object handler = type("_Handler", nb::make_tuple(server_mod.attr("BaseHTTPRequestHandler")), ns);

    nb::object srv = server_mod.attr("HTTPServer")(nb::make_tuple(a[0], a[1]), handler);
    nb::tuple own = nb::make_tuple(srv);
    nb::object listener = srv.attr("socket");
    srv.attr("get_request") = pk::make_function(
        get_request_spec, kModule,
        nb::make_tuple(srv, listener.attr("family"), listener.attr("type"), listener.attr("proto")));
    srv.attr("shutdown_request") = pk::make_function(shutdown_request_spec, kModule, own);
    srv.attr("shutdown") = pk::make_function(shutdown_spec, kModule, own);
    nb::object th = pk::import("threading").attr("Thread")(
        "target"_a = srv.attr("serve_forever"), "name"_a = "panekit-control", "daemon"_a = true);
    th.attr("start")();
    return nb::make_tuple(srv, th);
}

// ---- client ---------------------------------------------------------------------------------

nb::object request_address(nb::handle path, nb::handle port) {
    nb::object base = global("control_base_url")("port"_a = port);
    return base.attr("rstrip")("/") + nb::borrow(path);
}

// Reads an answer body: strict UTF-8 JSON that must be an object or null.
nb::object parse_answer(nb::handle raw) {
    nb::object text = raw.attr("decode")("utf-8");
    nb::object data = nb::handle(g_json_loads.get())(text);
    if (!data.is_none() && !PyDict_Check(data.ptr()))
        pk::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.ptr())->tp_name);
    return data;
}

nb::dict failure_of(nb::python_error &e) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = nb::str(e.value());
    return d;
}

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

nb::object http_post_json(pk::Args &a) {
    nb::handle path = a[0], body = a[1], port = a[2], timeout = a[3];
    nb::object address = request_address(path, port);
    nb::object data = body.is_none() ? nb::object(nb::bytes("", 0)) : nb::object(pk::json_bytes(body));
    nb::object urlreq = pk::import("urllib.request");
    try {
        nb::object req = urlreq.attr("Request")(address, "data"_a = data, "method"_a = "POST");
        req.attr("add_header")("Content-Type", "application/json; charset=utf-8");
        nb::object resp;
        try {
            resp = urlreq.attr("urlopen")(req, "timeout"_a = timeout);
        } catch (nb::python_error &e) {
            if (!e.matches(pk::import("urllib.error").attr("HTTPError").ptr())) throw;
            nb::object err = nb::borrow(e.value());
            try {
                nb::object answer = parse_answer(read_and_close(err));
                return answer;
            } catch (nb::python_error &inner) {
                if (!is_exception(inner)) throw;
                return failure_of(e);
            }
        }
        return parse_answer(read_and_close(resp));
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return failure_of(e);
    }
}

nb::object http_get_json(pk::Args &a) {
    nb::object address = request_address(a[0], a[1]);
    try {
        nb::object resp = pk::import("urllib.request").attr("urlopen")(address, "timeout"_a = a[2]);
        return parse_answer(read_and_close(resp));
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return failure_of(e);
    }
}

nb::object remote_navigate(pk::Args &a) {
    nb::object u = global("norm_browser_url")(a[0]);
    if (!PyObject_IsTrue(u.ptr())) return failure("empty url");
    nb::dict body;
    body["url"] = u;
    return global("_http_post_json")("/navigate", body, "port"_a = a[1], "timeout"_a = a[2]);
}

template <const char *Path>
nb::object remote_post(pk::Args &a) {
    return global("_http_post_json")(Path, nb::dict(), "port"_a = a[0], "timeout"_a = a[1]);
}

template <const char *Path>
nb::object remote_get(pk::Args &a) {
    return global("_http_get_json")(Path, "port"_a = a[0], "timeout"_a = a[1]);
}

constexpr char kBackPath[] = "/back";
constexpr char kForwardPath[] = "/forward";
constexpr char kReloadPath[] = "/reload";
constexpr char kUrlPath[] = "/url";
constexpr char kReadyPath[] = "/ready";

// ---- signatures -----------------------------------------------------------------------------

const pk::Spec control_port_spec{
    "control_port", nullptr, pk::kNoParams, "int",
    "Control port from PANEKIT_CONTROL_PORT; 18765 when it is unset, empty or not an integer.",
    control_port};

const pk::Param base_url_params[] = {pk::kw("port", "Optional[int]", Check::OptInt, Def::None),
                                     pk::kw("host", "Optional[str]", Check::OptStr, Def::None)};
const pk::Spec base_url_spec{
    "control_base_url", nullptr, base_url_params, "str",
    "Base address of the control plane, \"http://<host>:<port>\", from the arguments, the "
    "environment and the defaults.",
    control_base_url};

const pk::Param start_params[] = {
    pk::kw("host", "str", Check::Str),
    pk::kw("port", "int", Check::Int),
    pk::kw("invoke_sync", "Callable[[Callable[[], None]], None]"),
    pk::kw("core", "Callable[[], Any]"),
    pk::kw("do_navigate", "Callable[[str], None]"),
    pk::kw("do_back", "Callable[[], None]"),
    pk::kw("do_forward", "Callable[[], None]"),
    pk::kw("do_reload", "Callable[[], None]"),
    pk::kw("log", "Optional[Callable[[str], None]]", Check::Any, Def::None),
};
const pk::Spec start_spec{
    "start_control_server", nullptr, start_params, "Tuple[HTTPServer, threading.Thread]",
    "Start the HTTP control plane on (host, port) in a daemon thread named \"panekit-control\".\n\n"
    "Every browser operation is handed to invoke_sync, which must run it on the UI thread and "
    "return when it has finished. Returns the listening server and its started thread.",
    start_control_server};

const pk::Param post_params[] = {
    pk::pos("path", "str", Check::Str),
    pk::pos("body", "Optional[Dict[str, Any]]", Check::OptDict, Def::None),
    pk::kw("port", "Optional[int]", Check::OptInt, Def::None),
    pk::kw("timeout", "float", Check::Float, Def::Float, 15.0),
};
const pk::Param get_params[] = {
    pk::pos("path", "str", Check::Str),
    pk::kw("port", "Optional[int]", Check::OptInt, Def::None),
    pk::kw("timeout", "float", Check::Float, Def::Float, 15.0),
};
const pk::Param nav_params[] = {
    pk::pos("url", "str", Check::Str),
    pk::kw("port", "Optional[int]", Check::OptInt, Def::None),
    pk::kw("timeout", "float", Check::Float, Def::Float, 15.0),
};
const pk::Param remote_params[] = {
    pk::kw("port", "Optional[int]", Check::OptInt, Def::None),
    pk::kw("timeout", "float", Check::Float, Def::Float, 15.0),
};

const pk::Spec client_specs[] = {
    {"_http_post_json", nullptr, post_params, "Dict[str, Any]",
     "POST body as UTF-8 JSON to the control server; the answer object, or {\"ok\": False, "
     "\"error\": text}.",
     http_post_json},
    {"_http_get_json", nullptr, get_params, "Dict[str, Any]",
     "GET from the control server; the answer object, or {\"ok\": False, \"error\": text}.", http_get_json},
    {"remote_navigate", nullptr, nav_params, "Dict[str, Any]",
     "Make the window navigate to url (normalised first; a blank address is refused locally).",
     remote_navigate},
    {"remote_go_back", nullptr, remote_params, "Dict[str, Any]", "Make the window go back in its history.",
     remote_post<kBackPath>},
    {"remote_go_forward", nullptr, remote_params, "Dict[str, Any]",
     "Make the window go forward in its history.", remote_post<kForwardPath>},
    {"remote_reload", nullptr, remote_params, "Dict[str, Any]", "Make the window reload its page.",
     remote_post<kReloadPath>},
    {"remote_get_url", nullptr, remote_params, "Dict[str, Any]",
     "The window's current address, as the server's {\"ok\": True, \"url\": ...} object.",
     remote_get<kUrlPath>},
    {"remote_ready", nullptr, remote_params, "Dict[str, Any]",
     "Readiness of the window, as the server's {\"ok\": True, \"core\": ..., \"url\": ...} object.",
     remote_get<kReadyPath>},
};

}  // namespace

NB_MODULE(helmwire, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
    g_dict = m.attr("__dict__").ptr();

    m.attr("__doc__") = "The loopback HTTP control plane: endpoint settings, server and client calls.";
    m.attr("norm_browser_url") = nb::module_::import_("panekit.trailbar").attr("norm_browser_url");

    nb::object host = pk::env_get("PANEKIT_CONTROL_HOST");
    nb::object stripped = host.is_none() ? nb::object(nb::str("")) : host.attr("strip")();
    m.attr("DEFAULT_CONTROL_HOST") = PyObject_IsTrue(stripped.ptr()) ? stripped : nb::object(nb::str(kDefaultHost));

    // Limits of one control connection (read at each use, so tests may lower them).
    m.attr("_MAX_BODY_BYTES") = 1 << 20;
    m.attr("_CONNECTION_TIME_LIMIT") = 10.0;
    m.attr("_DRAIN_SECONDS") = 2.0;
    m.attr("_DRAIN_BYTES") = 4 << 20;

    m.attr("control_port") = pk::make_function(control_port_spec, kModule);
    m.attr("control_base_url") = pk::make_function(base_url_spec, kModule);
    m.attr("start_control_server") = pk::make_function(start_spec, kModule);
    for (const pk::Spec &spec : client_specs) m.attr(spec.name) = pk::make_function(spec, kModule);
}
