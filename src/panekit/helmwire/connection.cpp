// panekit.helmwire: the control server's connections (reading under one deadline, draining before
// close, a prompt stop) and start_control_server, which puts a server together.
#include "helmwire.hpp"

#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <optional>

#if !defined(_WIN32)
#  include <sys/socket.h>
#endif

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace helmwire {
namespace {

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
    st.set(Server::LogFn, make_log_function(c, st.object()));
    st.set(Server::OwnName, own_host_key(host));
    st.set(Server::Invoke, invoke_sync);
    st.set(Server::Core, core);
    st.set(Server::Navigate, do_navigate);
    st.set(Server::Back, do_back);
    st.set(Server::Forward, do_forward);
    st.set(Server::Reload, do_reload);

    nb::object handler = make_handler_class(c, st.object());
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

}  // namespace

void define_server(pk::Module &mod) { mod.def<start_spec>(start_control_server); }

}  // namespace helmwire
