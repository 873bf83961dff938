// panekit.fetchkeep: where downloads of the browser view go.
//
//  * settings: the download folder and the Save-As switch, from arguments and the environment;
//  * naming: a target path inside the folder that names no existing file or folder;
//  * the DownloadStarting handler of a CoreWebView2, with the names it holds for downloads in
//    flight, and the helper that mounts it;
//  * the patch of pywebview's EdgeChrome ready handler that mounts the same handler on the views
//    pywebview creates, and its removal.
//
// A suggested name's last component and extension follow Windows rules (both slashes separate,
// "X:" and UNC prefixes are drives) on every OS; a name is joined onto the folder by the rules of
// the running system; existence is always asked of the real file system. Module state lives in
// the module dict, where Python code sees it, and every module-level name the handlers use is
// looked up there at call time.
#include "pk.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

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
const char *const kDownloadFailed = "[panekit] 处理下载失败，回退为取消: %s";

// ---- download settings ------------------------------------------------------------------------

constexpr pk::Param env_truthy_params[] = {{.name = "raw", .annotation = "Optional[str]", .check = Check::OptStr}};
constexpr pk::Spec env_truthy_spec{
    .name = "_env_truthy",
    .params = env_truthy_params,
    .returns = "bool",
    .doc = "Whether switch text is on: 1, true, yes, on or y, ignoring case and surrounding blanks.",
};
nb::object env_truthy(nb::handle raw) {
    if (raw.is_none()) return nb::bool_(false);
    nb::object word = raw.attr("strip")().attr("lower")();
    for (const char *w : kTruthyWords)
        if (PyUnicode_EqualToUTF8(word.ptr(), w)) return nb::bool_(true);
    return nb::bool_(false);
}

// The value of the first of two environment variables that is set and not empty; `None` when
// neither is (the second one's empty value is returned as is).
nb::object env_first(const char *first, const char *second) {
    return pk::first_nonempty({pk::env_get(first), pk::env_get(second)});
}

constexpr pk::Param settings_params[] = {
    {.name = "directory", .annotation = "Optional[str]", .check = Check::OptStr, .def = Def::None},
    {.name = "prompt", .annotation = "Optional[bool]", .check = Check::OptBool, .def = Def::None},
};
constexpr pk::Spec settings_spec{
    .name = "resolve_download_settings",
    .params = settings_params,
    .returns = "Tuple[Optional[str], bool]",
    .doc = "The download folder (trimmed text, or None when none is configured) and the Save-As switch, "
           "from the arguments, else PANEKIT_DOWNLOAD_DIRECTORY / PANEKIT_BROWSER_DOWNLOAD_DIRECTORY and "
           "PANEKIT_DOWNLOAD_PROMPT / PANEKIT_BROWSER_DOWNLOAD_PROMPT.",
};
nb::object resolve_download_settings(const pk::Call &c, nb::handle directory, nb::handle prompt) {
    nb::object d;
    if (!directory.is_none()) {
        d = directory.attr("strip")();
    } else {
        nb::object v = env_first("PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY");
        d = (v.is_none() ? nb::object(nb::str("")) : v).attr("strip")();
    }
    nb::object folder = nb::len(d) == 0 ? nb::none() : d;
    nb::object use_prompt;
    if (!prompt.is_none()) {
        use_prompt = nb::borrow(prompt);
    } else {
        nb::object v = env_first("PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT");
        use_prompt = c.global("_env_truthy")(v);
    }
    return nb::make_tuple(folder, use_prompt);
}

// The absolute, resolved text of a folder, created with all missing parents.
nb::str resolve_and_create(const pk::Call &c, nb::handle folder) {
    nb::object path = c.global("Path")(folder).attr("resolve")();
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
        return nb::steal<nb::str>(pk::check(PyUnicode_Substring(s_, start, end)).release());
    }

private:
    PyObject *s_;
    int kind_;
    const void *data_;
    Py_ssize_t len_;
};

nb::str as_str(nb::object o) { return nb::steal<nb::str>(o.release()); }

// What a file name is joined onto, by the rules of the running system (sys.platform at call time).
// Windows: the folder unchanged plus one backslash, unless the folder is empty, already ends in a
// separator, or is a bare drive letter ("C:" + name stays on the drive's current folder). The name
// is always kept inside the folder, even when it looks like it carries a drive of its own (such as
// "b:c"). Elsewhere the separator is the slash (a backslash there is part of a file name, and
// "dl\report.pdf" would be a file beside the folder): the folder plus "/" unless it is empty or
// already ends in one.
nb::str join_prefix(nb::handle folder) {
    Text t(folder.ptr());
    const Py_ssize_t n = t.size();
    if (!pk::on_windows()) {
        if (n == 0 || t.at(n - 1) == '/') return nb::borrow<nb::str>(folder);
        return as_str(pk::check(PyUnicode_FromFormat("%U/", folder.ptr())));
    }
    if (n == 0 || Text::is_sep(t.at(n - 1)) || (t.drive_length() == n && t.at(n - 1) == ':'))
        return nb::borrow<nb::str>(folder);
    return as_str(pk::check(PyUnicode_FromFormat("%U\\", folder.ptr())));
}

