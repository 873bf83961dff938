// The engine contract (engine.hpp) over WebKitGTK's WebKit2.WebView (4.1), reached through
// PyGObject. The address it reports is the committed page's: it changes when a new page commits
// (the window's load-changed COMMITTED, or a navigation inside the page), not when a load is
// merely asked for, which WebKit's own `uri` property reports at once.
#include "gtkhost.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#if !defined(_WIN32)
#  include <dlfcn.h>
#endif

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

nb::object gi(const char *name) { return pk::import_from("gi.repository", name); }

nb::dict ok() {
    nb::dict d;
    d["ok"] = true;
    return d;
}

// Calls `f` and answers what it answers, or the failure an Exception it raised describes.
template <class F> nb::object answering(F &&f) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        return engine_failure(e.value());
    }
}

// A Python callable over a C++ function (the engine's own completions of cookie work).
template <class F> nb::object callable(F f) { return nb::cpp_function(std::move(f)); }

const char *kind_name(nb::handle dialog) {
    nb::object types = gi("WebKit2").attr("ScriptDialogType");
    nb::object t = dialog.attr("get_dialog_type")();
    if (t.equal(types.attr("CONFIRM"))) return "confirm";
    if (t.equal(types.attr("PROMPT"))) return "prompt";
    if (t.equal(types.attr("BEFORE_UNLOAD_CONFIRM"))) return "beforeunload";
    return "alert";
}

pk::Lazy g_loads{"json", "loads"};
pk::Lazy g_same_site{"gi.repository.Soup", "SameSitePolicy"};

// {"ok": True, "value": the value of a script's JSON text}; none for no text (undefined, and what
// JSON cannot show, as WebView2).
nb::dict value_answer(nb::handle json) {
    nb::dict d;
    d["ok"] = true;
    d["value"] = json.is_none() ? nb::object(nb::none()) : nb::object(nb::handle(g_loads.get())(json));
    return d;
}

// done(the JSON form of the value `finish` gives) or done(the failure it raised).
template <class F> void answer_value(nb::handle done, F finish) {
    nb::object answer;
    try {
        answer = value_answer(finish().attr("to_json")(0));
    } catch (nb::python_error &e) {
        if (!pk::is_exception(e)) throw;
        answer = engine_failure(e.value());
    }
    done(answer);
}

constexpr pk::Spec script_done_spec{.name = "_script_done", .params = finish_params, .returns = "None"};
void script_done(nb::handle view, nb::handle result, nb::handle done) {
    answer_value(done, [&] {
        return nb::hasattr(view, "evaluate_javascript_finish")
                   ? nb::object(view.attr("evaluate_javascript_finish")(result))
                   : nb::object(view.attr("run_javascript_finish")(result).attr("get_js_value")());
    });
}

// ---- scripts through WebKit's own C functions ----------------------------------------------------
// Every script of the control plane and of WebDriver goes through here, so the bindings' work for
// one call (its arguments, a callback closure, the wrappers of the answer's objects) is left out:
// the view's functions are looked up once in the libraries the bindings have loaded, and the
// answer's JSON text is read in C. Where a function is missing (a WebKit before 2.40), the
// bindings' own call is made instead.
#if !defined(_WIN32)
struct Native {
    using Ready = void (*)(void *source, void *result, void *data);
    void (*evaluate)(void *view, const char *script, long length, const char *world, const char *source_uri,
                     void *cancellable, Ready callback, void *data) = nullptr;
    void *(*finish)(void *view, void *result, void **error) = nullptr;  // JSCValue*, GError**
    char *(*to_json)(void *value, unsigned indent) = nullptr;
    void (*unref)(void *object) = nullptr;
    void (*free)(void *memory) = nullptr;
    void (*error_free)(void *error) = nullptr;
    bool ok = false;
};

template <class T> void look_up(void *library, const char *name, T &slot) {
    slot = library ? reinterpret_cast<T>(dlsym(library, name)) : nullptr;
}

