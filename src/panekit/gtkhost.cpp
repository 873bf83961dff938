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
//  * the browser core handed to the control server is an object of this module with the operations
//    the host layer and the server use (Navigate, GoBack, GoForward, Reload, CanGoBack,
//    CanGoForward, Source) over the WebKit view. Its Source is the address of the committed page:
//    it changes when a new page commits (load-changed COMMITTED), not when a load is merely
//    requested, which WebKit's own `uri` property reports at once;
//  * load-changed FINISHED is the end of a load (it follows a failed one too): the address box is
//    synced and a queued address delivered, as after WebView2's NavigationCompleted;
//  * downloads with a download folder go silently into it under a free name (fetchkeep's silent
//    handler, names held while in flight) or, with the prompt flag, through GTK's file chooser
//    opening in that folder; without a folder the engine's own behaviour stays. A response with
//    `Content-Disposition: attachment` is downloaded even when WebKit could show it;
//  * WebKit's data and cache folders live under the user-data folder;
//  * the control server a call started is shut down when the window has closed.
#include "pk.hpp"
#include "pk_host.hpp"
#include "engine.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;

namespace {

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
const char *const kNoDisplay =
    "[panekit] 无法打开图形显示（DISPLAY / WAYLAND_DISPLAY 未设置或不可用）：请在桌面会话中运行，或在 Xvfb 下运行";
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
    Holder, Gtk, GLib, Window, View, Source, Start, Core,
    Invoke, Sync, Flush, Folder, Prompt,
    Pages,    // the page tracker of the host layer
    Engine,   // the view's engine (the engine contract over WebKitGTK), once the window exists
    LoadEnd,    // True once the load in flight has been reported failed, cancelled or downloaded
    LoadSeq,    // how many loads have started (an int)
    TitleWait,  // the LoadSeq of a finished load whose report waits for its title, or None
    ErrorPage,  // the address of the load that just failed: WebKit loads its error page for it next
    TitleLate,  // _title_late, the fallback of a title that does not come
    Quiet,      // True while the view is busy without a load started: a same-document navigation
    FolderError,  // why the download folder cannot be used (every download is then cancelled), or None
    kCount
};
using GState = pk::State<G>;

long as_long(nb::handle v) { return pk::check_value(PyLong_AsLong(pk::check(PyNumber_Long(v.ptr())).ptr())); }

// ---- the browser core over the WebKit view ------------------------------------------------------

constexpr pk::Param self_params[] = {{.name = "self"}};
constexpr pk::Param navigate_params[] = {{.name = "self"}, {.name = "url", .annotation = "str"}};

constexpr pk::Spec core_navigate_spec{.name = "Navigate", .params = navigate_params, .returns = "None"};
void core_navigate(const pk::Call &c, nb::handle, nb::handle url) {
    c.state<G>()[G::View].attr("load_uri")(nb::str(url));
}
constexpr pk::Spec core_back_spec{.name = "GoBack", .params = self_params, .returns = "None"};
void core_back(const pk::Call &c, nb::handle) { c.state<G>()[G::View].attr("go_back")(); }
constexpr pk::Spec core_forward_spec{.name = "GoForward", .params = self_params, .returns = "None"};
void core_forward(const pk::Call &c, nb::handle) { c.state<G>()[G::View].attr("go_forward")(); }
constexpr pk::Spec core_reload_spec{.name = "Reload", .params = self_params, .returns = "None"};
void core_reload(const pk::Call &c, nb::handle) { c.state<G>()[G::View].attr("reload")(); }
constexpr pk::Spec can_back_spec{.name = "CanGoBack", .params = self_params, .returns = "bool"};
nb::object can_back(const pk::Call &c, nb::handle) { return c.state<G>()[G::View].attr("can_go_back")(); }
constexpr pk::Spec can_forward_spec{.name = "CanGoForward", .params = self_params, .returns = "bool"};
nb::object can_forward(const pk::Call &c, nb::handle) { return c.state<G>()[G::View].attr("can_go_forward")(); }
constexpr pk::Spec source_spec{.name = "Source", .params = self_params, .returns = "str"};
nb::object source(const pk::Call &c, nb::handle) { return nb::borrow(c.state<G>()[G::Source]); }
constexpr pk::Spec title_spec{.name = "DocumentTitle", .params = self_params, .returns = "str"};
nb::object title(const pk::Call &c, nb::handle) {
    return pk::text_or_empty(nb::object(c.state<G>()[G::View].attr("get_title")()));
}

// Script and picture, for the control server (the host layer's run_script and capture_png): WebKit
// answers through a callback on the main loop, which calls `done` with the answer.
constexpr pk::Param finish_params[] = {{.name = "view", .annotation = "Any"},
                                       {.name = "result", .annotation = "Any"},
                                       {.name = "done", .annotation = "Any"}};

nb::dict engine_failure(nb::handle error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = pk::text_or_empty(pk::attr_or(error, "message", nb::str(error)));
    return d;
}

constexpr pk::Spec script_done_spec{.name = "_script_done", .params = finish_params, .returns = "None"};
void script_done(nb::handle view, nb::handle result, nb::handle done) {
    nb::object answer;
    try {
        nb::object value = nb::hasattr(view, "evaluate_javascript_finish")
                               ? nb::object(view.attr("evaluate_javascript_finish")(result))
                               : nb::object(view.attr("run_javascript_finish")(result).attr("get_js_value")());
        // JSON text of the value; none for undefined (and for what JSON cannot show, as WebView2).
        nb::object json = value.attr("to_json")(0);
        nb::dict d;
        d["ok"] = true;
        d["value"] = json.is_none() ? nb::object(nb::none()) : pk::import("json").attr("loads")(json);
        answer = d;
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        answer = engine_failure(e.value());
    }
    done(answer);
}