nb::str concat(nb::handle a, nb::handle b) { return as_str(pk::check(PyUnicode_Concat(a.ptr(), b.ptr()))); }

nb::str replace_all(nb::handle s, const char *from, const char *to) {
    nb::str f(from), t(to);
    return as_str(pk::check(PyUnicode_Replace(s.ptr(), f.ptr(), t.ptr(), -1)));
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
        std::u8string_view u8(reinterpret_cast<const char8_t *>(fs_bytes.data()), fs_bytes.size());
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

// ---- target naming ---------------------------------------------------------------------------

// The longest name a download may get: what the file systems take, 255 bytes (Linux, macOS) or
// 255 UTF-16 units (Windows) in the encoding the running system names files with, less the suffix
// of the file the engine writes first and renames at the end (WebView2's ".crdownload",
// WebKitGTK's ".wkdownload", both 11 units): a name that fits only without it fails on the disk.
constexpr Py_ssize_t kFileNameMax = 255;
constexpr Py_ssize_t kEngineTempSuffix = 11;
constexpr Py_ssize_t kNameMax = kFileNameMax - kEngineTempSuffix;
// What a numbered form adds to a name: "_" and up to four digits.
constexpr Py_ssize_t kCounterRoom = 5;

// The length of a name as the running system's limit counts it.
Py_ssize_t name_units(nb::handle text) {
    if (pk::on_windows()) {
        nb::object u16 = pk::check(PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass"));
        return PyBytes_GET_SIZE(u16.ptr()) / 2;
    }
    PyObject *b = PyUnicode_EncodeFSDefault(text.ptr());
    if (!b) {  // not encodable: no file will have it anyway; count its characters
        PyErr_Clear();
        return PyUnicode_GET_LENGTH(text.ptr());
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(b);
    Py_DECREF(b);
    return n;
}

// `base` shortened from its end so that base + `room` units + ext fits in kNameMax. An extension
// that leaves no room for a sensible base is given up: the whole name is shortened instead and
// `ext` becomes empty.
nb::str fit_name(nb::str base, nb::str &ext, Py_ssize_t room) {
    Py_ssize_t ext_units = name_units(ext);
    if (name_units(base) + ext_units + room <= kNameMax) return base;
    if (ext_units + room >= kNameMax / 2) {  // no sensible base beside it: shorten the whole name
        base = concat(base, ext);
        ext = nb::str("");
        ext_units = 0;
    }
    Py_ssize_t keep = PyUnicode_GET_LENGTH(base.ptr());
    Text bt(base.ptr());
    for (;;) {
        nb::str cut = bt.substring(0, keep);
        const Py_ssize_t over = name_units(cut) + ext_units + room - kNameMax;
        if (over <= 0 || keep == 0) return cut;
        keep -= std::max<Py_ssize_t>(1, over / 4);  // a character takes at most four bytes
        if (keep < 0) keep = 0;
    }
}

// The free-name search. `held` says whether names handed out to downloads still in flight take a
// candidate as well (`held.takes(candidate, on_disk)`, see Reservations); NoHolds asks only the disk.
struct NoHolds {};

template <class Holds> nb::str find_free_target(nb::handle folder, nb::handle suggested, Holds &held) {
    constexpr bool disk_only = std::is_same_v<Holds, NoHolds>;
    nb::str name = Text(suggested.ptr()).last_component();
    if (nb::len(name) == 0) name = nb::str(kFallbackName);
    name = replace_all(name, "..", "_");
    name = replace_all(name, "/", "_");
    name = replace_all(name, "\\", "_");
    Text nt(name.ptr());
    const Py_ssize_t dot = nt.extension_start();
    nb::str base = nt.substring(0, dot), ext = nt.substring(dot, nt.size());
    nb::str prefix = join_prefix(folder);

    // A name longer than the file system takes is shortened before the search, its extension kept;
    // the numbered forms leave room for their counter.
    nb::str plain_ext = ext;
    nb::str plain_base = fit_name(base, plain_ext, 0);
    name = concat(plain_base, plain_ext);
    base = fit_name(base, ext, kCounterRoom);
    nb::str plain = concat(prefix, name);
    auto plain_on_disk = [&] { return entry_exists(plain); };
    bool plain_taken;
    if constexpr (disk_only) plain_taken = plain_on_disk();
    else plain_taken = held.takes(plain, plain_on_disk);
    if (!plain_taken) return plain;

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
        if constexpr (disk_only)
            if (on_disk()) continue;
        nb::str candidate = as_str(pk::check(PyUnicode_FromFormat("%U%U_%ld%U", prefix.ptr(), base.ptr(), i, ext.ptr())));
        if constexpr (disk_only) return candidate;
        else if (!held.takes(candidate, on_disk)) return candidate;
    }
    pk::raise(PyExc_FileExistsError,
              "no free file name for '%U' in folder '%U': it and its numbered forms _%ld to _%ld are all taken",
              name.ptr(), folder.ptr(), kFirstCounter, kLastCounter);
}

constexpr pk::Param target_params[] = {
    {.name = "folder", .annotation = "str", .check = Check::Str},
    {.name = "suggested_name", .annotation = "str", .check = Check::Str},
};
constexpr pk::Spec target_spec{
    .name = "unique_download_target",
    .params = target_params,
    .returns = "str",
    .doc = "A path in folder for the suggested file name that names no existing file or folder: the name "
           "itself, else name_2 ... name_4999 before the extension; FileExistsError when all are taken.",
};
nb::object unique_download_target(nb::str folder, nb::str suggested_name) {
    NoHolds none;
    return find_free_target(folder, suggested_name, none);
}

// ---- names held for downloads in flight ----------------------------------------------------------

// The silent handler hands out names before the browser creates their files (it writes a file
// only once the download finishes), so it holds each name it handed out while that download may
// still be writing. Windows compares file names without regard to case, so a name is held under
// its case-folded text (the key) while the download gets the name as built. Two dicts keyed that
// way, each key in at most one of them:
//  * `live`: key -> the download's token, for a download whose operation reports its state; the
//    name is held while that state is "in progress";
//  * `timed`: key -> expiry on the reservation clock, for a download without an operation; the
//    name is held until the expiry or until the path is seen on disk, whichever comes first.
//    Entries are added in expiry order, so the expired ones are swept from the front.
// The clock is the module global `_reservation_clock` (time.monotonic) and the bound
// `_RESERVATION_SECONDS`, both read when used so that tests can replace them.
//
// One state shape serves the handler and each download it follows: the handler's own state has
// the two dicts; a followed download's state has them too, plus its key and its StateChanged
// handler, and is itself the download's token.
enum class Held { Live, Timed, Key, Handler, kCount };

// Windows also drops the trailing dots and spaces of a path's last component ("report.pdf. " opens
// report.pdf), so those spellings share one key.
nb::object key_of(nb::handle path) { return path.attr("rstrip")(". ").attr("casefold")(); }

class Reservations {
public:
    enum class Hold { None, Live, Timed };

    Reservations(const pk::Call &c, const pk::State<Held> &st) : c_(c), live_(st[Held::Live]), timed_(st[Held::Timed]) {}

    // Who holds the key; an expired timed entry is dropped on the way.
    Hold hold(nb::handle key) {
        const double t = now();
        if (pk::check(PyDict_Contains(live_.ptr(), key.ptr()))) return Hold::Live;
        PyObject *found = nullptr;
        if (!pk::check(PyDict_GetItemRef(timed_.ptr(), key.ptr(), &found))) return Hold::None;
        nb::object expiry = nb::steal(found);
        if (to_double(expiry) > t) return Hold::Timed;
        drop(timed_, key);
        return Hold::None;
    }

    // Whether a held name takes the candidate path; `on_disk` asks the file system when needed.
    // A timed hold on a path now seen on disk ends: the entry takes the name from then on.
    template <class OnDisk> bool takes(nb::handle path, OnDisk &&on_disk) {
        nb::object key = key_of(path);
        switch (hold(key)) {
            case Hold::Live: return true;
            case Hold::Timed:
                if (on_disk()) drop(timed_, key);
                return true;
            default: return on_disk();
        }
    }

    // Drops the timed entries that have expired.
    void sweep() {
        const double t = now();
        nb::list expired;
        Py_ssize_t pos = 0;
        PyObject *key, *expiry;
        while (PyDict_Next(timed_.ptr(), &pos, &key, &expiry)) {
            nb::object k = nb::borrow(key), e = nb::borrow(expiry);  // reading e may run Python code
            if (to_double(e) > t) break;
            expired.append(k);
        }
        for (nb::handle k : expired) drop(timed_, k);
    }

    void hold_live(nb::handle key, nb::handle token) {
        drop(timed_, key);
        pk::check(PyDict_SetItem(live_.ptr(), key.ptr(), token.ptr()));
    }

    void hold_timed(nb::handle key) {
        const double seconds = to_double(c_.global("_RESERVATION_SECONDS"));
        nb::object expiry = pk::check(PyFloat_FromDouble(now() + seconds));
        drop(live_, key);
        drop(timed_, key);  // re-added at the end, keeping the expiry order
        pk::check(PyDict_SetItem(timed_.ptr(), key.ptr(), expiry.ptr()));
    }

    // Whether the key is held for the download with this token.
    bool owns(nb::handle key, nb::handle token) {
        PyObject *found = nullptr;
        pk::check(PyDict_GetItemRef(live_.ptr(), key.ptr(), &found));
        return nb::steal(found).ptr() == token.ptr();
    }

    // Gives the name back, if it is still held for the download with this token.
    void release(nb::handle key, nb::handle token) {
        if (owns(key, token)) drop(live_, key);
    }

private:
    static double to_double(nb::handle v) { return pk::check_value(PyFloat_AsDouble(v.ptr())); }

    static void drop(nb::handle dict, nb::handle key) { pk::check(PyDict_Pop(dict.ptr(), key.ptr(), nullptr)); }

    // The reservation clock, read once per event.
    double now() {
        if (!now_) now_ = to_double(c_.global("_reservation_clock")());
        return *now_;
    }

    const pk::Call &c_;
    nb::handle live_, timed_;
    std::optional<double> now_;
};

// ---- the CoreWebView2 download handler ---------------------------------------------------------

// The proposed file name of a download event, or "download".
nb::str suggested_base(nb::handle args) {
    return pk::guarded_or(nb::str(kFallbackName), [&] {
        nb::object proposed = pk::attr_or(args, "ResultFilePath", nb::handle());
        nb::str text("");
        if (proposed.is_valid() && nb::bool_(proposed)) text = nb::str(proposed);
        nb::str base = Text(text.ptr()).last_component();
        return nb::len(base) > 0 ? base : nb::str(kFallbackName);
    });
}

// The state of a download operation: 0 in progress, 1 interrupted, 2 completed (the values of
// CoreWebView2DownloadState), read as a number or, failing that, by member name; -1 if unknown.
long download_state(nb::handle op) {
    nb::object state = op.attr("State");
    std::optional<long> number = pk::guarded_or(std::optional<long>(), [&]() -> std::optional<long> {
        nb::object n = pk::check(PyNumber_Long(state.ptr()));
        return pk::check_value(PyLong_AsLong(n.ptr()));
    });
    if (number) return *number;
    nb::str text(state);
    const char *const names[] = {"InProgress", "Interrupted", "Completed"};
    for (long i = 0; i < 3; ++i)
        if (PyUnicode_EqualToUTF8(text.ptr(), names[i])) return i;
    return -1;
}

// A download interrupted because its file could not be written (WebView2's interrupt reasons
// FileFailed, FileAccessDenied, FileNoSpace, FileNameTooLong, ...) says so with the failure line.
void say_file_failure(nb::handle op) {
    pk::guarded([&] {
        nb::object reason = pk::check(PyObject_Str(nb::object(op.attr("InterruptReason")).ptr()));
        if (pk::check_value(PyUnicode_Tailmatch(reason.ptr(), nb::str("File").ptr(), 0, PY_SSIZE_T_MAX, -1)) == 1)
            pk::print_line(pk::format1(kDownloadFailed, reason));
    });
}

// Follows one download: its name is held while it is in progress and while it is interrupted but
// can still resume (a resumed download writes the same file), and given back for good, with this
// subscription, when it completes or is interrupted for good (cancelled: it can no longer resume).
// A state that cannot be read turns the hold into a bounded one. Nothing raised here reaches the
// platform.
constexpr pk::Param state_params[] = {{.name = "sender", .annotation = "Any"}, {.name = "_e", .annotation = "Any"}};
constexpr pk::Spec state_spec{.name = "_pnk_state", .params = state_params, .returns = "None"};
void download_state_changed(const pk::Call &c, nb::handle op, nb::handle) {
    pk::guarded([&] {
        auto flight = c.state<Held>();
        Reservations held(c, flight);
        nb::handle key = flight[Held::Key], token = flight.object();
        const long state = pk::guarded_or(-1L, [&] { return download_state(op); });
        if (state == 0) {
            if (held.hold(key) == Reservations::Hold::None) held.hold_live(key, token);
        } else if (state < 0) {
            if (held.owns(key, token)) held.hold_timed(key);
        } else if (state == 1) {
            say_file_failure(op);
            const int resumable = pk::guarded_or(-1, [&] { return pk::truthy(op.attr("CanResume")) ? 1 : 0; });
            if (resumable == 0) {
                held.release(key, token);
                pk::event_remove(op, "StateChanged", flight[Held::Handler]);
            } else if (resumable < 0 && held.owns(key, token)) {
                held.hold_timed(key);
            }
        } else {
            held.release(key, token);
            if (state == 2) pk::event_remove(op, "StateChanged", flight[Held::Handler]);
        }
    });
}

// Holds a name just handed out for as long as its download is in flight: bound to the download
// operation's state when the event offers one, else for the bounded time. Never raises an
// Exception: a failure to follow the operation falls back to the bounded hold.
void hold_for_download(const pk::Call &c, Reservations &held, nb::handle args, nb::handle key) {
    const bool followed = pk::guarded_or(false, [&] {
        nb::object op = pk::attr_or(args, "DownloadOperation", nb::handle());
        if (!op.is_valid() || op.is_none()) return false;
        auto handler_state = c.state<Held>();
        pk::State<Held> flight;
        flight.set(Held::Live, handler_state[Held::Live]);
        flight.set(Held::Timed, handler_state[Held::Timed]);
        flight.set(Held::Key, key);
        nb::object handler = c.nested<state_spec>(download_state_changed, flight.object());
        flight.set(Held::Handler, handler);
        pk::event_add(op, "StateChanged", handler);
        held.hold_live(key, flight.object());
        return true;
    });
    if (!followed) pk::guarded([&] { held.hold_timed(key); });
}

// Silent mode's target. unique_download_target stays a pure function of its arguments and the
// file system; this adds the names held for downloads still in flight (two downloads of one name
// may start before either is written), so each gets its own name.
nb::str silent_target(const pk::Call &c, Reservations &held, nb::handle folder, nb::handle base) {
    held.sweep();
    nb::str target(c.global("unique_download_target")(folder, base));
    if (held.hold(key_of(target)) == Reservations::Hold::None) return target;
    return find_free_target(folder, base, held);
}

// Whether the file can be made at all is asked before the download is said to be saved there: a
// folder that is gone, read-only or a file, or a name the file system refuses, raises its OSError
// here (and the download is cancelled with the failure line) instead of failing unseen later. The
// file is created exclusively (a free name) and removed again: the browser writes it itself.
void probe_writable(const pk::Call &c, nb::handle target) {
    nb::object os = c.global("os");
    const long flags = nb::cast<long>(os.attr("O_WRONLY")) | nb::cast<long>(os.attr("O_CREAT")) |
                       nb::cast<long>(os.attr("O_EXCL"));
    nb::object fd = os.attr("open")(target, flags, 0600);
    os.attr("close")(fd);
    os.attr("remove")(target);
}

void mark_handled(nb::handle args) {
    pk::guarded([&] { nb::setattr(args, "Cancel", Py_False); });
    const bool handled = pk::guarded_or(false, [&] {
        nb::setattr(args, "Handled", Py_True);
        return true;
    });
    if (!handled) pk::guarded([&] { args.attr("set_Handled")(true); });
}

constexpr pk::Param handle_params[] = {
    {.name = "form", .annotation = "Any"},
    {.name = "_sender", .annotation = "Any"},
    {.name = "args", .annotation = "Any"},
    {.name = "folder", .annotation = "str", .check = Check::Str},
    {.name = "use_prompt", .annotation = "bool", .check = Check::Truth},
};
constexpr pk::Spec handle_spec{
    .name = "handle_download_starting",
    .params = handle_params,
    .returns = "None",
    .doc = "Answer one DownloadStarting event: ask with a Save-As dialog opening in folder, or save "
           "silently under a free name there; any failure cancels the download.",
};
// A failure while answering: said once, and the download cancelled.
void answer_failed(nb::python_error &e, nb::handle args) {
    pk::guarded([&] { pk::print_line(pk::format1(kDownloadFailed, e.value())); });
    pk::guarded([&] { nb::setattr(args, "Cancel", Py_True); });
}

// The Save-As dialog, owned by `form`, opening in `folder` with `base` proposed; its answer is
// written into the event arguments (a refusal cancels the download and returns false).
bool ask_save_as(nb::handle form, nb::handle args, nb::handle folder, nb::handle base) {
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
        return false;
    }
    nb::setattr(args, "ResultFilePath", nb::str(dlg.attr("FileName")));
    pk::print_line(pk::format1("[panekit] 下载将保存到: %s", args.attr("ResultFilePath")));
    return true;
}

void answer_save_as(nb::handle form, nb::handle args, nb::handle folder, nb::handle base) {
    pk::guarded_else([&] { if (ask_save_as(form, args, folder, base)) mark_handled(args); },
                     [&](nb::python_error &e) { answer_failed(e, args); });
}

// A modal dialog inside WebView2's DownloadStarting handler is re-entrancy WebView2 does not
// support (the handler stays on the stack while the dialog pumps messages). When the event offers
// a deferral and the form can queue work, the dialog is shown from the form's message loop after
// the handler has returned, and the deferral is completed once the answer is written.
enum class Deferred { Form, Args, Folder, Base, Deferral, kCount };
constexpr pk::Spec deferred_spec{.name = "_save_as", .returns = "None"};
void save_as_deferred(const pk::Call &c) {
    auto st = c.state<Deferred>();
    answer_save_as(st[Deferred::Form], st[Deferred::Args], st[Deferred::Folder], st[Deferred::Base]);
    pk::guarded([&] { st[Deferred::Deferral].attr("Complete")(); });
}

// Queues the Save-As answer behind a deferral; false (nothing queued, no deferral left open) when
// the event has no deferral or the form cannot queue work.
bool defer_save_as(const pk::Call &c, nb::handle form, nb::handle args, nb::handle folder, nb::handle base) {
    if (form.is_none() || !pk::truthy(pk::attr_or(form, "IsHandleCreated", Py_False))) return false;
    nb::object deferral = pk::guarded_or(nb::object(nb::none()), [&] {
        nb::object get = pk::attr_or(args, "GetDeferral", nb::none());
        return get.is_none() ? get : nb::object(get());
    });
    if (deferral.is_none()) return false;
    pk::State<Deferred> st;
    st.set(Deferred::Form, form);
    st.set(Deferred::Args, args);
    st.set(Deferred::Folder, folder);
    st.set(Deferred::Base, base);
    st.set(Deferred::Deferral, deferral);
    const bool queued = pk::guarded_or(false, [&] {
        nb::object work = c.nested<deferred_spec>(save_as_deferred, st.object());
        form.attr("BeginInvoke")(pk::import_from("System", "Action")(work));
        return true;
    });
    if (!queued) pk::guarded([&] { deferral.attr("Complete")(); });
    return queued;
}

void handle_download_starting(const pk::Call &c, nb::handle form, nb::handle, nb::handle args, nb::str folder,
                              bool use_prompt) {
    nb::str base = suggested_base(args);
    if (use_prompt) {
        if (!defer_save_as(c, form, args, folder, base)) answer_save_as(form, args, folder, base);
        return;
    }
    pk::guarded_else(
        [&] {
            Reservations held(c, c.state<Held>());
            nb::str target = silent_target(c, held, folder, base);
            probe_writable(c, target);
            nb::setattr(args, "ResultFilePath", target);
            pk::print_line(pk::format1("[panekit] 静默下载保存到: %s", target));
            hold_for_download(c, held, args, key_of(target));
            mark_handled(args);
        },
        [&](nb::python_error &e) { answer_failed(e, args); });
}

// ---- mounting the handler on a CoreWebView2 ----------------------------------------------------

enum class Attached { Form, Folder, Prompt, kCount };

constexpr pk::Param forward_params[] = {{.name = "_s", .annotation = "Any"}, {.name = "a", .annotation = "Any"}};
constexpr pk::Spec attach_forward_spec{.name = "_pnk_dl", .params = forward_params, .returns = "None"};
void attach_forward(const pk::Call &c, nb::handle sender, nb::handle args) {
    auto at = c.state<Attached>();
    c.global("handle_download_starting")(at[Attached::Form], sender, args, at[Attached::Folder], at[Attached::Prompt]);
}

constexpr pk::Param attach_params[] = {
    {.name = "cv", .annotation = "Any"},
    {.name = "form", .annotation = "Any"},
    {.name = "folder", .annotation = "str", .check = Check::Str},
    {.name = "use_prompt", .annotation = "bool", .check = Check::Truth, .kind = Kind::KeywordOnly},
};
constexpr pk::Spec attach_spec{
    .name = "attach_download_to_corewebview2",
    .params = attach_params,
    .returns = "None",
    .doc = "Make folder absolute, create it, make it the profile's download folder and handle every "
           "download of the CoreWebView2 with handle_download_starting.",
};
void attach_download_to_corewebview2(const pk::Call &c, nb::handle cv, nb::handle form, nb::str folder,
                                     bool use_prompt) {
    nb::str resolved = resolve_and_create(c, folder);
    pk::guarded([&] { nb::setattr(cv.attr("Profile"), "DefaultDownloadFolderPath", resolved); });
    pk::State<Attached> at;
    at.set(Attached::Form, form);
    at.set(Attached::Folder, resolved);
    at.set(Attached::Prompt, nb::bool_(use_prompt));
    nb::object handler = c.nested<attach_forward_spec>(attach_forward, at.object());
    pk::guarded_else(
        [&] {
            pk::event_add(cv, "DownloadStarting", handler);
            pk::print_line(nb::str("[panekit] 已挂载下载处理(CoreWebView2): 目录={} prompt={}")
                               .attr("format")(resolved, at[Attached::Prompt]));
        },
        [&](nb::python_error &e) { pk::print_line(pk::format1(kMountFailed, e.value())); });
}

// ---- a folder that cannot be used ---------------------------------------------------------------

// When the download folder cannot be made, the view's downloads must not fall back to the
// browser's own folder: every one is cancelled with the failure line naming why.
enum class Refusal { Error, kCount };

constexpr pk::Spec refuse_forward_spec{.name = "_pnk_dl", .params = forward_params, .returns = "None"};
void refuse_forward(const pk::Call &c, nb::handle, nb::handle args) {
    pk::guarded([&] { pk::print_line(pk::format1(kDownloadFailed, c.state<Refusal>()[Refusal::Error])); });
    pk::guarded([&] { nb::setattr(args, "Cancel", Py_True); });
}

constexpr pk::Param refuse_params[] = {{.name = "cv", .annotation = "Any"}, {.name = "error", .annotation = "Any"}};
constexpr pk::Spec refuse_spec{
    .name = "_refuse_downloads",
    .params = refuse_params,
    .returns = "None",
    .doc = "Cancel every download of the CoreWebView2 with the failure line naming error (its download "
           "folder cannot be used).",
};
void refuse_downloads(const pk::Call &c, nb::handle cv, nb::handle error) {
    pk::State<Refusal> st;
    st.set(Refusal::Error, error);
    pk::event_add(cv, "DownloadStarting", c.nested<refuse_forward_spec>(refuse_forward, st.object()));
}

// ---- the pywebview patch -----------------------------------------------------------------------

// The same parameters as resolve_download_settings, which receives them.
constexpr pk::Spec configure_spec{
    .name = "configure_pywebview_edge_downloads",
    .params = settings_params,
    .returns = "None",
    .doc = "Before webview.start: patch pywebview's Edge backend to handle downloads in the configured "
           "folder, or remove an earlier patch when no folder is configured any more.",
};
void configure_pywebview_edge_downloads(const pk::Call &c, nb::handle directory, nb::handle prompt) {
    nb::object settings = c.global("resolve_download_settings")("directory"_a = directory, "prompt"_a = prompt);
    nb::object d = settings[0], p = settings[1];
    if (!d.is_none() && nb::bool_(d)) {
        c.global("apply_pywebview_edge_download_folder")(d, "use_prompt"_a = p);
        return;
    }
    if (!c.global(kOrigReady).is_none() || !c.global(kSilentFolder).is_none())
        c.global("clear_pywebview_edge_download_patch")();
}

// A view's forwarder: the EdgeChrome instance it was made for (its form is read per event), the
// folder and the Save-As switch at the time the view became ready.
enum class Mounted { Chrome, Folder, Prompt, kCount };

constexpr pk::Param ready_forward_params[] = {{.name = "_s", .annotation = "Any"}, {.name = "_a", .annotation = "Any"}};
constexpr pk::Spec ready_forward_spec{.name = "_pnk_dl", .params = ready_forward_params, .returns = "None"};
void ready_forward(const pk::Call &c, nb::handle sender, nb::handle args) {
    auto view = c.state<Mounted>();
    nb::object form = view[Mounted::Chrome].attr("form");
    c.global("handle_download_starting")(form, sender, args, view[Mounted::Folder], view[Mounted::Prompt]);
}

void mount_on_view(const pk::Call &c, nb::handle self, nb::handle sender, nb::handle fd) {
    nb::object cv = sender.attr("CoreWebView2");
    pk::guarded([&] {
        nb::str resolved(c.global("Path")(fd).attr("resolve")());
        nb::setattr(cv.attr("Profile"), "DefaultDownloadFolderPath", resolved);
    });
    pk::guarded([&] { pk::event_remove(cv, "DownloadStarting", self.attr("on_download_starting")); });
    // The registry is keyed by the core itself: the .NET bridge hands out a new Python wrapper on
    // every read of CoreWebView2, so id() differs between two ready events of one view, while ==
    // and hash() follow .NET's Equals and GetHashCode (the same core).
    nb::object hid = cv;
    nb::object registry = c.global(kHandlers);
    if (pk::check(PySequence_Contains(registry.ptr(), hid.ptr())))
        pk::guarded([&] { pk::event_remove(cv, "DownloadStarting", registry[hid]); });
    pk::State<Mounted> view;
    view.set(Mounted::Chrome, self);
    view.set(Mounted::Folder, fd);
    view.set(Mounted::Prompt, c.global(kUsePrompt));
    nb::object handler = c.nested<ready_forward_spec>(ready_forward, view.object());
    registry[hid] = handler;
    pk::event_add(cv, "DownloadStarting", handler);
    pk::print_line(nb::str("[panekit] 已挂载下载处理: 目录={} prompt={}").attr("format")(fd, nb::str(c.global(kUsePrompt))));
}

// The ready handler the wrapper was installed over.
enum class Wrapped { Orig, kCount };

// The saved handler in the module state is called; when the patch has been cleared since this
// wrapper was installed, the wrapped one still runs, so the view starts.
constexpr pk::Param ready_params[] = {
    {.name = "self", .annotation = "Any"},
    {.name = "sender", .annotation = "Any"},
    {.name = "args", .annotation = "Any"},
};
constexpr pk::Spec ready_spec{.name = "_ready_wrapped", .params = ready_params, .returns = "None"};
void ready_wrapped(const pk::Call &c, nb::handle self, nb::handle sender, nb::handle args) {
    nb::object orig = c.global(kOrigReady);
    if (orig.is_none()) orig = nb::borrow(c.state<Wrapped>()[Wrapped::Orig]);
    orig(self, sender, args);

    nb::object success = pk::attr_or(args, "IsSuccess", nb::handle());
    if (success.is_valid() && !nb::bool_(success)) return;
    nb::object fd = c.global(kSilentFolder);
    if (fd.is_none() || !nb::bool_(fd)) return;
    pk::guarded_else([&] { mount_on_view(c, self, sender, fd); },
                     [&](nb::python_error &e) { pk::print_line(pk::format1(kMountFailed, e.value())); });
}

constexpr pk::Param apply_params[] = {
    {.name = "folder", .annotation = "str", .check = Check::Str},
    {.name = "use_prompt", .annotation = "bool", .check = Check::Truth, .kind = Kind::KeywordOnly},
};
constexpr pk::Spec apply_spec{
    .name = "apply_pywebview_edge_download_folder",
    .params = apply_params,
    .returns = "None",
    .doc = "On Windows: resolve and create folder, allow downloads in pywebview and wrap "
           "EdgeChrome.on_webview_ready so that each ready view gets this package's download handler.",
};
void apply_pywebview_edge_download_folder(const pk::Call &c, nb::str folder, bool use_prompt) {
    if (!pk::on_windows()) return;
    c.set_global(kSilentFolder, resolve_and_create(c, folder));
    c.set_global(kUsePrompt, nb::bool_(use_prompt));
    nb::object edgechromium = pk::guarded_or(nb::object(), [] {
        pk::import("webview");
        return pk::import_from("webview.platforms", "edgechromium");
    });
    if (!edgechromium.is_valid()) return;
    pk::import("webview").attr("settings")["ALLOW_DOWNLOADS"] = true;
    nb::object edge_chrome = edgechromium.attr("EdgeChrome");
    if (c.global(kOrigReady).is_none()) c.set_global(kOrigReady, edge_chrome.attr("on_webview_ready"));
    pk::State<Wrapped> wrapped;
    wrapped.set(Wrapped::Orig, c.global(kOrigReady));
    edge_chrome.attr("on_webview_ready") = c.nested<ready_spec>(ready_wrapped, wrapped.object());
}

constexpr pk::Spec clear_spec{
    .name = "clear_pywebview_edge_download_patch",
    .returns = "None",
    .doc = "Undo the pywebview download patch: forget the folder and the handler registry, refuse "
           "downloads, restore pywebview's ready handler.",
};
void clear_pywebview_edge_download_patch(const pk::Call &c) {
    c.set_global(kSilentFolder, nb::none());
    c.global(kHandlers).attr("clear")();
    pk::guarded([] { pk::import("webview").attr("settings")["ALLOW_DOWNLOADS"] = false; });
    pk::guarded([&] {
        nb::object edgechromium = pk::import_from("webview.platforms", "edgechromium");
        nb::object orig = c.global(kOrigReady);
        if (!orig.is_none()) edgechromium.attr("EdgeChrome").attr("on_webview_ready") = orig;
    });
    c.set_global(kOrigReady, nb::none());
}

}  // namespace

