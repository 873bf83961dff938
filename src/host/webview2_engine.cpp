// The engine contract (engine.hpp) over WebView2's CoreWebView2, as the WinForms and the pywebview
// host reach it through pythonnet.
#include "engine.hpp"
#include "tracker.hpp"

namespace pk::engine {

using namespace nb::literals;

namespace {

// The text of a CoreWebView2's Source (its current address), or "" when that is empty or None.
nb::str source_text(nb::handle cv) { return text_or_empty(cv.attr("Source")); }

nb::dict script_value(nb::handle json_text) {
    nb::dict d;
    d["ok"] = true;
    nb::str text = text_or_empty(json_text);
    d["value"] = truthy(text) ? import("json").attr("loads")(text) : nb::none();
    return d;
}

nb::dict script_failure(nb::handle error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = text_or_empty(error);
    return d;
}

// What one WebView2 task's completion needs: the task, what it was, the stream of a picture, done.
enum class Task { Task, Kind, Stream, Done, kCount };
enum TaskKind : long { kScriptWithResult, kScriptPlain, kCapture };

// The answer a finished WebView2 task gives.
nb::object task_answer(const State<Task> &t) {
    nb::handle task = t[Task::Task];
    const long kind = PyLong_AsLong(t[Task::Kind].ptr());
    nb::object result;
    try {
        // GetResult raises the task's own exception (Result would wrap it in an AggregateException).
        result = task.attr("GetAwaiter")().attr("GetResult")();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        nb::object msg = attr_or(e.value(), "Message", nb::none());
        return script_failure(msg.is_none() ? nb::object(nb::str(e.value())) : msg);
    }
    if (kind == kCapture) {
        nb::object data = t[Task::Stream].attr("ToArray")();
        return check(PyBytes_FromObject(data.ptr()));
    }
    if (kind == kScriptPlain) return script_value(result);
    if (truthy(nb::object(result.attr("Succeeded")))) return script_value(result.attr("ResultAsJson"));
    nb::object exc = result.attr("Exception");
    nb::object name = attr_or(exc, "Name", nb::none()), message = attr_or(exc, "Message", nb::none());
    nb::str text = text_or_empty(message);
    if (truthy(text_or_empty(name)) && !truthy(text.attr("startswith")(nb::str(name))))
        text = nb::str("{}: {}").format(name, text);
    return script_failure(text);
}

constexpr Spec kTaskDoneSpec{.name = "_on_task_done", .returns = "None"};
void on_task_done(const Call &c) {
    State<Task> t = c.state<Task>();
    nb::object answer = guarded_or(nb::object(), [&] { return task_answer(t); });
    if (!answer.is_valid()) answer = script_failure(nb::str("the browser's answer could not be read"));
    t[Task::Done](answer);
}

// Calls `done` with the answer once `task` (a System.Threading.Tasks.Task) has completed: its
// awaiter's OnCompleted runs the continuation in the UI thread's synchronization context.
void when_done(const Call &c, nb::handle task, long kind, nb::handle stream, nb::handle done) {
    State<Task> t;
    t.set(Task::Task, task);
    t.set(Task::Kind, nb::int_(kind));
    if (stream.is_valid()) t.set(Task::Stream, stream);
    t.set(Task::Done, done);
    nb::object action = import_from("System", "Action");
    task.attr("GetAwaiter")().attr("OnCompleted")(action(c.nested<kTaskDoneSpec>(on_task_done, t.object())));
}

class WebView2 final : public Engine {
public:
    const char *name() const override { return "webview2"; }
    bool supports(Op op) const override {
        switch (op) {
            case Op::Navigate: case Op::Back: case Op::Forward: case Op::Reload: case Op::ReadPage:
            case Op::RunScript: case Op::CapturePng:
                return true;
            default:
                return false;
        }
    }

    void navigate(nb::handle cv, nb::handle url) override { cv.attr("Navigate")(nb::str(url)); }
    void back(nb::handle cv) override {
        if (can_go_back(cv)) cv.attr("GoBack")();
    }
    void forward(nb::handle cv) override {
        if (can_go_forward(cv)) cv.attr("GoForward")();
    }
    void reload(nb::handle cv) override { cv.attr("Reload")(); }

    nb::object url(nb::handle cv) override { return source_text(cv); }
    nb::object title(nb::handle cv) override { return text_or_empty(nb::object(cv.attr("DocumentTitle"))); }
    // WebView2 reports no loading state of its own: the page tracker's, from the navigation events.
    bool loading(nb::handle) override { return false; }
    bool can_go_back(nb::handle cv) override { return truthy(nb::object(cv.attr("CanGoBack"))); }
    bool can_go_forward(nb::handle cv) override { return truthy(nb::object(cv.attr("CanGoForward"))); }

