// panekit.helmwire: the control server's connections (reading under one deadline, draining before
// close, a prompt stop) and start_control_server, which puts a server together.
#include "helmwire.hpp"
#include "pk_host.hpp"

#include <cerrno>
#include <initializer_list>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#if !defined(_WIN32)
#  include <sys/socket.h>
#endif
#if defined(__GLIBCXX__)
#  include <cxxabi.h>
#endif

namespace helmwire {
namespace {

// Deadlines are readings of the steady clock the page tracker also reads (pk::host).
using pk::host::steady_seconds;

// ---- connection limits ----------------------------------------------------------------------
//
// Requests are handled one at a time, but they are read all at once: the serving loop watches the
// listening socket and every connection whose request has not fully arrived, takes in whatever
// input is there, and hands a connection to the handler only once its whole request is buffered
// (head, and for a POST its declared body), the client has closed its side, or its time is up. A
// client that connects and stalls therefore holds up nobody: the others are read past it.
//
// Each accepted connection gets a deadline (_CONNECTION_TIME_LIMIT seconds from acceptance). A
// connection whose request is still incomplete at its deadline goes to the handler as it is; the
// handler's first read past the buffered input raises TimeoutError, which the standard handler
// logs and drops. At most _MAX_CONNECTIONS connections are read at once; one more makes the
// longest-waiting of them close unanswered.
//
// The handler reads the buffered request from memory. Writes of an ordinary answer fit in the
// socket's own send buffer and cannot block; once a connection has written more than
// kUnboundedWriteBytes, each write gets a socket time-out of what is left of the same deadline,
// so a client that never reads its answer holds the handler for at most what is left of its limit.
//
// Reads past the buffer (a head larger than kHeadBuffer, or a request line or header the standard
// parser refuses for its length, or input that ended at the deadline) go to the socket, bounded
// by the deadline: where the system has MSG_DONTWAIT a read first takes what is there without
// waiting; otherwise (and when nothing is there) it waits with select() until the deadline.

constexpr long long kUnboundedWriteBytes = 4096;  // below every platform's minimum send buffer
constexpr std::size_t kHeadBuffer = 256 * 1024;   // head bytes buffered before the handler reads on
constexpr std::size_t kLineLimit = 65536;         // the standard parser's longest line
constexpr int kHeaderLimit = 100;                 // the standard parser's most header lines
constexpr long kReadChunk = 65536;

pk::Lazy g_select{"select", "select"};
pk::Lazy g_socket_type{"socket", "socket"};
pk::Lazy g_shut_wr{"socket", "SHUT_WR"};
pk::Lazy g_default_selector{"selectors", "DefaultSelector"};
pk::Lazy g_event_read{"selectors", "EVENT_READ"};
pk::Lazy g_bytes_io{"io", "BytesIO"};

// Methods of the plain socket class, which _DeadlineSocket extends (fetched once).
struct SocketMethods {
    PyObject *settimeout = nullptr, *recv = nullptr, *recv_into = nullptr, *sendall = nullptr,
             *makefile = nullptr;
    SocketMethods &get() {
        if (!settimeout) {
            nb::handle t = g_socket_type.get();
            settimeout = nb::object(t.attr("settimeout")).release().ptr();
            recv = nb::object(t.attr("recv")).release().ptr();
            recv_into = nb::object(t.attr("recv_into")).release().ptr();
            sendall = nb::object(t.attr("sendall")).release().ptr();
            makefile = nb::object(t.attr("makefile")).release().ptr();
        }
        return *this;
    }
} g_sock;

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

// The seconds left of the socket's deadline; raises TimeoutError once it has passed.
double time_left(nb::handle sock) {
    double left = nb::cast<double>(get_attr(sock, t_deadline)) - steady_seconds();
    if (left <= 0) pk::raise(PyExc_TimeoutError, "timed out");
    return left;
}

// Waits for input until the socket's deadline; raises TimeoutError when none comes by then.
// Input usually arrives before it is read, so the peek spares most reads the wait.
void await_input(nb::handle sock) {
    double left = time_left(sock);
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

// Input read before the handler ran and not yet taken by it: (bytes, position), or nothing.
struct Buffered {
    nb::object data;
    Py_ssize_t pos = 0;
};
std::optional<Buffered> buffered_input(nb::handle sock) {
    nb::object data = get_attr(sock, t_pending);
    if (data.is_none()) return std::nullopt;
    return Buffered{data, PyLong_AsSsize_t(get_attr(sock, t_pos).ptr())};
}

// Marks `n` more bytes of the buffered input as taken (dropping it once all is taken).
void take_buffered(nb::handle sock, const Buffered &b, Py_ssize_t n) {
    if (b.pos + n >= PyBytes_GET_SIZE(b.data.ptr())) {
        set_attr(sock, t_pending, Py_None);
        set_attr(sock, t_pos, nb::int_(0));
    } else {
        set_attr(sock, t_pos, nb::int_(b.pos + n));
    }
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
    if (auto b = buffered_input(self)) {
        Py_buffer view;
        if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_WRITABLE) < 0) throw nb::python_error();
        Py_ssize_t want = PyLong_AsSsize_t(nbytes.ptr());
        if (want < 0 && PyErr_Occurred()) {
            PyBuffer_Release(&view);
            throw nb::python_error();
        }
        if (want <= 0 || want > view.len) want = view.len;
        Py_ssize_t left = PyBytes_GET_SIZE(b->data.ptr()) - b->pos;
        Py_ssize_t n = want < left ? want : left;
        std::memcpy(view.buf, PyBytes_AS_STRING(b->data.ptr()) + b->pos, static_cast<std::size_t>(n));
        PyBuffer_Release(&view);
        take_buffered(self, *b, n);
        return nb::int_(n);
    }
    time_left(self);  // TimeoutError once the deadline has passed
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
    if (auto b = buffered_input(self)) {
        Py_ssize_t want = PyLong_AsSsize_t(bufsize.ptr());
        if (want < 0) {
            if (PyErr_Occurred()) throw nb::python_error();
            pk::raise(PyExc_ValueError, "negative buffersize in recv");
        }
        Py_ssize_t left = PyBytes_GET_SIZE(b->data.ptr()) - b->pos;
        Py_ssize_t n = want < left ? want : left;
        nb::object out = pk::check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(b->data.ptr()) + b->pos, n));
        take_buffered(self, *b, n);
        return out;
    }
    time_left(self);  // TimeoutError once the deadline has passed
    if (auto got = read_at_once(g_sock.get().recv, self, {bufsize}, flags)) return *got;
    await_input(self);
    return nb::handle(g_sock.get().recv)(self, bufsize, flags);
}

