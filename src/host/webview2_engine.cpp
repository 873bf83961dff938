// The engine contract (engine.hpp) over WebView2's CoreWebView2, as the WinForms and the pywebview
// host reach it through pythonnet.
#include "engine.hpp"

#include <cmath>
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

// GetCookiesAsync's list as the contract answers it. (CoreWebView2Cookie: Name, Value, Domain,
// Path, Expires, IsSession, IsSecure, IsHttpOnly, SameSite: CoreWebView2CookieSameSiteKind None 0,
// Lax 1, Strict 2.)
nb::dict cookie_answer(nb::handle list) {
    static constexpr const char *same_site[] = {"None", "Lax", "Strict"};
    nb::list out;
    for (nb::handle c : list) {
        nb::dict d;
        d["name"] = text_or_empty(nb::object(c.attr("Name")));
        d["value"] = text_or_empty(nb::object(c.attr("Value")));
        d["domain"] = text_or_empty(nb::object(c.attr("Domain")));
        d["path"] = text_or_empty(nb::object(c.attr("Path")));
        d["expiry"] = truthy(nb::object(c.attr("IsSession")))
                          ? nb::object(nb::none())
                          : nb::object(import_from("System", "DateTimeOffset")(c.attr("Expires")).attr("ToUnixTimeSeconds")());
        d["secure"] = nb::bool_(truthy(nb::object(c.attr("IsSecure"))));
        d["httpOnly"] = nb::bool_(truthy(nb::object(c.attr("IsHttpOnly"))));
        const long kind = nb::cast<long>(nb::int_(nb::object(c.attr("SameSite"))));
        d["sameSite"] = same_site[kind >= 0 && kind < 3 ? kind : 0];
        out.append(d);
    }
    nb::dict d;
    d["ok"] = true;
    d["cookies"] = out;
    return d;
}

// The failure answer of a .NET exception (its Message).
nb::object failure_of(nb::python_error &e) { return script_failure(attr_or(e.value(), "Message", nb::str(e.value()))); }

// What one WebView2 task's completion needs: the task, what it was, the stream of a picture, done.
enum class Task { Task, Kind, Stream, Done, kCount };
enum TaskKind : long { kScriptWithResult, kScriptPlain, kCapture, kCookies, kDevTools };

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
    if (kind == kCookies) return cookie_answer(result);
    if (kind == kDevTools) {
        // The method's return object as JSON text.
        nb::dict d;
        d["ok"] = true;
        d["value"] = import("json").attr("loads")(text_or_empty(result));
        return d;
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

// The ScriptDialogOpening handler: the engine it hands the dialog to.
enum class Dlg { Engine, kCount };
constexpr Param kDialogParams[] = {{.name = "sender", .annotation = "Any"}, {.name = "args", .annotation = "Any"}};
constexpr Spec kDialogSpec{.name = "_on_script_dialog", .params = kDialogParams, .returns = "None"};
void on_dialog(const Call &c, nb::handle, nb::handle args);

// The live frames of the page as a tree: an entry per frame, [frame, [its child entries]], the top
// document's in one list. CoreWebView2.FrameCreated reports the top document's frames and each
// frame's own FrameCreated its direct descendants (ICoreWebView2Frame7: a runtime without it throws
// on the subscription, and that frame's frames stay unknown); each frame's Destroyed ends its entry
// (learn.microsoft.com: CoreWebView2.FrameCreated, CoreWebView2Frame.FrameCreated,
// CoreWebView2FrameCreatedEventArgs.Frame, CoreWebView2Frame.Destroyed). The handlers hold the
// lists, not the engine.
enum class Frames { List, Entry, kCount };
constexpr Spec kFrameCreatedSpec{.name = "_on_frame_created", .params = kDialogParams, .returns = "None"};
constexpr Spec kFrameDestroyedSpec{.name = "_on_frame_destroyed", .params = kDialogParams, .returns = "None"};

void on_frame_destroyed(const Call &c, nb::handle, nb::handle) {
    State<Frames> st = c.state<Frames>();
    nb::list entries = nb::borrow<nb::list>(st[Frames::List]);
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(nb::len(entries)); ++i)
        if (entries[i].is(st[Frames::Entry])) return void(entries.attr("pop")(i));
}

