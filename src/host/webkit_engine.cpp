// The engine contract (engine.hpp) over WebKitGTK: a WebKit2 4.1 WebView and its Gtk.Window, as
// PyGObject gives them. Asynchronous operations answer through WebKit's callbacks, which run on the
// main loop (the UI thread).
//
// Script dialogs: the engine takes every dialog the page opens (the view's script-dialog signal),
// shows it to the user as a dialog of the window (so a person can answer it as before) and holds it
// open until the user or the contract's accept / dismiss ends it; the page's script waits meanwhile.
#include "engine.hpp"

#include <nanobind/stl/string.h>

#include <cmath>

namespace pk::engine {

using namespace nb::literals;

namespace {

pk::Lazy g_json_loads{"json", "loads"};

nb::object gi(const char *name) { return import_from("gi.repository", name); }

nb::dict ok() {
    nb::dict d;
    d["ok"] = true;
    return d;
}

nb::dict failed(nb::handle error) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = text_or_empty(attr_or(error, "message", nb::str(error)));
    return d;
}

// Calls `f` and answers what it answers, or the failure an Exception it raised describes.
template <class F> nb::object answering(F &&f) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
        return failed(e.value());
    }
}

// A Python callable over a C++ function (the engine's own completions).
template <class F> nb::object callable(F f) { return nb::cpp_function(std::move(f)); }

const char *kind_name(nb::handle dialog) {
    nb::object types = gi("WebKit2").attr("ScriptDialogType");
    nb::object t = dialog.attr("get_dialog_type")();
    if (t.equal(types.attr("CONFIRM"))) return "confirm";
    if (t.equal(types.attr("PROMPT"))) return "prompt";
    if (t.equal(types.attr("BEFORE_UNLOAD_CONFIRM"))) return "beforeunload";
    return "alert";
}

class WebKit final : public Engine {
public:
    WebKit(nb::handle view, nb::handle window) : view_(nb::borrow(view)), window_(nb::borrow(window)) {
        watch_ = view_.attr("connect")("script-dialog",
                                       callable([this](nb::handle, nb::handle dialog) { return opened(dialog); }));
    }
    ~WebKit() override { unwatch(); }

    const char *name() const override { return "webkitgtk"; }
    bool supports(Op op) const override {
        return op != Op::RunScriptInFrame && op != Op::PointerInput && op != Op::KeyInput;
    }

    bool ready() override { return !view_.is_none(); }
    void navigate(nb::handle url) override { view_.attr("load_uri")(nb::str(url)); }
    void back() override {
        if (can_go_back()) view_.attr("go_back")();
    }
    void forward() override {
        if (can_go_forward()) view_.attr("go_forward")();
    }
    void reload() override { view_.attr("reload")(); }

    nb::object url() override { return text_or_empty(view_.attr("get_uri")()); }
    nb::object title() override { return text_or_empty(view_.attr("get_title")()); }
    bool loading() override { return truthy(view_.attr("is_loading")()); }
    bool can_go_back() override { return truthy(view_.attr("can_go_back")()); }
    bool can_go_forward() override { return truthy(view_.attr("can_go_forward")()); }

    void run_script(const Call &, nb::handle script, const FramePath &frame, double, nb::handle done) override {
        if (!frame.empty()) return void(done(unsupported(Op::RunScriptInFrame)));
        nb::object finished = callable([](nb::handle view, nb::handle result, nb::handle done) {
            nb::object answer = answering([&]() -> nb::object {
                nb::object value = nb::hasattr(view, "evaluate_javascript_finish")
                                       ? nb::object(view.attr("evaluate_javascript_finish")(result))
                                       : nb::object(view.attr("run_javascript_finish")(result).attr("get_js_value")());
                // JSON text of the value; None for undefined (and for what JSON cannot show).
                nb::object json = value.attr("to_json")(0);
                nb::dict d = ok();
                d["value"] = json.is_none() ? nb::object(nb::none()) : nb::handle(g_json_loads.get())(json);
                return d;
            });
            done(answer);
        });
        if (nb::hasattr(view_, "evaluate_javascript"))
            view_.attr("evaluate_javascript")(script, -1, nb::none(), nb::none(), nb::none(), finished, done);
        else
            view_.attr("run_javascript")(script, nb::none(), finished, done);
    }