    void run_script(const Call &c, nb::handle cv, nb::handle script, const FramePath &frame, double,
                    nb::handle done) override {
        if (!frame.empty()) return void(done(unsupported(Op::RunScriptInFrame)));
        // ExecuteScriptWithResultAsync (SDK 1.0.2277 and later) reports a thrown script's exception;
        // ExecuteScriptAsync answers "null" for it as for undefined.
        if (nb::hasattr(cv, "ExecuteScriptWithResultAsync"))
            when_done(c, cv.attr("ExecuteScriptWithResultAsync")(script), kScriptWithResult, nb::handle(), done);
        else
            when_done(c, cv.attr("ExecuteScriptAsync")(script), kScriptPlain, nb::handle(), done);
    }

    void capture_png(const Call &c, nb::handle cv, const std::optional<Rect> &rect, nb::handle done) override {
        if (rect) return void(done(unsupported(Op::CaptureRect)));
        nb::object stream = import_from("System.IO", "MemoryStream")();
        nb::object png = import_from("Microsoft.Web.WebView2.Core", "CoreWebView2CapturePreviewImageFormat").attr("Png");
        when_done(c, cv.attr("CapturePreviewAsync")(png, stream), kCapture, stream, done);
    }

    void cookies(const Call &, nb::handle, nb::handle, nb::handle done) override { done(unsupported(Op::ReadCookies)); }
    void add_cookie(const Call &, nb::handle, nb::handle, nb::handle done) override { done(unsupported(Op::AddCookie)); }
    void delete_cookies(const Call &, nb::handle, nb::handle, nb::handle done) override {
        done(unsupported(Op::DeleteCookies));
    }

    nb::object window_rect() override { return unsupported(Op::WindowRect); }
    nb::object set_window_rect(std::optional<double>, std::optional<double>, std::optional<double>,
                               std::optional<double>) override {
        return unsupported(Op::SetWindowRect);
    }
    nb::object maximize() override { return unsupported(Op::Maximize); }
    nb::object minimize() override { return unsupported(Op::Minimize); }

    nb::object pointer(nb::handle, const PointerAction &) override { return unsupported(Op::PointerInput); }
    nb::object key(nb::handle, const KeyAction &) override { return unsupported(Op::KeyInput); }

    nb::object dialog(nb::handle) override { return unsupported(Op::Dialog); }
    nb::object accept_dialog(nb::handle, nb::handle) override { return unsupported(Op::AcceptDialog); }
    nb::object dismiss_dialog(nb::handle) override { return unsupported(Op::DismissDialog); }

    int traverse(visitproc, void *) override { return 0; }
    void clear() override {}
};

}  // namespace

std::unique_ptr<Engine> webview2() { return std::make_unique<WebView2>(); }

}  // namespace pk::engine

// ---- what WebView2 reports, to the page tracker --------------------------------------------------