constexpr pk::Param run_script_params[] = {{.name = "self"},
                                           {.name = "script", .annotation = "str"},
                                           {.name = "done", .annotation = "Callable[[Any], None]"}};
constexpr pk::Spec run_script_spec{.name = "_pk_run_script", .params = run_script_params, .returns = "None"};
void core_run_script(const pk::Call &c, nb::handle, nb::handle script, nb::handle done) {
    nb::handle view = c.state<G>()[G::View];
    nb::object finished = c.nested<script_done_spec>(script_done);
    if (nb::hasattr(view, "evaluate_javascript"))
        view.attr("evaluate_javascript")(script, -1, nb::none(), nb::none(), nb::none(), finished, done);
    else
        view.attr("run_javascript")(script, nb::none(), finished, done);
}

constexpr pk::Spec capture_done_spec{.name = "_capture_done", .params = finish_params, .returns = "None"};
void capture_done(nb::handle view, nb::handle result, nb::handle done) {
    nb::object answer;
    try {
        nb::object surface = view.attr("get_snapshot_finish")(result);
        nb::object out = pk::import_from("io", "BytesIO")();
        surface.attr("write_to_png")(out);
        answer = out.attr("getvalue")();
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        answer = engine_failure(e.value());
    }
    done(answer);
}

constexpr pk::Param capture_params[] = {{.name = "self"}, {.name = "done", .annotation = "Callable[[Any], None]"}};
constexpr pk::Spec capture_spec{.name = "_pk_capture", .params = capture_params, .returns = "None"};
void core_capture(const pk::Call &c, nb::handle, nb::handle done) {
    nb::handle view = c.state<G>()[G::View];
    nb::object webkit = pk::import_from("gi.repository", "WebKit2");
    view.attr("get_snapshot")(webkit.attr("SnapshotRegion").attr("VISIBLE"), webkit.attr("SnapshotOptions").attr("NONE"),
                              nb::none(), c.nested<capture_done_spec>(capture_done), done);
}

// The engine the control server steers the view through.
constexpr pk::Spec engine_spec{.name = "engine", .params = self_params, .returns = "Any"};
nb::object core_engine(const pk::Call &c, nb::handle) { return nb::borrow(c.state<G>()[G::Engine]); }

// ---- view events ----------------------------------------------------------------------------------

// WebKit reports a load finished before the page's title has reached the view (the title comes
// a moment later, and a reload clears it first): a load that finishes without a title is reported
// to the page tracker once its title comes, or after kTitleGraceMs for a page that has none.
constexpr int kTitleGraceMs = 250;

void report_loaded(const GState &st) {
    st.set(G::TitleWait, nb::none());
    pk::guarded([&] { pk::host::pages_finished(st[G::Pages], nb::none(), true, nb::none(), nb::none()); });
}

constexpr pk::Param title_params[] = {{.name = "view", .annotation = "Any"}, {.name = "spec", .annotation = "Any"}};
constexpr pk::Spec on_title_spec{.name = "_on_title", .params = title_params, .returns = "None"};
void on_title(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    nb::object title = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(view.attr("get_title")()); });
    pk::guarded([&] { pk::host::pages_title(st[G::Pages], title); });
    if (st[G::TitleWait].is_none()) return;
    if (pk::truthy(title)) report_loaded(st);
}

constexpr pk::Param seq_params[] = {{.name = "seq", .annotation = "int"}};
constexpr pk::Spec title_late_spec{.name = "_title_late", .params = seq_params, .returns = "bool"};
nb::object title_late(const pk::Call &c, nb::handle seq) {
    auto st = c.state<G>();
    if (!st[G::TitleWait].is_none() && st[G::TitleWait].equal(seq)) report_loaded(st);
    return nb::bool_(false);  // once
}

constexpr pk::Param load_params[] = {{.name = "view", .annotation = "Any"}, {.name = "event", .annotation = "Any"}};
constexpr pk::Spec load_changed_spec{.name = "_on_load_changed", .params = load_params, .returns = "None"};
void on_load_changed(const pk::Call &c, nb::handle view, nb::handle event) {
    auto st = c.state<G>();
    const long e = pk::guarded_or(-1L, [&] { return as_long(event); });
    if (e == kLoadStarted) {
        st.set(G::Quiet, Py_False);
        nb::object uri = pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(view.attr("get_uri")()); });
        nb::object error_page = nb::borrow(st[G::ErrorPage]);
        st.set(G::ErrorPage, nb::none());
        st.set(G::TitleWait, nb::none());
        st.set(G::LoadSeq, nb::int_(nb::cast<long>(st[G::LoadSeq]) + 1));
        if (!error_page.is_none() && error_page.equal(uri)) {
            st.set(G::LoadEnd, Py_True);  // WebKit's page for the failure just reported: no navigation
            return;
        }
        st.set(G::LoadEnd, Py_False);
        pk::guarded([&] { pk::host::pages_started(st[G::Pages], nb::none(), uri); });
    } else if (e == kLoadCommitted) {
        pk::guarded([&] { st.set(G::Source, pk::text_or_empty(nb::object(view.attr("get_uri")()))); });
        st[G::Invoke](st[G::Sync]);
    } else if (e == kLoadFinished) {
        if (!st[G::LoadEnd].is(Py_True)) {
            nb::object title = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(view.attr("get_title")()); });
            if (pk::truthy(title)) {
                report_loaded(st);
            } else {
                st.set(G::TitleWait, st[G::LoadSeq]);
                pk::guarded([&] {
                    nb::handle glib = st[G::GLib];
                    glib.attr("timeout_add")(kTitleGraceMs, st[G::TitleLate], st[G::LoadSeq]);
                });
            }
        }
        st.set(G::LoadEnd, Py_True);
        st[G::Invoke](st[G::Sync]);
        st[G::Invoke](st[G::Flush]);
    }
}