    void capture_png(const Call &, const std::optional<Rect> &rect, nb::handle done) override {
        nb::object webkit = gi("WebKit2");
        nb::object area = rect ? nb::make_tuple(rect->x, rect->y, rect->width, rect->height) : nb::object(nb::none());
        nb::object finished = callable([area](nb::handle view, nb::handle result, nb::handle done) {
            done(answering([&]() -> nb::object {
                nb::object surface = view.attr("get_snapshot_finish")(result);
                if (!area.is_none()) surface = crop(view, surface, area);
                nb::object out = import_from("io", "BytesIO")();
                surface.attr("write_to_png")(out);
                return out.attr("getvalue")();
            }));
        });
        view_.attr("get_snapshot")(webkit.attr("SnapshotRegion").attr("VISIBLE"),
                                   webkit.attr("SnapshotOptions").attr("NONE"), nb::none(), finished, done);
    }

    // ---- cookies: the view's cookie manager, as libsoup's cookies --------------------------------
    nb::object cookie_manager() { return view_.attr("get_website_data_manager")().attr("get_cookie_manager")(); }

    void cookies(const Call &, nb::handle url, nb::handle done) override {
        nb::object address = url.is_none() ? url_now() : nb::borrow(url);
        with_cookies(address, [done = nb::borrow(done)](nb::object list) {
            done(answering([&]() -> nb::object {
                nb::list out;
                for (nb::handle c : list) out.append(cookie_dict(c));
                nb::dict d = ok();
                d["cookies"] = out;
                return d;
            }));
        }, done);
    }

    void add_cookie(const Call &, nb::handle cookie, nb::handle done) override {
        nb::object answer = answering([&]() -> nb::object {
            nb::object soup = gi("Soup");
            nb::object parts = import("urllib.parse").attr("urlsplit")(url_now());
            nb::object domain = cookie.attr("get")("domain");
            if (domain.is_none()) domain = parts.attr("hostname");
            nb::object path = cookie.attr("get")("path");
            if (path.is_none()) path = nb::str("/");
            nb::object c = soup.attr("Cookie").attr("new")(cookie["name"], cookie["value"], domain, path, -1);
            c.attr("set_secure")(truthy(cookie.attr("get")("secure", false)));
            c.attr("set_http_only")(truthy(cookie.attr("get")("httpOnly", false)));
            nb::object expiry = cookie.attr("get")("expiry");
            if (!expiry.is_none())
                c.attr("set_expires")(gi("GLib").attr("DateTime").attr("new_from_unix_utc")(expiry));
            nb::object same = cookie.attr("get")("sameSite");
            if (!same.is_none()) {
                std::string s = nb::cast<std::string>(nb::str(same));
                nb::object policy = soup.attr("SameSitePolicy");
                c.attr("set_same_site_policy")(policy.attr(s == "Strict" ? "STRICT" : s == "Lax" ? "LAX" : "NONE"));
            }
            nb::object fin = callable([](nb::handle mgr, nb::handle result, nb::handle done) {
                done(answering([&]() -> nb::object {
                    mgr.attr("add_cookie_finish")(result);
                    return ok();
                }));
            });
            cookie_manager().attr("add_cookie")(c, nb::none(), fin, done);
            return nb::none();
        });
        if (!answer.is_none()) done(answer);
    }

    void delete_cookies(const Call &, nb::handle name, nb::handle done) override {
        nb::object mgr = cookie_manager();
        nb::object wanted = nb::borrow(name);
        with_cookies(url_now(), [mgr, wanted, done = nb::borrow(done)](nb::object list) {
            nb::list doomed;
            for (nb::handle c : list)
                if (wanted.is_none() || nb::object(c.attr("get_name")()).equal(wanted)) doomed.append(c);
            delete_each(mgr, doomed, 0, done);
        }, done);
    }