// The handler's input file: a whole buffered request (or all the client sent before closing) is
// read from memory; anything else from the socket, buffered input first.
constexpr pk::Param makefile_params[] = {
    {.name = "self"},
    {.name = "mode", .annotation = "str", .def = Def::Str, .text = "r"},
    {.name = "buffering", .annotation = "Optional[int]", .def = Def::None},
};
constexpr pk::Spec makefile_spec{.name = "makefile", .params = makefile_params, .returns = "Any"};
nb::object deadline_makefile(nb::handle self, nb::handle mode, nb::handle buffering) {
    long flags = PyLong_AsLong(get_attr(self, t_flags).ptr());
    if ((flags & (kInputEnded | kRequestWhole)) && PyUnicode_Check(mode.ptr()) &&
        PyUnicode_CompareWithASCIIString(mode.ptr(), "rb") == 0) {
        auto b = buffered_input(self);
        nb::object data = !b ? nb::object(nb::bytes("", 0))
                          : b->pos == 0 ? b->data
                                        : pk::check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(b->data.ptr()) + b->pos,
                                                                              PyBytes_GET_SIZE(b->data.ptr()) - b->pos));
        set_attr(self, t_pending, Py_None);
        return nb::handle(g_bytes_io.get())(data);
    }
    return nb::handle(g_sock.get().makefile)(self, mode, buffering);
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
        nb::handle(g_sock.get().settimeout)(self, time_left(self));
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
                   .attr("__slots__", nb::make_tuple("_pk_deadline", "_pk_sent", "_pk_unread", "_pk_pending",
                                                     "_pk_pos", "_pk_flags", "_pk_parked"))
                   .method<recv_into_spec>(deadline_recv_into)
                   .method<recv_spec>(deadline_recv)
                   .method<makefile_spec>(deadline_makefile)
                   .method<sendall_spec>(bounded_sendall)
                   .build()
                   .release()
                   .ptr();
    return type;
}