void on_frame_created(const Call &c, nb::handle, nb::handle args) {
    nb::list entry;
    nb::handle list = c.state<Frames>()[Frames::List];
    bool followed = false;
    guarded([&] {
        nb::object frame = args.attr("Frame");
        entry.append(frame);
        entry.append(nb::list());
        State<Frames> st;
        st.set(Frames::List, list);
        st.set(Frames::Entry, entry);
        event_add(frame, "Destroyed", c.nested<kFrameDestroyedSpec>(on_frame_destroyed, st.object()));
        nb::borrow<nb::list>(list).append(entry);
        followed = true;
    });
    if (!followed) return;
    guarded([&] {
        State<Frames> st;
        st.set(Frames::List, entry[1]);
        st.set(Frames::Entry, nb::none());
        event_add(entry[0], "FrameCreated", c.nested<kFrameCreatedSpec>(on_frame_created, st.object()));
    });
}

// The entry of `frame` in a tree of entries; None when it is not there. (pythonnet hands a new
// wrapper for each read of a .NET object: frames compare by Equals, `==`.)
nb::object entry_of(nb::handle entries, nb::handle frame) {
    for (nb::handle e : nb::borrow<nb::list>(entries)) {
        if (e[0].equal(frame)) return nb::borrow(e);
        nb::object inner = entry_of(e[1], frame);
        if (!inner.is_none()) return inner;
    }
    return nb::none();
}

// Whether a CoreWebView2Frame is still there (IsDestroyed() answers 1 once it has gone).
bool frame_there(nb::handle frame) {
    return guarded_or(false, [&] { return nb::cast<long>(nb::int_(frame.attr("IsDestroyed")())) == 0; });
}