const Native &native() {
    static const Native n = [] {
        Native n;
        void *webkit = dlopen("libwebkit2gtk-4.1.so.0", RTLD_NOW | RTLD_NOLOAD);
        void *jsc = dlopen("libjavascriptcoregtk-4.1.so.0", RTLD_NOW | RTLD_NOLOAD);
        void *gobject = dlopen("libgobject-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
        void *glib = dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
        look_up(webkit, "webkit_web_view_evaluate_javascript", n.evaluate);
        look_up(webkit, "webkit_web_view_evaluate_javascript_finish", n.finish);
        look_up(jsc, "jsc_value_to_json", n.to_json);
        look_up(gobject, "g_object_unref", n.unref);
        look_up(glib, "g_free", n.free);
        look_up(glib, "g_error_free", n.error_free);
        n.ok = n.evaluate && n.finish && n.to_json && n.unref && n.free && n.error_free;
        return n;
    }();
    return n;
}

// The GObject a binding's wrapper holds (the bindings' public object layout), or null for an
// object that is no such wrapper.
pk::Lazy g_gobject_type{"gi.repository.GObject", "Object"};
void *gobject_of(nb::handle o) {
    struct Wrapper {
        PyObject_HEAD
        void *obj;
    };
    const int is = PyObject_IsInstance(o.ptr(), g_gobject_type.get().ptr());
    if (is < 0) throw nb::python_error();
    return is ? reinterpret_cast<Wrapper *>(o.ptr())->obj : nullptr;
}

// GError's message.
const char *error_message(void *error) {
    struct Error {
        std::uint32_t domain;
        int code;
        char *message;
    };
    const char *m = static_cast<Error *>(error)->message;
    return m ? m : "";
}

// The completion, on the main loop (without the interpreter's lock): done({"ok": True, "value":
// the JSON value}) or done({"ok": False, "error": WebKit's message}).
void native_done(void *view, void *result, void *data) {
    const Native &n = native();
    void *error = nullptr;
    void *value = n.finish(view, result, &error);
    char *json = value ? n.to_json(value, 0) : nullptr;
    if (value) n.unref(value);
    PyGILState_STATE gil = PyGILState_Ensure();
    try {
        nb::object done = nb::steal(static_cast<PyObject *>(data));
        nb::object answer;
        try {
            if (value) {
                answer = value_answer(json ? nb::object(nb::str(json)) : nb::object(nb::none()));
            } else {
                nb::dict d;
                d["ok"] = false;
                d["error"] = nb::str(error ? error_message(error) : "");
                answer = d;
            }
        } catch (nb::python_error &e) {
            if (!pk::is_exception(e)) throw;
            answer = engine_failure(e.value());
        }
        done(answer);
    } catch (nb::python_error &e) {
        e.restore();
        PyErr_Print();  // as the bindings do with what a callback raises
    }
    if (json) n.free(json);
    if (error) n.error_free(error);
    PyGILState_Release(gil);
}

// Starts `script` in `world` (None: the page's) through WebKit's C function; false when it cannot
// be reached so (the caller uses the bindings).
bool evaluate_natively(nb::handle view, nb::handle script, nb::handle world, nb::handle done) {
    const Native &n = native();
    if (!n.ok) return false;
    void *v = gobject_of(view);
    if (!v) return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(script.ptr(), &size);
    if (!text) throw nb::python_error();
    std::string name = world.is_none() ? std::string() : nb::cast<std::string>(nb::str(world));
    PyObject *held = nb::borrow(done).release().ptr();  // given back by native_done
    n.evaluate(v, text, static_cast<long>(size), name.empty() ? nullptr : name.c_str(), nullptr, nullptr, native_done, held);
    return true;
}
#else
bool evaluate_natively(nb::handle, nb::handle, nb::handle, nb::handle) { return false; }
#endif

// The part `area` (x, y, width, height in CSS pixels) of a snapshot, in the snapshot's pixels.
nb::object crop(nb::handle view, nb::handle surface, nb::handle area) {
    nb::object cairo = pk::import("cairo");
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

// The picture's completion: `done` is (done, area) with area None for the whole view.
constexpr pk::Spec capture_done_spec{.name = "_capture_done", .params = finish_params, .returns = "None"};
void capture_done(nb::handle view, nb::handle result, nb::handle pair) {
    nb::handle done = PyTuple_GET_ITEM(pair.ptr(), 0), area = PyTuple_GET_ITEM(pair.ptr(), 1);
    nb::object answer;
    try {
        nb::object surface = view.attr("get_snapshot_finish")(result);
        if (!area.is_none()) surface = crop(view, surface, area);
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
            case Op::RunScript: case Op::CapturePng: case Op::CaptureRect:
            case Op::ReadCookies: case Op::AddCookie: case Op::DeleteCookies:
            case Op::WindowRect: case Op::SetWindowRect: case Op::Maximize: case Op::Minimize:
            case Op::Dialog: case Op::AcceptDialog: case Op::DismissDialog:
            case Op::PrintPdf:
                return true;
            default:
                return false;
        }
    }

    void navigate(nb::handle view, nb::handle url) override {
        nb::str u(url);
        view.attr("load_uri")(u);
        asked_ = u;
        if (pages_.is_valid()) pk::guarded([&] { pk::host::pages_requested(pages_, u); });
    }
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
        evaluate(c, view, script, nb::none(), done);
    }
    // WebKit's script worlds: one per name, made on first use.
    bool has_worlds() const override { return true; }
    void run_in_world(const pk::Call &c, nb::handle view, nb::handle script, const char *world,
                      nb::handle done) override {
        evaluate(c, view, script, *world ? nb::object(nb::str(world)) : nb::object(nb::none()), done);
    }

    void capture_png(const pk::Call &c, nb::handle view, const std::optional<pk::engine::Rect> &rect,
                     nb::handle done) override {
        nb::object webkit = pk::import_from("gi.repository", "WebKit2");
        nb::object area = rect ? nb::make_tuple(rect->x, rect->y, rect->width, rect->height) : nb::object(nb::none());
        view.attr("get_snapshot")(webkit.attr("SnapshotRegion").attr("VISIBLE"),
                                  webkit.attr("SnapshotOptions").attr("NONE"), nb::none(),
                                  c.nested<capture_done_spec>(capture_done), nb::make_tuple(done, area));
    }

    // ---- printing: WebKit's print operation into GTK's "Print to File" printer -------------------
    void print_pdf(const pk::Call &, nb::handle view, nb::handle settings, nb::handle done) override {
        nb::object folder;
        nb::object answer = answering([&]() -> nb::object {
            nb::object gtk = gi("Gtk"), unit = gi("Gtk").attr("Unit").attr("MM");
            folder = pk::import("tempfile").attr("mkdtemp")("prefix"_a = "panekit-print.");
            nb::object path = pk::import("os.path").attr("join")(folder, "page.pdf");
            nb::object ps = gtk.attr("PrintSettings")();
            ps.attr("set_printer")("Print to File");
            ps.attr("set")(gtk.attr("PRINT_SETTINGS_OUTPUT_FILE_FORMAT"), "pdf");
            ps.attr("set")(gtk.attr("PRINT_SETTINGS_OUTPUT_URI"), gi("GLib").attr("filename_to_uri")(path, nb::none()));
            ps.attr("set_scale")(nb::cast<double>(settings["scale"]) * 100);
            nb::object orientation = gtk.attr("PageOrientation").attr(pk::truthy(settings["landscape"]) ? "LANDSCAPE" : "PORTRAIT");
            ps.attr("set_orientation")(orientation);
            nb::list ranges;
            for (nb::handle pair : settings["ranges"]) {  // GTK counts pages from 0
                nb::object r = gtk.attr("PageRange")();
                r.attr("start") = nb::cast<long long>(pair[0]) - 1;
                r.attr("end") = pair[1].is_none() ? INT_MAX - 1 : nb::cast<long long>(pair[1]) - 1;
                ranges.append(r);
            }
            if (nb::len(ranges) > 0) {
                ps.attr("set_print_pages")(gtk.attr("PrintPages").attr("RANGES"));
                ps.attr("set_page_ranges")(ranges);
            }
            nb::object setup = gtk.attr("PageSetup")();
            setup.attr("set_paper_size")(gtk.attr("PaperSize").attr("new_custom")(
                "panekit", "panekit", nb::cast<double>(settings["width"]) * 10, nb::cast<double>(settings["height"]) * 10, unit));
            setup.attr("set_orientation")(orientation);
            for (const char *side : {"top", "bottom", "left", "right"})
                setup.attr((std::string("set_") + side + "_margin").c_str())(nb::cast<double>(settings[side]) * 10, unit);

            nb::object web = view.attr("get_settings")();
            nb::object backgrounds = web.attr("get_print_backgrounds")();
            web.attr("set_print_backgrounds")(settings["background"]);
            nb::object op = gi("WebKit2").attr("PrintOperation").attr("new")(view);
            op.attr("set_print_settings")(ps);
            op.attr("set_page_setup")(setup);
            // "failed" comes before "finished", which always comes last.
            auto error = std::make_shared<nb::object>();
            op.attr("connect")("failed", callable([error](nb::handle, nb::handle e) { *error = engine_failure(e); }));
            nb::list printing = printing_;
            op.attr("connect")("finished", callable([=, done = nb::borrow(done)](nb::handle o) {
                pk::guarded([&] { web.attr("set_print_backgrounds")(backgrounds); });
                nb::object pdf = error->is_valid() ? *error : answering([&]() -> nb::object {
                    return pk::import("pathlib").attr("Path")(path).attr("read_bytes")();
                });
                pk::guarded([&] { pk::import("shutil").attr("rmtree")(folder, "ignore_errors"_a = true); });
                pk::guarded([&] { printing.attr("remove")(o); });
                done(pdf);
            }));
            printing_.append(op);  // held until it has finished
            op.attr("print_")();
            return nb::none();
        });
        if (answer.is_none()) return;
        if (folder.is_valid()) pk::guarded([&] { pk::import("shutil").attr("rmtree")(folder, "ignore_errors"_a = true); });
        done(answer);
    }

    // ---- cookies: the view's cookie manager, as libsoup's cookies ------------------------------
    void cookies(const pk::Call &, nb::handle view, nb::handle url, nb::handle done) override {
        nb::object address = url.is_none() ? nb::object(committed_) : nb::borrow(url);
        with_cookies(view, address, [done = nb::borrow(done)](nb::object list) {
            done(answering([&]() -> nb::object {
                nb::list out;
                for (nb::handle c : list) out.append(cookie_dict(c));
                nb::dict d = ok();
                d["cookies"] = out;
                return d;
            }));
        }, done);
    }

    void add_cookie(const pk::Call &, nb::handle view, nb::handle cookie, nb::handle done) override {
        nb::object answer = answering([&]() -> nb::object {
            nb::object soup = gi("Soup");
            nb::object parts = pk::import("urllib.parse").attr("urlsplit")(committed_);
            nb::object domain = cookie.attr("get")("domain");
            if (domain.is_none()) domain = parts.attr("hostname");
            nb::object path = cookie.attr("get")("path");
            if (path.is_none()) path = nb::str("/");
            nb::object c = soup.attr("Cookie").attr("new")(cookie["name"], cookie["value"], domain, path, -1);
            c.attr("set_secure")(pk::truthy(cookie.attr("get")("secure", false)));
            c.attr("set_http_only")(pk::truthy(cookie.attr("get")("httpOnly", false)));
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
            cookie_manager(view).attr("add_cookie")(c, nb::none(), fin, done);
            return nb::none();
        });
        if (!answer.is_none()) done(answer);
    }

    void delete_cookies(const pk::Call &, nb::handle view, nb::handle name, nb::handle done) override {
        nb::object mgr = cookie_manager(view);
        nb::object wanted = nb::borrow(name);
        with_cookies(view, committed_, [mgr, wanted, done = nb::borrow(done)](nb::object list) {
            nb::list doomed;
            for (nb::handle c : list)
                if (wanted.is_none() || nb::object(c.attr("get_name")()).equal(wanted)) doomed.append(c);
            delete_each(mgr, doomed, 0, done);
        }, done);
    }

    // ---- the window (a Gtk.Window: position and size as GTK reports them) ---------------------
    void attach_window(nb::handle window) override { window_ = nb::borrow(window); }

    nb::object window_rect() override {
        if (window_.is_none()) return pk::engine::unsupported(Op::WindowRect);
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
        if (window_.is_none()) return pk::engine::unsupported(Op::SetWindowRect);
        nb::object answer = answering([&]() -> nb::object {
            window_.attr("unfullscreen")();
            window_.attr("unmaximize")();
            window_.attr("deiconify")();
            // GTK takes no size below one pixel: the nearest it can do to a smaller one is the
            // smallest window it allows (its own minimum then applies)
            auto side = [](double v) { return std::max(1L, std::lround(v)); };
            nb::tuple size = nb::borrow<nb::tuple>(window_.attr("get_size")());
            if (width || height)
                window_.attr("resize")(width ? side(*width) : nb::cast<long>(size[0]),
                                       height ? side(*height) : nb::cast<long>(size[1]));
            if (x || y) {
                nb::tuple pos = nb::borrow<nb::tuple>(window_.attr("get_position")());
                window_.attr("move")(x ? std::lround(*x) : nb::cast<long>(pos[0]), y ? std::lround(*y) : nb::cast<long>(pos[1]));
            }
            return ok();
        });
        return pk::truthy(answer["ok"]) ? window_rect() : answer;
    }
    nb::object maximize() override {
        if (window_.is_none()) return pk::engine::unsupported(Op::Maximize);
        window_.attr("unfullscreen")();
        window_.attr("deiconify")();
        window_.attr("maximize")();
        return window_rect();
    }
    nb::object fullscreen() override {
        if (window_.is_none()) return pk::engine::unsupported(Op::Fullscreen);
        window_.attr("deiconify")();
        window_.attr("fullscreen")();
        return window_rect();
    }
    // Gtk.Window.close(): delete-event and destroy run as for the user's close.
    nb::object close_window() override {
        if (window_.is_none()) return pk::engine::unsupported(Op::CloseWindow);
        window_.attr("close")();
        return ok();
    }
    nb::object minimize() override {
        if (window_.is_none()) return pk::engine::unsupported(Op::Minimize);
        window_.attr("unfullscreen")();
        window_.attr("iconify")();
        return window_rect();
    }

    nb::object pointer(nb::handle, const pk::engine::PointerAction &) override {
        return pk::engine::unsupported(Op::PointerInput);
    }
    nb::object key(nb::handle, const pk::engine::KeyAction &) override { return pk::engine::unsupported(Op::KeyInput); }

    // ---- script dialogs: held for the contract and shown to the user as a dialog of the window --
    nb::object dialog(nb::handle) override {
        nb::dict d = ok();
        if (dialog_.is_none()) {
            d["kind"] = nb::none();
            return d;
        }
        const char *kind = kind_name(dialog_);
        d["kind"] = kind;
        d["text"] = pk::text_or_empty(dialog_.attr("get_message")());
        d["default"] = std::string_view(kind) == "prompt"
                           ? nb::object(pk::text_or_empty(dialog_.attr("prompt_get_default_text")()))
                           : nb::object(nb::none());
        return d;
    }
    nb::object accept_dialog(nb::handle, nb::handle text) override { return end_dialog(true, text); }
    nb::object dismiss_dialog(nb::handle) override { return end_dialog(false, nb::none()); }

    bool dialog_opened(nb::handle dialog) override {
        if (!dialog_.is_none()) return false;  // one at a time: WebKit's own dialog for another
        dialog_ = dialog.attr("copy")();       // a reference of our own, valid after the signal
        pk::guarded([&] { show_dialog(); });
        return true;
    }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(committed_.ptr());
        Py_VISIT(asked_.ptr());
        Py_VISIT(pages_.ptr());
        Py_VISIT(window_.ptr());
        Py_VISIT(dialog_.ptr());
        Py_VISIT(shown_.ptr());
        Py_VISIT(printing_.ptr());
        Py_VISIT(cookie_view_.ptr());
        Py_VISIT(cookie_manager_.ptr());
        return 0;
    }
    void clear() override {
        committed_ = nb::str("");
        asked_ = nb::str("");
        pages_ = nb::object();
        window_ = nb::none();
        dialog_ = nb::none();
        shown_ = nb::none();
        printing_ = nb::list();
        cookie_view_ = nb::none();
        cookie_manager_ = nb::none();
    }

    nb::object committed() const override { return committed_; }
    void commit(nb::handle url) override { committed_ = nb::borrow(url); }
    void track(nb::handle pages) override { pages_ = nb::borrow(pages); }
    nb::object asked() const override { return asked_; }

