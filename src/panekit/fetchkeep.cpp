// panekit.fetchkeep: where downloads of the browser view go.
//
//  * settings: the download folder and the Save-As switch, from arguments and the environment;
//  * naming: a target path inside the folder that names no existing file or folder;
//  * the DownloadStarting handler of a CoreWebView2 and the helper that mounts it;
//  * the patch of pywebview's EdgeChrome ready handler that mounts the same handler on the views
//    pywebview creates, and its removal.
//
// Path text follows Windows rules (both slashes separate, "X:" and UNC prefixes are drives) on
// every OS, since Windows is the only platform the package serves; existence is always asked of
// the real file system. Module state lives in the module dict, where Python code sees it, and
// every module-level name the handlers use is looked up there at call time.
#include "pk.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;

namespace {

const char *const kModule = "panekit.fetchkeep";

const char *const kTruthyWords[] = {"1", "true", "yes", "on", "y"};
const char *const kFallbackName = "download";
constexpr long kFirstCounter = 2;
constexpr long kLastCounter = 4999;
// How long a name handed out to a download that reports no state stays held, unless its file
// shows up sooner: long enough for an ordinary download, short enough that a failed one gives
// its name back within minutes.
constexpr double kReservationSeconds = 300.0;

// State names of the module dict.
const char *const kOrigReady = "_ORIG_EDGE_WEBVIEW_READY";
const char *const kSilentFolder = "_SILENT_DOWNLOAD_FOLDER";
const char *const kUsePrompt = "_DOWNLOAD_USE_PROMPT";
const char *const kHandlers = "_PNK_DOWNLOAD_HANDLERS";

const char *const kMountFailed = "[panekit] 挂载下载处理失败: %s";

// ---- small helpers ---------------------------------------------------------------------------

using pk::is_exception;

nb::object global(pk::Args &a, const char *name) { return pk::module_global(a.cell(0), name); }

void set_global(pk::Args &a, const char *name, nb::handle value) {
    if (PyDict_SetItemString(a.cell(0).ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

// `from <package> import <name>`
nb::object import_from(const char *package, const char *name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    PyObject *mod = PyImport_ImportModuleLevel(package, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod) throw nb::python_error();
    nb::object m = nb::steal(mod);
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttrString(m.ptr(), name, &v) < 0) throw nb::python_error();
    if (!v) pk::raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, package);
    return nb::steal(v);
}

// The absolute, resolved text of a folder, created with all missing parents.
nb::str resolve_and_create(pk::Args &a, nb::handle folder) {
    nb::object path = global(a, "Path")(folder).attr("resolve")();
    nb::str text(path);
    path.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    return text;
}

// ---- Windows path rules ----------------------------------------------------------------------

class Text {
public:
    explicit Text(PyObject *s)
        : s_(s), kind_(PyUnicode_KIND(s)), data_(PyUnicode_DATA(s)), len_(PyUnicode_GET_LENGTH(s)) {}
    Py_ssize_t size() const { return len_; }
    // Code point i, or 0xFFFFFFFF past the end (never equal to a real character).
    Py_UCS4 at(Py_ssize_t i) const { return i < len_ ? PyUnicode_READ(kind_, data_, i) : 0xFFFFFFFFu; }
    static bool is_sep(Py_UCS4 c) { return c == '/' || c == '\\'; }

    Py_ssize_t find_sep(Py_ssize_t from) const {
        for (Py_ssize_t i = from; i < len_; ++i)
            if (is_sep(at(i))) return i;
        return -1;
    }

    // Length of the drive: "X:" or a UNC / device prefix such as \\server\share, \\?\UNC\s\share.
    Py_ssize_t drive_length() const {
        if (is_sep(at(0))) {
            if (!is_sep(at(1))) return 0;  // rooted, no drive
            static const char unc[] = "\\\\?\\UNC\\";
            bool is_unc = len_ >= 8;
            for (Py_ssize_t i = 0; is_unc && i < 8; ++i) {
                Py_UCS4 c = at(i);
                if (c == '/') c = '\\';
                if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
                is_unc = c == static_cast<unsigned char>(unc[i]);
            }
            Py_ssize_t index = find_sep(is_unc ? 8 : 2);
            if (index < 0) return len_;
            Py_ssize_t index2 = find_sep(index + 1);
            return index2 < 0 ? len_ : index2;
        }
        return at(1) == ':' ? 2 : 0;
    }

    // The last path component (what follows the drive and the last separator).
    nb::str last_component() const {
        Py_ssize_t d = drive_length(), i = len_;
        while (i > d && !is_sep(at(i - 1))) --i;
        return substring(i, len_);
    }

    // Where the extension starts (its dot), or len_ when there is none; leading dots do not count.
    Py_ssize_t extension_start() const {
        Py_ssize_t sep = len_ - 1;
        while (sep >= 0 && !is_sep(at(sep))) --sep;
        Py_ssize_t dot = len_ - 1;
        while (dot > sep && at(dot) != '.') --dot;
        if (dot <= sep) return len_;
        for (Py_ssize_t i = sep + 1; i < dot; ++i)
            if (at(i) != '.') return dot;
        return len_;
    }

    nb::str substring(Py_ssize_t start, Py_ssize_t end) const {
        PyObject *r = PyUnicode_Substring(s_, start, end);
        if (!r) throw nb::python_error();
        return nb::steal<nb::str>(r);
    }

private:
    PyObject *s_;
    int kind_;
    const void *data_;
    Py_ssize_t len_;
};

// What a file name is joined onto: the folder unchanged plus one backslash, unless the folder
// is empty, already ends in a separator, or is a bare drive letter ("C:" + name stays on the
// drive's current folder). The name is always kept inside the folder, even when it looks like
// it carries a drive of its own (such as "b:c").
nb::str join_prefix(nb::handle folder) {
    Text t(folder.ptr());
    const Py_ssize_t n = t.size();
    if (n == 0 || Text::is_sep(t.at(n - 1)) || (t.drive_length() == n && t.at(n - 1) == ':'))
        return nb::borrow<nb::str>(folder);
    PyObject *r = PyUnicode_FromFormat("%U\\", folder.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

nb::str concat(nb::handle a, nb::handle b) {
    PyObject *r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

nb::str replace_all(nb::handle s, const char *from, const char *to) {
    nb::str f(from), t(to);
    PyObject *r = PyUnicode_Replace(s.ptr(), f.ptr(), t.ptr(), -1);
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

// ---- existence on the real file system -------------------------------------------------------

// A path text in the file system's encoding; `ok` is false when the text cannot name a file
// (it does not encode, or holds a NUL), in which case nothing exists there.
struct FsText {
    std::string bytes;
    bool ok = false;
    explicit FsText(nb::handle s) {
        PyObject *b = PyUnicode_EncodeFSDefault(s.ptr());
        if (!b) {
            PyErr_Clear();
            return;
        }
        bytes.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
        Py_DECREF(b);
        ok = bytes.find('\0') == std::string::npos;
    }
};

// Whether a file system entry of any kind exists at the path: a file, a folder, or a symbolic
// link whatever it points to (a dangling link is still an entry, and writing through it would land
// outside the folder), so the link itself is asked about, never its target. Failures count as absent.
bool entry_exists(std::string_view fs_bytes) {
    try {
        std::u8string u8(reinterpret_cast<const char8_t *>(fs_bytes.data()), fs_bytes.size());
        std::error_code ec;
        auto st = std::filesystem::symlink_status(std::filesystem::path(u8), ec);
        return !ec && std::filesystem::exists(st);
    } catch (...) {
        return false;
    }
}

bool entry_exists(nb::handle path) {
    FsText t(path);
    return t.ok && entry_exists(t.bytes);
}

// ---- names held for downloads in flight ----------------------------------------------------------

// The silent handler hands out names before the browser creates their files (it writes a file
// only once the download finishes), so it holds each name it handed out while that download may
// still be writing. Two dicts keyed by path text, each path in at most one of them:
//  * `live`: path -> the download's token, for a download whose operation reports its state; the
//    name is held while that state is "in progress";
//  * `timed`: path -> expiry on the reservation clock, for a download without an operation; the
//    name is held until the expiry or until the path is seen on disk, whichever comes first.
//    Entries are added in expiry order, so the expired ones are swept from the front.
// The clock is the module global `_reservation_clock` (time.monotonic) and the bound
// `_RESERVATION_SECONDS`, both read when used so that tests can replace them.
class Reservations {
public:
    enum class Hold { None, Live, Timed };

    Reservations(nb::handle md, nb::handle live, nb::handle timed) : md_(md), live_(live), timed_(timed) {}

    // Who holds the path; an expired timed entry is dropped on the way.
    Hold hold(nb::handle path) {
        const double t = now();
        int r = PyDict_Contains(live_.ptr(), path.ptr());
        if (r < 0) throw nb::python_error();
        if (r) return Hold::Live;
        PyObject *expiry = PyDict_GetItemWithError(timed_.ptr(), path.ptr());
        if (!expiry) {
            if (PyErr_Occurred()) throw nb::python_error();
            return Hold::None;
        }
        if (PyFloat_AS_DOUBLE(expiry) > t) return Hold::Timed;
        drop(timed_, path);
        return Hold::None;
    }

    // Drops the timed entries that have expired.
    void sweep() {
        const double t = now();
        nb::list expired;
        Py_ssize_t pos = 0;
        PyObject *key, *expiry;
        while (PyDict_Next(timed_.ptr(), &pos, &key, &expiry) && PyFloat_AS_DOUBLE(expiry) <= t)
            expired.append(nb::handle(key));
        for (nb::handle k : expired) drop(timed_, k);
    }

    void hold_live(nb::handle path, nb::handle token) {
        drop(timed_, path);
        if (PyDict_SetItem(live_.ptr(), path.ptr(), token.ptr()) < 0) throw nb::python_error();
    }

    void hold_timed(nb::handle path) {
        nb::object seconds = pk::module_global(md_, "_RESERVATION_SECONDS");
        nb::object expiry = nb::steal(PyFloat_FromDouble(now() + to_double(seconds)));
        if (!expiry.is_valid()) throw nb::python_error();
        drop(live_, path);
        drop(timed_, path);  // re-added at the end, keeping the expiry order
        if (PyDict_SetItem(timed_.ptr(), path.ptr(), expiry.ptr()) < 0) throw nb::python_error();
    }

    void drop_timed(nb::handle path) { drop(timed_, path); }

    // Whether the path is held for the download with this token.
    bool owns(nb::handle path, nb::handle token) {
        PyObject *v = PyDict_GetItemWithError(live_.ptr(), path.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v == token.ptr();
    }

    // Gives the path back, if it is still held for the download with this token.
    void release(nb::handle path, nb::handle token) {
        if (owns(path, token)) drop(live_, path);
    }

private:
    static double to_double(nb::handle v) {
        double d = PyFloat_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return d;
    }

    static void drop(nb::handle dict, nb::handle key) {
        int r = PyDict_Pop(dict.ptr(), key.ptr(), nullptr);
        if (r < 0) throw nb::python_error();
    }

    // The reservation clock, read once per event.
    double now() {
        if (!have_now_) {
            now_ = to_double(pk::module_global(md_, "_reservation_clock")());
            have_now_ = true;
        }
        return now_;
    }

    nb::handle md_, live_, timed_;
    double now_ = 0;
    bool have_now_ = false;
};

// ---- download settings and target naming ----------------------------------------------------

nb::object env_truthy(pk::Args &a) {
    if (a[0].is_none()) return nb::bool_(false);
    nb::object word = a[0].attr("strip")().attr("lower")();
    for (const char *w : kTruthyWords)
        if (PyUnicode_EqualToUTF8(word.ptr(), w)) return nb::bool_(true);
    return nb::bool_(false);
}

// The value of the first of two environment variables that is set and not empty; `None` when
// neither is (the second one's empty value is returned as is).
nb::object env_first(const char *first, const char *second) {
    return pk::first_nonempty({pk::env_get(first), pk::env_get(second)});
}

nb::object resolve_download_settings(pk::Args &a) {
    nb::object d;
    if (!a[0].is_none()) {
        d = a[0].attr("strip")();
    } else {
        nb::object v = env_first("PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY");
        d = (v.is_none() ? nb::object(nb::str("")) : v).attr("strip")();
    }
    nb::object folder = nb::len(d) == 0 ? nb::none() : d;
    nb::object use_prompt;
    if (!a[1].is_none()) {
        use_prompt = nb::borrow(a[1]);
    } else {
        nb::object v = env_first("PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT");
        use_prompt = global(a, "_env_truthy")(v);
    }
    return nb::make_tuple(folder, use_prompt);
}

// The search of unique_download_target. `reserved`, when given, holds names handed out to
// downloads still in flight, which count as taken as well: a name held for a download whose
// operation reports its state is taken without asking the disk; a name held for a bounded time
// is taken, and its hold ends once an entry is seen at the path (the entry takes it from then on).
nb::str find_free_target(nb::handle folder, nb::handle suggested, Reservations *reserved) {
    nb::str name = Text(suggested.ptr()).last_component();
    if (nb::len(name) == 0) name = nb::str(kFallbackName);
    name = replace_all(name, "..", "_");
    name = replace_all(name, "/", "_");
    name = replace_all(name, "\\", "_");
    Text nt(name.ptr());
    const Py_ssize_t dot = nt.extension_start();
    nb::str base = nt.substring(0, dot), ext = nt.substring(dot, nt.size());
    nb::str prefix = join_prefix(folder);

    auto taken = [&](nb::handle path, auto &&on_disk) {
        if (!reserved) return on_disk();
        switch (reserved->hold(path)) {
            case Reservations::Hold::Live:
                return true;
            case Reservations::Hold::Timed:
                if (on_disk()) reserved->drop_timed(path);
                return true;
            default:
                return on_disk();
        }
    };

    nb::str plain = concat(prefix, name);
    if (!taken(plain, [&] { return entry_exists(plain); })) return plain;

    // Numbered names: the encoded text is built once and only the counter changes per try.
    FsText head(concat(concat(prefix, base), nb::str("_"))), tail(ext);
    const bool encodable = head.ok && tail.ok;
    std::string buf = head.bytes;
    const std::size_t head_len = buf.size();
    for (long i = kFirstCounter; i <= kLastCounter; ++i) {
        if (encodable) {
            buf.resize(head_len);
            buf += std::to_string(i);
            buf += tail.bytes;
        }
        auto on_disk = [&] { return encodable && entry_exists(buf); };
        if (!reserved && on_disk()) continue;
        PyObject *c = PyUnicode_FromFormat("%U%U_%ld%U", prefix.ptr(), base.ptr(), i, ext.ptr());
        if (!c) throw nb::python_error();
        nb::str candidate = nb::steal<nb::str>(c);
        if (!reserved || !taken(candidate, on_disk)) return candidate;
    }
    PyErr_Format(PyExc_FileExistsError,
                 "no free file name for '%U' in folder '%U': it and its numbered forms _%ld to "
                 "_%ld are all taken",
                 name.ptr(), folder.ptr(), kFirstCounter, kLastCounter);
    throw nb::python_error();
}

nb::object unique_download_target(pk::Args &a) { return find_free_target(a[0], a[1], nullptr); }

// ---- the CoreWebView2 download handler ---------------------------------------------------------

// The proposed file name of a download event, or "download".
nb::str suggested_base(nb::handle args) {
    try {
        PyObject *v = nullptr;
        if (PyObject_GetOptionalAttrString(args.ptr(), "ResultFilePath", &v) < 0) throw nb::python_error();
        nb::object proposed = nb::steal(v);
        nb::str text("");
        if (proposed.is_valid() && nb::bool_(proposed)) text = nb::str(proposed);
        nb::str base = Text(text.ptr()).last_component();
        if (nb::len(base) > 0) return base;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    return nb::str(kFallbackName);
}

// Silent mode's target. unique_download_target stays a pure function of its arguments and the
// file system; this adds the names held for downloads still in flight (two downloads of one name
// may start before either is written), so each gets its own name.
nb::str silent_target(pk::Args &a, Reservations &held, nb::handle folder, nb::handle base) {
    held.sweep();
    nb::str target(global(a, "unique_download_target")(folder, base));
    if (held.hold(target) == Reservations::Hold::None) return target;
    return find_free_target(folder, base, &held);
}

// The state of a download operation: 0 in progress, 1 interrupted, 2 completed (the values of
// CoreWebView2DownloadState), read as a number or, failing that, by member name; -1 if unknown.
long download_state(nb::handle op) {
    nb::object state = op.attr("State");
    try {
        return nb::cast<long>(nb::int_(state));
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    nb::str text(state);
    const char *const names[] = {"InProgress", "Interrupted", "Completed"};
    for (long i = 0; i < 3; ++i)
        if (PyUnicode_EqualToUTF8(text.ptr(), names[i])) return i;
    return -1;
}

// handle_download_starting.<locals>._pnk_state: closure (module dict, live, timed, path, token).
// Follows one download: its name is held while it is in progress, given back when it is
// interrupted (a resumed download takes it back if nobody else has it by then), and given back
// for good, with this subscription, when it completes. A state that cannot be read turns the hold
// into a bounded one. Nothing raised here reaches the platform.
nb::object download_state_changed(pk::Args &a) {
    nb::handle op = a[0], path = a.cell(3), token = a.cell(4);
    pk::guarded([&] {
        Reservations held(a.cell(0), a.cell(1), a.cell(2));
        long state = -1;
        pk::guarded([&] { state = download_state(op); });
        if (state == 0) {
            if (held.hold(path) == Reservations::Hold::None) held.hold_live(path, token);
        } else if (state < 0) {
            if (held.owns(path, token)) held.hold_timed(path);
        } else {
            held.release(path, token);
            if (state == 2) {
                nb::object handler = nb::borrow<nb::list>(token)[0];
                pk::event_remove(op, "StateChanged", handler);
            }
        }
    });
    return nb::none();
}

const pk::Param state_params[] = {pk::pos("sender", "Any"), pk::pos("_e", "Any")};
const pk::Spec state_spec{"_pnk_state", "handle_download_starting.<locals>._pnk_state", state_params, "None",
                          nullptr, download_state_changed};

// Holds a name just handed out for as long as its download is in flight: bound to the download
// operation's state when the event offers one, else for the bounded time. Never raises an
// Exception: a failure to follow the operation falls back to the bounded hold.
void hold_for_download(pk::Args &a, Reservations &held, nb::handle args, nb::handle target) {
    bool bound = false;
    pk::guarded([&] {
        PyObject *v = nullptr;
        if (PyObject_GetOptionalAttrString(args.ptr(), "DownloadOperation", &v) < 0) throw nb::python_error();
        nb::object op = nb::steal(v);
        if (!op.is_valid() || op.is_none()) return;
        // The token is unique to this download and also carries its handler, for unsubscribing.
        nb::list token;
        nb::object handler =
            pk::make_function(state_spec, kModule, nb::make_tuple(a.cell(0), a.cell(1), a.cell(2), target, token));
        token.append(handler);
        pk::event_add(op, "StateChanged", handler);
        held.hold_live(target, token);
        bound = true;
    });
    if (!bound) pk::guarded([&] { held.hold_timed(target); });
}

void mark_handled(nb::handle args) {
    try {
        nb::setattr(args, "Cancel", Py_False);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    try {
        nb::setattr(args, "Handled", Py_True);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        try {
            args.attr("set_Handled")(true);
        } catch (nb::python_error &e2) {
            if (!is_exception(e2)) throw;
        }
    }
}

nb::object handle_download_starting(pk::Args &a) {
    nb::handle form = a[0], args = a[2], folder = a[3];
    const bool use_prompt = a[4].ptr() == Py_True;
    nb::str base = suggested_base(args);
    try {
        if (use_prompt) {
            nb::object wf = pk::import("System.Windows.Forms");
            nb::object dlg = wf.attr("SaveFileDialog")();
            dlg.attr("InitialDirectory") = folder;
            dlg.attr("FileName") = base;
            dlg.attr("Filter") = nb::str("All files (*.*)|*.*");
            dlg.attr("RestoreDirectory") = true;
            nb::object result = dlg.attr("ShowDialog")(form);
            nb::object ok = wf.attr("DialogResult").attr("OK");
            if (result.not_equal(ok)) {
                nb::setattr(args, "Cancel", Py_True);
                pk::print_line("[panekit] 用户取消了下载");
                return nb::none();
            }
            nb::setattr(args, "ResultFilePath", nb::str(dlg.attr("FileName")));
            pk::print_line(pk::format1("[panekit] 下载将保存到: %s", args.attr("ResultFilePath")));
        } else {
            Reservations held(a.cell(0), a.cell(1), a.cell(2));
            nb::str target = silent_target(a, held, folder, base);
            nb::setattr(args, "ResultFilePath", target);
            pk::print_line(pk::format1("[panekit] 静默下载保存到: %s", target));
            hold_for_download(a, held, args, target);
        }
        mark_handled(args);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        nb::object err = nb::borrow(e.value());
        try {
            pk::print_line(pk::format1("[panekit] 处理下载失败，回退为取消: %s", err));
        } catch (nb::python_error &pe) {
            if (!is_exception(pe)) throw;
        }
        try {
            nb::setattr(args, "Cancel", Py_True);
        } catch (nb::python_error &ce) {
            if (!is_exception(ce)) throw;
        }
    }
    return nb::none();
}

// attach_download_to_corewebview2.<locals>._pnk_dl: closure (module dict, form, folder, prompt).
nb::object attach_forward(pk::Args &a) {
    global(a, "handle_download_starting")(a.cell(1), a[0], a[1], a.cell(2), a.cell(3));
    return nb::none();
}

const pk::Param forward_params[] = {pk::pos("_s", "Any"), pk::pos("a", "Any")};
const pk::Spec attach_forward_spec{"_pnk_dl", "attach_download_to_corewebview2.<locals>._pnk_dl",
                                   forward_params, "None", nullptr, attach_forward};

nb::object attach_download_to_corewebview2(pk::Args &a) {
    nb::handle cv = a[0], form = a[1];
    nb::handle use_prompt = a[3];  // already True / False
    nb::str folder = resolve_and_create(a, a[2]);
    try {
        nb::setattr(cv.attr("Profile"), "DefaultDownloadFolderPath", folder);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    nb::object handler = pk::make_function(
        attach_forward_spec, kModule, nb::make_tuple(a.cell(0), form, folder, use_prompt));
    try {
        pk::event_add(cv, "DownloadStarting", handler);
        pk::print_line(nb::str("[panekit] 已挂载下载处理(CoreWebView2): 目录={} prompt={}")
                           .attr("format")(folder, use_prompt));
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        pk::print_line(pk::format1(kMountFailed, e.value()));
    }
    return nb::none();
}

// ---- the pywebview patch -----------------------------------------------------------------------

nb::object configure_pywebview_edge_downloads(pk::Args &a) {
    nb::object settings = global(a, "resolve_download_settings")("directory"_a = a[0], "prompt"_a = a[1]);
    nb::object d = settings[0], p = settings[1];
    if (!d.is_none() && nb::bool_(d)) {
        global(a, "apply_pywebview_edge_download_folder")(d, "use_prompt"_a = p);
        return nb::none();
    }
    if (!global(a, kOrigReady).is_none() || !global(a, kSilentFolder).is_none())
        global(a, "clear_pywebview_edge_download_patch")();
    return nb::none();
}

// apply_pywebview_edge_download_folder.<locals>._ready_wrapped.<locals>._pnk_dl:
// closure (module dict, EdgeChrome instance, folder, prompt flag).
nb::object ready_forward(pk::Args &a) {
    nb::object form = a.cell(1).attr("form");
    global(a, "handle_download_starting")(form, a[0], a[1], a.cell(2), a.cell(3));
    return nb::none();
}

const pk::Param ready_forward_params[] = {pk::pos("_s", "Any"), pk::pos("_a", "Any")};
const pk::Spec ready_forward_spec{"_pnk_dl",
                                  "apply_pywebview_edge_download_folder.<locals>._ready_wrapped.<locals>._pnk_dl",
                                  ready_forward_params, "None", nullptr, ready_forward};

void mount_on_view(pk::Args &a, nb::handle self, nb::handle sender, nb::handle fd) {
    nb::object cv = sender.attr("CoreWebView2");
    try {
        nb::str resolved(global(a, "Path")(fd).attr("resolve")());
        nb::setattr(cv.attr("Profile"), "DefaultDownloadFolderPath", resolved);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    try {
        pk::event_remove(cv, "DownloadStarting", self.attr("on_download_starting"));
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    nb::object hid = nb::steal(PyLong_FromVoidPtr(cv.ptr()));
    if (!hid.is_valid()) throw nb::python_error();
    nb::object registry = global(a, kHandlers);
    int known = PySequence_Contains(registry.ptr(), hid.ptr());
    if (known < 0) throw nb::python_error();
    if (known) {
        try {
            pk::event_remove(cv, "DownloadStarting", registry[hid]);
        } catch (nb::python_error &e) {
            if (!is_exception(e)) throw;
        }
    }
    nb::object prompt_now = global(a, kUsePrompt);
    nb::object handler =
        pk::make_function(ready_forward_spec, kModule, nb::make_tuple(a.cell(0), self, fd, prompt_now));
    registry[hid] = handler;
    pk::event_add(cv, "DownloadStarting", handler);
    nb::object line = nb::str("[panekit] 已挂载下载处理: 目录={} prompt={}")
                          .attr("format")(fd, nb::str(global(a, kUsePrompt)));
    pk::print_line(line);
}

// apply_pywebview_edge_download_folder.<locals>._ready_wrapped: closure (module dict, the ready
// handler it wrapped). The saved handler in the module state is called; when the patch has been
// cleared since this wrapper was installed, the wrapped one still runs, so the view starts.
nb::object ready_wrapped(pk::Args &a) {
    nb::handle self = a[0], sender = a[1], args = a[2];
    nb::object orig = global(a, kOrigReady);
    if (orig.is_none()) orig = nb::borrow(a.cell(1));
    orig(self, sender, args);

    PyObject *ok = nullptr;
    if (PyObject_GetOptionalAttrString(args.ptr(), "IsSuccess", &ok) < 0) throw nb::python_error();
    if (ok) {
        nb::object success = nb::steal(ok);
        if (!nb::bool_(success)) return nb::none();
    }
    nb::object fd = global(a, kSilentFolder);
    if (fd.is_none() || !nb::bool_(fd)) return nb::none();
    try {
        mount_on_view(a, self, sender, fd);
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        pk::print_line(pk::format1(kMountFailed, e.value()));
    }
    return nb::none();
}

const pk::Param ready_params[] = {pk::pos("self", "Any"), pk::pos("sender", "Any"), pk::pos("args", "Any")};
const pk::Spec ready_spec{"_ready_wrapped", "apply_pywebview_edge_download_folder.<locals>._ready_wrapped",
                          ready_params, "None", nullptr, ready_wrapped};

nb::object apply_pywebview_edge_download_folder(pk::Args &a) {
    if (!pk::on_windows()) return nb::none();
    nb::str folder = resolve_and_create(a, a[0]);
    set_global(a, kSilentFolder, folder);
    set_global(a, kUsePrompt, a[1]);  // already True / False
    nb::object webview, edgechromium;
    try {
        webview = pk::import("webview");
        edgechromium = import_from("webview.platforms", "edgechromium");
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return nb::none();
    }
    webview.attr("settings")["ALLOW_DOWNLOADS"] = true;
    nb::object edge_chrome = edgechromium.attr("EdgeChrome");
    if (global(a, kOrigReady).is_none()) set_global(a, kOrigReady, edge_chrome.attr("on_webview_ready"));
    nb::object wrapper = pk::make_function(ready_spec, kModule, nb::make_tuple(a.cell(0), global(a, kOrigReady)));
    edge_chrome.attr("on_webview_ready") = wrapper;
    return nb::none();
}

nb::object clear_pywebview_edge_download_patch(pk::Args &a) {
    set_global(a, kSilentFolder, nb::none());
    nb::object registry = global(a, kHandlers);
    registry.attr("clear")();
    try {
        pk::import("webview").attr("settings")["ALLOW_DOWNLOADS"] = false;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    try {
        nb::object edgechromium = import_from("webview.platforms", "edgechromium");
        nb::object orig = global(a, kOrigReady);
        if (!orig.is_none()) edgechromium.attr("EdgeChrome").attr("on_webview_ready") = orig;
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
    set_global(a, kOrigReady, nb::none());
    return nb::none();
}

// ---- signatures ------------------------------------------------------------------------------

const pk::Param env_truthy_params[] = {pk::pos("raw", "Optional[str]", Check::OptStr)};
const pk::Spec env_truthy_spec{"_env_truthy", nullptr, env_truthy_params, "bool",
                               "Whether switch text is on: 1, true, yes, on or y, ignoring case and "
                               "surrounding blanks.",
                               env_truthy};

const pk::Param settings_params[] = {
    pk::pos("directory", "Optional[str]", Check::OptStr, pk::Def::None),
    pk::pos("prompt", "Optional[bool]", Check::OptBool, pk::Def::None),
};
const pk::Spec settings_spec{
    "resolve_download_settings", nullptr, settings_params, "Tuple[Optional[str], bool]",
    "The download folder (trimmed text, or None when none is configured) and the Save-As switch, "
    "from the arguments, else PANEKIT_DOWNLOAD_DIRECTORY / PANEKIT_BROWSER_DOWNLOAD_DIRECTORY and "
    "PANEKIT_DOWNLOAD_PROMPT / PANEKIT_BROWSER_DOWNLOAD_PROMPT.",
    resolve_download_settings};

const pk::Param target_params[] = {pk::pos("folder", "str", Check::Str),
                                   pk::pos("suggested_name", "str", Check::Str)};
const pk::Spec target_spec{
    "unique_download_target", nullptr, target_params, "str",
    "A path in folder for the suggested file name that names no existing file or folder: the name "
    "itself, else name_2 ... name_4999 before the extension; FileExistsError when all are taken.",
    unique_download_target};

const pk::Param handle_params[] = {
    pk::pos("form", "Any"),           pk::pos("_sender", "Any"),
    pk::pos("args", "Any"),           pk::pos("folder", "str", Check::Str),
    pk::pos("use_prompt", "bool", Check::Truth),
};
const pk::Spec handle_spec{
    "handle_download_starting", nullptr, handle_params, "None",
    "Answer one DownloadStarting event: ask with a Save-As dialog opening in folder, or save "
    "silently under a free name there; any failure cancels the download.",
    handle_download_starting};

const pk::Param attach_params[] = {
    pk::pos("cv", "Any"),
    pk::pos("form", "Any"),
    pk::pos("folder", "str", Check::Str),
    pk::kw("use_prompt", "bool", Check::Truth),
};
const pk::Spec attach_spec{
    "attach_download_to_corewebview2", nullptr, attach_params, "None",
    "Make folder absolute, create it, make it the profile's download folder and handle every "
    "download of the CoreWebView2 with handle_download_starting.",
    attach_download_to_corewebview2};

const pk::Param configure_params[] = {
    pk::pos("directory", "Optional[str]", Check::OptStr, pk::Def::None),
    pk::pos("prompt", "Optional[bool]", Check::OptBool, pk::Def::None),
};
const pk::Spec configure_spec{
    "configure_pywebview_edge_downloads", nullptr, configure_params, "None",
    "Before webview.start: patch pywebview's Edge backend to handle downloads in the configured "
    "folder, or remove an earlier patch when no folder is configured any more.",
    configure_pywebview_edge_downloads};

const pk::Param apply_params[] = {
    pk::pos("folder", "str", Check::Str),
    pk::kw("use_prompt", "bool", Check::Truth),
};
const pk::Spec apply_spec{
    "apply_pywebview_edge_download_folder", nullptr, apply_params, "None",
    "On Windows: resolve and create folder, allow downloads in pywebview and wrap "
    "EdgeChrome.on_webview_ready so that each ready view gets this package's download handler.",
    apply_pywebview_edge_download_folder};

const pk::Spec clear_spec{"clear_pywebview_edge_download_patch", nullptr, {}, "None",
                          "Undo the pywebview download patch: forget the folder and the handler "
                          "registry, refuse downloads, restore pywebview's ready handler.",
                          clear_pywebview_edge_download_patch};

}  // namespace

NB_MODULE(fetchkeep, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
    m.doc() = "Download handling of the browser view: folder and Save-As settings, non-clashing "
              "names, the CoreWebView2 handler and the pywebview patch.";
    nb::handle md = PyModule_GetDict(m.ptr());
    m.attr("os") = pk::import("os");
    m.attr("Path") = pk::import("pathlib").attr("Path");
    nb::object typing = pk::import("typing");
    for (const char *name : {"Any", "Optional", "Tuple"}) m.attr(name) = typing.attr(name);

    m.attr(kOrigReady) = nb::none();
    m.attr(kSilentFolder) = nb::none();
    m.attr(kUsePrompt) = false;
    m.attr(kHandlers) = nb::dict();

    nb::object globals_only = nb::make_tuple(md);
    // The names the silent handler holds for downloads in flight (see Reservations).
    m.attr("_reservation_clock") = pk::import("time").attr("monotonic");
    m.attr("_RESERVATION_SECONDS") = kReservationSeconds;
    nb::dict held_live, held_timed;

    m.attr("_env_truthy") = pk::make_function(env_truthy_spec, kModule);
    m.attr("resolve_download_settings") = pk::make_function(settings_spec, kModule, globals_only);
    m.attr("unique_download_target") = pk::make_function(target_spec, kModule);
    m.attr("handle_download_starting") =
        pk::make_function(handle_spec, kModule, nb::make_tuple(md, held_live, held_timed));
    m.attr("attach_download_to_corewebview2") = pk::make_function(attach_spec, kModule, globals_only);
    m.attr("configure_pywebview_edge_downloads") = pk::make_function(configure_spec, kModule, globals_only);
    m.attr("apply_pywebview_edge_download_folder") = pk::make_function(apply_spec, kModule, globals_only);
    m.attr("clear_pywebview_edge_download_patch") = pk::make_function(clear_spec, kModule, globals_only);
}