// A navigation inside the page (a fragment, history.pushState, a history step between such
// entries) raises no load event: WebKit only changes the view's `uri`, within a busy period
// (is-loading true, then false) when the host asked for it, outside any when the page's script did.
// Its end is when that busy period ends without a load having started, or at once for the page's
// own: the committed address becomes the view's address and the waits for it are answered.
void same_document(const GState &st, nb::handle view) {
    pk::guarded([&] {
        nb::str uri = pk::text_or_empty(nb::object(view.attr("get_uri")()));
        if (!pk::truthy(uri) || uri.equal(st[G::Source])) return;
        st.set(G::Source, uri);
        nb::dict f;
        f["url"] = uri;
        pk::host::event_push(st[G::Pages], "same_document", f);
        st[G::Sync]();
    });
    pk::guarded([&] { pk::host::pages_same_document(st[G::Pages]); });
}

bool view_loading(nb::handle view) {
    return pk::guarded_or(true, [&] { return pk::truthy(view.attr("is_loading")()); });
}

constexpr pk::Param notify_params[] = {{.name = "view", .annotation = "Any"}, {.name = "spec", .annotation = "Any"}};
constexpr pk::Spec on_loading_spec{.name = "_on_loading", .params = notify_params, .returns = "None"};
void on_loading(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    if (view_loading(view)) {
        st.set(G::Quiet, Py_True);
    } else if (st[G::Quiet].is(Py_True)) {
        st.set(G::Quiet, Py_False);
        same_document(st, view);
    }
}

// The address changed without a load in flight: the page's own navigation inside itself.
constexpr pk::Spec on_uri_spec{.name = "_on_uri", .params = notify_params, .returns = "None"};
void on_uri(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    if (st[G::LoadEnd].is(Py_True) && !view_loading(view)) same_document(st, view);
}

constexpr pk::Param load_failed_params[] = {{.name = "view", .annotation = "Any"},
                                            {.name = "event", .annotation = "Any"},
                                            {.name = "uri", .annotation = "str"},
                                            {.name = "error", .annotation = "Any"}};
constexpr pk::Spec load_failed_spec{.name = "_on_load_failed", .params = load_failed_params, .returns = "bool"};
nb::object on_load_failed(const pk::Call &c, nb::handle, nb::handle, nb::handle uri, nb::handle error) {
    auto st = c.state<G>();
    pk::guarded([&] {
        const long code = as_long(error.attr("code"));
        // A cancelled load is no end of a page's navigation: the load that replaced it supersedes it.
        st.set(G::LoadEnd, Py_True);
        st.set(G::Quiet, Py_False);  // whatever failed was a load, not a navigation inside the page
        if (code == kErrorCancelled) return;
        if (code == kErrorInterruptedByPolicy) {
            pk::host::pages_download(st[G::Pages]);
            return;
        }
        st.set(G::ErrorPage, uri);
        pk::guarded([&] { pk::host::pages_finished(st[G::Pages], nb::none(), false, error.attr("message"), uri); });
        nb::object what = nb::str("{} ({})").attr("format")(nb::str(error.attr("message")), uri);
        pk::print_line(pk::format1(kNavFailed, what));
    });
    return nb::bool_(false);  // WebKit shows its own error page
}

// One view only: the request for a new view loads its address into this one (at the next turn
// of the main loop, outside WebKit's signal emission) and no view is created.
constexpr pk::Param create_params[] = {{.name = "view", .annotation = "Any"}, {.name = "action", .annotation = "Any"}};
constexpr pk::Spec new_window_spec{.name = "_on_new_window", .params = create_params, .returns = "Any"};
void on_new_window(const pk::Call &c, nb::handle view, nb::handle action) {
    pk::guarded([&] {
        nb::str uri = pk::text_or_empty(nb::object(action.attr("get_request")().attr("get_uri")()));
        if (!pk::truthy(uri)) return;
        nb::object glib = nb::borrow(c.state<G>()[G::GLib]);
        glib.attr("idle_add")(view.attr("load_uri"), uri, "priority"_a = glib.attr("PRIORITY_DEFAULT"));
    });
}

// A response that asks to be saved (Content-Disposition: attachment) is downloaded, also when
// WebKit could show it (PDF, text).
constexpr pk::Param policy_params[] = {{.name = "view", .annotation = "Any"},
                                       {.name = "decision", .annotation = "Any"},
                                       {.name = "kind", .annotation = "Any"}};
constexpr pk::Spec policy_spec{.name = "_on_decide_policy", .params = policy_params, .returns = "bool"};
nb::object on_decide_policy(nb::handle, nb::handle decision, nb::handle kind) {
    return nb::bool_(pk::guarded_or(false, [&] {
        if (as_long(kind) != kDecisionResponse) return false;
        nb::object headers = decision.attr("get_response")().attr("get_http_headers")();
        if (headers.is_none()) return false;
        nb::object value = headers.attr("get_one")("Content-Disposition");
        if (value.is_none()) return false;
        nb::object word = value.attr("split")(";", 1)[0].attr("strip")().attr("lower")();
        if (!word.equal(nb::str("attachment"))) return false;
        decision.attr("download")();
        return true;
    }));
}

// ---- downloads ------------------------------------------------------------------------------------

// The event arguments fetchkeep's handler reads and writes, and the operation it follows: its
// State (0 in progress, 1 interrupted, 2 completed) and StateChanged, which takes handlers with
// += and -= as a .NET event does. One per download.
enum class Op { Op, Event, Download, kCount };

