// panekit.helmwire: the system's sockets, as both sides of the control plane use them. The client's
// exchange and the server's serving loop make their socket calls directly, not through Python's
// socket objects: the client so that it never comes back into Python code once the interpreter
// ends, the loop so that a request costs no interpreted calls on the way in and out.
#pragma once
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

#include <cstddef>

namespace helmwire {

#if defined(_WIN32)
using Socket = SOCKET;
using PollFd = WSAPOLLFD;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
inline constexpr int kSendFlags = 0;
inline int last_error() { return WSAGetLastError(); }
inline void close_socket(Socket s) { closesocket(s); }
inline void shut_write(Socket s) { ::shutdown(s, SD_SEND); }
inline bool set_nonblocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
inline bool in_progress(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }
inline bool would_block(int err) { return err == WSAEWOULDBLOCK || err == WSAEINTR; }
inline int poll_all(PollFd *fds, std::size_t n, int ms) { return WSAPoll(fds, static_cast<ULONG>(n), ms); }
#else
using Socket = int;
using PollFd = pollfd;
inline constexpr Socket kNoSocket = -1;
#  if defined(MSG_NOSIGNAL)
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#  else
inline constexpr int kSendFlags = 0;
#  endif
inline int last_error() { return errno; }
inline void close_socket(Socket s) { ::close(s); }
inline void shut_write(Socket s) { ::shutdown(s, SHUT_WR); }
inline bool set_nonblocking(Socket s) {
    const int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
inline bool in_progress(int err) { return err == EINPROGRESS || err == EINTR; }
inline bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }
inline int poll_all(PollFd *fds, std::size_t n, int ms) {
    int r;
    do r = ::poll(fds, static_cast<nfds_t>(n), ms);
    while (r < 0 && errno == EINTR);
    return r;
}
#endif

// Waits up to `ms` milliseconds for `events` on one socket; how many sockets are ready (0: none).
inline int poll_one(Socket s, short events, int ms) {
    PollFd p{s, events, 0};
    return poll_all(&p, 1, ms);
}

// Makes the system's sockets usable (Windows); a no-op elsewhere.
inline void start_sockets() {
#if defined(_WIN32)
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

}  // namespace helmwire
