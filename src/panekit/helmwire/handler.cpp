// panekit.helmwire: the request handler of the control server, with its checks (header form, Host,
// Origin, body length) and its routes.
#include "helmwire.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace helmwire {
namespace {

// ---- the server's shared state ----------------------------------------------------------------

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
// A log text as the standard handler writes it: control characters (C0, DEL and C1) as \xNN and
// a backslash doubled, so that nothing a client sends can move the console's cursor or fake a line.
nb::object escape_log(nb::handle text) {
    // Most lines hold nothing to escape: those are written as they are.
    PyObject *t = text.ptr();
    bool plain = PyUnicode_Check(t);
    for (Py_ssize_t i = 0, n = plain ? PyUnicode_GET_LENGTH(t) : 0; plain && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(t, i);
        plain = ch != '\\' && !pk::is_control_char(ch);
    }
    if (plain) return nb::borrow(text);
    static PyObject *table = nullptr;  // str.translate's table, made once
    if (!table) {
        nb::dict t;
        for (int ch = 0; ch < 0xa0; ++ch)
            if (pk::is_control_char(ch)) t[nb::int_(ch)] = nb::str("\\x{:02x}").format(ch);
        t[nb::int_('\\')] = "\\\\";
        table = t.release().ptr();
    }
    return text.attr("translate")(nb::handle(table));
}

void log_message(const pk::Call &c, nb::handle, nb::str fmt, nb::tuple args) {
    nb::object msg = nb::len(args) ? pk::check(PyNumber_Remainder(fmt.ptr(), args.ptr())) : nb::object(fmt);
    static PyObject *probe_text = PyUnicode_InternFromString("GET /ready");
    if (pk::check(PySequence_Contains(msg.ptr(), probe_text))) return;
    log_control(c, nb::str(msg));
}

// The head of the handler's request: the one the serving loop read, or under the standard server
// the one its header parser made (kept in `local`).
const Head &head_of(const pk::Call &c, nb::handle self, Head &local) {
    if (const Head *head = loop_head(self)) return *head;
    nb::object headers = get_attr(self, t_headers);
    // A line set aside (a defect: no colon, no name, a name with spaces or controls) or folded into
    // a value (a value holding CR or LF) is a head the parser misread.
    local.malformed = pk::truthy(attr_or(headers, t_defects, nb::none()));
    for (nb::handle pair : nb::list(headers.attr("items")())) {
        std::string_view texts[2];
        for (int i = 0; i < 2; ++i) {
            nb::object bytes = pk::check(PyUnicode_AsLatin1String(nb::str(PyTuple_GET_ITEM(pair.ptr(), i)).ptr()));
            texts[i] = local.texts.emplace_back(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
        }
        local.malformed = local.malformed || texts[1].find_first_of("\r\n") != std::string_view::npos;
        local.fields.push_back({texts[0], texts[1]});
    }
    local.length = declared_length(local.fields, body_cap(c));
    return local;
}

constexpr pk::Param self_param[] = {{.name = "self"}};
constexpr pk::Spec read_body_spec{.name = "_read_body", .params = self_param, .returns = "bytes"};
// The body the head declares: what the serving loop read after the head (short when the client
// stopped early), or under the standard server what its reader gives.
nb::bytes body_of(nb::handle self, const Head &head) {
    if (head.length <= 0) return nb::bytes("", 0);  // empty, conflicting or above the cap (do_POST answers those)
    const auto n = static_cast<std::size_t>(head.length);
    if (head.body) return nb::bytes(head.body->data(), std::min(n, head.body->size()));
    return nb::borrow<nb::bytes>(call_method(get_attr(self, t_rfile), t_read, nb::int_(n)));
}
nb::object read_body(const pk::Call &c, nb::handle self) {
    Head local;
    return body_of(self, head_of(c, self, local));
}

constexpr pk::Param json_params[] = {
    {.name = "self"},
    {.name = "code", .annotation = "int", .check = Check::Int},
    {.name = "obj", .annotation = "Any"},
};
constexpr pk::Spec json_spec{.name = "_json", .params = json_params, .returns = "None"};
// Writes an answer: its status, type and length, with `no_cache` that no cache may keep it (WebDriver's
// answers say so), the header that lets every page read it, and its body.
void send_body(nb::handle self, nb::handle code, nb::handle type, nb::bytes body, bool no_cache = false) {
    call_method(self, t_send_response, code);
    call_method(self, t_send_header, t_content_type.get(), type);
    call_method(self, t_send_header, t_content_length.get(), nb::str(nb::int_(body.size())));
    if (no_cache) call_method(self, t_send_header, t_cache_control.get(), t_no_cache.get());
    call_method(self, t_send_header, t_allow_origin.get(), t_any.get());
    call_method(self, t_end_headers);
    call_method(get_attr(self, t_wfile), t_write, body);
}
void send_json(nb::handle self, nb::handle code, nb::handle obj) {
    send_body(self, code, t_json_type.get(), pk::json_bytes(obj));
}

// ---- host names answered ----------------------------------------------------------------------
//
// A page served under a name that its owner points at 127.0.0.1 (DNS rebinding) reaches this
// loopback server as its own origin, but its requests still carry that name in `Host`. Requests
// are therefore served only when every Host header is absent, empty, an IP literal, `localhost`
// or the host text the server was started with (port removed, one trailing dot ignored, letters
// compared without case); anything else is answered 403 before any other work.

pk::Lazy g_ip_address{"ipaddress", "ip_address"};

// The address an IP literal names (IPv4, or IPv6 with an optional zone), or None for any other text.
nb::object ip_literal(std::string_view s) {
    return pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(g_ip_address.get()(nb::str(s.data(), s.size()))); });
}
// The version of the IP literal `s` (4 or 6), or 0 for any other text.
int ip_version(std::string_view s) {
    nb::object a = ip_literal(s);
    return a.is_none() ? 0 : nb::cast<int>(a.attr("version"));
}