constexpr pk::Param event_params[] = {{.name = "self"}, {.name = "handler", .annotation = "Any"}};
constexpr pk::Spec event_add_spec{.name = "__iadd__", .params = event_params, .returns = "Any"};
nb::object event_iadd(nb::handle self, nb::handle handler) {
    self.attr("handlers").attr("append")(handler);
    return nb::borrow(self);
}
constexpr pk::Spec event_remove_spec{.name = "__isub__", .params = event_params, .returns = "Any"};
nb::object event_isub(nb::handle self, nb::handle handler) {
    nb::object handlers = self.attr("handlers");
    if (pk::check(PySequence_Contains(handlers.ptr(), handler.ptr()))) handlers.attr("remove")(handler);
    return nb::borrow(self);
}
constexpr pk::Spec event_init_spec{.name = "__init__", .params = self_params, .returns = "None"};
void event_init(nb::handle self) { nb::setattr(self, "handlers", nb::list()); }

// The download reached a final state: State is set and every handler called (guarded).
void settle(const pk::State<Op> &fl, long state) {
    nb::handle op = fl[Op::Op];
    if (as_long(op.attr("State")) != 0) return;  // already final
    nb::setattr(op, "State", nb::int_(state));
    nb::object handlers = pk::check(PySequence_List(nb::object(fl[Op::Event].attr("handlers")).ptr()));
    for (nb::handle h : handlers) pk::guarded([&] { h(op, nb::none()); });
}

constexpr pk::Param failed_params[] = {{.name = "download", .annotation = "Any"}, {.name = "error", .annotation = "Any"}};
constexpr pk::Spec download_failed_spec{.name = "_on_download_failed", .params = failed_params, .returns = "None"};
void on_download_failed(const pk::Call &c, nb::handle, nb::handle) { settle(c.state<Op>(), 1); }

constexpr pk::Param finished_params[] = {{.name = "download", .annotation = "Any"}};
constexpr pk::Spec download_finished_spec{.name = "_on_download_finished", .params = finished_params, .returns = "None"};
void on_download_finished(const pk::Call &c, nb::handle) { settle(c.state<Op>(), 2); }

// The text after the last slash of a suggested name ("download" for none).
nb::str plain_name(nb::handle suggested) {
    nb::str text = pk::text_or_empty(suggested);
    nb::str name(text.attr("rsplit")("/", 1)[-1]);
    return pk::truthy(name) ? name : nb::str("download");
}

// Where the download goes, decided on the UI thread: the file chooser (prompt) or fetchkeep's
// silent handler. Any failure cancels the download with the failure line.
constexpr pk::Param destination_params[] = {{.name = "download", .annotation = "Any"},
                                            {.name = "suggested", .annotation = "str"}};
constexpr pk::Spec destination_spec{.name = "_on_decide_destination", .params = destination_params, .returns = "bool"};
nb::object on_decide_destination(const pk::Call &c, nb::handle download, nb::handle suggested) {
    auto st = c.state<G>();
    pk::guarded_else(
        [&] {
            // A folder that could not be made: no download goes anywhere else instead.
            if (!st[G::FolderError].is_none()) {
                PyErr_SetRaisedException(Py_NewRef(st[G::FolderError].ptr()));
                throw nb::python_error();
            }
            nb::object glib = nb::borrow(st[G::GLib]);
            nb::object path;
            if (st[G::Prompt].is(Py_True)) {
                path = c.global("_ask_save_path")(st[G::Window], st[G::Folder], plain_name(suggested));
                if (path.is_none()) {
                    pk::print_line("[panekit] 用户取消了下载");
                    download.attr("cancel")();
                    return;
                }
                download.attr("set_allow_overwrite")(true);  // the chooser asked before replacing
                pk::print_line(pk::format1("[panekit] 下载将保存到: %s", path));
            } else {
                nb::object ns = pk::import_from("types", "SimpleNamespace");
                pk::State<Op> fl;
                fl.set(Op::Event, c.global("_Event")());
                fl.set(Op::Op, ns("State"_a = 0, "StateChanged"_a = fl[Op::Event]));
                fl.set(Op::Download, download);
                nb::object args = ns("ResultFilePath"_a = suggested, "Cancel"_a = false, "Handled"_a = false,
                                     "DownloadOperation"_a = fl[Op::Op]);
                download.attr("connect")("failed", c.nested<download_failed_spec>(on_download_failed, fl.object()));
                download.attr("connect")("finished", c.nested<download_finished_spec>(on_download_finished, fl.object()));
                c.global("handle_download_starting")(st[G::Window], download, args, st[G::Folder], false);
                if (pk::truthy(nb::object(args.attr("Cancel")))) {
                    download.attr("cancel")();
                    return;
                }
                path = args.attr("ResultFilePath");
            }
            download.attr("set_destination")(glib.attr("filename_to_uri")(nb::str(path), nb::none()));
        },
        [&](nb::python_error &e) {
            pk::guarded([&] { pk::print_line(pk::format1(kDownloadFailed, e.value())); });
            pk::guarded([&] { download.attr("cancel")(); });
        });
    return nb::bool_(true);
}

// A download that fails after its destination was set (the file cannot be written, the folder is
// gone) says so with the failure line; one cancelled (by the user, or by the handler after its
// own line) does not.
constexpr pk::Spec download_error_spec{.name = "_on_download_error", .params = failed_params, .returns = "None"};
void on_download_error(nb::handle, nb::handle error) {
    pk::guarded([&] {
        if (as_long(error.attr("code")) == kDownloadCancelled) return;
        pk::print_line(pk::format1(kDownloadFailed, error.attr("message")));
    });
}

