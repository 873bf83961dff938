// panekit.gtkhost: the browser window on Linux. run_toolbar_main opens one GTK 3 window holding a
// toolbar (back, forward, reload, address box, copy-link) above one WebKit2 (4.1) view, reached
// through PyGObject, optionally starts the control server, and runs GTK's main loop on the calling
// thread. It behaves as the WinForms host does, with the host layer's callables on GLib marshalling:
//
//  * one view only: a page's request for a new window (target=_blank, window.open: the view's
//    `create` signal) navigates the same view, and pages may open windows from script without a
//    click, as WebView2 lets them;
//  * the first page is asked for as soon as the view exists, before the rest of the window is
//    built; navigations requested before the view is ready are queued, and the last one is loaded
//    when it is;
//  * the view handed to the host layer and the control server is the WebKit view itself, with
//    the window's WebKit engine (webkit_engine.cpp), whose address is the committed page's;
//  * load-changed FINISHED is the end of a load (it follows a failed one too): the address box is
//    synced and a queued address delivered, as after WebView2's NavigationCompleted; a committed
//    page that is still loading a moment later gets its address in the box then;
//  * downloads with a download folder go silently into it under a free name (fetchkeep's silent
//    handler, names held while in flight) or, with the prompt flag, through GTK's file chooser
//    opening in that folder; without a folder the engine's own behaviour stays. A response with
//    `Content-Disposition: attachment` is downloaded even when WebKit could show it, and so is a
//    response of a type it cannot show (named after its address's last segment);
//  * WebKit's data and cache folders live under the user-data folder;
//  * the control server a call started is shut down when the window has closed;
//  * SIGINT (Ctrl-C) and SIGTERM close the window as its close button does (on the main thread).
//
// Files: window.cpp (run_toolbar_main: start-up and end), view_events.cpp (what the view reports),
// downloads.cpp, toolbar.cpp, webkit_engine.cpp; this header is what they share.
#pragma once

#include "host.hpp"