// The host text as compared: one trailing dot removed, ASCII letters in lower case.
std::string host_key(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return lower_ascii(name);
}

bool host_value_allowed(std::string_view v, std::string_view own) {
    v = trim(v);
    if (v.empty()) return true;
    HostPort p;
    if (!split_host_port(v, p) || !is_digits(p.port)) return false;
    if (p.bare_ipv6()) return ip_version(p.host) == 6;  // sent without brackets (and so without a port)
    if (p.bracketed) return ip_version(p.host) != 0;
    std::string key = host_key(p.host);
    if (ip_version(key) == 4 || key == "localhost") return true;
    return !own.empty() && key == own;
}

// ---- origins answered ---------------------------------------------------------------------------
//
// A page of any site can address this server directly (http://127.0.0.1:PORT) and have the browser
// send requests to it, even read the answers, which allow every origin. A browser names the page's
// origin in `Origin` on every such request (form posts and preflights included), so a request that
// carries one is served only when that origin's host is an IP loopback literal, `localhost` or the
// server's own host text, or the origin is listed in PANEKIT_CONTROL_ORIGINS (comma-separated,
// `*` for any); `Origin: null` and every other origin are answered 403. Programs that are not
// browsers send no Origin and are not concerned.

bool is_loopback_literal(std::string_view name) {
    nb::object addr = ip_literal(name);
    if (addr.is_none()) return false;
    if (pk::truthy(addr.attr("is_loopback"))) return true;
    nb::object mapped = pk::attr_or(addr, "ipv4_mapped", nb::none());
    return !mapped.is_none() && pk::truthy(mapped.attr("is_loopback"));
}

// An origin as compared with the configured ones: ASCII letters in lower case, no trailing "/".
std::string origin_key(std::string_view v) {
    while (!v.empty() && v.back() == '/') v.remove_suffix(1);
    return lower_ascii(v);
}

bool origin_listed(std::string_view origin) {
    nb::object listed = pk::env_get("PANEKIT_CONTROL_ORIGINS");
    if (listed.is_none()) return false;
    std::string key = origin_key(origin);
    std::string_view all = utf8(listed);
    while (true) {
        std::size_t comma = all.find(',');
        std::string_view item = trim(all.substr(0, comma));
        if (item == "*" || (!item.empty() && origin_key(item) == key)) return true;
        if (comma == std::string_view::npos) return false;
        all.remove_prefix(comma + 1);
    }
}

// Whether an Origin value names a page of this machine (or one the user allowed).
bool origin_value_allowed(std::string_view v, std::string_view own) {
    v = trim(v);
    std::size_t sep = v.find("://");
    if (sep != std::string_view::npos && sep > 0) {
        HostPort p;
        if (split_host_port(v.substr(sep + 3), p) && is_digits(p.port) && !p.bare_ipv6() && !p.host.empty()) {
            std::string key = host_key(p.host);
            if (key == "localhost" || is_loopback_literal(key) || (!own.empty() && key == own)) return true;
        }
    }
    return origin_listed(v);
}