constexpr pk::Param started_params[] = {{.name = "context", .annotation = "Any"}, {.name = "download", .annotation = "Any"}};
constexpr pk::Spec download_started_spec{.name = "_on_download_started", .params = started_params, .returns = "None"};
void on_download_started(const pk::Call &c, nb::handle, nb::handle download) {
    download.attr("connect")("decide-destination", c.nested<destination_spec>(on_decide_destination));
    download.attr("connect")("failed", c.nested<download_error_spec>(on_download_error));
}

// The page's download events: started (with its address), then finished or failed (with its path).
// WebKit emits "failed" and then "finished" for a download that failed; only the first counts.
enum class Seen { Pages, Url, Ended, kCount };

nb::dict download_fields(const pk::State<Seen> &dl, nb::handle download) {
    nb::dict f;
    f["url"] = dl[Seen::Url];
    nb::object dest = pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(download.attr("get_destination")()); });
    f["path"] = dest.is_none() ? nb::object(nb::str(""))
                               : pk::guarded_or(nb::object(dest), [&] {
                                     return nb::object(pk::import_from("gi.repository", "GLib")
                                                           .attr("filename_from_uri")(dest)[0]);
                                 });
    return f;
}

constexpr pk::Spec seen_failed_spec{.name = "_on_download_seen_failed", .params = failed_params, .returns = "None"};
void on_download_seen_failed(const pk::Call &c, nb::handle download, nb::handle error) {
    auto dl = c.state<Seen>();
    pk::guarded([&] {
        if (dl[Seen::Ended].is(Py_True)) return;
        dl.set(Seen::Ended, Py_True);
        nb::dict f = download_fields(dl, download);
        f["error"] = pk::text_or_empty(pk::attr_or(error, "message", nb::str(error)));
        pk::host::event_push(dl[Seen::Pages], "download_failed", f);
    });
}

constexpr pk::Spec seen_finished_spec{.name = "_on_download_seen_finished", .params = finished_params, .returns = "None"};
void on_download_seen_finished(const pk::Call &c, nb::handle download) {
    auto dl = c.state<Seen>();
    pk::guarded([&] {
        if (dl[Seen::Ended].is(Py_True)) return;
        dl.set(Seen::Ended, Py_True);
        pk::host::event_push(dl[Seen::Pages], "download_finished", download_fields(dl, download));
    });
}

constexpr pk::Spec download_seen_spec{.name = "_on_download_seen", .params = started_params, .returns = "None"};
void on_download_seen(const pk::Call &c, nb::handle, nb::handle download) {
    pk::guarded([&] {
        pk::State<Seen> dl;
        dl.set(Seen::Pages, c.state<Seen>().object());  // this function's state is the page tracker
        dl.set(Seen::Url, pk::text_or_empty(nb::object(download.attr("get_request")().attr("get_uri")())));
        dl.set(Seen::Ended, Py_False);
        nb::dict f;
        f["url"] = dl[Seen::Url];
        pk::host::event_push(dl[Seen::Pages], "download_started", f);
        download.attr("connect")("failed", c.nested<seen_failed_spec>(on_download_seen_failed, dl.object()));
        download.attr("connect")("finished", c.nested<seen_finished_spec>(on_download_seen_finished, dl.object()));
    });
}

