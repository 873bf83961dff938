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

namespace {

pk::Lazy g_token_urlsafe{"secrets", "token_urlsafe"};

}  // namespace

nb::object env_text(const char *name) {
    nb::object v = pk::env_get(name);
    if (v.is_none()) return v;
    nb::object s = v.attr("strip")();
    return pk::truthy(s) ? s : nb::none();
}

// The folder and the file as text (os.path): the client calls read the file at each request and
// do not load pathlib for it.
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

nb::str new_token() {
    nb::object env = env_text("PANEKIT_CONTROL_TOKEN");
    if (!env.is_none()) return nb::str(env);
    return nb::str(nb::handle(g_token_urlsafe.get())(32));
}

nb::object write_runtime_file(nb::handle address, nb::handle port, nb::handle token) {
    nb::object os = pk::import("os");
    nb::object path = pk::import_from("pathlib", "Path");
    nb::object folder = path(runtime_folder());
    folder.attr("mkdir")("mode"_a = 0700, "parents"_a = true, "exist_ok"_a = true);
    if (!pk::on_windows()) {
        // Only a folder of this user's, closed to everyone else, may hold the token.
        nb::object info = os.attr("stat")(folder);
        if (!nb::object(info.attr("st_uid")).equal(os.attr("geteuid")()))
            pk::raise(PyExc_PermissionError, "%s belongs to another user", nb::str(folder).c_str());
        if (nb::cast<long>(info.attr("st_mode")) & 077) os.attr("chmod")(folder, 0700);
    }
    nb::object file = path(runtime_file(port));
    nb::dict content;
    content["url"] = address;
    content["port"] = port;
    content["token"] = token;
    content["pid"] = os.attr("getpid")();
    nb::bytes data = pk::json_bytes(content);
    // Written whole under a name of this process, with the user's rights only, then put in place.
    nb::object temp = file.attr("with_name")(nb::str("{}.{}.tmp").format(file.attr("name"), os.attr("getpid")()));
    long flags = nb::cast<long>(os.attr("O_WRONLY")) | nb::cast<long>(os.attr("O_CREAT")) |
                 nb::cast<long>(os.attr("O_TRUNC")) | nb::cast<long>(pk::attr_or(os, "O_BINARY", nb::int_(0)));
    nb::object fd = os.attr("open")(temp, flags, 0600);
    try {
        if (!pk::on_windows()) os.attr("fchmod")(fd, 0600);  // a leftover temp file keeps its old mode otherwise
        os.attr("write")(fd, data);
        os.attr("close")(fd);
        os.attr("replace")(temp, file);
    } catch (nb::python_error &) {
        pk::guarded([&] { os.attr("close")(fd); });
        pk::guarded([&] { os.attr("unlink")(temp); });
        throw;
    }
    return file;
}

void remove_runtime_file(nb::handle file, nb::handle token) {
    if (file.is_none()) return;
    pk::guarded([&] {
        // Another window may have taken the port since: its file stays.
        nb::object content = nb::handle(g_json_loads.get())(file.attr("read_text")("encoding"_a = "utf-8"));
        if (PyDict_Check(content.ptr()) && nb::object(content.attr("get")("token")).equal(token))
            file.attr("unlink")();
    });
}

// The token in one runtime file, or None when it cannot be read or holds none.
nb::object file_token(nb::handle file) {
    return pk::guarded_or(nb::object(nb::none()), [&]() -> nb::object {
        nb::object f = pk::import("io").attr("open")(file, "r", "encoding"_a = "utf-8");
        nb::object text;
        try {
            text = f.attr("read")();
        } catch (nb::python_error &) {
            pk::guarded([&] { f.attr("close")(); });
            throw;
        }
        f.attr("close")();
        nb::object content = nb::handle(g_json_loads.get())(text);
        if (!PyDict_Check(content.ptr())) return nb::none();
        nb::object token = content.attr("get")("token");
        return PyUnicode_Check(token.ptr()) && pk::truthy(token) ? token : nb::none();
    });
}

nb::object client_token(nb::handle port) {
    nb::object env = env_text("PANEKIT_CONTROL_TOKEN");
    if (!env.is_none()) return env;
    for (nb::handle file : runtime_files(port)) {
        nb::object token = file_token(file);
        if (!token.is_none()) return token;
    }
    return nb::none();
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