// Whether an Authorization value is "Bearer <the server's token>".
bool bearer_ok(const pk::Call &c, std::string_view v) {
    nb::handle token = c.state<Server>()[Server::Token];
    if (!PyUnicode_Check(token.ptr())) return false;
    v = trim(v);
    constexpr std::string_view scheme = "bearer";
    if (v.size() <= scheme.size() || !iequals(v.substr(0, scheme.size()), scheme) || !is_space(v[scheme.size()]))
        return false;
    return same_secret(trim(v.substr(scheme.size())), utf8(token));
}

// The head's text `v` (Latin-1 bytes) as UTF-8, as the checks compare it with the host text and
// the configured origins (`buf` holds it when it has to be converted).
std::string_view utf8_of(std::string_view v, std::string &buf) {
    if (std::all_of(v.begin(), v.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) return v;
    buf.clear();
    for (char ch : v) {
        const auto u = static_cast<unsigned char>(ch);
        if (u < 0x80) buf += ch;
        else buf += {static_cast<char>(0xc0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3f))};
    }
    return buf;
}

// The checks every request passes before any work: a head the header parser may have misread
// (400), conflicting Content-Length headers (400), a Host this server does not answer to (403), an
// Origin it does not serve (403), a guarded route (or any route, with PANEKIT_CONTROL_AUTH=all)
// without the server's token (401). The refusal's status and text, or a null text when it passes.
// `token` tells whether the head carried the server's token.
std::pair<int, const char *> refusal(const pk::Call &c, const Head &head, Access access, bool &token) {
    if (head.malformed) return {400, "malformed header line"};
    std::string_view own = utf8(c.state<Server>()[Server::OwnName]);
    bool host_ok = true, origin_ok = true;
    int bearers = 0;
    bool bearer = false;
    std::string buf;
    for (const Field &f : head.fields) {
        if (iequals(f.name, "host")) {
            host_ok = host_ok && host_value_allowed(utf8_of(f.value, buf), own);
        } else if (iequals(f.name, "origin")) {
            origin_ok = origin_ok && origin_value_allowed(utf8_of(f.value, buf), own);
        } else if (iequals(f.name, "authorization")) {
            ++bearers;  // two of them are one too many: neither is taken
            bearer = bearers == 1 && bearer_ok(c, utf8_of(f.value, buf));
        }
    }
    token = bearer;
    if (head.length == kConflict) return {400, "conflicting Content-Length"};
    if (!host_ok) return {403, "host not allowed"};
    if (!origin_ok) return {403, "origin not allowed"};
    const bool guarded = access == Access::Token || (access == Access::Open && every_route_guarded());
    if (guarded && !bearer) return {401, "token required"};
    return {0, nullptr};
}

// ---- the request handler: routes --------------------------------------------------------------

constexpr pk::Spec options_spec{.name = "do_OPTIONS", .params = self_param, .returns = "None"};
void do_options(const pk::Call &c, nb::handle self) {
    Head local;
    bool token = false;
    auto [code, error] = refusal(c, head_of(c, self, local), Access::Preflight, token);
    if (error) return reply(self, code, error);
    self.attr("send_response")(204);
    self.attr("send_header")("Access-Control-Allow-Origin", "*");
    self.attr("send_header")("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
    self.attr("send_header")("Access-Control-Allow-Headers", "Content-Type");
    self.attr("end_headers")();
}

// ---- dispatch --------------------------------------------------------------------------------------

// The first row of the route table for `method` whose path `path` matches, or null. The path's
// UTF-8 text is compared with the rows' paths (both ASCII for every row that can match).
const Route *find_route(Method method, nb::handle path) {
    Py_ssize_t size = 0;
    const char *text = PyUnicode_Check(path.ptr()) ? PyUnicode_AsUTF8AndSize(path.ptr(), &size) : nullptr;
    if (!text) {  // the standard handler decodes targets as Latin-1: never so, but no route then
        PyErr_Clear();
        return nullptr;
    }
    const std::string_view p(text, static_cast<std::size_t>(size));
    for (const Route &r : routes) {
        if (r.method != method) continue;
        const std::string_view row = r.path;
        if (r.match == Match::Prefix ? p.starts_with(row) : p.ends_with(row)) return &r;
    }
    return nullptr;
}

// The answer to a GET no route serves: the routes the table marks for the hint, the GET ones each
// on its own ("GET /a  |  GET /b") and the POST ones together ("POST /c /d").
nb::str hint_text() {
    static PyObject *text = nullptr;  // made once
    if (!text) {
        std::string gets, posts;
        for (const Route &r : routes) {
            if (!r.hint) continue;
            if (r.method == Method::Get) gets += std::string(gets.empty() ? "" : "  |  ") + "GET " + r.path;
            else posts += std::string(posts.empty() ? "POST" : "") + " " + r.path;
        }
        std::string all = gets + (gets.empty() || posts.empty() ? "" : "  |  ") + posts;
        text = PyUnicode_InternFromString(all.c_str());
    }
    return nb::borrow<nb::str>(text);
}

// A body without the UTF-8 byte-order mark that some writers put before their text (Windows
// PowerShell 5.1's Out-File and Set-Content): the text begins after it.
nb::bytes without_bom(nb::bytes raw) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const std::string_view text(raw.c_str(), raw.size());
    if (!text.starts_with(kBom)) return raw;
    return nb::bytes(text.data() + kBom.size(), text.size() - kBom.size());
}