// ---- reading requests ahead of the handler ----------------------------------------------------

// One accepted connection while its request is read.
struct Conn {
    nb::object sock, addr;
    std::string buf;
    double deadline = 0, accepted = 0;
    std::size_t scan = 0;       // where the next line starts
    int stage = 0;              // 0 request line, 1 headers, 2 body
    int headers = 0;
    bool post = false, has_length = false;
    std::string length_text;    // the Content-Length value (trimmed)
    std::size_t body_start = 0;
    long flags = 0;
};

// One header line (without its line end) as the handler's parser would read it. Lines it would
// misread are marked: no name, a name with spaces or controls, a folded continuation (a line
// starting with white space), and a lone CR inside, where the parser would start a new header.
void scan_header(Conn &k, std::string_view line) {
    std::size_t colon = line.find(':');
    bool bad = colon == std::string_view::npos || colon == 0 || line.find('\r') != std::string_view::npos;
    if (!bad)
        for (std::size_t i = 0; i < colon; ++i)
            if (static_cast<unsigned char>(line[i]) <= 0x20 || static_cast<unsigned char>(line[i]) >= 0x7f) {
                bad = true;
                break;
            }
    if (bad) {
        k.flags |= kBadHeaderLine;
        return;
    }
    if (!iequals(line.substr(0, colon), "content-length")) return;
    std::string_view value = trim(line.substr(colon + 1));
    if (k.has_length && value != k.length_text) k.flags |= kLengthConflict;
    if (!k.has_length) k.length_text = std::string(value), k.has_length = true;
}

// Takes the buffered input forward; true once the connection can go to the handler.
bool scan(Conn &k, long long cap) {
    while (k.stage < 2) {
        std::size_t nl = k.buf.find('\n', k.scan);
        if (nl == std::string::npos) {
            // A line too long for the standard parser goes to it at once (it answers that); a head
            // too large to buffer is read on by the handler.
            return k.buf.size() - k.scan > kLineLimit || k.buf.size() > kHeadBuffer;
        }
        if (nl - k.scan + 1 > kLineLimit + 1) return true;
        std::string_view line(k.buf.data() + k.scan, nl - k.scan);
        k.scan = nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (k.stage == 0) {
            // The request line: the standard parser answers one that is empty or not two or three
            // words at once, and reads a body only for POST.
            int words = 0;
            std::string_view first;
            for (std::size_t i = 0; i < line.size();) {
                while (i < line.size() && is_space(line[i])) ++i;
                if (i == line.size()) break;
                std::size_t j = i;
                while (j < line.size() && !is_space(line[j])) ++j;
                if (words++ == 0) first = line.substr(i, j - i);
                i = j;
            }
            if (words < 2 || words > 3) return true;
            k.post = first == "POST";
            k.stage = 1;
            continue;
        }
        if (line.empty()) {
            k.stage = 2;
            k.body_start = k.scan;
            break;
        }
        if (++k.headers > kHeaderLimit) return true;
        scan_header(k, line);
    }
    if (!k.post || (k.flags & (kBadHeaderLine | kLengthConflict)) || !k.has_length) {
        k.flags |= kRequestWhole;
        return true;
    }
    nb::str text(k.length_text.data(), k.length_text.size());
    long long n = length_value(text, cap);
    if (n <= 0 || k.buf.size() >= k.body_start + static_cast<std::size_t>(n)) {
        k.flags |= kRequestWhole;
        return true;
    }
    return false;
}

