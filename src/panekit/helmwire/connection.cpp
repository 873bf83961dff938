// panekit.helmwire: the control server's connection engine (one loop reads, writes and drains every
// connection and hands whole requests to the handler one at a time) and start_control_server,
// which puts a server together.
#include "sockets.hpp"  // first: the system's socket headers before any that may bring older ones
#include "helmwire.hpp"
#include "navigation.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace helmwire {
namespace {

using pk::host::steady_seconds;

// ---- the serving loop -------------------------------------------------------------------------
//
// One thread ("panekit-control") runs one poll loop over the listening socket and every open
// connection, all non-blocking, with the system's socket calls (sockets.hpp). A connection's input
// is buffered until its request is whole (the head, and for a POST the body its Content-Length
// declares), the client closes its side, or its time is up. The head is read once, as it arrives,
// the way the standard reader and header parser read it; the handler then runs on that head (its
// request line is read here, and refused with the standard handler's own answers), writing its
// answer into a buffer. The loop then writes the answer as the client takes it, closes its own
// side, and drains input known to be still coming until the client closes (so that unread input
// cannot reset the connection before the answer is read). A request that waits for its navigation
// is parked, its socket watched for a hang-up, and answered by the loop when the navigation ends.
//
// Nothing on one connection waits for another: every read, write and drain happens when the
// socket is ready, and each connection has one deadline (_CONNECTION_TIME_LIMIT seconds from
// acceptance) covering its reading, its answer and its drain. At most _MAX_CONNECTIONS are read at
// once (one more closes the longest-waiting); at most _MAX_WAITING requests wait for navigations.
// Whatever one connection raises ends that connection alone, logged in one line.
//
// The handler's `request` is the connection's socket, its `wfile` the answer's buffer; the head
// and a request left to answer later pass through the connection being served (current_for).

constexpr std::size_t kLineLimit = 65536;    // the standard parser's longest line
constexpr int kHeaderLimit = 100;            // the standard parser's most header lines
constexpr std::size_t kHeadLimit = 1 << 20;  // the largest head read; a larger one is answered 431
constexpr Py_ssize_t kReadChunk = 65536;
constexpr long kListenQueue = 128;
constexpr double kAcceptPause = 0.25;  // the listener rests this long when accept() fails (EMFILE)
constexpr double kExitWait = 1.0;      // how long exit waits for the loop to end
constexpr long kRead = 1, kWrite = 2;  // what the loop waits for on a connection (Conn::events)

pk::Lazy g_socketpair{"socket", "socketpair"};
pk::Lazy g_event{"threading", "Event"};
pk::Lazy g_bytes_io{"io", "BytesIO"};

// ---- one connection ---------------------------------------------------------------------------

enum class Phase { Reading, Ready, Writing, Draining, Parked };

// What reading a connection learnt about its request before the handler runs (Conn::flags).
constexpr long kInputEnded = 1;    // the client closed its side: nothing more will come
constexpr long kHeadCut = 2;       // the input ended before the head did
constexpr long kHeadTooLarge = 4;  // the head is longer than the server reads

// Where the standard reader would stop taking the head: a line longer than it reads (the request
// line: 414; a header line: 431), or more header lines than it takes (431).
enum class Stop { None, LongLine, ManyLines };

// A header line of the head: where its name and its value lie in the buffer.
struct Span {
    std::size_t name, name_end, value, value_end;
    bool folded = false;  // a line that begins with a space or a tab continues it
};

struct Conn {
    nb::object sock, addr, out, handler, waiter;  // out: the answer (an io.BytesIO, the handler's wfile)
    Phase phase = Phase::Reading;
    long events = 0;  // what the selector watches
    std::string in;
    std::size_t scan = 0, need = 0;  // where the next head line starts; the whole request's length
    std::size_t line_end = 0;        // the end of the request line (its line end included)
    std::vector<Span> spans;
    int lines = 0;
    Stop stop = Stop::None;
    bool head_done = false, post = false;
    bool malformed = false;  // a head line the header parser would misread or set aside
    bool envelope = false;   // the last header line read looks like a mailbox's "From " line
    bool unread = false;     // input beyond the request, or a refused body, is known to be coming
    bool open_only = false;  // the waiting request came without the token (for_open_caller)
    bool keep = false;       // its handler left it open (HTTP/1.1): the next request follows the answer
    bool kept = false;       // a connection kept after an answer: its time may run out quietly while idle
    long flags = 0;
    double accepted = 0, deadline = 0, wait_until = 0;
    Py_ssize_t sent = 0;
    long long drained = 0;
    const Head *head = nullptr;  // while its handler runs: the head read here
};

// The connection whose request the serving loop's handler is serving, on the loop's thread while
// it runs: the handler reads its head there, and leaves there a request to answer later (park).
thread_local Conn *current = nullptr;

// The serving loop's connection whose request `handler` serves; null when the handler runs under
// the standard server.
Conn *current_for(nb::handle handler) { return current && current->handler.is(handler) ? current : nullptr; }

Field field_of(const Conn &k, const Span &sp) {
    const std::string_view in(k.in);
    return {in.substr(sp.name, sp.name_end - sp.name), in.substr(sp.value, sp.value_end - sp.value)};
}

// The words of a request line.
std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < line.size();) {
        while (i < line.size() && is_py_space(line[i])) ++i;
        std::size_t j = i;
        while (j < line.size() && !is_py_space(line[j])) ++j;
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

// Takes one header line (without its line end) as the standard header parser does: a field
// "name: value" (a name of printable ASCII but the colon), a continuation of the field before (a
// line that begins with a space or a tab), a mailbox's envelope line ("From ...", dropped when it
// is the first or the last line), or a line it sets aside.
void take_header_line(Conn &k, std::size_t start, std::string_view line) {
    if (line.find('\r') != std::string_view::npos) k.malformed = true;  // a lone CR splits the line
    const bool first = k.lines == 2;
    if (k.envelope) k.malformed = true;  // an envelope line that is not the last
    k.envelope = false;
    if (line.starts_with("From ")) {
        k.envelope = !first;
        return;
    }
    if (!line.empty() && is_space(line.front())) {
        if (k.spans.empty()) k.malformed = true;
        else k.spans.back().folded = true;
        return;
    }
    const std::size_t colon = line.find(':');
    bool named = colon != std::string_view::npos && colon > 0;
    for (std::size_t i = 0; named && i < colon; ++i) named = line[i] > 0x20 && line[i] < 0x7f;
    if (!named) {
        k.malformed = true;
        return;
    }
    std::size_t value = colon + 1;
    while (value < line.size() && is_space(line[value])) ++value;
    k.spans.push_back({start, start + colon, start + value, start + line.size()});
}

// Takes the buffered head forward as the standard reader reads it (lines ending in LF, at most
// kLineLimit bytes each); with `at_end`, the buffer's end is the input's. True once the handler
// can have the request: its head and declared body are here, or the reader would refuse what is
// here already (a request line of other than three words, a line or a head too long).
bool scan(Conn &k, long long cap, bool at_end = false) {
    while (!k.head_done && k.stop == Stop::None) {
        const std::size_t start = k.scan, nl = k.in.find('\n', start);
        const std::size_t end = nl == std::string::npos ? k.in.size() : nl;
        if (nl == std::string::npos && !at_end) {
            if (end - start <= kLineLimit) return false;  // the rest of the line is still coming
        }
        if (end - start + (nl == std::string::npos ? 0 : 1) > kLineLimit) {
            k.stop = Stop::LongLine;
            return true;
        }
        k.scan = nl == std::string::npos ? end : nl + 1;
        const std::string_view raw(k.in.data() + start, k.scan - start);
        std::string_view line(k.in.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (k.lines++ == 0) {
            k.line_end = k.scan;
            const std::vector<std::string_view> words = split_words(line);
            k.post = !words.empty() && words[0] == "POST";
            if (words.size() != 3) return true;  // HTTP/0.9, or refused: no head to wait for
            continue;
        }
        if (k.lines - 1 > kHeaderLimit) {  // the blank line counts among them
            k.stop = Stop::ManyLines;
            return true;
        }
        if (raw.empty() || raw == "\n" || raw == "\r\n") {
            k.head_done = !raw.empty();
            break;
        }
        take_header_line(k, start, line);
    }
    if (at_end) return true;
    if (!k.need) {
        k.need = k.scan;
        std::vector<Field> fields;
        for (const Span &sp : k.spans) fields.push_back(field_of(k, sp));
        long long n = declared_length(fields, cap);
        if (n > 0 && k.post) k.need += static_cast<std::size_t>(n);
        k.unread = n == kTooLarge || (n > 0 && !k.post);  // a body nobody reads
    }
    return k.in.size() >= k.need;
}

struct Loop {
    const pk::Call &c;
    pk::State<Server> st;
    nb::handle srv, handler_class;
    nb::object listener, wake_r, wake_w;
    long long listen_fd = -1, wake_fd = -1;
    std::vector<PollFd> polled;  // what the last wait watched
    std::vector<char> chunk = std::vector<char>(kReadChunk);
    double accept_resume = 0;  // while accept() rests: when it may try again
    std::unordered_map<long long, Conn> conns;
    std::deque<long long> ready;
    long waiting = 0;

    Loop(const pk::Call &call) : c(call), st(call.state<Server>()) {}

    double limit() {
        double v = nb::cast<double>(c.global(t_time_limit));
        return v > 0 ? v : 0.0;
    }

    void set_waiting(long n) {
        waiting = n;
        st.set(Server::Waiting, nb::int_(n));
    }

    void close(long long fd) {
        auto it = conns.find(fd);
        if (it == conns.end()) return;
        Conn &k = it->second;
        if (k.phase == Phase::Parked) {
            pk::State<pk::host::Waiter>(k.waiter).set(pk::host::Waiter::Done, Py_True);
            set_waiting(waiting - 1);
        }
        pk::guarded([&] { call_method(k.sock, t_close); });
        conns.erase(it);
    }

    // A failure of one connection: logged in one line (a client that hangs up or resets is not a
    // failure), and the connection closed.
    void failed(long long fd, nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        if (!e.matches(PyExc_OSError)) log_failure(e.value());
        close(fd);
    }

    void log_failure(nb::handle err) {
        pk::guarded([&] { log_control(c, nb::str("request failed: {}").format(error_text(err))); });
    }

    // Whether accept's error is about the one connection it took (gone before it was accepted).
    static bool connection_gone(nb::handle err) {
        if (PyErr_GivenExceptionMatches(err.ptr(), PyExc_ConnectionError)) return true;
        nb::object code = pk::attr_or(err, "errno", nb::none());
        nb::object errno_mod = pk::import("errno");
        for (const char *name : {"ENOTCONN", "WSAENOTCONN", "EPROTO"})
            if (nb::hasattr(errno_mod, name) && code.equal(errno_mod.attr(name))) return true;
        return false;
    }

    // Accepts one connection (the selector reports the listener again while more are queued).
    void accept_one() {
        nb::object pair;
        try {
            pair = listener.attr("accept")();
        } catch (nb::python_error &e) {
            if (!pk::is_exception(e) || !e.matches(PyExc_OSError)) throw;
            // A connection reset or aborted while it waited in the queue fails alone (Windows
            // reports it from accept, wine as "not connected"; with a long queue many may wait
            // there): the next is taken at once.
            if (!e.matches(PyExc_BlockingIOError) && !e.matches(PyExc_InterruptedError) &&
                !connection_gone(e.value())) {
                // Out of descriptors (or the like): the listener rests instead of waking the loop at once.
                accept_resume = steady_seconds() + kAcceptPause;
            }
            return;
        }
        make_room();
        Conn k;
        k.sock = pair[0];
        k.addr = pair[1];
        long long fd = -1;
        try {
            fd = nb::cast<long long>(k.sock.attr("fileno")());
            if (!set_nonblocking(static_cast<Socket>(fd))) fd = -1;
        } catch (nb::python_error &) {
            fd = -1;
        }
        if (fd < 0) {
            pk::guarded([&] { call_method(k.sock, t_close); });
            return;
        }
        k.accepted = steady_seconds();
        k.deadline = k.accepted + limit();
        Conn &in_map = conns[fd] = std::move(k);
        try {
            readable(fd, in_map);  // the request has often arrived already
            auto it = conns.find(fd);
            if (it != conns.end() && it->second.phase == Phase::Reading) it->second.events = kRead;
        } catch (nb::python_error &e) {
            failed(fd, e);
        }
    }

    // At most _MAX_CONNECTIONS connections are read at once: one more closes the longest-waiting.
    void make_room() {
        long cap = nb::cast<long>(c.global("_MAX_CONNECTIONS"));
        while (true) {
            long reading = 0;
            long long oldest = -1;
            for (auto &[fd, k] : conns)
                if (k.phase == Phase::Reading) {
                    ++reading;
                    if (oldest < 0 || k.accepted < conns.at(oldest).accepted) oldest = fd;
                }
            if (reading < (cap > 0 ? cap : 1)) return;
            close(oldest);
        }
    }

    void readable(long long fd, Conn &k) {
        const auto n = ::recv(static_cast<Socket>(fd), chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n < 0) {
            if (!would_block(last_error())) close(fd);  // reset: the connection ends (no failure of the server's)
            return;
        }
        if (k.phase == Phase::Reading) {
            if (n == 0) {
                k.flags |= kInputEnded | (k.head_done ? 0 : kHeadCut);
                return to_handler(fd, k);
            }
            k.in.append(chunk.data(), static_cast<std::size_t>(n));
            return took(fd, k);
        }
        // Draining, or waiting for a navigation: input is dropped; the end of it closes (for a
        // waiting request: its client hung up, so its wait ends). A kept connection's client that
        // sends on before its answer has come is not kept: the close tells it what was dropped.
        k.keep = false;
        k.drained += n;
        if (n == 0 || k.drained > nb::cast<long long>(c.global("_DRAIN_BYTES"))) close(fd);
    }

    // Reads what has arrived of the request: to the handler once it is whole.
    void took(long long fd, Conn &k) {
        const bool whole = scan(k, body_cap(c));
        // The head (up to and with its blank line) may be kHeadLimit bytes long, however it
        // arrives: a longer one is answered 431, and what follows it drained.
        if (k.head_done ? k.scan > kHeadLimit : k.in.size() > kHeadLimit) {
            k.flags |= kHeadTooLarge;
            k.unread = true;
            return to_handler(fd, k);
        }
        if (whole) to_handler(fd, k);
    }

    // A kept connection after its answer: read afresh, from what the client sent on meanwhile,
    // with a fresh deadline.
    void next_request(long long fd, Conn &k) {
        Conn next;
        next.sock = std::move(k.sock);
        next.addr = std::move(k.addr);
        next.in = std::move(k.in);
        next.kept = true;
        next.accepted = steady_seconds();
        next.deadline = next.accepted + limit();
        next.events = kRead;
        k = std::move(next);
        if (!k.in.empty()) took(fd, k);
    }

    void to_handler(long long fd, Conn &k) {
        k.events = 0;
        k.phase = Phase::Ready;
        ready.push_back(fd);
    }

    // Runs the handler on one whole request: reads its request line as the standard handler does
    // (answering what that refuses) and calls the handler's method for it with the head read here.
    void handle(long long fd, Conn &k) {
        if (k.in.size() > k.need) k.unread = true;  // pipelined bytes, or a body nobody reads
        Head head;
        if (!(k.flags & kHeadTooLarge)) {
            if (!k.head_done && k.stop == Stop::None) scan(k, body_cap(c), true);  // the head on what is here
            for (const Span &sp : k.spans) {
                head.fields.push_back(field_of(k, sp));
                head.malformed = head.malformed || sp.folded;
            }
            head.malformed = head.malformed || k.malformed;
            head.length = declared_length(head.fields, body_cap(c));
            head.cut = k.flags & kHeadCut;
            head.body = std::string_view(k.in).substr(std::min(k.scan, k.in.size()));
        }
        k.out = nb::handle(g_bytes_io.get())();
        k.handler = handler_class.attr("__new__")(handler_class);
        k.head = &head;
        current = &k;
        try {
            nb::object method = begin(k);
            if (method.is_valid()) method();
        } catch (nb::python_error &e) {
            current = nullptr;
            if (!pk::is_exception(e)) throw;
            if (e.matches(PyExc_TimeoutError)) {  // as the standard handler takes a time-out
                pk::guarded([&] { k.handler.attr("log_error")("Request timed out: %r", e.value()); });
            } else {
                log_failure(e.value());
                if (!pk::truthy(k.out.attr("tell")())) answer(k, 400, failure("bad request"));
            }
        }
        current = nullptr;
        k.keep = !(k.flags & (kInputEnded | kHeadTooLarge)) && k.in.size() >= k.need && (k.post || head.length == 0) &&
                 !pk::truthy(pk::attr_or(k.handler, "close_connection", nb::bool_(true)));
        if (k.keep) {
            k.in.erase(0, k.need);  // what the client sent on: its next request
            k.unread = false;
        } else {
            std::string().swap(k.in);
        }
        std::vector<Span>().swap(k.spans);
        if (k.waiter.is_valid()) {  // parked by its handler
            k.phase = Phase::Parked;
            set_waiting(waiting + 1);
            k.events = kRead;  // a hang-up ends the wait
            return;
        }
        start_write(fd, k);
    }

    // Calls the handler's send_error(code[, message[, explain]]) for a request it refuses.
    template <class... A> nb::object refused(Conn &k, int code, A &&...texts) {
        k.handler.attr("send_error")(code, std::forward<A>(texts)...);
        return nb::object();
    }

    // Sets the handler up for its request as the standard handler's handle_one_request does before
    // it calls the method: the request line read into command, path and request_version, or
    // refused with the standard answer, and the head's limits checked. Returns the method to call
    // (do_GET, ...), or nothing when the request was answered already or there is nothing to answer.
    nb::object begin(Conn &k) {
        nb::handle h = k.handler;
        nb::setattr(h, "client_address", k.addr);
        nb::setattr(h, "server", srv);
        nb::setattr(h, "request", k.sock);
        nb::setattr(h, "wfile", k.out);
        nb::setattr(h, "close_connection", Py_True);
        auto latin1 = [](std::string_view v) {
            return nb::borrow<nb::str>(pk::check(PyUnicode_DecodeLatin1(v.data(), static_cast<Py_ssize_t>(v.size()), nullptr)));
        };
        if (k.flags & kHeadTooLarge) {  // answered without reading it, logged with its request line
            const std::size_t eol = k.in.find('\n');
            std::string_view line = std::string_view(k.in).substr(0, std::min(eol, kLineLimit));
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            nb::setattr(h, "requestline", latin1(line));
            nb::setattr(h, "request_version", nb::str("HTTP/1.0"));
            nb::setattr(h, "command", nb::none());
            answer(k, 431, failure("request head too large"));
            return nb::object();
        }
        if (k.in.empty()) return nb::object();  // the client sent nothing
        if (k.stop == Stop::LongLine && k.lines == 0) {  // the request line itself
            for (const char *name : {"requestline", "request_version", "command"}) nb::setattr(h, name, nb::str(""));
            return refused(k, 414);
        }
        nb::setattr(h, "command", nb::none());
        nb::setattr(h, "request_version", nb::str("HTTP/0.9"));
        std::string_view line = std::string_view(k.in).substr(0, k.line_end);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        nb::str requestline = latin1(line);
        nb::setattr(h, "requestline", requestline);
        const std::vector<std::string_view> words = split_words(line);
        if (words.empty()) return nb::object();
        if (words.size() >= 3) {
            const std::string_view version = words.back(), number = version.substr(std::min<std::size_t>(5, version.size()));
            const std::size_t dot = number.find('.');
            auto part_ok = [](std::string_view p) { return !p.empty() && p.size() <= 10 && is_digits(p); };
            if (!version.starts_with("HTTP/") || dot == std::string_view::npos || !part_ok(number.substr(0, dot)) ||
                !part_ok(number.substr(dot + 1)))
                return refused(k, 400, nb::str("Bad request version ({!r})").format(latin1(version)));
            if (std::stoll(std::string(number.substr(0, dot))) >= 2)
                return refused(k, 505, nb::str("Invalid HTTP version ({})").format(latin1(number)));
            nb::setattr(h, "request_version", latin1(version));
        }
        if (words.size() > 3 || words.size() < 2)
            return refused(k, 400, nb::str("Bad request syntax ({!r})").format(requestline));
        nb::str command = latin1(words[0]);
        if (words.size() == 2 && words[0] != "GET")
            return refused(k, 400, nb::str("Bad HTTP/0.9 request type ({!r})").format(command));
        nb::setattr(h, "command", command);
        std::string_view path = words[1];
        if (path.starts_with("//")) {  // reduced to one "/", as the standard handler does
            while (path.size() > 1 && path[1] == '/') path.remove_prefix(1);
        }
        nb::setattr(h, "path", latin1(path));
        if (k.stop == Stop::LongLine)
            return refused(k, 431, "Line too long", "got more than 65536 bytes when reading header line");
        if (k.stop == Stop::ManyLines)
            return refused(k, 431, "Too many headers", "got more than 100 headers");
        static PyObject *prefix = PyUnicode_InternFromString("do_");
        PyObject *method = nullptr;
        pk::check(PyObject_GetOptionalAttr(h.ptr(), pk::check(PyUnicode_Concat(prefix, command.ptr())).ptr(), &method));
        if (!method) return refused(k, 501, nb::str("Unsupported method ({!r})").format(command));
        return nb::steal(method);
    }

    // Writes one JSON answer with the request's handler into its buffer (nothing of a failed one).
    void answer(Conn &k, int code, nb::handle obj) {
        nb::object before = k.out.attr("tell")();
        try {
            send_answer(k.handler, code, obj);
        } catch (nb::python_error &e) {
            if (!pk::is_exception(e)) throw;
            k.out.attr("truncate")(before);
            k.out.attr("seek")(before);
        }
    }

    void start_write(long long fd, Conn &k) {
        k.phase = Phase::Writing;
        k.sent = 0;
        k.out = k.out.attr("getvalue")();  // from here on, the answer's bytes
        writable(fd, k);
    }

    void writable(long long fd, Conn &k) {
        const char *out = PyBytes_AS_STRING(k.out.ptr());
        const Py_ssize_t size = PyBytes_GET_SIZE(k.out.ptr());
        while (k.sent < size) {
            const int part = static_cast<int>(std::min<Py_ssize_t>(size - k.sent, 1 << 20));
            const auto n = ::send(static_cast<Socket>(fd), out + k.sent, part, kSendFlags);
            if (n >= 0) {
                k.sent += n;
            } else if (would_block(last_error())) {
                k.events = kWrite;
                return;
            } else {
                return close(fd);  // reset: the connection ends (no failure of the server's)
            }
        }
        if (k.keep) return next_request(fd, k);
        // Answered: the server's side is closed. Input known to be coming (a body behind a 413 or
        // on a GET, pipelined bytes) is drained until the client closes too, or the drain's time is
        // up, as closing with unread input would reset the connection, which can discard the answer.
        shut_write(static_cast<Socket>(fd));
        if ((k.flags & kInputEnded) || !k.unread) return close(fd);
        k.phase = Phase::Draining;
        double end = steady_seconds() + nb::cast<double>(c.global("_DRAIN_SECONDS"));
        if (end < k.deadline) k.deadline = end;
        k.events = kRead;
    }

    // Answers the waiting requests whose navigation has ended or whose time is up; returns how
    // long the loop may wait before the next of them is due.
    double settle(bool stopping) {
        using pk::host::Waiter;
        double now = steady_seconds(), next = 1e9;
        std::vector<long long> due;
        for (auto &[fd, k] : conns) {
            if (k.phase != Phase::Parked) continue;
            pk::State<Waiter> w(k.waiter);
            const bool has = !w[Waiter::Result].is_none();
            const double ready_at = nb::cast<double>(w[Waiter::ReadyAt]);
            if ((has && ready_at <= now) || k.wait_until <= now || stopping) {
                due.push_back(fd);
                continue;
            }
            double at = has && ready_at < k.wait_until ? ready_at : k.wait_until;
            if (at - now < next) next = at - now;
        }
        for (long long fd : due) {
            Conn &k = conns[fd];
            try {
                pk::State<Waiter> w(k.waiter);
                nb::object result = nb::borrow(w[Waiter::Result]);
                w.set(Waiter::Done, Py_True);
                set_waiting(waiting - 1);
                k.phase = Phase::Writing;
                k.deadline = steady_seconds() + limit();  // a fresh deadline for the answer
                k.events = 0;
                if (!result.is_none()) answer(k, 200, k.open_only ? for_open_caller(result) : result);
                else if (stopping) answer(k, 503, failure("server stopped"));
                else answer(k, 504, failure("timed out"));
                start_write(fd, k);
            } catch (nb::python_error &e) {
                failed(fd, e);
            }
        }
        return next;
    }

    // Connections whose time is up: a request not yet read or answered is logged as the standard
    // handler logs a time-out; a drain just ends.
    double expire() {
        double now = steady_seconds(), next = 1e9;
        std::vector<long long> over;
        for (auto &[fd, k] : conns) {
            if (k.phase == Phase::Parked || k.phase == Phase::Ready) continue;
            if (k.deadline <= now) over.push_back(fd);
            else if (k.deadline - now < next) next = k.deadline - now;
        }
        for (long long fd : over) {
            const Conn &k = conns[fd];
            if (k.phase != Phase::Draining && !(k.kept && k.phase == Phase::Reading && k.in.empty()))
                pk::guarded([&] { log_control(c, nb::str("Request timed out: TimeoutError('timed out')")); });
            close(fd);
        }
        return next;
    }

    void run(double poll_interval) {
        while (!pk::truthy(st[Server::Stop])) {
            double timeout = poll_interval;
            double due = settle(false), left = expire();
            if (due < timeout) timeout = due;
            if (left < timeout) timeout = left;
            if (accept_resume > 0) {
                double rest = accept_resume - steady_seconds();
                if (rest <= 0) {
                    accept_resume = 0;
                } else if (rest < timeout) {
                    timeout = rest;
                }
            }
            if (!ready.empty() || timeout < 0) timeout = 0;
            // The wake-up socket, the listener unless it rests, and what each connection waits for.
            polled.assign(1, PollFd{static_cast<Socket>(wake_fd), POLLIN, 0});
            if (accept_resume <= 0) polled.push_back({static_cast<Socket>(listen_fd), POLLIN, 0});
            for (auto &[fd, k] : conns)
                if (k.events) polled.push_back({static_cast<Socket>(fd), static_cast<short>(k.events == kRead ? POLLIN : POLLOUT), 0});
            const int ms = timeout > 0 ? static_cast<int>(std::ceil(std::min(timeout, 1e6) * 1000)) : 0;
            pk::without_interpreter([&]() noexcept { poll_all(polled.data(), polled.size(), ms); });
            pk::host::gil_arrived();  // a thread that woke this one may be waiting to hand over
            if (pk::truthy(st[Server::Stop])) break;
            for (const PollFd &p : polled) {
                const long long fd = static_cast<long long>(p.fd);
                if (!p.revents) continue;
                if (fd == wake_fd) {
                    ::recv(p.fd, chunk.data(), 4096, 0);
                } else if (fd == listen_fd) {
                    accept_one();
                } else if (auto it = conns.find(fd); it != conns.end()) {
                    // An error or a hang-up is reported to both sides, as readiness to read and to write.
                    const bool in = p.revents & (POLLIN | POLLERR | POLLHUP), out = p.revents & (POLLOUT | POLLERR | POLLHUP);
                    try {
                        if (out && it->second.phase == Phase::Writing) writable(fd, it->second);
                        else if (in) readable(fd, it->second);
                    } catch (nb::python_error &e) {
                        failed(fd, e);
                    }
                }
            }
            // Whole requests, one at a time.
            while (!ready.empty()) {
                long long fd = ready.front();
                ready.pop_front();
                auto it = conns.find(fd);
                if (it == conns.end()) continue;
                try {
                    handle(fd, it->second);
                } catch (nb::python_error &e) {
                    failed(fd, e);
                }
            }
        }
    }

    void start() {
        srv = st[Server::Srv];
        handler_class = srv.attr("RequestHandlerClass");
        listener = srv.attr("socket");
        nb::object pair = g_socketpair.get()();
        wake_r = pair[0];
        wake_w = pair[1];
        wake_r.attr("setblocking")(false);
        wake_w.attr("setblocking")(false);
        wake_fd = nb::cast<long long>(wake_r.attr("fileno")());
        listen_fd = nb::cast<long long>(listener.attr("fileno")());
        listener.attr("setblocking")(false);
        set_waiting(0);
        st.set(Server::Wake, wake_w.attr("send"));
    }

    // Ends every connection (waiting requests are told the server stopped) and lets go of the loop's
    // resources; the listener stays open and blocking, as the standard server leaves it.
    void finish() {
        pk::guarded([&] { settle(true); });
        std::vector<long long> writing;
        for (auto &[fd, k] : conns)
            if (k.phase == Phase::Writing) writing.push_back(fd);
        for (long long fd : writing)  // what fits now (writing may close the connection)
            if (auto it = conns.find(fd); it != conns.end()) pk::guarded([&] { writable(fd, it->second); });
        while (!conns.empty()) close(conns.begin()->first);
        ready.clear();
        st.set(Server::Wake, Py_None);
        pk::guarded([&] { listener.attr("setblocking")(true); });
        for (nb::object *o : {&wake_r, &wake_w})
            if (o->is_valid()) pk::guarded([&] { o->attr("close")(); });
    }
};

// The serving loop: the standard one's contract (shutdown() stops it), over this server's
// connections.
constexpr pk::Param serve_params[] = {
    {.name = "poll_interval", .annotation = "float", .check = Check::Float, .def = Def::Float, .number = 0.5},
};
constexpr pk::Spec serve_spec{.name = "serve_forever", .params = serve_params, .returns = "None"};
void serve_forever(const pk::Call &c, double poll_interval) {
    auto st = c.state<Server>();
    st[Server::Stopped].attr("clear")();
    // While the loop runs, exit stops it first (and only then: a discarded server stays collectable).
    nb::object atexit = pk::import("atexit");
    st.set(Server::Thread, pk::import("threading").attr("current_thread")());
    atexit.attr("register")(st[Server::AtExit]);
    Loop loop(c);
    auto end = [&] {
        loop.finish();
        pk::guarded([&] { atexit.attr("unregister")(st[Server::AtExit]); });
        st.set(Server::Stop, Py_False);
        st[Server::Stopped].attr("set")();
    };
    try {
        loop.start();
        loop.run(poll_interval);
    } catch (nb::python_error &) {
        end();
        throw;
    }
    end();
}

// Asks the loop to stop (it sees the request once woken).
void ask_to_stop(pk::State<Server> &st) {
    st.set(Server::Stop, Py_True);
    nb::object wake = nb::borrow(st[Server::Wake]);
    if (!wake.is_none()) pk::guarded([&] { wake(nb::bytes("\0", 1)); });
}

// Stops the loop and waits until it has (at once when none runs).
constexpr pk::Spec shutdown_spec{.name = "shutdown", .returns = "None"};
void shutdown(const pk::Call &c) {
    auto st = c.state<Server>();
    if (pk::truthy(st[Server::Stopped].attr("is_set")())) return;
    ask_to_stop(st);
    st[Server::Stopped].attr("wait")();
}

// At interpreter exit, while the interpreter is whole: the loop is stopped and its thread joined,
// so that it never wakes inside the server's code while the interpreter ends, and the listening
// socket is closed, so that clients still queued there are refused at once instead of waiting.
constexpr pk::Spec exit_spec{.name = "_stop_at_exit", .returns = "None"};
void stop_at_exit(const pk::Call &c) {
    auto st = c.state<Server>();
    nb::handle th = st[Server::Thread];
    if (th.is_none() || !pk::truthy(th.attr("is_alive")())) return;  // stopped, or never served
    ask_to_stop(st);
    th.attr("join")(kExitWait);
    pk::guarded([&] { st[Server::Srv].attr("server_close")(); });
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
    st.set(Server::Invoke, invoke_sync);
    st.set(Server::Core, core);
    st.set(Server::Navigate, do_navigate);
    st.set(Server::Back, do_back);
    st.set(Server::Forward, do_forward);
    st.set(Server::Reload, do_reload);
    st.set(Server::Waiting, nb::int_(0));
    st.set(Server::Stop, Py_False);
    st.set(Server::Stopped, nb::handle(g_event.get())());
    // A window's own callables bring its engine and page tracker; plain callables are taken as
    // giving a CoreWebView2 (or an object that reads as one), with no tracker.
    pk::host::WindowParts window = pk::host::window_of(core);
    st.set(Server::Engine, window.engine.is_none() ? pk::engine::wrap(pk::engine::webview2()) : window.engine);
    st.set(Server::Pages, window.pages);

    nb::object handler = make_handler_class(c, st, host);
    // An IPv6 literal (bare, or in brackets as in an address) is listened on with an IPv6 socket.
    nb::str bound = bind_host(host);
    nb::object server_type = pk::import_from("http.server", "HTTPServer");
    nb::object socket_mod = pk::import("socket");
    nb::object srv = server_type.attr("__new__")(server_type);
    if (utf8(bound).find(':') != std::string_view::npos)
        srv.attr("address_family") = socket_mod.attr("AF_INET6");
    // On Windows, SO_REUSEADDR (which HTTPServer asks for) lets a socket bind a port that another
    // program already listens on: a second window would share the first one's port instead of
    // failing. There the port is taken exclusively, so a busy port fails the start as elsewhere.
    // (Asked of the socket layer, not of sys.platform: it is the system's sockets that behave so.)
    bool windows = nb::hasattr(socket_mod, "SO_EXCLUSIVEADDRUSE");
    if (windows) srv.attr("allow_reuse_address") = false;
    server_type.attr("__init__")(srv, nb::make_tuple(bound, port), handler, false);
    try {
        if (windows)
            srv.attr("socket").attr("setsockopt")(socket_mod.attr("SOL_SOCKET"),
                                                  socket_mod.attr("SO_EXCLUSIVEADDRUSE"), 1);
        srv.attr("server_bind")();
        // The queue of connections not yet accepted: the standard server's 5 overflows when a few
        // clients call at once, and the kernel retries a dropped connection only after a second.
        // The system's own maximum (it clamps a larger one), at least kListenQueue.
        srv.attr("request_queue_size") = std::max(kListenQueue, nb::cast<long>(socket_mod.attr("SOMAXCONN")));
        srv.attr("server_activate")();
    } catch (nb::python_error &) {
        pk::guarded([&] { srv.attr("server_close")(); });
        throw;
    }
    st.set(Server::Srv, srv);
    start_access(c, st, host);
    srv.attr("shutdown") = c.nested<shutdown_spec>(shutdown, st.object());
    srv.attr("serve_forever") = c.nested<serve_spec>(serve_forever, st.object());
    nb::object th = pk::import_from("threading", "Thread")(
        "target"_a = srv.attr("serve_forever"), "name"_a = "panekit-control", "daemon"_a = true);
    st.set(Server::AtExit, c.nested<exit_spec>(stop_at_exit, st.object()));
    th.attr("start")();
    return nb::make_tuple(srv, th);
}

}  // namespace

const Head *loop_head(nb::handle handler) {
    Conn *k = current_for(handler);
    return k ? k->head : nullptr;
}

void park(nb::handle self, nb::handle waiter, double deadline, bool open_only) {
    Conn *k = current_for(self);
    if (!k) pk::raise(PyExc_RuntimeError, "only the server's own loop answers later");
    k->waiter = nb::borrow(waiter);
    k->wait_until = deadline;
    k->open_only = open_only;
}

void define_server(pk::Module &mod) { mod.def<start_spec>(start_control_server); }

}  // namespace helmwire