namespace gtkhost {

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;


constexpr pk::host::View kView{.form_key = "form", .view_key = "core", .toolkit = pk::host::Toolkit::GLib};

// The refusals for a missing platform name the command that brings it, for this user (sudo unless
// root) and this interpreter (its own pip: the environment the window runs in).
const char *const kNoGi = "[panekit] 缺少 PyGObject：%s";
const char *const kNoWebKit = "[panekit] 缺少 GTK 3 / WebKit2 4.1（%s）：";
const char *const kAptGtk = "apt-get install --no-install-recommends gir1.2-webkit2-4.1";
// What pip builds PyGObject and pycairo with, and the two (PyGObject 3.51 and later need
// girepository-2.0, which Debian 12 does not have).
const char *const kAptBuild = " libgirepository1.0-dev libcairo2-dev pkg-config gcc";
const char *const kPipGtk = " -m pip install \"PyGObject>=3.42,<3.51\" \"pycairo>=1.20\"";
// Without a display: what to run instead, and (%s) the package that brings xvfb-run when it is missing.
const char *const kNoDisplay =
    "[panekit] 无法打开图形显示（DISPLAY / WAYLAND_DISPLAY 未设置或不可用）：请在桌面会话中运行，"
    "或在虚拟显示下运行：xvfb-run -a panekit open [URL]%s";
const char *const kNoXvfb = "（先安装: %s）";
const char *const kAptXvfb = "apt-get install --no-install-recommends xvfb xauth";
const char *const kControlLine = "[panekit] 控制接口 %s  |  远程: remote_navigate / remote_go_back / …";
const char *const kNavFailed = "[panekit] 导航未完成: %s";
const char *const kDownloadFailed = "[panekit] 处理下载失败，回退为取消: %s";
const char *const kDefaultHome = "https://duckduckgo.com/";

constexpr int kWidth = 1280;
constexpr int kHeight = 860;
// WebKit's load events and policy-decision types (WebKitLoadEvent, WebKitPolicyDecisionType).
constexpr long kLoadStarted = 0;
constexpr long kLoadCommitted = 2;
constexpr long kLoadFinished = 3;
constexpr long kDecisionResponse = 2;
// Load errors that are no failure of the page: a load replaced by another one, and a response
// turned into a download.
constexpr long kErrorCancelled = 302;                // WEBKIT_NETWORK_ERROR_CANCELLED
constexpr long kErrorInterruptedByPolicy = 102;      // WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE
constexpr long kDownloadCancelled = 400;             // WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER

const char *const kToolbarCss =
    "#panekit-toolbar { background-color: rgb(243, 243, 243); padding: 8px 12px; }\n"
    "#panekit-toolbar button { min-width: 36px; min-height: 30px; padding: 0; border: none;"
    " background: none; box-shadow: none; }\n"
    "#panekit-toolbar button:hover { background-color: rgba(0, 0, 0, 0.06); }\n"
    "#panekit-toolbar entry { min-height: 28px; font-family: \"Segoe UI\", sans-serif; font-size: 9pt; }\n";

// What the nested functions of one call share.
enum class G {
    Holder, Gtk, GLib, Window, View, Engine, Start,
    Invoke, Sync, Flush, Folder, Prompt,
    Pages,    // the page tracker of the host layer
    LoadEnd,    // True once the load in flight has been reported failed, cancelled or downloaded
    LoadSeq,    // how many loads have started (an int)
    TitleWait,  // the LoadSeq of a finished load whose report waits for its title, or None
    ErrorPage,  // the address of the load that just failed: WebKit loads its error page for it next
    TitleLate,  // _title_late, the fallback of a title that does not come
    AddressLate,  // _address_late, the address box of a committed page that is still loading
    Quiet,      // True while the view is busy without a load started: a same-document navigation
    FolderError,  // why the download folder cannot be used (every download is then cancelled), or None
    Download,   // True once the load in flight has been turned into a download by this host
    kCount
};
using GState = pk::State<G>;

inline long as_long(nb::handle v) { return pk::check_value(PyLong_AsLong(pk::check(PyNumber_Long(v.ptr())).ptr())); }

// ---- webkit_engine.cpp ----
// The window's engine, with what only the window tells it: the address of the committed page,
// and the page tracker it tells of each load it asks for. WebKit reports no start at all for a
// load replaced before it started (a window's first page while the engine is still coming up, or
// any two requests in quick succession), so the tracker learns of each request
// (pages_requested): the waits of the replaced one are told what replaced it, not answered by
// the load that did. `asked` is the address last asked of the view (its load's start may not
// report it yet).
class WebKit : public pk::engine::Engine {
public:
    virtual nb::object committed() const = 0;
    virtual void commit(nb::handle url) = 0;
    virtual void track(nb::handle pages) = 0;
    virtual nb::object asked() const = 0;
    // The window the engine's window operations act on (made after the engine).
    virtual void attach_window(nb::handle window) = 0;
    // The view's script-dialog signal: true when the engine has taken the dialog.
    virtual bool dialog_opened(nb::handle dialog) = 0;
};
// Hands the view's script dialogs to the window's engine.
void watch_dialogs(const pk::Call &c, const GState &st, nb::handle view);
// A new WebKit engine as an engine object (pk::engine::wrap).
nb::object new_webkit_engine();
// The WebKit engine an engine object of this module owns.
WebKit &webkit_of(nb::handle engine);

// ---- view_events.cpp ----
// Connects the view's signals (loads, title, address, new windows, responses to download) to the
// window's state.
void watch_view(const pk::Call &c, const GState &st, nb::handle view);

// ---- downloads.cpp ----
// Downloads with a download folder go through the handler of this module.
void watch_downloads(const pk::Call &c, const GState &st, nb::handle view);
// The page's download events (started, finished, failed), to the page tracker `pages`.
void watch_download_events(const pk::Call &c, nb::handle context, nb::handle pages);
// The module's download globals: _Event and _ask_save_path.
void define_downloads(pk::Module &mod);

// ---- toolbar.cpp ----
// The bar: back, forward, reload, the address box, copy-link. Returns (bar, entry).
std::pair<nb::object, nb::object> build_toolbar(const pk::Call &c, nb::handle gtk, nb::handle gdk,
                                                const pk::host::Callables &fns, nb::handle start);

}  // namespace gtkhost