NB_MODULE(fetchkeep, m) {
    pk::Module mod(m, "panekit.fetchkeep",
                   "Download handling of the browser view: folder and Save-As settings, non-clashing "
                   "names, the CoreWebView2 handler and the pywebview patch.");
    mod.set("os", pk::import("os"));
    mod.set("Path", pk::import_from("pathlib", "Path"));
    mod.defer_names("typing", {"Any", "Optional", "Tuple"});  // what the annotations name

    mod.set(kOrigReady, nb::none());
    mod.set(kSilentFolder, nb::none());
    mod.set(kUsePrompt, nb::bool_(false));
    mod.set(kHandlers, nb::dict());

    // The names the silent handler holds for downloads in flight (see Reservations).
    mod.set("_reservation_clock", pk::import_from("time", "monotonic"));
    mod.set("_RESERVATION_SECONDS", nb::float_(kReservationSeconds));
    pk::State<Held> held;
    held.set(Held::Live, nb::dict());
    held.set(Held::Timed, nb::dict());

    mod.def<env_truthy_spec>(env_truthy);
    mod.def<settings_spec>(resolve_download_settings);
    mod.def<target_spec>(unique_download_target);
    mod.def<handle_spec>(handle_download_starting, held.object());
    mod.def<attach_spec>(attach_download_to_corewebview2);
    mod.def<refuse_spec>(refuse_downloads);
    mod.def<configure_spec>(configure_pywebview_edge_downloads);
    mod.def<apply_spec>(apply_pywebview_edge_download_folder);
    mod.def<clear_spec>(clear_pywebview_edge_download_patch);
}