// Takes in what the client sent, without waiting; true once the connection can go to the handler.
// A connection that failed (reset) is marked with `failed`. Where reads cannot be asked not to
// wait (no MSG_DONTWAIT), the socket is non-blocking until it is handed over.
bool feed(Conn &k, long long cap, bool &failed) {
    static PyObject *chunk = PyLong_FromLong(kReadChunk);  // kept for the process
    if (!chunk) throw nb::python_error();
    std::optional<nb::object> got;
    try {
        got = read_at_once(g_sock.get().recv, k.sock, {nb::handle(chunk)}, nb::int_(0));
#if !defined(MSG_DONTWAIT)
        try {
            got = nb::handle(g_sock.get().recv)(k.sock, nb::handle(chunk));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_BlockingIOError)) throw;
        }
#endif
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
        failed = true;
        return true;
    }
    if (!got) return false;
    Py_ssize_t n = PyBytes_GET_SIZE(got->ptr());
    if (n == 0) {
        k.flags |= kInputEnded;
        return true;
    }
    k.buf.append(PyBytes_AS_STRING(got->ptr()), static_cast<std::size_t>(n));
    return scan(k, cap);
}

// Accepts one connection: the deadline socket and its reading state.
std::optional<Conn> accept_one(const pk::Call &c) {
    auto st = c.state<Server>();
    double limit = nb::cast<double>(c.global(t_time_limit));
    if (!(limit > 0)) limit = 0.0;
    nb::tuple accepted;
    try {
        accepted = nb::tuple(call_method(get_attr(st[Server::Srv], t_socket), t_accept));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;  // as the standard loop: nothing to serve this time
        return std::nullopt;
    }
    Conn k;
    k.sock = deadline_socket_type(c)(st[Server::Family], st[Server::Type], st[Server::Proto], accepted[0]);
    k.addr = accepted[1];
    k.accepted = steady_seconds();
    k.deadline = k.accepted + limit;
    set_attr(k.sock, t_deadline, nb::float_(k.deadline));
    set_attr(k.sock, t_sent, nb::int_(0));
    set_attr(k.sock, t_unread, Py_False);
    set_attr(k.sock, t_pending, Py_None);
    set_attr(k.sock, t_pos, nb::int_(0));
    set_attr(k.sock, t_flags, nb::int_(0));
    set_attr(k.sock, t_parked, Py_False);
#if !defined(MSG_DONTWAIT)
    nb::handle(g_sock.get().settimeout)(k.sock, nb::float_(0.0));
#endif
    return k;
}

// The (socket, address) pair handed to the handler, the input read so far attached to the socket.
nb::object hand_over(Conn &k) {
#if !defined(MSG_DONTWAIT)
    nb::handle(g_sock.get().settimeout)(k.sock, nb::none());
#endif
    if (!k.buf.empty()) set_attr(k.sock, t_pending, nb::bytes(k.buf.data(), k.buf.size()));
    set_attr(k.sock, t_flags, nb::int_(k.flags));
    return nb::make_tuple(k.sock, k.addr);
}

constexpr pk::Spec get_request_spec{.name = "get_request", .returns = "Tuple[Any, Any]"};
nb::object get_request(const pk::Call &c) {
    auto st = c.state<Server>();
    nb::object next = nb::borrow(st[Server::Next]);
    if (!next.is_none()) {
        st.set(Server::Next, Py_None);
        return next;
    }
    // Outside the serving loop (handle_request): accept one connection and read its request here.
    std::optional<Conn> k = accept_one(c);
    if (!k) pk::raise(PyExc_OSError, "no connection to accept");
    long long cap = body_cap(c);
    bool failed = false;
    while (true) {
        double left = k->deadline - steady_seconds();
        if (left <= 0 || !readable(k->sock, left)) break;
        if (feed(*k, cap, failed)) break;
    }
    return hand_over(*k);
}

