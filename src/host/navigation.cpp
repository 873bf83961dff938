// The host layer's navigation (see navigation.hpp): the pending-navigation rule, history, the
// address box, over the window's engine.
#include "navigation.hpp"

namespace pk::host {

using namespace nb::literals;

nb::object core(const View &v, nb::handle holder) {
    nb::object view = get(holder, v.view_key);
    if (view.is_none()) return view;
    return guarded_or(nb::object(nb::none()), [&]() -> nb::object {
        nb::object o = view;
        for (const char *name : v.core_path) o = o.attr(name);
        return o;
    });
}

void navigate(const View &v, nb::handle holder, engine::Engine &engine, nb::handle norm, nb::handle url) {
    nb::object u = norm(url);
    if (!truthy(u) || unusable_address(u)) return;
    nb::object cv = core(v, holder);
    if (cv.is_none()) {
        set(holder, kPendingKey, u);
        return;
    }
    guarded([&] {
        engine.navigate(cv, u);
        set(holder, kPendingKey, nb::none());
    });
}

void flush_pending(const View &v, nb::handle holder, engine::Engine &engine) {
    nb::object u = get(holder, kPendingKey);
    if (u.is_none() || !truthy(u)) return;
    nb::object cv = core(v, holder);
    if (cv.is_none()) return;
    guarded([&] {
        engine.navigate(cv, u);
        set(holder, kPendingKey, nb::none());
    });
}

void history(const View &v, nb::handle holder, engine::Engine &engine, History what) {
    nb::object cv = core(v, holder);
    if (cv.is_none()) return;
    guarded([&] {
        switch (what) {
            case History::Back: engine.back(cv); break;
            case History::Forward: engine.forward(cv); break;
            case History::Reload: engine.reload(cv); break;
        }
    });
}

void sync_address_bar(const View &v, nb::handle holder, engine::Engine &engine) {
    nb::object cv = core(v, holder);
    nb::object tb = get(holder, "addr");
    if (cv.is_none() || tb.is_none()) return;
    guarded([&] {
        nb::object src = engine.url(cv).attr("strip")();
        if (!truthy(src)) return;
        if (v.toolkit == Toolkit::GLib) {
            if (src.not_equal(tb.attr("get_text")())) tb.attr("set_text")(src);
        } else {
            tb.attr("Text") = src;
        }
    });
}

WindowParts window_of(nb::handle core_fn) {
    PyObject *closure = closure_of(core_fn.ptr());
    if (!closure) return {nb::none(), nb::none()};
    State<detail::Cb> st(closure);
    if (!st[detail::Cb::Tag].is(detail::window_tag())) return {nb::none(), nb::none()};
    return {nb::borrow(st[detail::Cb::Engine]), nb::borrow(st[detail::Cb::Pages])};
}

nb::handle detail::window_tag() {
    static PyObject *tag = PyUnicode_InternFromString("panekit window callables");
    return tag;
}

}  // namespace pk::host