    // ---- the window --------------------------------------------------------------------------
    nb::object window_rect() override {
        return answering([&]() -> nb::object {
            nb::tuple pos = nb::borrow<nb::tuple>(window_.attr("get_position")());
            nb::tuple size = nb::borrow<nb::tuple>(window_.attr("get_size")());
            nb::dict d = ok();
            d["x"] = pos[0];
            d["y"] = pos[1];
            d["width"] = size[0];
            d["height"] = size[1];
            return d;
        });
    }
    nb::object set_window_rect(std::optional<double> x, std::optional<double> y, std::optional<double> width,
                               std::optional<double> height) override {
        nb::object answer = answering([&]() -> nb::object {
            window_.attr("unmaximize")();
            window_.attr("deiconify")();
            nb::tuple size = nb::borrow<nb::tuple>(window_.attr("get_size")());
            if (width || height)
                window_.attr("resize")(width ? std::lround(*width) : nb::cast<long>(size[0]),
                                       height ? std::lround(*height) : nb::cast<long>(size[1]));
            if (x || y) {
                nb::tuple pos = nb::borrow<nb::tuple>(window_.attr("get_position")());
                window_.attr("move")(x ? std::lround(*x) : nb::cast<long>(pos[0]), y ? std::lround(*y) : nb::cast<long>(pos[1]));
            }
            return ok();
        });
        return truthy(answer["ok"]) ? window_rect() : answer;
    }
    nb::object maximize() override {
        window_.attr("deiconify")();
        window_.attr("maximize")();
        return window_rect();
    }
    nb::object minimize() override {
        window_.attr("iconify")();
        return window_rect();
    }

    nb::object pointer(const PointerAction &) override { return unsupported(Op::PointerInput); }
    nb::object key(const KeyAction &) override { return unsupported(Op::KeyInput); }

    // ---- script dialogs ----------------------------------------------------------------------
    nb::object dialog() override {
        nb::dict d = ok();
        if (dialog_.is_none()) {
            d["kind"] = nb::none();
            return d;
        }
        const char *kind = kind_name(dialog_);
        d["kind"] = kind;
        d["text"] = text_or_empty(dialog_.attr("get_message")());
        d["default"] = std::string_view(kind) == "prompt" ? nb::object(text_or_empty(dialog_.attr("prompt_get_default_text")()))
                                                          : nb::object(nb::none());
        return d;
    }
    nb::object accept_dialog(nb::handle text) override { return end_dialog(true, text); }
    nb::object dismiss_dialog() override { return end_dialog(false, nb::none()); }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(view_.ptr());
        Py_VISIT(window_.ptr());
        Py_VISIT(dialog_.ptr());
        Py_VISIT(shown_.ptr());
        return 0;
    }
    void clear() override {
        unwatch();
        view_ = nb::none();
        window_ = nb::none();
        dialog_ = nb::none();
        shown_ = nb::none();
    }

