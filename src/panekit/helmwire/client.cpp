// panekit.helmwire: the client calls another process uses to steer a window (remote_*), each one
// HTTP exchange on a connection of its own with one deadline. The exchange itself is made without
// the interpreter: resolving, connecting, sending and reading are plain socket calls inside one
// wait (pk::without_interpreter), so a program may end while any number of its threads are in a
// client call: none of them comes back into Python code once the interpreter ends.
#include "sockets.hpp"  // first: the system's socket headers before any that may bring older ones
#include "helmwire.hpp"
#include "tracker.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace helmwire {
namespace {

using pk::host::steady_seconds;

// ---- the exchange on the wire ------------------------------------------------------------------

// Milliseconds left before `deadline` (at least 1 while any are left), or -1 once none are.
int ms_left(double deadline) {
    const double rest = deadline - steady_seconds();
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

// What a response head says: its status line, Content-Type (lower case) and Content-Length (-1
// when it has none).
struct AnswerHead {
    long status = 0;
    std::string reason, type;
    long long length = -1;
};

// Reads a response head (the bytes before its blank line); false when it is no HTTP response head.
bool parse_answer_head(std::string_view head, AnswerHead &a) {
    std::size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    if (line.substr(0, 5) != "HTTP/") return false;
    std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos || line.size() < sp + 4) return false;
    std::string_view code = line.substr(sp + 1, 3);
    if (!is_digits(code)) return false;
    a.status = std::stol(std::string(code));
    a.reason = std::string(line.size() > sp + 5 ? line.substr(sp + 5) : std::string_view());
    a.length = -1;
    while (eol != std::string_view::npos) {
        head.remove_prefix(eol + 2);
        eol = head.find("\r\n");
        std::string_view h = head.substr(0, eol);
        std::size_t colon = h.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = trim(h.substr(0, colon)), v = trim(h.substr(colon + 1));
        if (iequals(name, "content-type")) {
            a.type = lower_ascii(v);
        } else if (iequals(name, "content-length")) {
            if (v.empty() || v.size() > 15 || !is_digits(v)) return false;
            a.length = std::stoll(std::string(v));
        }
    }
    return true;
}

// One request and its answer as bytes on the wire, made without the interpreter.
struct WireExchange {
    // The request: where to (a host name as IDNA or a literal, and the port in decimal), the head
    // without its blank line, the token's line, the body; the deadline (steady seconds).
    std::string host, port, head, token_line, body;
    double deadline = 0;
    // Where the token's line may go: anywhere (the caller's own token), or only to a peer that is
    // one of token_host:token_port (the address the window wrote with it).
    bool token_anywhere = false;
    std::string token_host, token_port;
    // The outcome: the bytes read, and how it failed (with the system's error number).
    enum class Fail { None, Resolve, Connect, Send, ConnectTimeout, ReadTimeout, Read } fail = Fail::None;
    int error = 0;
    bool sent_token = false;
    std::string got;
    // The answer's head once it has arrived whole: where its body starts in `got`, and whether it
    // is an HTTP response head (then `answer` says what it holds).
    std::size_t body_at = std::string::npos;
    bool head_ok = false;
    AnswerHead answer;
};

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
    out += "\r\n";
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
    char buf[65536];
    for (;;) {
        // Read until the body the head declares is here (a head that is no HTTP response ends the
        // reading at once), else until the peer closes.
        const long long length = x.answer.length;
        if (x.body_at != std::string::npos &&
            (!x.head_ok || (length >= 0 && x.got.size() - x.body_at >= static_cast<std::size_t>(length))))
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
        const std::size_t blank = x.body_at == std::string::npos ? x.got.find("\r\n\r\n") : std::string::npos;
        if (blank != std::string::npos) {
            x.body_at = blank + 4;
            x.head_ok = parse_answer_head(std::string_view(x.got).substr(0, blank), x.answer);
        }
    }
    close_socket(s);
}

// The text of a failed exchange's error, as the standard library words it.
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

