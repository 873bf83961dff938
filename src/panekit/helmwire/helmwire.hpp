// What the source files of panekit.helmwire share: the interned texts of the request path, the
// attribute helpers, the state one server shares with its handler and hooks, and the functions one
// file offers the others.
#pragma once
#include "pk.hpp"

#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;

namespace helmwire {

using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

inline pk::Lazy g_json_loads{"json", "loads"};

// Texts the request path uses on every request (attribute names, header names and values), made
// once and interned (see pk::Name).

inline pk::Name t_headers{"headers"}, t_path{"path"};
inline pk::Name t_rfile{"rfile"}, t_read{"read"}, t_wfile{"wfile"}, t_write{"write"};
inline pk::Name t_json{"_json"}, t_send_response{"send_response"}, t_send_header{"send_header"};
inline pk::Name t_end_headers{"end_headers"}, t_defects{"defects"}, t_close{"close"};
inline pk::Name t_content_length{"Content-Length"}, t_content_type{"Content-Type"};
inline pk::Name t_cache_control{"Cache-Control"}, t_no_cache{"no-cache"};
inline pk::Name t_json_type{"application/json; charset=utf-8"}, t_allow_origin{"Access-Control-Allow-Origin"}, t_any{"*"};
inline pk::Name t_max_body{"_MAX_BODY_BYTES"}, t_time_limit{"_CONNECTION_TIME_LIMIT"}, t_norm_url{"norm_browser_url"};

// Attribute access by an interned name: the runtime's (pk.hpp).
using pk::attr_or;
using pk::call_method;
using pk::get_attr;

// What one start_control_server call shares with its handler class, its log function and its
// serving loop.
enum class Server {
    Log, Invoke, Core, Navigate, Back, Forward, Reload,  // the caller's callables
    LogFn,                                               // the _log function
    OwnName,                                             // the host text as host_key made it
    Srv, Thread,                                         // the server and the thread serving it
    AtExit,                                              // stops the loop at exit (registered while it runs)
    Wake,                                                // wakes the serving loop (None outside it)
    Waiting,                                             // how many requests wait for their navigation
    Stop,                                                // True once shutdown() asks the loop to end
    Stopped,                                             // a threading.Event, set while no loop runs
    Token, TokenFile,                                    // the server's token and its runtime file
    Engine, Pages,                                       // the window's engine and page tracker (None: none)
    WebDriver,                                           // the window's WebDriver side (None until first used)
    kCount
};

// {"ok": False, "error": error}
inline nb::dict failure_text(nb::handle error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = error;
    return d;
}
inline nb::dict failure(const char *error) { return failure_text(nb::str(error)); }

// A str's UTF-8 text, valid while the str lives.
inline std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!p) throw nb::python_error();
    return {p, static_cast<std::size_t>(size)};
}

// ASCII text of the HTTP head (header names and values, host names), as both the reading of a
// connection and the handler's checks take it.
inline bool is_space(char ch) { return ch == ' ' || ch == '\t'; }

// White space as Python's str.split() and int() take it, among Latin-1 characters (how the
// standard handler splits its request line and reads a Content-Length).
inline bool is_py_space(char ch) {
    const auto u = static_cast<unsigned char>(ch);
    return u == ' ' || (u >= '\t' && u <= '\r') || (u >= 0x1c && u <= 0x1f) || u == 0x85 || u == 0xa0;
}

// `v` without the spaces and tabs around it.
inline std::string_view trim(std::string_view v) {
    while (!v.empty() && is_space(v.front())) v.remove_prefix(1);
    while (!v.empty() && is_space(v.back())) v.remove_suffix(1);
    return v;
}

// `v` with its ASCII letters in lower case.
inline std::string lower_ascii(std::string_view v) {
    std::string out(v);
    for (char &ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}

// Whether `a` is `lower` (lower-case ASCII) but for the case of its letters.
inline bool iequals(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (x != lower[i]) return false;
    }
    return true;
}

// A host text, with or without a port, taken apart: "name", "name:port", "[literal]",
// "[literal]:port", or a bare IPv6 literal (two colons or more, no brackets: all host, no port).
// `port` is the text after the colon, unchecked (what a caller accepts is its own). False for any
// other form (a "[" without its "]", text after the "]" that is no port).
struct HostPort {
    std::string_view host, port;
    bool bracketed = false, has_port = false;
    bool bare_ipv6() const { return !bracketed && host.find(':') != std::string_view::npos; }
};
inline bool split_host_port(std::string_view text, HostPort &out) {
    out = HostPort{};
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        out.bracketed = true;
        out.host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const std::size_t colon = text.find(':');
        const bool bare = colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos;
        out.host = bare ? text : text.substr(0, colon);
        rest = text.substr(out.host.size());
    }
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    out.has_port = true;
    out.port = rest.substr(1);
    return true;
}