class WebView2 final : public Engine {
public:
    const char *name() const override { return "webview2"; }
    bool supports(Op op) const override {
        switch (op) {
            case Op::Navigate: case Op::Back: case Op::Forward: case Op::Reload: case Op::ReadPage:
            case Op::RunScript: case Op::CapturePng: case Op::CaptureRect:
            case Op::ReadCookies: case Op::AddCookie: case Op::DeleteCookies:
            case Op::Dialog: case Op::AcceptDialog: case Op::DismissDialog:
            case Op::PrintPdf:
                return true;
            case Op::WindowRect: case Op::SetWindowRect: case Op::Maximize: case Op::Minimize:
                return !window_fn_.is_none();
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
        if (rect) return capture_rect(c, cv, *rect, done);
        nb::object stream = import_from("System.IO", "MemoryStream")();
        nb::object png = import_from("Microsoft.Web.WebView2.Core", "CoreWebView2CapturePreviewImageFormat").attr("Png");
        when_done(c, cv.attr("CapturePreviewAsync")(png, stream), kCapture, stream, done);
    }

    // A rectangle of the view through the DevTools protocol (CallDevToolsProtocolMethodAsync):
    // Page.captureScreenshot's clip is in CSS pixels of the document, so the layout viewport's
    // scroll offset (Page.getLayoutMetrics, cssLayoutViewport.pageX / pageY) is added to the
    // rectangle of the view first; its answer's "data" is the PNG in base64.
    void capture_rect(const Call &c, nb::handle cv, const Rect &rect, nb::handle done) {
        nb::object core = nb::borrow(cv), finish = nb::borrow(done);
        nb::object json = import("json"), fn = nb::borrow(c.function()), globals = nb::borrow(c.globals());
        auto shot = [fn, globals, core, finish, json, rect](nb::object metrics) {
            const Call c(fn.ptr(), globals.ptr(), Py_None);
            if (!truthy(metrics["ok"])) return void(finish(metrics));
            nb::object layout = metrics["value"].attr("get")("cssLayoutViewport", nb::dict());
            nb::dict clip;
            clip["x"] = rect.x + nb::cast<double>(layout.attr("get")("pageX", 0));
            clip["y"] = rect.y + nb::cast<double>(layout.attr("get")("pageY", 0));
            clip["width"] = rect.width;
            clip["height"] = rect.height;
            clip["scale"] = 1;
            nb::dict p;
            p["format"] = "png";
            p["clip"] = clip;
            nb::object task = core.attr("CallDevToolsProtocolMethodAsync")("Page.captureScreenshot", json.attr("dumps")(p));
            when_done(c, task, kDevTools, nb::handle(), answering(finish, [finish](nb::object a) {
                if (!truthy(a["ok"])) return void(finish(a));
                nb::object data = a["value"].attr("get")("data");
                if (!PyUnicode_Check(data.ptr())) return void(finish(script_failure(nb::str("the browser gave no picture"))));
                finish(import("base64").attr("b64decode")(data));
            }));
        };
        nb::object task = core.attr("CallDevToolsProtocolMethodAsync")("Page.getLayoutMetrics", "{}");
        when_done(c, task, kDevTools, nb::handle(), answering(finish, shot));
    }
    // The page as a PDF through the DevTools protocol's Page.printToPDF (sizes in inches; page
    // ranges as its text, "2-4,7" with an open end as "7-"); its answer's "data" is the PDF in base64.
    void print_pdf(const Call &c, nb::handle cv, nb::handle settings, nb::handle done) override {
        nb::object finish = nb::borrow(done);
        constexpr double kInch = 2.54;
        nb::dict p;
        p["landscape"] = settings["landscape"];
        p["printBackground"] = settings["background"];
        p["scale"] = settings["scale"];
        p["paperWidth"] = nb::cast<double>(settings["width"]) / kInch;
        p["paperHeight"] = nb::cast<double>(settings["height"]) / kInch;
        p["marginTop"] = nb::cast<double>(settings["top"]) / kInch;
        p["marginBottom"] = nb::cast<double>(settings["bottom"]) / kInch;
        p["marginLeft"] = nb::cast<double>(settings["left"]) / kInch;
        p["marginRight"] = nb::cast<double>(settings["right"]) / kInch;
        nb::list ranges;
        for (nb::handle pair : settings["ranges"])
            ranges.append(pair[1].is_none() ? nb::str("{}-").format(pair[0]) : nb::str("{}-{}").format(pair[0], pair[1]));
        p["pageRanges"] = nb::str(",").attr("join")(ranges);
        nb::object task = cv.attr("CallDevToolsProtocolMethodAsync")("Page.printToPDF", import("json").attr("dumps")(p));
        when_done(c, task, kDevTools, nb::handle(), answering(finish, [finish](nb::object a) {
            if (!truthy(a["ok"])) return void(finish(a));
            nb::object data = a["value"].attr("get")("data");
            if (!PyUnicode_Check(data.ptr())) return void(finish(script_failure(nb::str("the browser gave no PDF"))));
            finish(import("base64").attr("b64decode")(data));
        }));
    }

    // A continuation of a task's answer that calls `done` with the failure of what it raises.
    template <class F> static nb::object answering(nb::object done, F step) {
        return nb::cpp_function([done, step](nb::object a) {
            nb::object failed = guarded_else([&]() -> nb::object {
                step(a);
                return nb::none();
            }, failure_of);
            if (!failed.is_none()) done(failed);
        });
    }

    // ---- cookies: CoreWebView2.CookieManager (learn.microsoft.com: CoreWebView2CookieManager) ----
    void cookies(const Call &c, nb::handle cv, nb::handle url, nb::handle done) override {
        nb::object address = url.is_none() ? nb::object(source_text(cv)) : nb::borrow(url);
        nb::object task = cv.attr("CookieManager").attr("GetCookiesAsync")(address);
        when_done(c, task, kCookies, nb::handle(), done);
    }
    void add_cookie(const Call &, nb::handle cv, nb::handle cookie, nb::handle done) override {
        done(guarded_else([&]() -> nb::object {
            nb::object manager = cv.attr("CookieManager");
            nb::object parts = import("urllib.parse").attr("urlsplit")(source_text(cv));
            nb::object domain = cookie.attr("get")("domain"), path = cookie.attr("get")("path");
            if (domain.is_none()) domain = parts.attr("hostname");
            if (path.is_none()) path = nb::str("/");
            nb::object made = manager.attr("CreateCookie")(cookie["name"], cookie["value"], domain, path);
            made.attr("IsSecure") = truthy(cookie.attr("get")("secure", false));
            made.attr("IsHttpOnly") = truthy(cookie.attr("get")("httpOnly", false));
            nb::object expiry = cookie.attr("get")("expiry");
            if (!expiry.is_none())
                made.attr("Expires") = import_from("System", "DateTimeOffset").attr("FromUnixTimeSeconds")(expiry).attr("UtcDateTime");
            nb::object same = cookie.attr("get")("sameSite");
            if (!same.is_none())
                made.attr("SameSite") = import_from("Microsoft.Web.WebView2.Core", "CoreWebView2CookieSameSiteKind").attr(nb::str(same));
            manager.attr("AddOrUpdateCookie")(made);
            nb::dict d;
            d["ok"] = true;
            return d;
        }, failure_of));
    }
    void delete_cookies(const Call &, nb::handle cv, nb::handle name, nb::handle done) override {
        done(guarded_else([&]() -> nb::object {
            nb::object manager = cv.attr("CookieManager");
            if (name.is_none())
                manager.attr("DeleteAllCookies")();
            else
                manager.attr("DeleteCookies")(name, source_text(cv));
            nb::dict d;
            d["ok"] = true;
            return d;
        }, failure_of));
    }

    // ---- the window: the Form the host shows (WinForms' Left, Top, Width, Height, WindowState) --
    nb::object form() { return window_fn_.is_none() ? nb::object(nb::none()) : nb::object(window_fn_()); }
    nb::object window_rect() override {
        nb::object f = form();
        if (f.is_none()) return unsupported(Op::WindowRect);
        nb::dict d;
        d["ok"] = true;
        d["x"] = f.attr("Left");
        d["y"] = f.attr("Top");
        d["width"] = f.attr("Width");
        d["height"] = f.attr("Height");
        return d;
    }
    nb::object set_window_rect(std::optional<double> x, std::optional<double> y, std::optional<double> width,
                               std::optional<double> height) override {
        nb::object f = form();
        if (f.is_none()) return unsupported(Op::SetWindowRect);
        leave_fullscreen(f);
        f.attr("WindowState") = import_from("System.Windows.Forms", "FormWindowState").attr("Normal");
        if (x) f.attr("Left") = nb::int_(static_cast<long>(std::lround(*x)));
        if (y) f.attr("Top") = nb::int_(static_cast<long>(std::lround(*y)));
        if (width) f.attr("Width") = nb::int_(static_cast<long>(std::lround(*width)));
        if (height) f.attr("Height") = nb::int_(static_cast<long>(std::lround(*height)));
        return window_rect();
    }
    nb::object maximize() override { return show("Maximized", Op::Maximize); }
    // Form.Close(): FormClosing and FormClosed run as for the user's close.
    nb::object close_window() override {
        nb::object f = form();
        if (f.is_none()) return unsupported(Op::CloseWindow);
        f.attr("Close")();
        nb::dict d;
        d["ok"] = true;
        return d;
    }
    nb::object minimize() override { return show("Minimized", Op::Minimize); }
    // Full screen as Windows Forms has it: the form without its frame, maximised (a frameless
    // maximised form covers the taskbar too). The frame it had is put back when it leaves.
    nb::object fullscreen() override {
        nb::object f = form();
        if (f.is_none()) return unsupported(Op::Fullscreen);
        nb::object states = import_from("System.Windows.Forms", "FormWindowState");
        if (frame_.is_none()) {
            frame_ = f.attr("FormBorderStyle");
            f.attr("WindowState") = states.attr("Normal");
            f.attr("FormBorderStyle") = import_from("System.Windows.Forms", "FormBorderStyle").attr("None");
        }
        f.attr("WindowState") = states.attr("Maximized");
        return window_rect();
    }

    // ---- frames of another origin: CoreWebView2Frame (Name: its window's name, at first the
    // name attribute of its element; ExecuteScriptAsync as CoreWebView2's) -----------------------
    void watch_frames(const Call &c, nb::handle cv) override {
        if (!watched_.is_none() && watched_.equal(cv)) return;
        watched_ = nb::borrow(cv);
        State<Frames> st;
        st.set(Frames::List, nb::list());
        st.set(Frames::Entry, nb::none());
        event_add(cv, "FrameCreated", c.nested<kFrameCreatedSpec>(on_frame_created, st.object()));
        frames_ = nb::borrow(st[Frames::List]);
    }
    nb::object named_frame(nb::handle, nb::handle parent, nb::handle name) override {
        nb::dict d;
        if (frames_.is_none()) return unsupported(Op::RunScriptInFrame);
        nb::object entries = frames_;
        if (!parent.is_none()) {
            nb::object entry = entry_of(frames_, parent);
            if (entry.is_none() || !frame_there(parent)) {
                d["ok"] = false;
                d["error"] = "the frame has gone";
                return d;
            }
            entries = entry[1];
        }
        nb::object found = nb::none();
        int count = 0;
        for (nb::handle e : nb::borrow<nb::list>(entries)) {
            nb::handle f = e[0];
            if (!frame_there(f)) continue;
            if (!name.is_none() && !guarded_or(false, [&] { return text_or_empty(nb::object(f.attr("Name"))).equal(name); }))
                continue;
            found = nb::borrow(f);
            ++count;
        }
        d["ok"] = count == 1;
        if (count == 1) d["frame"] = found;
        else if (name.is_none()) d["error"] = count ? "the page has several frames" : "the page's frame is not there";
        else d["error"] = count ? "several frames have this name" : "no frame of the page has this name";
        return d;
    }
    bool frame_alive(nb::handle frame) override {
        return !frames_.is_none() && !entry_of(frames_, frame).is_none() && frame_there(frame);
    }
    void run_script_in(const Call &c, nb::handle frame, nb::handle script, nb::handle done) override {
        // (A thrown script answers "null" here: the callers' scripts catch their own errors.)
        when_done(c, frame.attr("ExecuteScriptAsync")(script), kScriptPlain, nb::handle(), done);
    }

    nb::object pointer(nb::handle, const PointerAction &) override { return unsupported(Op::PointerInput); }
    nb::object key(nb::handle, const KeyAction &) override { return unsupported(Op::KeyInput); }

    // ---- script dialogs: ScriptDialogOpening with its deferral (learn.microsoft.com:
    // CoreWebView2.ScriptDialogOpening, raised only while AreDefaultScriptDialogsEnabled is false;
    // CoreWebView2ScriptDialogOpeningEventArgs.Accept, ResultText, GetDeferral) ---------------------
    void take_dialogs(const Call &c, nb::handle cv, bool take) override {
        if (take == !handler_.is_none()) return;
        nb::object settings = cv.attr("Settings");
        if (take) {
            State<Dlg> st;
            st.set(Dlg::Engine, nb::capsule(this));
            handler_ = c.nested<kDialogSpec>(on_dialog, st.object());
            event_add(cv, "ScriptDialogOpening", handler_);
            settings.attr("AreDefaultScriptDialogsEnabled") = false;
        } else {
            if (!args_.is_none()) end_dialog(false, nb::none());
            guarded([&] { event_remove(cv, "ScriptDialogOpening", handler_); });
            handler_ = nb::none();
            settings.attr("AreDefaultScriptDialogsEnabled") = true;
        }
    }
    void opened(nb::handle args) {
        if (!args_.is_none()) return;  // one at a time (WebView2 raises one at a time)
        args_ = nb::borrow(args);
        deferral_ = args.attr("GetDeferral")();
    }
    nb::object dialog(nb::handle) override {
        nb::dict d;
        d["ok"] = true;
        if (args_.is_none()) {
            d["kind"] = nb::none();
            return d;
        }
        const long kind = nb::cast<long>(nb::int_(nb::object(args_.attr("Kind"))));
        static constexpr const char *kinds[] = {"alert", "confirm", "prompt", "beforeunload"};
        d["kind"] = kind >= 0 && kind < 4 ? kinds[kind] : "alert";
        d["text"] = text_or_empty(nb::object(args_.attr("Message")));
        d["default"] = kind == 2 ? nb::object(text_or_empty(nb::object(args_.attr("DefaultText")))) : nb::object(nb::none());
        return d;
    }
    nb::object accept_dialog(nb::handle, nb::handle text) override { return end_dialog(true, text); }
    nb::object dismiss_dialog(nb::handle) override { return end_dialog(false, nb::none()); }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(window_fn_.ptr());
        Py_VISIT(handler_.ptr());
        Py_VISIT(args_.ptr());
        Py_VISIT(deferral_.ptr());
        Py_VISIT(frames_.ptr());
        Py_VISIT(watched_.ptr());
        Py_VISIT(frame_.ptr());
        return 0;
    }
    void clear() override {
        window_fn_ = handler_ = args_ = deferral_ = frames_ = watched_ = frame_ = nb::none();
    }