private:
    // The view no longer reports its dialogs to this engine (which is going).
    void unwatch() {
        if (view_.is_none() || watch_.is_none()) return;
        pk::guarded([&] { view_.attr("disconnect")(watch_); });
        watch_ = nb::none();
    }

    nb::object url_now() { return text_or_empty(view_.attr("get_uri")()); }

    // Calls `then(list of Soup.Cookie)` with the cookies of `address`, or done(failure).
    template <class F> void with_cookies(nb::object address, F then, nb::handle done) {
        nb::object on_list = callable([then, d = nb::borrow(done)](nb::handle mgr, nb::handle result, nb::handle) {
            nb::object list;
            try {
                list = mgr.attr("get_cookies_finish")(result);
            } catch (nb::python_error &e) {
                if (!is_exception(e)) throw;
                return void(d(failed(e.value())));
            }
            then(list);
        });
        // (user data that is not None: the callbacks take three arguments)
        cookie_manager().attr("get_cookies")(address, nb::none(), on_list, 0);
    }

    static void delete_each(nb::object mgr, nb::list doomed, std::size_t i, nb::object done) {
        if (i >= nb::len(doomed)) return void(done(ok()));
        nb::object next = callable([mgr, doomed, i, done](nb::handle, nb::handle result, nb::handle) {
            pk::guarded([&] { mgr.attr("delete_cookie_finish")(result); });
            delete_each(mgr, doomed, i + 1, done);
        });
        mgr.attr("delete_cookie")(doomed[i], nb::none(), next, 0);
    }

    static nb::dict cookie_dict(nb::handle c) {
        nb::dict d;
        d["name"] = c.attr("get_name")();
        d["value"] = c.attr("get_value")();
        d["domain"] = c.attr("get_domain")();
        d["path"] = c.attr("get_path")();
        nb::object expires = c.attr("get_expires")();
        d["expiry"] = expires.is_none() ? nb::object(nb::none()) : nb::object(expires.attr("to_unix")());
        d["secure"] = nb::bool_(truthy(c.attr("get_secure")()));
        d["httpOnly"] = nb::bool_(truthy(c.attr("get_http_only")()));
        nb::object policy = gi("Soup").attr("SameSitePolicy");
        nb::object same = c.attr("get_same_site_policy")();
        d["sameSite"] = same.equal(policy.attr("STRICT")) ? "Strict" : same.equal(policy.attr("LAX")) ? "Lax" : "None";
        return d;
    }

    // The part `area` (x, y, width, height in CSS pixels) of a snapshot, in the snapshot's pixels.
    static nb::object crop(nb::handle view, nb::handle surface, nb::handle area) {
        nb::object cairo = import("cairo");
        const double full = nb::cast<double>(surface.attr("get_width")());
        const double css = std::max(1.0, nb::cast<double>(view.attr("get_allocated_width")()));
        const double scale = full / css;
        const double x = nb::cast<double>(area[0]) * scale, y = nb::cast<double>(area[1]) * scale;
        const long w = std::max(1L, std::lround(nb::cast<double>(area[2]) * scale));
        const long h = std::max(1L, std::lround(nb::cast<double>(area[3]) * scale));
        nb::object out = cairo.attr("ImageSurface")(cairo.attr("FORMAT_ARGB32"), w, h);
        nb::object ctx = cairo.attr("Context")(out);
        ctx.attr("set_source_surface")(surface, -x, -y);
        ctx.attr("paint")();
        return out;
    }

    // script-dialog: held (true: WebKit shows nothing of its own) and shown as a dialog of the window.
    bool opened(nb::handle dialog) {
        if (!dialog_.is_none()) return false;  // one at a time; WebKit's own dialog for another
        dialog_ = dialog.attr("copy")();       // a reference of our own: valid after the signal
        pk::guarded([&] { show_dialog(); });
        return true;
    }

    void show_dialog() {
        nb::object gtk = gi("Gtk");
        const std::string kind = kind_name(dialog_);
        nb::object buttons = gtk.attr("ButtonsType").attr(kind == "alert" ? "OK" : "OK_CANCEL");
        nb::object box = gtk.attr("MessageDialog")("transient_for"_a = window_, "modal"_a = true,
                                                   "message_type"_a = gtk.attr("MessageType").attr("QUESTION"),
                                                   "buttons"_a = buttons, "text"_a = text_or_empty(dialog_.attr("get_message")()));
        nb::object entry = nb::none();
        if (kind == "prompt") {
            entry = gtk.attr("Entry")();
            entry.attr("set_text")(text_or_empty(dialog_.attr("prompt_get_default_text")()));
            box.attr("get_message_area")().attr("pack_end")(entry, false, false, 0);
        }
        box.attr("connect")("response", callable([this, entry](nb::handle, nb::handle response) {
            if (shown_.is_none()) return;  // ended through the contract
            const bool yes = response.equal(gi("Gtk").attr("ResponseType").attr("OK"));
            end_dialog(yes, !yes || entry.is_none() ? nb::object(nb::none()) : nb::object(entry.attr("get_text")()));
        }));
        shown_ = box;
        box.attr("show_all")();
    }

    nb::object end_dialog(bool accept, nb::handle text) {
        if (dialog_.is_none()) {
            nb::dict d;
            d["ok"] = false;
            d["error"] = "no dialog open";
            return d;
        }
        nb::object dialog = dialog_, shown = shown_;
        dialog_ = nb::none();
        shown_ = nb::none();
        return answering([&]() -> nb::object {
            const std::string kind = kind_name(dialog);
            if (kind == "confirm" || kind == "beforeunload") dialog.attr("confirm_set_confirmed")(accept);
            if (kind == "prompt" && accept) {
                nb::object value = text.is_none() ? nb::object(dialog.attr("prompt_get_default_text")()) : nb::borrow(text);
                dialog.attr("prompt_set_text")(value);
            }
            dialog.attr("close")();
            if (!shown.is_none()) pk::guarded([&] { shown.attr("destroy")(); });
            return ok();
        });
    }

    nb::object view_, window_, dialog_ = nb::none(), shown_ = nb::none(), watch_ = nb::none();
};

}  // namespace

std::unique_ptr<Engine> webkit(nb::handle view, nb::handle window) { return std::make_unique<WebKit>(view, window); }

}  // namespace pk::engine