// The host text as a socket binds it: an IPv6 literal without the brackets an address puts
// around it ("[::1]" gives "::1"); anything else as it is.
inline std::string_view bind_host(std::string_view text) {
    HostPort p;
    return split_host_port(text, p) && p.bracketed && !p.has_port ? p.host : text;
}
inline nb::str bind_host(nb::str host) {
    const std::string_view text = utf8(host), bare = bind_host(text);
    return bare.size() == text.size() ? host : nb::str(bare.data(), bare.size());
}

// ---- the request head, read once ----
// One header field as the connection's reading found it: its name as sent and its value without
// the spaces and tabs before it and without its line end, both Latin-1 bytes of the head.
struct Field {
    std::string_view name, value;
};

// A request head: its fields in arrival order and what the checks need of it. The serving loop
// makes it from its own reading of the connection (the fields view its buffer); under the
// standard server the handler makes it from the parsed message (the fields view `texts`).
struct Head {
    std::vector<Field> fields;
    long long length = 0;    // the body length the Content-Length fields declare (declared_length)
    bool malformed = false;  // a line the header parser misreads (no name, a folded or CR-split line)
    bool cut = false;        // the input ended before the head did
    std::optional<std::string_view> body;  // what followed the head (the serving loop only)
    std::deque<std::string> texts;
};

// A declared Content-Length as int() reads it: 0 when empty or not an integer (negative counts as
// 0); kTooLarge when above `cap`, also for digit strings too long for int().
inline constexpr long long kTooLarge = -1;
inline constexpr long long kConflict = -2;
long long length_value(std::string_view text, long long cap);
// The body length the Content-Length fields of a head declare, as length_value reads it: 0
// without one, kConflict when they disagree.
long long declared_length(const std::vector<Field> &fields, long long cap);
// The largest body a request may declare: the module's _MAX_BODY_BYTES, read at each use.
inline long long body_cap(const pk::Call &c) { return nb::cast<long long>(c.global(t_max_body)); }

// ---- connection.cpp ----
// The head the serving loop read for the request `handler` serves; null when the handler runs
// under the standard server.
const Head *loop_head(nb::handle handler);

// ---- handler.cpp ----
// The _Handler class of one server started on `host`, over the server's state (where it puts the
// server's _log function and the host text as the Host check compares it).
nb::object make_handler_class(const pk::Call &c, const pk::State<Server> &st, nb::str host);
// Writes one line of the server's log: "[panekit control] " and the text, control characters escaped.
void log_control(const pk::Call &c, nb::handle text);
// "<type>: <text>" of an exception ("<type>" alone when its text is empty).
nb::str error_text(nb::handle err);
// Writes a parked request's answer: bytes as a PNG picture, a (status, object) pair as WebDriver's
// answer, anything else as JSON with `code`.
void send_answer(nb::handle self, int code, nb::handle obj);
// Writes a WebDriver answer: `body` as JSON with `status`, which no cache may keep (the protocol's
// answers say so; panekit's own routes keep their headers).
void send_webdriver_answer(nb::handle self, int status, nb::handle body);

// What an address may be opened by: every local program (http, https, about:blank), the token's
// holder (local files, page sources, data and the engine's own pages), or nobody (script).
enum class Scheme { Open, Local, Script };
Scheme scheme_of(nb::handle url);
// An answer as a caller without the token may have it: the address, title and error text of a
// page it could not have opened are left out (blank), also in its "last" navigation.
nb::object for_open_caller(nb::handle obj);

// The limits of the control plane's waits, in seconds (the module offers them as _MAX_WAIT,
// _WAIT_MARGIN and _REQUEST_SECONDS to the command): the longest wait for a navigation, a script
// or an event; what a client call's time-out adds to such a wait, so that the window's answer
// comes first; a client call's own time-out.
inline constexpr double kMaxWait = 120.0;
inline constexpr double kWaitMargin = 5.0;
inline constexpr double kRequestSeconds = 15.0;
inline constexpr const char *kBadWait = "wait must be a number of seconds from 0 to 120";

// A "wait" value as the client and the server both take it: true with its seconds when it is an
// int or a float (not a bool) from 0 to kMaxWait; false for anything else (the caller answers
// kBadWait). None is the caller's to handle first.
inline bool wait_seconds(nb::handle wait, double &seconds) {
    PyObject *w = wait.ptr();
    if (PyBool_Check(w) || !(PyLong_Check(w) || PyFloat_Check(w))) return false;
    const double v = PyFloat_AsDouble(w);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!(v >= 0 && v <= kMaxWait)) return false;  // NaN and the infinities fail here too
    seconds = v;
    return true;
}