// ---- client: one request, one deadline -------------------------------------------------------
//
// A client call is one HTTP exchange on a connection of its own, made directly (never through a
// proxy: the proxy settings of the environment or the system would send the control address, and
// any address posted to it, to another machine, and take its answer for the window's). Its time-out
// is one deadline for the whole call: connecting, sending and every read get what is left of it,
// so a peer that answers a byte at a time still ends the call in time. Failure texts are those the
// standard library's URL opener gives: "<urlopen error ...>" when no connection could be made or the
// request could not be sent, "timed out" when the deadline passed while reading, "HTTP Error
// <code>: <reason>" for an error status. A failure of the call itself (no window reached, or none
// answered in time) also carries its kind, which the command reads: the failure object is then a
// dict of the type _ClientFailure with `kind` "unreachable" or "time-out". The token for the port, when one is known (PANEKIT_CONTROL_TOKEN, else the port's
// runtime file), goes with every request as a Bearer credential.

// Reads an answer body: strict UTF-8 JSON that must be an object or null.
nb::object parse_answer(nb::handle raw) {
    nb::object data = pk::resting(g_json_loads.get(), raw.attr("decode")("utf-8"));
    if (!data.is_none() && !PyDict_Check(data.ptr()))
        pk::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.ptr())->tp_name);
    return data;
}

// An exchange that went wrong, with its text and, when the call itself failed, its kind: no window
// reached ("unreachable") or none answered in time ("time-out").
struct Failed {
    nb::object text;
    const char *kind = nullptr;
};
[[noreturn]] void fail_with(nb::handle text, const char *kind = nullptr) { throw Failed{nb::borrow(text), kind}; }

// The type of a failure that carries its kind: a dict (so that it reads, prints and compares as
// {"ok": False, "error": text}) with a `kind` slot.
nb::handle client_failure_type() {
    static PyObject *type = nullptr;  // made on first use, kept for the process
    if (!type) {
        nb::dict ns;
        ns["__slots__"] = nb::make_tuple("kind");
        ns["__module__"] = "panekit.helmwire";
        ns["__doc__"] = "A client call's failure of its own: {\"ok\": False, \"error\": text}, with its kind.";
        nb::object made = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(
            "_ClientFailure", nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type))), ns);
        type = made.release().ptr();
    }
    return type;
}

// An answer: its head and its body.
struct Answer : AnswerHead {
    nb::bytes body{"", 0};
};

// An exchange that failed on the wire, raised with the standard URL opener's texts.
[[noreturn]] void fail_on_wire(const WireExchange &x) {
    using Fail = WireExchange::Fail;
    if (x.fail == Fail::ConnectTimeout) fail_with(nb::str("<urlopen error timed out>"), "time-out");
    if (x.fail == Fail::ReadTimeout) fail_with(nb::str("timed out"), "time-out");
    nb::str text = wire_error_text(x);
    if (x.fail == Fail::Read) fail_with(text);
    fail_with(nb::str("<urlopen error {}>").format(text), "unreachable");
}

// One exchange: `method` on `path` of the control address for `port`, with `body` (None: none).
Answer exchange(const pk::Call &c, const char *method, nb::handle path, nb::handle body, nb::handle port,
                double timeout) {
    WireExchange x;
    x.deadline = steady_seconds() + (timeout > 0 ? std::min(timeout, 1e9) : 0);  // NaN: none
    nb::object parts =
        pk::resting(pk::import_from("urllib.parse", "urlsplit"), c.global("_control_address")("port"_a = port));
    // (properties written in Python; a bad port raises ValueError)
    nb::object host = pk::resting_attr(parts, "hostname"), port_no = pk::resting_attr(parts, "port");
    std::string_view p = utf8(path);
    for (char ch : p)
        if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f)
            pk::raise(PyExc_ValueError, "URL can't contain control characters. %R", path.ptr());
    x.head = std::string(method) + " " + std::string(p) + " HTTP/1.1\r\nHost: " +
             std::string(utf8(nb::str(parts.attr("netloc")))) +
             "\r\nAccept-Encoding: identity\r\nUser-Agent: panekit\r\nConnection: close\r\n";
    ClientToken token = client_token(port.is_none() ? c.global("control_port")() : nb::borrow(port));
    if (!token.token.empty()) {
        x.token_line = "Authorization: Bearer " + token.token + "\r\n";
        x.token_anywhere = token.anywhere;
        x.token_host = token.host;
        x.token_port = token.port;
    }
    if (!body.is_none()) {
        nb::bytes data = nb::borrow<nb::bytes>(body);
        x.body.assign(data.c_str(), data.size());
    }
    if (std::string_view(method) == "POST")
        x.head += "Content-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(x.body.size()) + "\r\n";
    if (host.is_none()) fail_with(nb::str("<urlopen error no host given>"));
    nb::bytes host_bytes = nb::borrow<nb::bytes>(pk::resting(nb::str(host).attr("encode"), nb::str("idna")));
    x.host.assign(host_bytes.c_str(), host_bytes.size());
    x.port = port_no.is_none() ? std::string("80") : std::to_string(nb::cast<long>(port_no));

    start_sockets();
    pk::without_interpreter([&]() noexcept { run_exchange(x); });

    if (x.fail != WireExchange::Fail::None && x.fail != WireExchange::Fail::Read) fail_on_wire(x);
    const std::string &got = x.got;
    if (x.fail == WireExchange::Fail::Read && x.body_at == std::string::npos) fail_on_wire(x);
    if (x.body_at == std::string::npos || !x.head_ok)
        fail_with(nb::str(got.empty() ? "Remote end closed connection without response"
                                      : "bad status line or header in the answer"));
    Answer a;
    static_cast<AnswerHead &>(a) = x.answer;
    std::size_t n = got.size() - x.body_at;
    if (a.length >= 0 && n < static_cast<std::size_t>(a.length)) {
        if (x.fail == WireExchange::Fail::Read) fail_on_wire(x);
        fail_with(nb::str("IncompleteRead({} bytes read, {} more expected)").format(n, a.length - static_cast<long long>(n)));
    }
    if (a.length >= 0) n = static_cast<std::size_t>(a.length);
    a.body = nb::bytes(got.data() + x.body_at, n);
    return a;
}