// ---- requests waiting for their navigation ------------------------------------------------------
//
// A request that waits for its navigation to end is parked by the handler (its handler object,
// waiter and deadline in the server's Parked list; its connection left open) and answered here,
// on the serving thread, by the same handler object: the tracker wakes the loop through a socket
// pair when a waiter gets its result, and the loop's wait is bounded by the nearest deadline.

struct Parked {
    nb::object handler, waiter;
    double deadline = 0;
};

// Writes the parked request's answer with its own handler (access line included) and closes it.
void answer_parked(const pk::Call &c, Parked &p, int code, nb::handle obj) {
    nb::handle srv = c.state<Server>()[Server::Srv];
    pk::State<pk::host::Waiter>(p.waiter).set(pk::host::Waiter::Done, Py_True);
    nb::object sock = get_attr(p.handler, t_request);
    try {
        // A fresh deadline for the write, and a writer in place of the one the handler closed.
        set_attr(sock, t_deadline, nb::float_(steady_seconds() + nb::cast<double>(c.global(t_time_limit))));
        set_attr(sock, t_sent, nb::int_(0));
        nb::setattr(p.handler, "wfile", pk::import_from("socketserver", "_SocketWriter")(sock));
        send_answer(p.handler, code, obj);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;  // the client has gone
    }
    set_attr(sock, t_parked, Py_False);
    pk::guarded([&] { srv.attr("shutdown_request")(sock); });
}

// Answers the parked requests whose navigation has ended or whose time is up; returns how long
// the loop may wait before the next of them is due (a large number when none is).
double settle_parked(const pk::Call &c, std::vector<Parked> &parked, bool stopping) {
    using pk::host::Waiter;
    double now = steady_seconds(), next = 1e9;
    for (auto it = parked.begin(); it != parked.end();) {
        pk::State<Waiter> w(it->waiter);
        nb::handle result = w[Waiter::Result];
        const double ready_at = nb::cast<double>(w[Waiter::ReadyAt]);
        const bool has = !result.is_none();
        if (has && (ready_at <= now || it->deadline <= now || stopping)) {
            answer_parked(c, *it, 200, result);
        } else if (it->deadline <= now) {
            answer_parked(c, *it, 504, failure("timed out"));
        } else if (stopping) {
            answer_parked(c, *it, 503, failure("server stopped"));
        } else {
            double due = has && ready_at < it->deadline ? ready_at : it->deadline;
            if (due - now < next) next = due - now;
            ++it;
            continue;
        }
        it = parked.erase(it);
    }
    return next;
}

// Takes the requests the handler has just parked into the loop's list.
void collect_parked(const pk::Call &c, std::vector<Parked> &parked) {
    auto st = c.state<Server>();
    nb::handle list = st[Server::Parked];
    if (!PyList_Check(list.ptr()) || PyList_GET_SIZE(list.ptr()) == 0) return;
    for (nb::handle item : list)
        parked.push_back(Parked{nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1)),
                                nb::cast<double>(nb::handle(PyTuple_GET_ITEM(item.ptr(), 2)))});
    st.set(Server::Parked, nb::list());
}