// Whether `s` is ASCII digits only (true for the empty text).
inline bool is_digits(std::string_view s) {
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    return true;
}

// Answers `obj` as JSON with `code` through the handler's _json; a text alone is the failure
// {"ok": false, "error": text}.
void reply(nb::handle self, int code, nb::handle obj);
void reply(nb::handle self, int code, const char *error);

// ---- routes.cpp: the route table ----
// Who may use a route: anyone this server answers (the routes that steer the window or report its
// address), or only who holds the server's token (the routes that read the page); a preflight is
// never guarded (browsers send it without credentials, and it does nothing).
enum class Access { Preflight, Open, Token };
enum class Method { Get, Post, Delete };
// How a row's path matches: the request's path starts with it (Prefix) or ends with it (Suffix).
enum class Match { Prefix, Suffix };

struct Route;

// A request as a route's function gets it, after the checks every request passes (header form,
// Host, Origin, the route's access) and, for a POST, after its body was read whole.
struct Request {
    const pk::Call &c;  // the handler's call: the server's state (c.state<Server>()), its module
    nb::handle self;    // the handler: answers go through reply(self, ...)
    const Route &route;
    nb::object path;    // GET: the target as received; POST: the path without query and trailing "/"
    nb::bytes body{"", 0};           // POST: the body
    std::optional<nb::object> json;  // POST: the body as JSON, when it is strict UTF-8 JSON
    bool token = false;              // it carried the server's token
    const Head *head = nullptr;      // its head, as the checks read it

    // What follows the row's path in a Prefix row's match ("/session/1/url" under "/session/"
    // gives "1/url"); "" for a Suffix row.
    nb::str rest() const;
};

// One row of the route table: see kRoutes in routes.cpp.
struct Route {
    Method method;
    const char *path;
    Match match;
    Access access;
    bool waits;                 // may be answered later (its function parks the request)
    void (*serve)(Request &r);  // answers the request (or parks it)
    bool hint;                  // named in the answer to a GET no route serves
};
// The table, in the order rows are tried.
extern const std::span<const Route> routes;
// A new waiter for a request answered later, or nothing (answered here: this server cannot answer
// later, or _MAX_WAITING requests wait already). Only for a route whose row says it waits.
std::optional<nb::object> later_waiter(const Request &r);
// Leaves the request waiting with the serving loop, which answers it from `waiter` once it has its
// result (or at `deadline`, steady seconds); `open_only`: it came without the token, and its answer
// is for_open_caller's.
void park(nb::handle self, nb::handle waiter, double deadline, bool open_only = false);
// The WebDriver paths (/status, /session...): webdriver/control_port.cpp.
void serve_webdriver(Request &r);

// The keyword parameters the client calls share: the port (None: control_port()), the whole
// call's time-out in seconds, and a wait for a navigation.
inline constexpr pk::Param kPort{.name = "port", .annotation = "Optional[int]", .check = Check::OptInt,
                                 .kind = Kind::KeywordOnly, .def = Def::None};
inline constexpr pk::Param kTimeout{.name = "timeout", .annotation = "float", .check = Check::Float,
                                    .kind = Kind::KeywordOnly, .def = Def::Float, .number = kRequestSeconds};
inline constexpr pk::Param kWait{.name = "wait", .annotation = "Optional[float]", .kind = Kind::KeywordOnly,
                                 .def = Def::None};

// ---- client.cpp ----
// Defines the client calls in the module (_http_post_json, _http_get_json, remote_*).
void define_client(pk::Module &mod);

// ---- access.cpp ----
// A non-empty environment value, stripped; None when unset or blank.
nb::object env_text(const char *name);
// The token of a new server, on the server (`control_token`) and in its runtime file, which closing
// the server removes. A file that cannot be written is said once in the log: the server runs, and
// its guarded routes answer whoever has the token by other means (PANEKIT_CONTROL_TOKEN, the
// server object).
void start_access(const pk::Call &c, const pk::State<Server> &st, nb::handle host);
// The token a client sends to `port`, and where it may go: PANEKIT_CONTROL_TOKEN when set (to the
// address the call makes), else the one in the first of that port's runtime files that holds a
// usable one (only to the address the window wrote there). Empty when there is none usable.
struct ClientToken {
    std::string token;
    bool anywhere = false;
    std::string host, port;
};
ClientToken client_token(nb::handle port);
// Whether `given` is `secret`, in a time that does not depend on where they differ.
bool same_secret(std::string_view given, std::string_view secret);
// Whether PANEKIT_CONTROL_AUTH asks for the token on every route ("all"), read at each request.
bool every_route_guarded();

// ---- connection.cpp ----
// Defines start_control_server in the module.
void define_server(pk::Module &mod);

}  // namespace helmwire