// A POST body as JSON: its value when the body is strict UTF-8 JSON; nothing when it is empty or
// is not JSON (read once, for every use a route makes of it).
std::optional<nb::object> body_json(const nb::bytes &raw) {
    if (raw.size() == 0) return std::nullopt;
    return pk::guarded_or(std::optional<nb::object>(), [&] {
        return std::optional<nb::object>(nb::handle(g_json_loads.get())(
            pk::check(PyUnicode_DecodeUTF8(raw.c_str(), static_cast<Py_ssize_t>(raw.size()), "strict"))));
    });
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

// Serves a request by the route table: the checks every request passes, then for a POST its body
// read whole, then the route's function (GET without a route: the hint; POST, DELETE: 404).
void dispatch(const pk::Call &c, nb::handle self, Method method) {
    nb::object target = get_attr(self, t_path);
    nb::object path = method == Method::Get ? target : post_path(target);
    const Route *route = find_route(method, path);
    Head local;
    const Head &head = head_of(c, self, local);
    bool token = false;
    auto [code, error] = refusal(c, head, route ? route->access : Access::Open, token);
    if (error) return reply(self, code, error);
    nb::bytes raw("", 0);
    if (method == Method::Post) {
        raw = body_of(self, head);
        if (head.length == kTooLarge)  // none of it was read; the server drains it after the answer
            return reply(self, 413, "body too large");
        if (head.cut || (head.length > 0 && raw.size() < static_cast<std::size_t>(head.length))) {
            // The client stopped before its request was complete: nothing of it is acted on.
            return reply(self, 400, "incomplete body");
        }
    }
    if (!route && method == Method::Get) {
        nb::dict out;
        out["ok"] = true;
        out["hint"] = hint_text();
        return reply(self, 200, out);
    }
    if (!route) return reply(self, 404, "unknown path");
    Request r{c, self, *route, path};
    r.token = token;
    r.head = &head;
    if (method == Method::Post) {
        r.body = without_bom(raw);
        r.json = body_json(r.body);
    }
    route->serve(r);
}

constexpr pk::Spec get_spec{.name = "do_GET", .params = self_param, .returns = "None"};
void do_get(const pk::Call &c, nb::handle self) { dispatch(c, self, Method::Get); }
constexpr pk::Spec post_spec{.name = "do_POST", .params = self_param, .returns = "None"};
void do_post(const pk::Call &c, nb::handle self) { dispatch(c, self, Method::Post); }
constexpr pk::Spec delete_spec{.name = "do_DELETE", .params = self_param, .returns = "None"};
void do_delete(const pk::Call &c, nb::handle self) { dispatch(c, self, Method::Delete); }

}  // namespace

void log_control(const pk::Call &c, nb::handle text) {
    static PyObject *prefix = PyUnicode_InternFromString("[panekit control] ");
    nb::object line = escape_log(text);
    c.state<Server>()[Server::LogFn](pk::check(PyUnicode_Concat(prefix, line.ptr())));
}

long long length_value(std::string_view v, long long cap) {
    // int()'s reading: white space around, a sign, digits with single underscores between them.
    while (!v.empty() && is_py_space(v.front())) v.remove_prefix(1);
    while (!v.empty() && is_py_space(v.back())) v.remove_suffix(1);
    const bool negative = !v.empty() && v.front() == '-';
    if (!v.empty() && (v.front() == '+' || v.front() == '-')) v.remove_prefix(1);
    long long value = 0;
    bool over = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char ch = v[i];
        if (ch == '_' && i > 0 && i + 1 < v.size() && v[i - 1] != '_' && v[i + 1] != '_') continue;
        if (ch < '0' || ch > '9') return 0;
        over = over || value > (cap - (ch - '0')) / 10;
        if (!over) value = value * 10 + (ch - '0');
    }
    if (v.empty() || negative) return 0;
    return over || value > cap ? kTooLarge : value;  // int() refuses very long digit strings: still huge
}