// GTK's save dialog, modal over `parent`, opening in `folder` with `name` proposed; the chosen path,
// or None when the user cancelled. A module global, looked up at each download.
constexpr pk::Param ask_params[] = {{.name = "parent", .annotation = "Any"},
                                    {.name = "folder", .annotation = "str", .check = Check::Str},
                                    {.name = "name", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec ask_spec{
    .name = "_ask_save_path",
    .params = ask_params,
    .returns = "Optional[str]",
    .doc = "Ask for the file a download is saved to, in GTK's save dialog opening in folder."};
nb::object ask_save_path(nb::handle parent, nb::str folder, nb::str name) {
    nb::object gtk = pk::import_from("gi.repository", "Gtk");
    nb::object action = gtk.attr("FileChooserAction").attr("SAVE");
    nb::object dlg = gtk.attr("FileChooserDialog")("title"_a = "保存下载", "transient_for"_a = parent, "action"_a = action);
    nb::object rt = gtk.attr("ResponseType");
    dlg.attr("add_buttons")("取消", rt.attr("CANCEL"), "保存", rt.attr("ACCEPT"));
    dlg.attr("set_default_response")(rt.attr("ACCEPT"));
    dlg.attr("set_do_overwrite_confirmation")(true);
    dlg.attr("set_current_folder")(folder);
    dlg.attr("set_current_name")(name);
    nb::object answer;
    try {
        nb::object response = dlg.attr("run")();
        answer = response.equal(rt.attr("ACCEPT")) ? nb::object(dlg.attr("get_filename")()) : nb::object(nb::none());
    } catch (nb::python_error &) {
        pk::guarded([&] { dlg.attr("destroy")(); });
        throw;
    }
    dlg.attr("destroy")();
    return answer;
}

// ---- the toolbar ----------------------------------------------------------------------------------

enum class Bar { Entry, Navigate, Back, Forward, Reload, Gtk, Gdk, kCount };

constexpr pk::Param widget_params[] = {{.name = "_w", .annotation = "Any"}};
constexpr pk::Spec go_spec{.name = "_go", .params = widget_params, .returns = "None"};
// Enter in the box: the text exactly as typed goes to the host's navigation.
void go(const pk::Call &c, nb::handle) {
    auto bar = c.state<Bar>();
    pk::guarded([&] { bar[Bar::Navigate](nb::str(bar[Bar::Entry].attr("get_text")())); });
}

template <Bar Which> void click(const pk::Call &c, nb::handle) { c.state<Bar>()[Which](); }
constexpr pk::Spec back_click_spec{.name = "_back_clicked", .params = widget_params, .returns = "None"};
constexpr pk::Spec forward_click_spec{.name = "_forward_clicked", .params = widget_params, .returns = "None"};
constexpr pk::Spec reload_click_spec{.name = "_reload_clicked", .params = widget_params, .returns = "None"};

constexpr pk::Spec copy_spec{.name = "_copy_link", .params = widget_params, .returns = "None"};
void copy_link(const pk::Call &c, nb::handle) {
    auto bar = c.state<Bar>();
    nb::object u = nb::str(bar[Bar::Entry].attr("get_text")()).attr("strip")();
    if (!pk::truthy(u)) return;
    pk::guarded([&] {
        nb::object gdk = nb::borrow(bar[Bar::Gdk]);
        nb::object clip = bar[Bar::Gtk].attr("Clipboard").attr("get")(gdk.attr("SELECTION_CLIPBOARD"));
        clip.attr("set_text")(u, -1);
        clip.attr("store")();
    });
}

nb::object icon_button(nb::handle gtk, const char *icon, const char *tip) {
    nb::object b = gtk.attr("Button").attr("new_from_icon_name")(icon, gtk.attr("IconSize").attr("BUTTON"));
    b.attr("set_size_request")(36, 30);
    b.attr("set_valign")(gtk.attr("Align").attr("CENTER"));
    pk::guarded([&] { b.attr("set_relief")(gtk.attr("ReliefStyle").attr("NONE")); });
    pk::guarded([&] { b.attr("set_tooltip_text")(tip); });
    return b;
}

// The bar: a light-grey strip with back, forward and reload, the address box taking the rest of
// the width (at least 160 pixels) and copy-link at the right edge. Returns (bar, entry).
std::pair<nb::object, nb::object> build_toolbar(const pk::Call &c, nb::handle gtk, nb::handle gdk,
                                                const pk::host::Callables &fns, nb::handle start) {
    pk::guarded([&] {
        nb::object css = gtk.attr("CssProvider")();
        css.attr("load_from_data")(nb::bytes(kToolbarCss));
        gtk.attr("StyleContext").attr("add_provider_for_screen")(gdk.attr("Screen").attr("get_default")(), css, 600);
    });
    nb::object bar = gtk.attr("Box")("orientation"_a = gtk.attr("Orientation").attr("HORIZONTAL"), "spacing"_a = 2);
    bar.attr("set_name")("panekit-toolbar");
    bar.attr("set_size_request")(-1, 52);
    nb::object back = icon_button(gtk, "go-previous-symbolic", "后退");
    nb::object forward = icon_button(gtk, "go-next-symbolic", "前进");
    nb::object reload = icon_button(gtk, "view-refresh-symbolic", "刷新");
    nb::object copy = icon_button(gtk, "edit-copy-symbolic", "复制当前链接");
    nb::object entry = gtk.attr("Entry")();
    entry.attr("set_text")(start);
    entry.attr("set_size_request")(160, 28);
    entry.attr("set_valign")(gtk.attr("Align").attr("CENTER"));
    entry.attr("set_margin_start")(8);  // with the spacing: 10 pixels after reload, 8 before copy
    entry.attr("set_margin_end")(6);

    pk::State<Bar> st;
    st.set(Bar::Entry, entry);
    st.set(Bar::Navigate, fns.navigate);
    st.set(Bar::Back, fns.back);
    st.set(Bar::Forward, fns.forward);
    st.set(Bar::Reload, fns.reload);
    st.set(Bar::Gtk, gtk);
    st.set(Bar::Gdk, gdk);
    nb::handle s = st.object();
    back.attr("connect")("clicked", c.nested<back_click_spec>(click<Bar::Back>, s));
    forward.attr("connect")("clicked", c.nested<forward_click_spec>(click<Bar::Forward>, s));
    reload.attr("connect")("clicked", c.nested<reload_click_spec>(click<Bar::Reload>, s));
    entry.attr("connect")("activate", c.nested<go_spec>(go, s));
    copy.attr("connect")("clicked", c.nested<copy_spec>(copy_link, s));

    for (nb::handle w : {back.ptr(), forward.ptr(), reload.ptr()}) bar.attr("pack_start")(w, false, false, 0);
    bar.attr("pack_start")(entry, true, true, 0);
    bar.attr("pack_end")(copy, false, false, 0);
    return {bar, entry};
}

// ---- start-up -----------------------------------------------------------------------------------

// Downloads with a download folder go through the handler of this module (set up before the first
// load, so that the first page's own download is handled too).
void watch_downloads(const pk::Call &c, const GState &st, nb::handle view) {
    nb::handle holder = st[G::Holder];
    nb::object folder = pk::host::get(holder, "download_folder");
    if (!pk::truthy(folder)) return;
    // The handler is connected whatever becomes of the folder: a folder that cannot be made
    // cancels each download with the failure line rather than leave it to WebKit's own folder.
    st.set(G::Folder, nb::str(folder));
    st.set(G::Prompt, nb::bool_(pk::truthy(pk::host::get(holder, "download_prompt"))));
    pk::guarded_else(
        [&] {
            nb::object resolved = c.global("Path")(folder).attr("resolve")();
            st.set(G::Folder, nb::str(resolved));
            resolved.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
            pk::print_line(nb::str("[panekit] 已挂载下载处理(WebKit): 目录={} prompt={}")
                               .attr("format")(st[G::Folder], st[G::Prompt]));
        },
        [&](nb::python_error &e) {
            st.set(G::FolderError, e.value());
            pk::print_line(pk::format1("[panekit] 挂载下载处理失败: %s", e.value()));
        });
    view.attr("get_context")().attr("connect")("download-started",
                                                c.nested<download_started_spec>(on_download_started, st.object()));
}

// The view is ready once the main loop runs (its first page is loading already): the core goes
// into the holder and the address queued meanwhile, if any, is loaded.
constexpr pk::Spec ready_spec{.name = "_on_ready", .returns = "bool"};
nb::object on_ready(const pk::Call &c) {
    auto st = c.state<G>();
    nb::handle holder = st[G::Holder];
    holder["core"] = st[G::Core];
    pk::guarded([&] {
        nb::object queued = holder.attr("pop")(pk::host::kPendingKey, nb::none());
        if (pk::truthy(queued)) st[G::View].attr("load_uri")(nb::str(queued));
    });
    st[G::Flush]();
    nb::object(holder[nb::str("core_ready")]).attr("set")();
    return nb::bool_(false);  // once
}

// The window has gone: the callables see no window and no core from now on, and the loop ends.
constexpr pk::Spec destroy_spec{.name = "_on_destroy", .params = widget_params, .returns = "None"};
void on_destroy(const pk::Call &c, nb::handle) {
    auto st = c.state<G>();
    nb::handle holder = st[G::Holder];
    holder["core"] = nb::none();
    holder["form"] = nb::none();
    pk::host::glib_channel_close(holder);
    pk::host::pages_closed(st[G::Pages]);
    st[G::Gtk].attr("main_quit")();
}

// A refusal: the message, and 1.
nb::object refuse(nb::handle message) {
    pk::print_line(message);
    return nb::int_(1);
}

// `command` as this user runs it as root: after "sudo " unless the process is root already.
nb::object as_root(const pk::Call &c, const char *command) {
    nb::object os = c.global("os");
    const bool root = pk::guarded_or(false, [&] {
        return nb::hasattr(os, "geteuid") && nb::object(os.attr("geteuid")()).equal(nb::int_(0));
    });
    return nb::str(root ? "" : "sudo ") + nb::str(command);
}

constexpr pk::Spec main_spec{
    .name = "run_toolbar_main",
    .params = pk::host::kRunParams,
    .returns = "int",
    .doc = "Open the browser window (toolbar above one WebKit view, GTK 3), start the control server "
           "unless with_control_server is false, and run GTK's main loop on this thread; 0 when the "
           "window has closed, 1 when GTK, WebKit or a display is missing.",
};
nb::object run_toolbar_main(const pk::Call &c, nb::str start_url, nb::handle home_url, nb::str form_title,
                            nb::handle user_data_folder, bool with_control_server, nb::handle control_host,
                            nb::handle control_port_override, nb::handle browser_download_directory,
                            nb::handle browser_download_prompt) {
    // Start-up checks: PyGObject, the GTK 3 and WebKit2 4.1 bindings, a display.
    nb::object gi;
    try {
        gi = nb::module_::import_("gi");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        nb::object install = as_root(c, (std::string(kAptGtk) + kAptBuild).c_str()) + nb::str(" && ") +
                             nb::str(c.global("sys").attr("executable")) + nb::str(kPipGtk);
        return refuse(pk::format1(kNoGi, install));
    }
    nb::object gtk, gdk, glib, webkit;
    try {
        gi.attr("require_version")("Gtk", "3.0");
        gi.attr("require_version")("WebKit2", "4.1");
        gtk = pk::import_from("gi.repository", "Gtk");
        gdk = pk::import_from("gi.repository", "Gdk");
        glib = pk::import_from("gi.repository", "GLib");
        webkit = pk::import_from("gi.repository", "WebKit2");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_ValueError)) throw;
        return refuse(pk::format1(kNoWebKit, e.value()) + as_root(c, kAptGtk));
    }
    if (!pk::truthy(gtk.attr("init_check")(nb::none())[0])) return refuse(nb::str(kNoDisplay));

    nb::object env = c.global("os").attr("environ");
    nb::object norm = c.global("norm_browser_url");
    nb::object home = pk::host::home(env, home_url, c.global("_DEFAULT_HOME"), norm);
    nb::object start = pk::host::start(start_url, home, norm);

    nb::dict holder;
    holder["form"] = nb::none();
    holder["core"] = nb::none();
    holder["addr"] = nb::none();
    holder["core_ready"] = c.global("threading").attr("Event")();
    holder[pk::host::kPendingKey] = nb::none();
    nb::object downloads = c.global("resolve_download_settings")("directory"_a = browser_download_directory,
                                                                 "prompt"_a = browser_download_prompt);
    holder["download_folder"] = downloads[0];
    holder["download_prompt"] = nb::bool_(pk::truthy(downloads[1]));

    GState st;
    st.set(G::Holder, holder);
    st.set(G::Gtk, gtk);
    st.set(G::GLib, glib);
    st.set(G::Start, start);
    st.set(G::Source, nb::str(""));
    nb::handle s = st.object();
    pk::host::Callables fns = pk::host::make_callables<kView>(c, holder);
    st.set(G::Invoke, fns.invoke);
    st.set(G::Sync, fns.sync);
    st.set(G::Flush, fns.flush);
    st.set(G::Pages, fns.pages);
    st.set(G::LoadEnd, Py_True);
    st.set(G::LoadSeq, nb::int_(0));
    st.set(G::TitleLate, c.nested<title_late_spec>(title_late, s));
    st.set(G::Quiet, Py_False);
    st.set(G::FolderError, nb::none());

    nb::object ud = pk::host::user_data_folder(env, user_data_folder, c.global("Path"));

    // The view, with WebKit's data and cache under the user-data folder. Its first page is asked
    // for as soon as it can be watched, so the engine loads it while the window is being built.
    nb::object manager = webkit.attr("WebsiteDataManager")("base_data_directory"_a = nb::str(ud / nb::str("data")),
                                                           "base_cache_directory"_a = nb::str(ud / nb::str("cache")));
    nb::object context = webkit.attr("WebContext").attr("new_with_website_data_manager")(manager);
    nb::object view = webkit.attr("WebView").attr("new_with_context")(context);
    st.set(G::View, view);
    view.attr("get_settings")().attr("set_property")("javascript-can-open-windows-automatically", true);
    view.attr("connect")("load-changed", c.nested<load_changed_spec>(on_load_changed, s));
    view.attr("connect")("load-failed", c.nested<load_failed_spec>(on_load_failed, s));
    view.attr("connect")("notify::title", c.nested<on_title_spec>(on_title, s));
    view.attr("connect")("notify::is-loading", c.nested<on_loading_spec>(on_loading, s));
    view.attr("connect")("notify::uri", c.nested<on_uri_spec>(on_uri, s));
    context.attr("connect")("download-started", c.nested<download_seen_spec>(on_download_seen, fns.pages));
    view.attr("connect")("create", c.nested<new_window_spec>(on_new_window, s));
    view.attr("connect")("decide-policy", c.nested<policy_spec>(on_decide_policy, s));
    watch_downloads(c, st, view);
    pk::guarded([&] { view.attr("load_uri")(nb::str(start)); });

    nb::object core_type = c.klass("_WebKitCore", nb::make_tuple(pk::import_from("builtins", "object")), s,
                                   "The browser core the callables and the control server use, over the WebKit view.")
                               .method<core_navigate_spec>(core_navigate)
                               .method<core_back_spec>(core_back)
                               .method<core_forward_spec>(core_forward)
                               .method<core_reload_spec>(core_reload)
                               .property<can_back_spec>(can_back)
                               .property<can_forward_spec>(can_forward)
                               .property<source_spec>(source)
                               .property<title_spec>(title)
                               .method<run_script_spec>(core_run_script)
                               .method<capture_spec>(core_capture)
                               .property<engine_spec>(core_engine)
                               .build();
    st.set(G::Core, core_type());
    nb::object ch = pk::host::control_host(env, control_host);
    nb::object cp = pk::host::control_port(control_port_override, c.global("control_port"));

    nb::object window = gtk.attr("Window")("title"_a = form_title);
    window.attr("set_default_size")(kWidth, kHeight);
    st.set(G::Window, window);
    st.set(G::Engine, pk::engine::wrap(pk::engine::webkit(view, window)));
    auto [bar, entry] = build_toolbar(c, gtk, gdk, fns, start);
    nb::object body = gtk.attr("Box")("orientation"_a = gtk.attr("Orientation").attr("VERTICAL"), "spacing"_a = 0);
    body.attr("pack_start")(bar, false, false, 0);
    body.attr("pack_start")(view, true, true, 0);
    window.attr("add")(body);
    window.attr("connect")("destroy", c.nested<destroy_spec>(on_destroy, s));
    holder["form"] = window;
    holder["addr"] = entry;

    // Other threads' work for the window goes through its channel to this thread's main loop.
    pk::host::glib_channel_open(holder, glib);
    nb::object server;
    try {
        if (with_control_server) {
            try {
                server = pk::host::start_window_server(c, ch, cp, fns);
            } catch (nb::python_error &e) {
                // A window nobody can steer is not opened: the failure was said, the start is refused.
                if (!pk::is_exception(e)) throw;
                holder["form"] = nb::none();
                pk::host::glib_channel_close(holder);
                pk::guarded([&] { window.attr("destroy")(); });
                return nb::int_(1);
            }
            pk::print_line(pk::format1(kControlLine, pk::host::window_server_url(c, ch, cp, server)));
        }
        pk::print_line(nb::str("[panekit] 首页=") + nb::str(home) + nb::str("  首跳=") + nb::str(start) +
                       nb::str("  (宿主=gtk)"));
        window.attr("show_all")();
        entry.attr("grab_focus")();
        glib.attr("idle_add")(c.nested<ready_spec>(on_ready, s), "priority"_a = glib.attr("PRIORITY_DEFAULT"));
        gtk.attr("main")();
    } catch (nb::python_error &) {
        pk::host::glib_channel_close(holder);
        pk::host::end_window(fns.pages, server);
        holder["core"] = nb::none();
        holder["form"] = nb::none();
        pk::guarded([&] { window.attr("destroy")(); });
        throw;
    }
    pk::host::glib_channel_close(holder);
    pk::host::end_window(fns.pages, server);
    return nb::int_(0);
}

}  // namespace

NB_MODULE(gtkhost, m) {
    pk::Module mod(m, "panekit.gtkhost",
                   "The GTK host: one GTK 3 window with the toolbar above one WebKit view, steered by the "
                   "toolbar and the loopback control server (Linux).");
    pk::host::add_host_globals(mod, pk::host::ServerImport::AtFirstUse);
    mod.set("threading", pk::import("threading"));
    mod.import_names("panekit.fetchkeep", {"handle_download_starting", "resolve_download_settings"});
    mod.import_names("panekit.trailbar", {"norm_browser_url"});
    mod.set("_DEFAULT_HOME", nb::str(kDefaultHome));
    mod.set("_Event", mod.klass("_Event", nb::make_tuple(pk::import_from("builtins", "object")),
                                "Handlers added with += and removed with -=, as a .NET event takes them.")
                          .method<event_init_spec>(event_init)
                          .method<event_add_spec>(event_iadd)
                          .method<event_remove_spec>(event_isub)
                          .build());
    mod.def<ask_spec>(ask_save_path);
    mod.def<main_spec>(run_toolbar_main);
}