private:
    // `world` None: the page's own.
    static void evaluate(const pk::Call &c, nb::handle view, nb::handle script, nb::handle world, nb::handle done) {
        if (PyUnicode_Check(script.ptr()) && evaluate_natively(view, script, world, done)) return;
        nb::object finished = c.nested<script_done_spec>(script_done);
        if (nb::hasattr(view, "evaluate_javascript"))
            view.attr("evaluate_javascript")(script, -1, world, nb::none(), nb::none(), finished, done);
        else if (world.is_none())
            view.attr("run_javascript")(script, nb::none(), finished, done);
        else
            view.attr("run_javascript_in_world")(script, world, nb::none(), finished, done);
    }

    // The view's cookie manager, asked for once per view.
    nb::object cookie_manager(nb::handle view) {
        if (!cookie_view_.is(view)) {
            cookie_manager_ = view.attr("get_website_data_manager")().attr("get_cookie_manager")();
            cookie_view_ = nb::borrow(view);
        }
        return cookie_manager_;
    }

    // Calls `then(list of Soup.Cookie)` with the cookies of `address`, or done(failure).
    template <class F> void with_cookies(nb::handle view, nb::object address, F then, nb::handle done) {
        nb::object on_list = callable([then, d = nb::borrow(done)](nb::handle mgr, nb::handle result, nb::handle) {
            nb::object list;
            try {
                list = mgr.attr("get_cookies_finish")(result);
            } catch (nb::python_error &e) {
                if (!pk::is_exception(e)) throw;
                return void(d(engine_failure(e.value())));
            }
            then(list);
        });
        // (user data that is not None: the callbacks take three arguments)
        cookie_manager(view).attr("get_cookies")(address, nb::none(), on_list, 0);
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
        d["secure"] = nb::bool_(pk::truthy(c.attr("get_secure")()));
        d["httpOnly"] = nb::bool_(pk::truthy(c.attr("get_http_only")()));
        nb::handle policy = g_same_site.get();
        nb::object same = c.attr("get_same_site_policy")();
        d["sameSite"] = same.equal(policy.attr("STRICT")) ? "Strict" : same.equal(policy.attr("LAX")) ? "Lax" : "None";
        return d;
    }

    void show_dialog() {
        nb::object gtk = gi("Gtk");
        const std::string kind = kind_name(dialog_);
        nb::object buttons = gtk.attr("ButtonsType").attr(kind == "alert" ? "OK" : "OK_CANCEL");
        nb::object box = gtk.attr("MessageDialog")("transient_for"_a = window_, "modal"_a = true,
                                                   "message_type"_a = gtk.attr("MessageType").attr("QUESTION"),
                                                   "buttons"_a = buttons,
                                                   "text"_a = pk::text_or_empty(dialog_.attr("get_message")()));
        nb::object entry = nb::none();
        if (kind == "prompt") {
            entry = gtk.attr("Entry")();
            entry.attr("set_text")(pk::text_or_empty(dialog_.attr("prompt_get_default_text")()));
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

    nb::object committed_ = nb::str("");
    nb::object asked_ = nb::str("");
    nb::object pages_;  // the window's page tracker, once the window has told it
    nb::object window_ = nb::none(), dialog_ = nb::none(), shown_ = nb::none();
    nb::list printing_;  // print operations under way
    nb::object cookie_view_ = nb::none(), cookie_manager_ = nb::none();
};

// script-dialog: the engine takes the dialog (true: WebKit shows none of its own).
constexpr pk::Param dialog_params[] = {{.name = "view", .annotation = "Any"}, {.name = "dialog", .annotation = "Any"}};
constexpr pk::Spec script_dialog_spec{.name = "_on_script_dialog", .params = dialog_params, .returns = "bool"};
nb::object on_script_dialog(const pk::Call &c, nb::handle, nb::handle dialog) {
    return nb::bool_(webkit_of(c.state<G>()[G::Engine]).dialog_opened(dialog));
}

}  // namespace

void watch_dialogs(const pk::Call &c, const GState &st, nb::handle view) {
    view.attr("connect")("script-dialog", c.nested<script_dialog_spec>(on_script_dialog, st.object()));
}

nb::object new_webkit_engine() { return pk::engine::wrap(std::make_unique<WebKitGtk>()); }

WebKit &webkit_of(nb::handle engine) { return *static_cast<WebKit *>(pk::engine::of(engine)); }

}  // namespace gtkhost
