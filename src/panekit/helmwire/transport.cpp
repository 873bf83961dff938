// panekit.helmwire: one client exchange on the wire, made without the interpreter. Resolving,
// connecting, sending and reading are plain socket calls inside one wait (pk::without_interpreter),
// so a program may end while any number of its threads are in a client call: none of them comes
// back into Python code once the interpreter ends.
#if defined(_WIN32)
#  include <winsock2.h>
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#  include <cerrno>
#  include <fcntl.h>
#  include <netdb.h>
#  include <netinet/in.h>
#  include <poll.h>
#  include <sys/socket.h>
#  include <unistd.h>
#endif

#include "helmwire.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace helmwire {
namespace {

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
int last_error() { return WSAGetLastError(); }
void close_socket(Socket s) { closesocket(s); }
bool set_nonblocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
bool in_progress(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }
bool would_block(int err) { return err == WSAEWOULDBLOCK || err == WSAEINTR; }
int poll_one(Socket s, short events, int ms) {
    WSAPOLLFD p{s, events, 0};
    return WSAPoll(&p, 1, ms);
}
constexpr int kSendFlags = 0;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int last_error() { return errno; }
void close_socket(Socket s) { ::close(s); }
bool set_nonblocking(Socket s) {
    const int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool in_progress(int err) { return err == EINPROGRESS || err == EINTR; }
bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }
int poll_one(Socket s, short events, int ms) {
    pollfd p{s, events, 0};
    int r;
    do r = ::poll(&p, 1, ms);
    while (r < 0 && errno == EINTR);
    return r;
}
#  if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#  else
constexpr int kSendFlags = 0;
#  endif
#endif

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Milliseconds left before `deadline` (at least 1 while any are left), or -1 once none are.
int ms_left(double deadline) {
    const double rest = deadline - now_seconds();
    if (!(rest > 0)) return -1;
    return rest > 1e6 ? 1000000000 : static_cast<int>(rest * 1000) + 1;
}

// An address as the kernel gives it, comparable: family, address bytes, port.
struct Peer {
    int family = 0;
    unsigned char addr[16] = {};
    unsigned port = 0;
    bool operator==(const Peer &o) const {
        return family == o.family && port == o.port && std::memcmp(addr, o.addr, 16) == 0;
    }
};

bool peer_of(const sockaddr *sa, Peer &p) {
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        p.family = AF_INET;
        std::memcpy(p.addr, &in->sin_addr, 4);
        p.port = ntohs(in->sin_port);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        p.family = AF_INET6;
        std::memcpy(p.addr, &in6->sin6_addr, 16);
        p.port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

// Whether the connected socket's peer is one of the addresses `host`:`port` resolves to.
bool peer_is(Socket s, const std::string &host, const std::string &port) {
    if (host.empty()) return false;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    Peer peer;
    if (getpeername(s, reinterpret_cast<sockaddr *>(&ss), &len) != 0 ||
        !peer_of(reinterpret_cast<sockaddr *>(&ss), peer))
        return false;
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // the window wrote the address it listens on
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool same = false;
    for (addrinfo *ai = found; ai && !same; ai = ai->ai_next) {
        Peer p;
        same = peer_of(ai->ai_addr, p) && p == peer;
    }
    freeaddrinfo(found);
    return same;
}

// Whether a response head has arrived whole, and then how long its body is (-1: until the end).
// A head that is no HTTP response ends the reading at once (parse_answer_head judges it).
bool head_and_length(const std::string &got, std::size_t &head_end, long long &length) {
    const std::size_t blank = got.find("\r\n\r\n");
    if (blank == std::string::npos) return false;
    head_end = blank + 4;
    AnswerHead h;
    length = parse_answer_head(std::string_view(got).substr(0, blank), h) ? h.length : -2;
    return true;
}

}  // namespace

void run_exchange(WireExchange &x) noexcept {
    x.fail = WireExchange::Fail::None;
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const int gai = getaddrinfo(x.host.c_str(), x.port.c_str(), &hints, &found);
    if (gai != 0) {
        x.fail = WireExchange::Fail::Resolve;
        x.error = gai;
#if !defined(_WIN32)
        if (gai == EAI_SYSTEM) {
            x.fail = WireExchange::Fail::Connect;
            x.error = errno;
        }
#endif
        return;
    }
    Socket s = kNoSocket;
    x.error = 0;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == kNoSocket) {
            x.error = last_error();
            continue;
        }
        int err = 0;
        if (!set_nonblocking(s)) {
            err = last_error();
        } else if (connect(s, ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen)) != 0) {
            err = last_error();
            if (in_progress(err)) {
                const int ms = ms_left(x.deadline);
                const int r = ms < 0 ? 0 : poll_one(s, POLLOUT, ms);
                if (r == 0) {
                    close_socket(s);
                    freeaddrinfo(found);
                    x.fail = WireExchange::Fail::ConnectTimeout;
                    return;
                }
                socklen_t len = sizeof err;
                err = 0;
                if (r < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
                    err = last_error();
            }
        }
        if (err == 0) break;
        x.error = err;
        close_socket(s);
        s = kNoSocket;
    }
    freeaddrinfo(found);
    if (s == kNoSocket) {
        x.fail = WireExchange::Fail::Connect;
        return;
    }
    // The token goes with the request only to the window that wrote it (or wherever the caller's
    // own token was meant for).
    x.sent_token = !x.token_line.empty() && (x.token_anywhere || peer_is(s, x.token_host, x.token_port));
    std::string out = x.head;
    if (x.sent_token) out += x.token_line;
    out += x.head_end;
    out += x.body;
    for (std::size_t sent = 0; sent < out.size();) {
        const auto n = send(s, out.data() + sent, static_cast<int>(std::min<std::size_t>(out.size() - sent, 1 << 20)),
                            kSendFlags);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int err = last_error();
        if (!would_block(err)) {
            x.fail = WireExchange::Fail::Send;
            x.error = err;
            close_socket(s);
            return;
        }
        const int ms = ms_left(x.deadline);
        if (ms < 0 || poll_one(s, POLLOUT, ms) == 0) {
            x.fail = WireExchange::Fail::ConnectTimeout;
            close_socket(s);
            return;
        }
    }
    std::size_t head_end = std::string::npos;
    long long length = -1;
    char buf[65536];
    for (;;) {
        if (head_end != std::string::npos && (length == -2 || (length >= 0 && x.got.size() - head_end >=
                                                                                   static_cast<std::size_t>(length))))
            break;
        const int ms = ms_left(x.deadline);
        const int r = ms < 0 ? 0 : poll_one(s, POLLIN, ms);
        if (r == 0) {
            x.fail = WireExchange::Fail::ReadTimeout;
            break;
        }
        const auto n = recv(s, buf, static_cast<int>(sizeof buf), 0);
        if (n == 0) break;
        if (n < 0) {
            const int err = last_error();
            if (would_block(err)) continue;
            x.fail = WireExchange::Fail::Read;
            x.error = err;
            break;
        }
        x.got.append(buf, static_cast<std::size_t>(n));
        if (head_end == std::string::npos) head_and_length(x.got, head_end, length);
    }
    close_socket(s);
}

nb::str wire_error_text(const WireExchange &x) {
    if (x.fail == WireExchange::Fail::Resolve)
        return nb::str("[Errno {}] {}").format(x.error, nb::str(gai_strerror(x.error)));
    // The system's own text for its error number, as OSError words it.
#if defined(_WIN32)
    PyErr_SetExcFromWindowsErr(PyExc_OSError, x.error);
#else
    errno = x.error;
    PyErr_SetFromErrno(PyExc_OSError);
#endif
    PyObject *err = PyErr_GetRaisedException();
    nb::str text = nb::str(nb::handle(err));
    Py_DECREF(err);
    return text;
}

void start_sockets() {
#if defined(_WIN32)
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

}  // namespace helmwire