// The serving loop: the standard one's contract (shutdown() stops it, service_actions() runs
// between rounds), reading all connections at once and handling one request at a time.
//
// The loop spends its life waiting, and the interpreter may end the daemon thread in any wait (a
// thread that wakes while the interpreter shuts down is unwound at once, without the GIL). The
// waits are therefore made with the loop's own named objects as arguments and no temporaries, and
// on such an unwinding the loop lets go of its objects without touching them.
constexpr pk::Param serve_params[] = {
    {.name = "poll_interval", .annotation = "float", .check = Check::Float, .def = Def::Float, .number = 0.5},
};
constexpr pk::Spec serve_spec{.name = "serve_forever", .params = serve_params, .returns = "None"};
void serve_forever(const pk::Call &c, double poll_interval) {
    auto st = c.state<Server>();
    nb::handle srv = st[Server::Srv];
    nb::object listener = get_attr(srv, t_socket);
    nb::object is_shut_down = srv.attr("_BaseServer__is_shut_down");
    is_shut_down.attr("clear")();
    nb::object sel = nb::handle(g_default_selector.get())();
    nb::object event_read = nb::borrow(g_event_read.get());
    nb::object events, wait;
    std::unordered_map<long long, Conn> conns;
    std::deque<nb::object> ready;
    std::optional<Conn> fresh;
    std::vector<Parked> parked;
    // The socket pair that wakes the loop when a parked request's navigation ends.
    nb::object wake_pair = pk::import("socket").attr("socketpair")();
    nb::object wake_r = wake_pair[0], wake_w = wake_pair[1];
    wake_r.attr("setblocking")(false);
    wake_w.attr("setblocking")(false);
    long long wake_fd = nb::cast<long long>(wake_r.attr("fileno")());
    nb::object wake_buf = nb::int_(4096);
    long long listen_fd = nb::cast<long long>(listener.attr("fileno")());
    auto stopping = [&] { return pk::truthy(srv.attr("_BaseServer__shutdown_request")); };
    auto drop = [&](std::unordered_map<long long, Conn>::iterator it) {
        pk::guarded([&] { call_method(sel, t_unregister, it->second.sock); });
        pk::guarded([&] { call_method(it->second.sock, t_close); });
        return conns.erase(it);
    };
    auto close_all = [&] {
        for (auto it = conns.begin(); it != conns.end();) it = drop(it);
        for (nb::handle pair : ready)
            pk::guarded([&] { call_method(nb::handle(PyTuple_GET_ITEM(pair.ptr(), 0)), t_close); });
        ready.clear();
        st.set(Server::Next, Py_None);
        pk::guarded([&] { collect_parked(c, parked); });
        pk::guarded([&] { settle_parked(c, parked, true); });
        parked.clear();
        st.set(Server::Wake, Py_None);
        pk::guarded([&] { wake_r.attr("close")(); });
        pk::guarded([&] { wake_w.attr("close")(); });
        pk::guarded([&] { sel.attr("close")(); });
        nb::setattr(srv, "_BaseServer__shutdown_request", nb::bool_(false));
        is_shut_down.attr("set")();
    };
    try {
        sel.attr("register")(listener, event_read);
        sel.attr("register")(wake_r, event_read);
        st.set(Server::Wake, wake_w.attr("send"));
        while (!stopping()) {
            double timeout = poll_interval;
            double due = settle_parked(c, parked, false);
            if (due < timeout) timeout = due > 0 ? due : 0;
            double now = steady_seconds();
            if (!ready.empty()) {
                timeout = 0;
            } else {
                for (auto &[fd, k] : conns)
                    if (k.deadline - now < timeout) timeout = k.deadline - now > 0 ? k.deadline - now : 0;
            }
            wait = nb::float_(timeout);
            events = call_method(sel, t_select, wait);
            if (stopping()) break;
            long long cap = body_cap(c);
            for (nb::handle ev : events) {
                long long fd = nb::cast<long long>(nb::handle(PyTuple_GET_ITEM(ev.ptr(), 0)).attr("fd"));
                if (fd == wake_fd) {
                    pk::guarded([&] { call_method(wake_r, t_recv, wake_buf); });
                    continue;
                }
                if (fd == listen_fd) {
                    fresh = accept_one(c);
                    if (!fresh) continue;
                    long limit = nb::cast<long>(c.global("_MAX_CONNECTIONS"));
                    while (!conns.empty() && static_cast<long>(conns.size()) >= (limit > 0 ? limit : 1)) {
                        auto oldest = conns.begin();
                        for (auto it = conns.begin(); it != conns.end(); ++it)
                            if (it->second.accepted < oldest->second.accepted) oldest = it;
                        drop(oldest);
                    }
                    bool failed = false;
                    if (feed(*fresh, cap, failed)) {  // the request has often arrived already
                        if (failed) pk::guarded([&] { call_method(fresh->sock, t_close); });
                        else ready.push_back(hand_over(*fresh));
                    } else {
                        call_method(sel, t_register, fresh->sock, event_read);
                        long long kfd = nb::cast<long long>(fresh->sock.attr("fileno")());
                        conns.emplace(kfd, std::move(*fresh));
                    }
                    fresh.reset();
                    continue;
                }
                auto it = conns.find(fd);
                if (it == conns.end()) continue;
                bool failed = false;
                if (!feed(it->second, cap, failed)) continue;
                if (failed) {
                    drop(it);
                    continue;
                }
                call_method(sel, t_unregister, it->second.sock);
                ready.push_back(hand_over(it->second));
                conns.erase(it);
            }
            // Time is up for requests still incomplete: the handler reports them.
            now = steady_seconds();
            for (auto it = conns.begin(); it != conns.end();) {
                if (it->second.deadline > now) {
                    ++it;
                    continue;
                }
                call_method(sel, t_unregister, it->second.sock);
                ready.push_back(hand_over(it->second));
                it = conns.erase(it);
            }
            if (!ready.empty()) {
                st.set(Server::Next, ready.front());
                ready.pop_front();
                call_method(srv, t_handle_noblock);
                st.set(Server::Next, Py_None);
                collect_parked(c, parked);
            }
            call_method(srv, t_service_actions);
        }
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // The thread is being ended without the GIL: nothing of Python may be touched, so the
        // loop's references are left as they are (the process is ending).
        for (nb::object *o : {&listener, &is_shut_down, &sel, &event_read, &events, &wait, &wake_pair, &wake_r,
                              &wake_w, &wake_buf})
            (void)o->release();
        for (Parked &p : parked) (void)p.handler.release(), (void)p.waiter.release();
        for (auto &[fd, k] : conns) (void)k.sock.release(), (void)k.addr.release();
        if (fresh) (void)fresh->sock.release(), (void)fresh->addr.release();
        for (nb::object &pair : ready) (void)pair.release();
        throw;
#endif
    } catch (...) {
        // Whatever else ends the loop, its connections are closed and shutdown() is not left waiting.
        close_all();
        throw;
    }
    close_all();
}