long long declared_length(const std::vector<Field> &fields, long long cap) {
    std::optional<std::string_view> first;
    for (const Field &f : fields) {
        if (!iequals(f.name, "content-length")) continue;
        const std::string_view v = trim(f.value);
        if (!first) first = v;
        else if (*first != v) return kConflict;
    }
    return first ? length_value(*first, cap) : 0;
}

void reply(nb::handle self, int code, nb::handle obj) { call_method(self, t_json, nb::int_(code), obj); }
void reply(nb::handle self, int code, const char *error) { reply(self, code, failure(error)); }

nb::str error_text(nb::handle err) {
    nb::object name = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(err.ptr()))).attr("__name__");
    nb::object text = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(nb::str(err)); });
    if (!pk::truthy(text)) return nb::str(name);
    return nb::str("{}: {}").format(name, text);
}

nb::str Request::rest() const {
    if (route.match != Match::Prefix) return nb::str("");
    const Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(route.path));
    return nb::steal<nb::str>(pk::check(PyUnicode_Substring(path.ptr(), n, PY_SSIZE_T_MAX)));
}

void send_webdriver_answer(nb::handle self, int status, nb::handle body) {
    send_body(self, nb::int_(status), t_json_type.get(), pk::json_bytes(body), true);
}

void send_answer(nb::handle self, int code, nb::handle obj) {
    if (PyTuple_Check(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2)
        return send_webdriver_answer(self, nb::cast<int>(nb::handle(PyTuple_GET_ITEM(obj.ptr(), 0))), PyTuple_GET_ITEM(obj.ptr(), 1));
    if (PyBytes_Check(obj.ptr())) send_body(self, nb::int_(code), nb::str("image/png"), nb::borrow<nb::bytes>(obj));
    else reply(self, code, obj);
}

Scheme scheme_of(nb::handle url) {
    std::string_view text = utf8(url);
    // As browsers read an address: C0 controls and spaces before it are dropped, tabs and line
    // breaks anywhere inside it are not there.
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
    std::string scheme;
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '\t' || ch == '\n' || ch == '\r') continue;
        if (ch == ':') break;
        const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!letter && (scheme.empty() || !((ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.')))
            return Scheme::Local;
        scheme += ch;
    }
    if (i == text.size() || scheme.empty()) return Scheme::Local;
    scheme = lower_ascii(scheme);
    if (scheme == "javascript") return Scheme::Script;
    if (scheme == "http" || scheme == "https") return Scheme::Open;
    if (scheme == "about") {
        std::string rest;
        for (char ch : text.substr(i + 1))
            if (ch != '\t' && ch != '\n' && ch != '\r') rest += ch;
        if (lower_ascii(rest) == "blank") return Scheme::Open;
    }
    return Scheme::Local;
}

nb::object for_open_caller(nb::handle obj) {
    if (!PyDict_Check(obj.ptr())) return nb::borrow(obj);
    nb::dict out = nb::borrow<nb::dict>(obj.attr("copy")());
    nb::object url = out.attr("get")("url");
    if (PyUnicode_Check(url.ptr()) && pk::truthy(url) && scheme_of(url) != Scheme::Open) {
        out["url"] = "";
        for (const char *key : {"title", "error", "path"})
            if (out.contains(key)) out[key] = "";
    }
    nb::object last = out.attr("get")("last");
    if (PyDict_Check(last.ptr())) out["last"] = for_open_caller(last);
    return out;
}

nb::object make_handler_class(const pk::Call &c, const pk::State<Server> &st, nb::str host) {
    st.set(Server::LogFn, c.nested<log_spec>(log_line, st.object()));
    st.set(Server::OwnName, nb::str(host_key(bind_host(utf8(host))).c_str()));
    return c.klass("_Handler", nb::make_tuple(pk::import_from("http.server", "BaseHTTPRequestHandler")), st.object())
        .method<log_message_spec>(log_message)
        .method<read_body_spec>(read_body)
        .method<json_spec>(send_json)
        .method<options_spec>(do_options)
        .method<get_spec>(do_get)
        .method<post_spec>(do_post)
        .method<delete_spec>(do_delete)
        .build();
}

}  // namespace helmwire