// "HTTP Error <code>: <reason>", as an error status reads.
nb::str status_text(const Answer &a) {
    // a reason phrase is ISO-8859-1 text
    nb::object reason = pk::check(PyUnicode_DecodeLatin1(a.reason.data(), static_cast<Py_ssize_t>(a.reason.size()), nullptr));
    return nb::str("HTTP Error {}: {}").format(a.status, reason);
}

// How a call reads its answer: as JSON, also the server's own JSON answer to an error status
// (Json); with the status's text for any error status, whatever the body says (Get); with an
// image/png answer as {"ok": True, "png": its bytes} (Png).
enum class Reads { Json, Get, Png };

// An answer as a call gives it: the server's JSON object; for an error status the server's own
// JSON answer when it sent one (and `reads` allows), else the status's text.
nb::object answer_of(const Answer &a, Reads reads) {
    if ((a.status < 200 || a.status >= 300) && reads == Reads::Get) return failure_text(status_text(a));
    if (a.status < 200 || a.status >= 300)
        return pk::guarded_else([&] { return parse_answer(a.body); },
                                [&](nb::python_error &) { return nb::object(failure_text(status_text(a))); });
    if (reads == Reads::Png && a.type.rfind("image/png", 0) == 0) {
        nb::dict d;
        d["ok"] = true;
        d["png"] = a.body;
        return d;
    }
    return parse_answer(a.body);
}

// One exchange as a call answers it (answer_of), or the failure that ended it: {"ok": False,
// "error": its text}, with its kind when the call itself failed.
nb::object ask(const pk::Call &c, const char *method, nb::handle path, nb::handle body, nb::handle port, double timeout,
               Reads reads = Reads::Json) {
    try {
        return pk::guarded_else([&] { return answer_of(exchange(c, method, path, body, port, timeout), reads); },
                                [](nb::python_error &e) { return nb::object(failure_text(nb::str(e.value()))); });
    } catch (Failed &f) {
        if (!f.kind) return failure_text(f.text);
        nb::object failure = client_failure_type()(failure_text(f.text));
        nb::setattr(failure, "kind", nb::str(f.kind));
        return failure;
    }
}

constexpr pk::Param post_params[] = {
    {.name = "path", .annotation = "str", .check = Check::Str},
    {.name = "body", .annotation = "Optional[Dict[str, Any]]", .check = Check::OptDict, .def = Def::None},
    kPort,
    kTimeout,
};
constexpr pk::Spec post_json_spec{
    .name = "_http_post_json",
    .params = post_params,
    .returns = "Dict[str, Any]",
    .doc = "POST body as UTF-8 JSON to the control server; the answer object, or {\"ok\": False, "
           "\"error\": text}.",
};
nb::object http_post_json(const pk::Call &c, nb::str path, nb::handle body, nb::handle port, double timeout) {
    nb::object data = body.is_none() ? nb::object(nb::bytes("", 0)) : nb::object(pk::json_bytes(body));
    return ask(c, "POST", path, data, port, timeout);
}