// Before closing, take in what the client sent beyond what was read (a body on a GET, a body
// behind a 413, pipelined bytes): closing a socket with unread input resets the connection, which
// can discard the answer before the client has read it.
constexpr pk::Param request_param[] = {{.name = "request", .annotation = "Any"}};
constexpr pk::Spec shutdown_request_spec{.name = "shutdown_request", .params = request_param, .returns = "None"};
void shutdown_request(const pk::Call &c, nb::handle request) {
    if (attr_or(request, t_parked, Py_False).is(Py_True)) return;  // answered later by the loop
    try {
        // Drain only when input is pending now (checked before our FIN, so it is the client's
        // data, not its close) or a body was deliberately left unread; otherwise close at once.
        bool unread = pk::truthy(get_attr(request, t_unread));
        int now = unread ? 1 : readable_now(request);
        bool pending = now == 1 || (now < 0 && readable(request, 0.0));
        call_method(request, t_shutdown, g_shut_wr.get());
        if (pending) {
            double budget = nb::cast<double>(c.global("_DRAIN_SECONDS"));
            long long left_bytes = nb::cast<long long>(c.global("_DRAIN_BYTES"));
            double end = steady_seconds() + budget, wait = budget;
            while (left_bytes > 0) {
                if (!readable(request, wait)) break;
                nb::handle(g_sock.get().settimeout)(request, 0.0);
                nb::bytes chunk = nb::bytes(nb::handle(g_sock.get().recv)(request, 65536));
                if (chunk.size() == 0) break;
                left_bytes -= static_cast<long long>(chunk.size());
                double left = end - steady_seconds();
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
        else if (nb::str(host).equal(nb::str("::")))
            host = nb::str("::1");
        nb::object poke = pk::import("socket").attr("create_connection")(nb::make_tuple(host, address[1]), 1.0);
        poke.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;  // the loop still stops at its next wait
    }
    return pk::import_from("socketserver", "BaseServer").attr("shutdown")(srv);
}

// ---- the server's token ----------------------------------------------------------------------

// The token of a new server, on the server (`control_token`) and in its runtime file. A file that
// cannot be written is said once in the log: the server runs, and its guarded routes answer
// whoever has the token by other means (PANEKIT_CONTROL_TOKEN, the server object).
void start_access(const pk::Call &c, const pk::State<Server> &st, nb::handle host) {
    nb::str token = new_token();
    nb::handle srv = st[Server::Srv];
    st.set(Server::Token, token);
    nb::setattr(srv, "control_token", token);
    nb::object port = nb::tuple(srv.attr("server_address"))[1];
    try {
        nb::object address = c.global("control_base_url")("port"_a = port, "host"_a = host);
        st.set(Server::TokenFile, write_runtime_file(address, port, token));
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        st[Server::LogFn](nb::str("[panekit control] token file not written: {}").format(nb::str(e.value())));
    }
}

// Closing the server also removes its runtime file.
constexpr pk::Spec server_close_spec{.name = "server_close", .returns = "None"};
void server_close(const pk::Call &c) {
    auto st = c.state<Server>();
    remove_runtime_file(st[Server::TokenFile], st[Server::Token]);
    st.set(Server::TokenFile, Py_None);
    pk::import_from("http.server", "HTTPServer").attr("server_close")(st[Server::Srv]);
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
    st.set(Server::Parked, nb::list());

    nb::object handler = make_handler_class(c, st.object());
    // An IPv6 literal (bare, or in brackets as in an address) is listened on with an IPv6 socket.
    std::string_view text = utf8(host), bare = unbracketed(text);
    nb::object bind_host = bare.size() == text.size() ? nb::object(host) : nb::str(bare.data(), bare.size());
    nb::object server_type = pk::import_from("http.server", "HTTPServer");
    nb::object socket_mod = pk::import("socket");
    nb::object srv = server_type.attr("__new__")(server_type);
    if (utf8(bind_host).find(':') != std::string_view::npos)
        srv.attr("address_family") = socket_mod.attr("AF_INET6");
    // On Windows, SO_REUSEADDR (which HTTPServer asks for) lets a socket bind a port that another
    // program already listens on: a second window would share the first one's port instead of
    // failing. There the port is taken exclusively, so a busy port fails the start as elsewhere.
    // (Asked of the socket layer, not of sys.platform: it is the system's sockets that behave so.)
    bool windows = nb::hasattr(socket_mod, "SO_EXCLUSIVEADDRUSE");
    if (windows) srv.attr("allow_reuse_address") = false;
    server_type.attr("__init__")(srv, nb::make_tuple(bind_host, port), handler, false);
    try {
        if (windows)
            srv.attr("socket").attr("setsockopt")(socket_mod.attr("SOL_SOCKET"),
                                                  socket_mod.attr("SO_EXCLUSIVEADDRUSE"), 1);
        srv.attr("server_bind")();
        srv.attr("server_activate")();
    } catch (nb::python_error &) {
        pk::guarded([&] { srv.attr("server_close")(); });
        throw;
    }
    st.set(Server::Srv, srv);
    nb::object listener = srv.attr("socket");
    st.set(Server::Family, listener.attr("family"));
    st.set(Server::Type, listener.attr("type"));
    st.set(Server::Proto, listener.attr("proto"));
    srv.attr("get_request") = c.nested<get_request_spec>(get_request, st.object());
    srv.attr("shutdown_request") = c.nested<shutdown_request_spec>(shutdown_request, st.object());
    srv.attr("shutdown") = c.nested<shutdown_spec>(prompt_shutdown, st.object());
    srv.attr("serve_forever") = c.nested<serve_spec>(serve_forever, st.object());
    start_access(c, st, host);
    srv.attr("server_close") = c.nested<server_close_spec>(server_close, st.object());
    nb::object th = pk::import_from("threading", "Thread")(
        "target"_a = srv.attr("serve_forever"), "name"_a = "panekit-control", "daemon"_a = true);
    th.attr("start")();
    return nb::make_tuple(srv, th);
}

}  // namespace

void define_server(pk::Module &mod) { mod.def<start_spec>(start_control_server); }

}  // namespace helmwire
