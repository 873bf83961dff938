// The engine contract (engine.hpp) over WebKitGTK's WebKit2.WebView (4.1), reached through
// PyGObject. The address it reports is the committed page's: it changes when a new page commits
// (the window's load-changed COMMITTED, or a navigation inside the page), not when a load is
// merely asked for, which WebKit's own `uri` property reports at once.
#include "gtkhost.hpp"

namespace gtkhost {

using pk::engine::Op;

namespace {

// Script and picture: WebKit answers through a callback on the main loop, which calls `done`
// with the answer.
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

class WebKitGtk final : public WebKit {
public:
    const char *name() const override { return "webkitgtk"; }
    bool supports(Op op) const override {
        switch (op) {
            case Op::Navigate: case Op::Back: case Op::Forward: case Op::Reload: case Op::ReadPage:
            case Op::RunScript: case Op::CapturePng:
                return true;
            default:
                return false;
        }
    }

    void navigate(nb::handle view, nb::handle url) override { view.attr("load_uri")(nb::str(url)); }
    void back(nb::handle view) override {
        if (can_go_back(view)) view.attr("go_back")();
    }
    void forward(nb::handle view) override {
        if (can_go_forward(view)) view.attr("go_forward")();
    }
    void reload(nb::handle view) override { view.attr("reload")(); }

    nb::object url(nb::handle) override { return committed_; }
    nb::object title(nb::handle view) override { return pk::text_or_empty(nb::object(view.attr("get_title")())); }
    bool loading(nb::handle view) override { return pk::truthy(view.attr("is_loading")()); }
    bool can_go_back(nb::handle view) override { return pk::truthy(view.attr("can_go_back")()); }
    bool can_go_forward(nb::handle view) override { return pk::truthy(view.attr("can_go_forward")()); }

    void run_script(const pk::Call &c, nb::handle view, nb::handle script, const pk::engine::FramePath &frame,
                    double, nb::handle done) override {
        if (!frame.empty()) return void(done(pk::engine::unsupported(Op::RunScriptInFrame)));
        nb::object finished = c.nested<script_done_spec>(script_done);
        if (nb::hasattr(view, "evaluate_javascript"))
            view.attr("evaluate_javascript")(script, -1, nb::none(), nb::none(), nb::none(), finished, done);
        else
            view.attr("run_javascript")(script, nb::none(), finished, done);
    }

    void capture_png(const pk::Call &c, nb::handle view, const std::optional<pk::engine::Rect> &rect,
                     nb::handle done) override {
        if (rect) return void(done(pk::engine::unsupported(Op::CaptureRect)));
        nb::object webkit = pk::import_from("gi.repository", "WebKit2");
        view.attr("get_snapshot")(webkit.attr("SnapshotRegion").attr("VISIBLE"),
                                  webkit.attr("SnapshotOptions").attr("NONE"), nb::none(),
                                  c.nested<capture_done_spec>(capture_done), done);
    }

    void cookies(const pk::Call &, nb::handle, nb::handle, nb::handle done) override {
        done(pk::engine::unsupported(Op::ReadCookies));
    }
    void add_cookie(const pk::Call &, nb::handle, nb::handle, nb::handle done) override {
        done(pk::engine::unsupported(Op::AddCookie));
    }
    void delete_cookies(const pk::Call &, nb::handle, nb::handle, nb::handle done) override {
        done(pk::engine::unsupported(Op::DeleteCookies));
    }

    nb::object window_rect() override { return pk::engine::unsupported(Op::WindowRect); }
    nb::object set_window_rect(std::optional<double>, std::optional<double>, std::optional<double>,
                               std::optional<double>) override {
        return pk::engine::unsupported(Op::SetWindowRect);
    }
    nb::object maximize() override { return pk::engine::unsupported(Op::Maximize); }
    nb::object minimize() override { return pk::engine::unsupported(Op::Minimize); }

    nb::object pointer(nb::handle, const pk::engine::PointerAction &) override {
        return pk::engine::unsupported(Op::PointerInput);
    }
    nb::object key(nb::handle, const pk::engine::KeyAction &) override { return pk::engine::unsupported(Op::KeyInput); }

    nb::object dialog(nb::handle) override { return pk::engine::unsupported(Op::Dialog); }
    nb::object accept_dialog(nb::handle, nb::handle) override { return pk::engine::unsupported(Op::AcceptDialog); }
    nb::object dismiss_dialog(nb::handle) override { return pk::engine::unsupported(Op::DismissDialog); }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(committed_.ptr());
        return 0;
    }
    void clear() override { committed_ = nb::str(""); }

    nb::object committed() const override { return committed_; }
    void commit(nb::handle url) override { committed_ = nb::borrow(url); }

private:
    nb::object committed_ = nb::str("");
};

}  // namespace

nb::object new_webkit_engine() { return pk::engine::wrap(std::make_unique<WebKitGtk>()); }

WebKit &webkit_of(nb::handle engine) { return *static_cast<WebKit *>(pk::engine::of(engine)); }

}  // namespace gtkhost