constexpr pk::Param get_params[] = {{.name = "path", .annotation = "str", .check = Check::Str}, kPort, kTimeout};
constexpr pk::Spec get_json_spec{
    .name = "_http_get_json",
    .params = get_params,
    .returns = "Dict[str, Any]",
    .doc = "GET from the control server; the answer object, or {\"ok\": False, \"error\": text}.",
};
nb::object http_get_json(const pk::Call &c, nb::str path, nb::handle port, double timeout) {
    return ask(c, "GET", path, nb::none(), port, timeout, Reads::Get);
}

constexpr pk::Param navigate_params[] = {
    {.name = "url", .annotation = "str", .check = Check::Str}, kPort, kTimeout, kWait};

// A "wait" for a navigation to end: nothing to add when None; otherwise it goes into the body and
// the socket time-out is made to outlast it. False when it is no number of seconds from 0 to 120
// (the call then answers without a request).
// A wait of the window's (a number of seconds from 0 to 120, else false) in `seconds`, with the
// request's socket time-out made to outlast it.
bool outlasting(nb::handle wait, double &timeout, double &seconds) {
    if (!wait_seconds(wait, seconds)) return false;
    if (timeout < seconds + kWaitMargin) timeout = seconds + kWaitMargin;
    return true;
}
bool add_wait(nb::dict body, nb::handle wait, double &timeout) {
    if (wait.is_none()) return true;
    double w = 0;
    if (!outlasting(wait, timeout, w)) return false;
    body["wait"] = wait;
    return true;
}
constexpr pk::Spec navigate_spec{
    .name = "remote_navigate",
    .params = navigate_params,
    .returns = "Dict[str, Any]",
    .doc = "Make the window navigate to url (normalised first; a blank address is refused locally).\n\n"
           "With wait (seconds, 0 to 120) the answer comes once that navigation has ended: loaded, "
           "failed, turned into a download, superseded, or 504 \"timed out\".",
};
nb::object remote_navigate(const pk::Call &c, nb::str url, nb::handle port, double timeout, nb::handle wait) {
    nb::object u = c.global("norm_browser_url")(url);
    if (!pk::truthy(u)) return failure("empty url");
    if (pk::unusable_address(u) || scheme_of(u) == Scheme::Script || scheme_of(url) == Scheme::Script)
        return failure("invalid url");
    nb::dict body;
    body["url"] = u;
    if (!add_wait(body, wait, timeout)) return failure(kBadWait);
    return c.global("_http_post_json")("/navigate", body, "port"_a = port, "timeout"_a = timeout);
}

// The remote_* calls without an argument of their own: one request to a fixed path.
constexpr pk::Param remote_params[] = {kPort, kTimeout};
constexpr pk::Param waited_params[] = {kPort, kTimeout, kWait};
constexpr pk::Spec back_spec{.name = "remote_go_back", .params = waited_params, .returns = "Dict[str, Any]",
                             .doc = "Make the window go back in its history (with wait: until that page has loaded)."};
constexpr pk::Spec forward_spec{.name = "remote_go_forward", .params = waited_params, .returns = "Dict[str, Any]",
                                .doc = "Make the window go forward in its history (with wait: until that page has loaded)."};
constexpr pk::Spec reload_spec{.name = "remote_reload", .params = waited_params, .returns = "Dict[str, Any]",
                               .doc = "Make the window reload its page (with wait: until it has loaded)."};
constexpr pk::Spec state_spec{
    .name = "remote_state", .params = remote_params, .returns = "Dict[str, Any]",
    .doc = "The window's page: the server's {\"ok\": True, \"core\", \"url\", \"title\", \"loading\", "
           "\"can_go_back\", \"can_go_forward\"[, \"last\"]} object."};
constexpr pk::Spec get_url_spec{
    .name = "remote_get_url", .params = remote_params, .returns = "Dict[str, Any]",
    .doc = "The window's current address, as the server's {\"ok\": True, \"url\": ...} object."};
constexpr pk::Spec ready_spec{
    .name = "remote_ready", .params = remote_params, .returns = "Dict[str, Any]",
    .doc = "Readiness of the window, as the server's {\"ok\": True, \"core\": ..., \"url\": ...} object."};

template <const char *Path>
nb::object remote_post(const pk::Call &c, nb::handle port, double timeout, nb::handle wait) {
    nb::dict body;
    if (!add_wait(body, wait, timeout)) return failure(kBadWait);
    return c.global("_http_post_json")(Path, body, "port"_a = port, "timeout"_a = timeout);
}

