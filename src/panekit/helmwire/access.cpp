// panekit.helmwire: who may use the routes that read the page (run script in it, take its picture).
//
// Every local program of every user can reach the control port. Navigating is harmless enough to
// leave open; reading the page the user is logged in to is not. Each server therefore has a token:
// PANEKIT_CONTROL_TOKEN when set (scripts, containers), else 256 random bits. The server writes it,
// with its address, into a runtime file that only the user can read, in the user's runtime folder
// (Windows: %LOCALAPPDATA%\panekit; elsewhere $XDG_RUNTIME_DIR/panekit, else the user's cache
// folder), named after the port, and removes it when it is closed. The client calls find the
// token for the port they talk to in that file (looking also where the same user's windows write
// under another environment) and send it as "Authorization: Bearer <token>".
#include "helmwire.hpp"

#include <string>

namespace helmwire {

nb::object env_text(const char *name) {
    nb::object v = pk::env_get(name);
    if (v.is_none()) return v;
    nb::object s = v.attr("strip")();
    return pk::truthy(s) ? s : nb::none();
}

namespace {

pk::Lazy g_token_urlsafe{"secrets", "token_urlsafe"};

// The folder of the runtime files, and the file of the server on `port`, as text (os.path): the
// client calls read the file at each request and do not load pathlib for it.
nb::object runtime_folder() {
    nb::object ospath = pk::import("os.path");
    nb::object join = ospath.attr("join");
    if (pk::on_windows()) {
        nb::object local = env_text("LOCALAPPDATA");
        nb::object base = local.is_none() ? join(ospath.attr("expanduser")("~"), "AppData", "Local") : local;
        return join(base, "panekit");
    }
    nb::object run = env_text("XDG_RUNTIME_DIR");
    if (!run.is_none()) return join(run, "panekit");
    nb::object cache = env_text("XDG_CACHE_HOME");
    nb::object base = cache.is_none() ? join(ospath.attr("expanduser")("~"), ".cache") : cache;
    return join(base, "panekit");
}

nb::object runtime_file(nb::handle port) {
    return pk::import("os.path").attr("join")(runtime_folder(),
                                             nb::str("control-{}.json").format(nb::int_(nb::borrow(port))));
}

// Where a window of this user may have written the file of `port`: the folder this environment
// names first, then the others that the same user's windows use under another environment (a
// desktop session has XDG_RUNTIME_DIR, su, cron and containers often do not), so that a shell of
// either kind finds the token of a window started in the other.
nb::list runtime_files(nb::handle port) {
    nb::list files;
    files.append(runtime_file(port));
    if (pk::on_windows()) return files;
    nb::object os = pk::import("os");
    nb::object ospath = pk::import("os.path");
    nb::object join = ospath.attr("join");
    nb::object name = nb::str("control-{}.json").format(nb::int_(nb::borrow(port)));
    nb::object cache = env_text("XDG_CACHE_HOME");
    nb::object folders[] = {
        join("/run/user", nb::str(os.attr("geteuid")()), "panekit"),
        join(cache.is_none() ? join(ospath.attr("expanduser")("~"), ".cache") : cache, "panekit"),
    };
    for (nb::object &folder : folders) {
        nb::object file = join(folder, name);
        if (PySequence_Contains(files.ptr(), file.ptr()) == 0) files.append(file);
    }
    return files;
}

// A server's token: PANEKIT_CONTROL_TOKEN when set, else 256 random bits as URL-safe text.
nb::str new_token() {
    nb::object env = env_text("PANEKIT_CONTROL_TOKEN");
    if (!env.is_none()) return nb::str(env);
    return nb::str(nb::handle(g_token_urlsafe.get())(32));
}

// Whether a token may go into a header as it is: printable ASCII, no spaces, not empty.
bool usable_token(std::string_view t) {
    if (t.empty()) return false;
    for (char ch : t)
        if (ch <= 0x20 || ch >= 0x7f) return false;
    return true;
}

// The content of a runtime file (a dict), or None. Only a file that is this user's own, not a link,
// and closed to everyone else is read (elsewhere than on Windows); a FIFO or any other thing that
// is no plain file is never waited on.
nb::object read_runtime_file(nb::handle path) {
    return pk::guarded_or(nb::object(nb::none()), [&]() -> nb::object {
        nb::object os = pk::import("os");
        const bool windows = pk::on_windows();
        long flags = nb::cast<long>(os.attr("O_RDONLY")) | nb::cast<long>(pk::attr_or(os, "O_BINARY", nb::int_(0))) |
                     nb::cast<long>(pk::attr_or(os, "O_NOFOLLOW", nb::int_(0))) |
                     nb::cast<long>(pk::attr_or(os, "O_NONBLOCK", nb::int_(0)));
        nb::object fd = pk::resting(os.attr("open"), path, nb::int_(flags));
        nb::object data;
        try {
            nb::object info = pk::resting(os.attr("fstat"), fd);
            const long mode = nb::cast<long>(info.attr("st_mode"));
            bool ok = pk::truthy(pk::import("stat").attr("S_ISREG")(mode));
            if (ok && !windows)
                ok = nb::object(info.attr("st_uid")).equal(os.attr("geteuid")()) && (mode & 077) == 0;
            if (ok) data = pk::resting(os.attr("read"), fd, nb::int_(65536));
        } catch (nb::python_error &) {
            pk::guarded([&] { pk::resting(os.attr("close"), fd); });
            throw;
        }
        pk::resting(os.attr("close"), fd);
        if (!data.is_valid()) return nb::none();
        nb::object content = pk::resting(g_json_loads.get(), data.attr("decode")("utf-8"));
        return PyDict_Check(content.ptr()) ? content : nb::object(nb::none());
    });
}

// Raises PermissionError "<folder>: <why>; the token file is not written there".
[[noreturn]] void refuse_folder(nb::handle folder, const char *why) {
    pk::raise(PyExc_PermissionError, "%s: %s; the token file is not written there", nb::str(folder).c_str(), why);
}

// Writes the runtime file of the server on `port` (its address, the address it listens on as
// `bound`, and its token), readable by this user only; returns its path (a pathlib.Path). Raises
// when it cannot be written there (a folder that is a link, another user's, or open to others).
nb::object write_runtime_file(nb::handle address, nb::handle port, nb::handle token, nb::handle bound) {
    nb::object os = pk::import("os");
    nb::object folder = runtime_folder();
    nb::object parent = pk::import("os.path").attr("dirname")(folder);
    if (pk::truthy(parent)) os.attr("makedirs")(parent, "exist_ok"_a = true);
    try {
        os.attr("mkdir")(folder, 0700);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
    }
    if (!pk::on_windows()) {
        // The folder as it is, never through a link, and left as it is found: only a folder of this
        // user's that nobody else can write to may hold the token.
        nb::object info = os.attr("lstat")(folder);
        nb::object st = pk::import("stat");
        const long mode = nb::cast<long>(info.attr("st_mode"));
        if (pk::truthy(st.attr("S_ISLNK")(mode))) refuse_folder(folder, "a symbolic link");
        if (!pk::truthy(st.attr("S_ISDIR")(mode))) refuse_folder(folder, "not a folder");
        if (!nb::object(info.attr("st_uid")).equal(os.attr("geteuid")())) refuse_folder(folder, "belongs to another user");
        if (mode & 022) refuse_folder(folder, "others can write to it");
    }
    nb::object file = runtime_file(port);
    nb::dict content;
    content["url"] = address;
    content["port"] = port;
    content["token"] = token;
    content["pid"] = os.attr("getpid")();
    content["host"] = bound;  // the address listened on, to which clients send the token
    nb::bytes data = pk::json_bytes(content);
    // Written whole under a name only this process can have created (mkstemp: O_CREAT | O_EXCL,
    // no link followed, mode 0600), then put in place.
    nb::object made = pk::import("tempfile").attr("mkstemp")(
        "dir"_a = folder, "prefix"_a = nb::str(".{}.").format(os.attr("path").attr("basename")(file)), "suffix"_a = ".tmp");
    nb::object fd = made[0], temp = made[1];
    try {
        os.attr("write")(fd, data);
        os.attr("close")(fd);
        fd = nb::none();
        os.attr("replace")(temp, file);
    } catch (nb::python_error &) {
        if (!fd.is_none()) pk::guarded([&] { os.attr("close")(fd); });
        pk::guarded([&] { os.attr("unlink")(temp); });
        throw;
    }
    return pk::import_from("pathlib", "Path")(file);
}

// Removes the runtime file unless it holds another token by now (guarded).
void remove_runtime_file(nb::handle file, nb::handle token) {
    if (file.is_none()) return;
    pk::guarded([&] {
        // Another window may have taken the port since: its file stays.
        nb::object content = read_runtime_file(nb::str(file));
        if (!content.is_none() && nb::object(content.attr("get")("token")).equal(token)) file.attr("unlink")();
    });
}

// Whether the process that wrote a runtime file has ended (a window killed, or ended by a signal
// it could not handle, leaves its file behind; the next window on the port replaces it). Asked
// without touching the process: signal 0 on POSIX, an exit code read through a query-only
// handle on Windows (where os.kill would end it). Unknown counts as running.
bool writer_gone(nb::handle pid) {
    if (!PyLong_Check(pid.ptr())) return false;
    return pk::guarded_or(false, [&] {
        if (pk::on_windows()) {
            nb::object kernel = pk::import("ctypes").attr("WinDLL")("kernel32", "use_last_error"_a = true);
            constexpr long kQueryLimited = 0x1000, kStillActive = 259, kInvalidParameter = 87;
            nb::object handle = kernel.attr("OpenProcess")(kQueryLimited, false, pid);
            if (!pk::truthy(handle))
                return nb::object(pk::import("ctypes").attr("get_last_error")()).equal(nb::int_(kInvalidParameter));
            nb::object code = pk::import("ctypes").attr("c_ulong")();
            nb::object ok = kernel.attr("GetExitCodeProcess")(handle, pk::import("ctypes").attr("byref")(code));
            kernel.attr("CloseHandle")(handle);
            return pk::truthy(ok) && !nb::object(code.attr("value")).equal(nb::int_(kStillActive));
        }
        try {
            pk::import("os").attr("kill")(pid, 0);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_ProcessLookupError)) return true;
            if (e.matches(PyExc_OSError)) return false;  // another user's process: running
            throw;
        }
        return false;
    });
}