    explicit WebView2(nb::handle window_fn) : window_fn_(window_fn.is_valid() ? nb::borrow(window_fn) : nb::none()) {}

private:
    nb::object show(const char *state, Op op) {
        nb::object f = form();
        if (f.is_none()) return unsupported(op);
        leave_fullscreen(f);
        f.attr("WindowState") = import_from("System.Windows.Forms", "FormWindowState").attr(state);
        return window_rect();
    }
    void leave_fullscreen(nb::handle f) {
        if (frame_.is_none()) return;
        f.attr("WindowState") = import_from("System.Windows.Forms", "FormWindowState").attr("Normal");
        f.attr("FormBorderStyle") = frame_;
        frame_ = nb::none();
    }
    // Ends the held dialog: Accept() (a prompt with ResultText) or not, then the deferral.
    nb::object end_dialog(bool accept, nb::handle text) {
        if (args_.is_none()) {
            nb::dict d;
            d["ok"] = false;
            d["error"] = "no dialog open";
            return d;
        }
        nb::object args = args_, deferral = deferral_;
        args_ = deferral_ = nb::none();
        return guarded_else([&]() -> nb::object {
            if (accept) {
                if (!text.is_none()) args.attr("ResultText") = text;
                else if (nb::cast<long>(nb::int_(nb::object(args.attr("Kind")))) == 2) args.attr("ResultText") = args.attr("DefaultText");
                args.attr("Accept")();
            }
            deferral.attr("Complete")();
            nb::dict d;
            d["ok"] = true;
            return d;
        }, failure_of);
    }

    nb::object window_fn_, handler_ = nb::none(), args_ = nb::none(), deferral_ = nb::none(), frames_ = nb::none(),
               watched_ = nb::none(),  // the CoreWebView2 whose frames frames_ follows
               frame_ = nb::none();    // the form's FormBorderStyle while it is full screen
};

void on_dialog(const Call &c, nb::handle, nb::handle args) {
    auto *engine = static_cast<WebView2 *>(nb::cast<nb::capsule>(c.state<Dlg>()[Dlg::Engine]).data());
    engine->opened(args);
}

}  // namespace

std::unique_ptr<Engine> webview2(nb::handle window_fn) { return std::make_unique<WebView2>(window_fn); }

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
    // The frames WebDriver may reach only through the engine (another origin's).
    if (engine::Engine *e = engine::of(pages_engine(pages))) e->watch_frames(c, cv);
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