template <const char *Path>
nb::object remote_get(const pk::Call &c, nb::handle port, double timeout) {
    return c.global("_http_get_json")(Path, "port"_a = port, "timeout"_a = timeout);
}

// ---- reading the page: script, picture, events ----------------------------------------------------

constexpr pk::Param script_params[] = {
    {.name = "script", .annotation = "str", .check = Check::Str},
    kPort,
    kTimeout,
    {.name = "script_timeout", .annotation = "Optional[float]", .kind = Kind::KeywordOnly, .def = Def::None},
};
constexpr pk::Spec script_spec{
    .name = "remote_script",
    .params = script_params,
    .returns = "Dict[str, Any]",
    .doc = "Run script in the window's page: {\"ok\": True, \"value\": its result as JSON gives it (None "
           "for undefined)}, or {\"ok\": False, \"error\": the engine's error text}. script_timeout "
           "(seconds, 0 to 120; the window's default 10) bounds the wait for the result.",
};
nb::object remote_script(const pk::Call &c, nb::str script, nb::handle port, double timeout, nb::handle script_timeout) {
    nb::dict body;
    body["script"] = script;
    if (!script_timeout.is_none()) {
        double seconds = 0;
        if (!outlasting(script_timeout, timeout, seconds))
            return failure("script_timeout must be a number of seconds from 0 to 120");
        body["timeout"] = script_timeout;
    }
    return c.global("_http_post_json")("/script", body, "port"_a = port, "timeout"_a = timeout);
}

constexpr pk::Spec screenshot_spec{
    .name = "remote_screenshot",
    .params = remote_params,
    .returns = "Dict[str, Any]",
    .doc = "A picture of the window's page as it shows it: {\"ok\": True, \"png\": the PNG's bytes}, or "
           "{\"ok\": False, \"error\": text}.",
};
nb::object remote_screenshot(const pk::Call &c, nb::handle port, double timeout) {
    return ask(c, "GET", nb::str("/screenshot"), nb::none(), port, timeout, Reads::Png);
}

constexpr pk::Param events_params[] = {
    {.name = "after", .annotation = "int", .check = Check::Int, .kind = Kind::KeywordOnly, .def = Def::Int, .number = 0},
    kWait,
    kPort,
    kTimeout,
};
constexpr pk::Spec events_spec{
    .name = "remote_events",
    .params = events_params,
    .returns = "Dict[str, Any]",
    .doc = "The page's events after sequence number `after`, oldest first: {\"ok\": True, \"events\": "
           "[...], \"next\": the number to pass as `after` next, \"dropped\": how many the window no "
           "longer held}. With wait (seconds, 0 to 120) an empty answer waits that long for one.",
};
nb::object remote_events(const pk::Call &c, nb::handle after, nb::handle wait, nb::handle port, double timeout) {
    nb::object query = nb::str("/events?after={}").format(after);
    if (!wait.is_none()) {
        double seconds = 0;
        if (!outlasting(wait, timeout, seconds)) return failure(kBadWait);
        query = query + nb::str("&wait={}").format(nb::float_(seconds));
    }
    return ask(c, "GET", query, nb::none(), port, timeout);
}

constexpr char kBackPath[] = "/back";
constexpr char kForwardPath[] = "/forward";
constexpr char kReloadPath[] = "/reload";
constexpr char kUrlPath[] = "/url";
constexpr char kReadyPath[] = "/ready";
constexpr char kStatePath[] = "/state";

}  // namespace

void define_client(pk::Module &mod) {
    mod.def<post_json_spec>(http_post_json);
    mod.def<get_json_spec>(http_get_json);
    mod.def<navigate_spec>(remote_navigate);
    mod.def<back_spec>(remote_post<kBackPath>);
    mod.def<forward_spec>(remote_post<kForwardPath>);
    mod.def<reload_spec>(remote_post<kReloadPath>);
    mod.def<get_url_spec>(remote_get<kUrlPath>);
    mod.def<ready_spec>(remote_get<kReadyPath>);
    mod.def<state_spec>(remote_get<kStatePath>);
    mod.def<script_spec>(remote_script);
    mod.def<screenshot_spec>(remote_screenshot);
    mod.def<events_spec>(remote_events);
}

}  // namespace helmwire