// Closing the server also removes its runtime file.
constexpr pk::Spec server_close_spec{.name = "server_close", .returns = "None"};
void server_close(const pk::Call &c) {
    auto st = c.state<Server>();
    remove_runtime_file(st[Server::TokenFile], st[Server::Token]);
    st.set(Server::TokenFile, Py_None);
    pk::import_from("http.server", "HTTPServer").attr("server_close")(st[Server::Srv]);
}

}  // namespace

void start_access(const pk::Call &c, const pk::State<Server> &st, nb::handle host) {
    nb::str token = new_token();
    nb::handle srv = st[Server::Srv];
    st.set(Server::Token, token);
    nb::setattr(srv, "control_token", token);
    nb::tuple bound = nb::tuple(srv.attr("server_address"));
    nb::object port = bound[1];
    try {
        nb::object address = c.global("control_base_url")("port"_a = port, "host"_a = host);
        st.set(Server::TokenFile, write_runtime_file(address, port, token, bound[0]));
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        st[Server::LogFn](nb::str("[panekit control] token file not written: {}").format(nb::str(e.value())));
    }
    srv.attr("server_close") = c.nested<server_close_spec>(server_close, st.object());
}

ClientToken client_token(nb::handle port) {
    ClientToken out;
    nb::object env = env_text("PANEKIT_CONTROL_TOKEN");
    if (!env.is_none()) {
        std::string_view t = utf8(env);
        if (usable_token(t)) {
            out.token = t;
            out.anywhere = true;  // given for the window this process addresses
        }
        return out;
    }
    // The first of the port's runtime files that holds a usable token, with the address it names.
    for (nb::handle file : runtime_files(port)) {
        nb::object content = read_runtime_file(file);
        if (content.is_none() || writer_gone(nb::object(content.attr("get")("pid")))) continue;
        nb::object token = content.attr("get")("token"), host = content.attr("get")("host");
        nb::object file_port = content.attr("get")("port");
        if (!PyUnicode_Check(token.ptr()) || !PyUnicode_Check(host.ptr()) || !PyLong_CheckExact(file_port.ptr()))
            continue;
        std::string_view t = utf8(token);
        if (!usable_token(t)) continue;
        out.token = t;
        out.host = utf8(host);
        out.port = utf8(nb::str(file_port));
        return out;
    }
    return out;
}

bool same_secret(std::string_view given, std::string_view secret) {
    // Every byte of the secret is looked at whatever the given text holds, so the time taken says
    // nothing about how much of it matched.
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < secret.size(); ++i)
        diff |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

bool every_route_guarded() {
    nb::object mode = env_text("PANEKIT_CONTROL_AUTH");
    return !mode.is_none() && iequals(utf8(mode), "all");
}

}  // namespace helmwire