namespace pk::host {

using engine::source_text;

namespace {
// The functions below are nested over the tracker: their state is the tracker itself.
enum class Tracker { kCount };
nb::handle tracker(const Call &c) { return c.state<Tracker>().object(); }
}  // namespace

// The download events of a WebView2 download, from its DownloadStarting arguments (below).
void webview2_download_events(const Call &c, nb::handle pages, nb::handle args);

namespace {

constexpr Param kEventParams[] = {{.name = "_s", .annotation = "Any"}, {.name = "args", .annotation = "Any"}};
constexpr Spec kNavStartingSpec{.name = "_on_nav_starting", .params = kEventParams, .returns = "None"};
constexpr Spec kNavDoneSpec{.name = "_on_nav_done", .params = kEventParams, .returns = "None"};
constexpr Spec kDownloadSpec{.name = "_on_download_starting", .params = kEventParams, .returns = "None"};

void on_nav_starting(const Call &c, nb::handle, nb::handle args) {
    guarded([&] {
        pages_started(tracker(c), attr_or(args, "NavigationId", nb::none()),
                      attr_or(args, "Uri", nb::none()));
    });
}

void on_nav_done(const Call &c, nb::handle, nb::handle args) {
    guarded([&] {
        const bool ok = truthy(attr_or(args, "IsSuccess", Py_True));
        nb::object status = ok ? nb::object(nb::none()) : attr_or(args, "WebErrorStatus", nb::none());
        nb::str text = status.is_none() ? nb::str("Unknown") : nb::str(status);
        // WebView2 ends a navigation whose response becomes a download this way, before
        // DownloadStarting is raised.
        const bool maybe_download = !ok && text.equal(nb::str("ConnectionAborted"));
        pages_finished(tracker(c), attr_or(args, "NavigationId", nb::none()), ok, text, nb::none(),
                       maybe_download);
    });
}

void on_download_starting(const Call &c, nb::handle, nb::handle args) {
    guarded([&] { pages_download(tracker(c)); });
    guarded([&] { webview2_download_events(c, tracker(c), args); });
}

}  // namespace

void watch_webview2(const Call &c, nb::handle pages, nb::handle cv) {
    event_add(cv, "NavigationStarting", c.nested<kNavStartingSpec>(on_nav_starting, pages));
    event_add(cv, "NavigationCompleted", c.nested<kNavDoneSpec>(on_nav_done, pages));
    event_add(cv, "DownloadStarting", c.nested<kDownloadSpec>(on_download_starting, pages));
    watch_webview2_page(c, pages, cv);
}

namespace {

constexpr Spec kSourceChangedSpec{.name = "_on_source_changed", .params = kEventParams, .returns = "None"};
void on_source_changed(const Call &c, nb::handle sender, nb::handle args) {
    guarded([&] {
        if (truthy(attr_or(args, "IsNewDocument", Py_True))) return;  // a page load: NavigationStarting says it
        nb::dict f;
        f["url"] = source_text(sender);
        event_push(tracker(c), "same_document", f);
        // No start or finish comes for it: the waits armed for it end now.
        pages_same_document(tracker(c));
    });
}

constexpr Spec kTitleChangedSpec{.name = "_on_title_changed", .params = kEventParams, .returns = "None"};
void on_title_changed(const Call &c, nb::handle sender, nb::handle) {
    guarded([&] { pages_title(tracker(c), nb::object(sender.attr("DocumentTitle"))); });
}

// One WebView2 download as its events report it: the tracker, the operation, done once final.
enum class Dl { Pages, Op, Done, kCount };

constexpr Spec kDownloadStateSpec{.name = "_on_download_state", .params = kEventParams, .returns = "None"};
void on_download_state(const Call &c, nb::handle, nb::handle) {
    auto dl = c.state<Dl>();
    guarded([&] {
        if (dl[Dl::Done].is(Py_True)) return;
        nb::handle op = dl[Dl::Op];
        // CoreWebView2DownloadState: InProgress 0, Interrupted 1, Completed 2.
        nb::str state = nb::str(nb::object(op.attr("State")));
        auto is = [&](const char *name, const char *number) {
            return state.equal(nb::str(name)) || state.equal(nb::str(number));
        };
        const bool completed = is("Completed", "2");
        const bool lost = is("Interrupted", "1") && !truthy(attr_or(op, "CanResume", Py_False));
        if (!completed && !lost) return;
        dl.set(Dl::Done, Py_True);
        nb::dict f;
        f["url"] = text_or_empty(attr_or(op, "Uri", nb::none()));
        f["path"] = text_or_empty(attr_or(op, "ResultFilePath", nb::none()));
        if (lost) f["error"] = text_or_empty(attr_or(op, "InterruptReason", nb::str("Interrupted")));
        event_push(dl[Dl::Pages], completed ? "download_finished" : "download_failed", f);
    });
}

}  // namespace

void watch_webview2_page(const Call &c, nb::handle pages, nb::handle cv) {
    event_add(cv, "SourceChanged", c.nested<kSourceChangedSpec>(on_source_changed, pages));
    event_add(cv, "DocumentTitleChanged", c.nested<kTitleChangedSpec>(on_title_changed, pages));
}

// The download events of a WebView2 download, from its DownloadStarting arguments.
void webview2_download_events(const Call &c, nb::handle pages, nb::handle args) {
    nb::object op = attr_or(args, "DownloadOperation", nb::none());
    nb::dict f;
    f["url"] = text_or_empty(op.is_none() ? nb::object(nb::none()) : attr_or(op, "Uri", nb::none()));
    event_push(pages, "download_started", f);
    if (op.is_none()) return;
    State<Dl> dl;
    dl.set(Dl::Pages, pages);
    dl.set(Dl::Op, op);
    dl.set(Dl::Done, Py_False);
    event_add(op, "StateChanged", c.nested<kDownloadStateSpec>(on_download_state, dl.object()));
}

}  // namespace pk::host
