// The engine contract (engine.hpp) over WebView2's CoreWebView2, as the WinForms and the pywebview
// host reach it through pythonnet. The core is read at each operation from the host's callable
// (None while the view is still starting).
#include "engine.hpp"

namespace pk::engine {

using namespace nb::literals;

namespace {

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
    WebView2(nb::handle core_fn, nb::handle window_fn) : core_fn_(nb::borrow(core_fn)) {
        if (window_fn.is_valid()) window_fn_ = nb::borrow(window_fn);
    }

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

    bool ready() override { return !core().is_none(); }
    void navigate(nb::handle url) override {
        nb::object cv = core();
        if (!cv.is_none()) cv.attr("Navigate")(nb::str(url));
    }
    void back() override {
        nb::object cv = core();
        if (!cv.is_none() && truthy(nb::object(cv.attr("CanGoBack")))) cv.attr("GoBack")();
    }
    void forward() override {
        nb::object cv = core();
        if (!cv.is_none() && truthy(nb::object(cv.attr("CanGoForward")))) cv.attr("GoForward")();
    }
    void reload() override {
        nb::object cv = core();
        if (!cv.is_none()) cv.attr("Reload")();
    }

    nb::object url() override {
        nb::object cv = core();
        return cv.is_none() ? nb::object(nb::str("")) : nb::object(source_text(cv));
    }
    nb::object title() override {
        nb::object cv = core();
        return cv.is_none() ? nb::object(nb::str("")) : nb::object(text_or_empty(nb::object(cv.attr("DocumentTitle"))));
    }
    // WebView2 reports no loading state of its own: the page tracker's, from the navigation events.
    bool loading() override { return false; }
    bool can_go_back() override {
        nb::object cv = core();
        return !cv.is_none() && truthy(nb::object(cv.attr("CanGoBack")));
    }
    bool can_go_forward() override {
        nb::object cv = core();
        return !cv.is_none() && truthy(nb::object(cv.attr("CanGoForward")));
    }

    void run_script(const Call &c, nb::handle script, const FramePath &frame, double, nb::handle done) override {
        if (!frame.empty()) return void(done(unsupported(Op::RunScriptInFrame)));
        nb::object cv = core();
        if (cv.is_none()) return void(done(not_ready()));
        // ExecuteScriptWithResultAsync (SDK 1.0.2277 and later) reports a thrown script's exception;
        // ExecuteScriptAsync answers "null" for it as for undefined.
        if (nb::hasattr(cv, "ExecuteScriptWithResultAsync"))
            when_done(c, cv.attr("ExecuteScriptWithResultAsync")(script), kScriptWithResult, nb::handle(), done);
        else
            when_done(c, cv.attr("ExecuteScriptAsync")(script), kScriptPlain, nb::handle(), done);
    }

    void capture_png(const Call &c, const std::optional<Rect> &rect, nb::handle done) override {
        if (rect) return void(done(unsupported(Op::CaptureRect)));
        nb::object cv = core();
        if (cv.is_none()) return void(done(not_ready()));
        nb::object stream = import_from("System.IO", "MemoryStream")();
        nb::object png = import_from("Microsoft.Web.WebView2.Core", "CoreWebView2CapturePreviewImageFormat").attr("Png");
        when_done(c, cv.attr("CapturePreviewAsync")(png, stream), kCapture, stream, done);
    }

    void cookies(const Call &, nb::handle, nb::handle done) override { done(unsupported(Op::ReadCookies)); }
    void add_cookie(const Call &, nb::handle, nb::handle done) override { done(unsupported(Op::AddCookie)); }
    void delete_cookies(const Call &, nb::handle, nb::handle done) override { done(unsupported(Op::DeleteCookies)); }

    nb::object window_rect() override { return unsupported(Op::WindowRect); }
    nb::object set_window_rect(std::optional<double>, std::optional<double>, std::optional<double>,
                               std::optional<double>) override {
        return unsupported(Op::SetWindowRect);
    }
    nb::object maximize() override { return unsupported(Op::Maximize); }
    nb::object minimize() override { return unsupported(Op::Minimize); }

    nb::object pointer(const PointerAction &) override { return unsupported(Op::PointerInput); }
    nb::object key(const KeyAction &) override { return unsupported(Op::KeyInput); }

    nb::object dialog() override { return unsupported(Op::Dialog); }
    nb::object accept_dialog(nb::handle) override { return unsupported(Op::AcceptDialog); }
    nb::object dismiss_dialog() override { return unsupported(Op::DismissDialog); }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(core_fn_.ptr());
        Py_VISIT(window_fn_.ptr());
        return 0;
    }
    void clear() override {
        core_fn_ = nb::none();
        window_fn_ = nb::none();
    }

private:
    // The view's CoreWebView2 now, or None.
    nb::object core() { return core_fn_(); }

    nb::object core_fn_;
    nb::object window_fn_ = nb::none();
};

}  // namespace

std::unique_ptr<Engine> webview2(nb::handle core_fn, nb::handle window_fn) {
    return std::make_unique<WebView2>(core_fn, window_fn);
}

}  // namespace pk::engine
