// panekit.trailbar: the address normaliser every navigation passes through, and the toolbar.
#include "pk.hpp"

#include <cstring>

namespace nb = nanobind;
using pk::Check;

namespace {

const char *const kModule = "panekit.trailbar";

// ---- norm_browser_url -----------------------------------------------------------------------

// Case-insensitive test of an ASCII prefix against code points of `s` from `start`. Only ASCII
// letters lower-case into ASCII letters of these prefixes, so a non-ASCII code point never matches.
bool has_prefix_ci(int kind, const void *data, Py_ssize_t start, Py_ssize_t end, const char *prefix) {
    Py_ssize_t i = start;
    for (; *prefix; ++prefix, ++i) {
        if (i >= end) return false;
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(*prefix)) return false;
    }
    return true;
}

bool contains_scheme_sep(int kind, const void *data, Py_ssize_t start, Py_ssize_t end) {
    if (kind == PyUnicode_1BYTE_KIND) {  // the common case: scan with memchr
        const auto *p = static_cast<const unsigned char *>(data);
        const unsigned char *at = p + start, *stop = p + end;
        while (stop - at >= 3) {
            at = static_cast<const unsigned char *>(std::memchr(at, ':', static_cast<std::size_t>(stop - at - 2)));
            if (!at) return false;
            if (at[1] == '/' && at[2] == '/') return true;
            ++at;
        }
        return false;
    }
    for (Py_ssize_t i = start; i + 2 < end; ++i) {
        if (PyUnicode_READ(kind, data, i) == ':' && PyUnicode_READ(kind, data, i + 1) == '/' &&
            PyUnicode_READ(kind, data, i + 2) == '/')
            return true;
    }
    return false;
}

// "https://" followed by raw[start:end], built in one allocation.
PyObject *with_https(PyObject *raw, Py_ssize_t start, Py_ssize_t end) {
    static const char kHttps[] = "https://";
    constexpr Py_ssize_t kLen = sizeof kHttps - 1;
    // The result must use the narrowest representation of what it holds, and the stripped
    // blanks may have been the widest characters of raw.
    Py_UCS4 maxchar = 127;
    const int rkind = PyUnicode_KIND(raw);
    const void *rdata = PyUnicode_DATA(raw);
    if (!PyUnicode_IS_ASCII(raw)) {
        for (Py_ssize_t i = start; i < end; ++i) {
            Py_UCS4 c = PyUnicode_READ(rkind, rdata, i);
            if (c > maxchar) maxchar = c;
        }
    }
    PyObject *r = PyUnicode_New(kLen + (end - start), maxchar);
    if (!r) return nullptr;
    const int kind = PyUnicode_KIND(r);
    void *out = PyUnicode_DATA(r);
    for (Py_ssize_t i = 0; i < kLen; ++i) PyUnicode_WRITE(kind, out, i, static_cast<Py_UCS4>(kHttps[i]));
    if (rkind == kind) {
        std::memcpy(static_cast<char *>(out) + kLen * kind, static_cast<const char *>(rdata) + start * kind,
                    static_cast<std::size_t>((end - start) * kind));
    } else {
        for (Py_ssize_t i = start; i < end; ++i)
            PyUnicode_WRITE(kind, out, kLen + (i - start), PyUnicode_READ(rkind, rdata, i));
    }
    return r;
}

nb::object norm_browser_url(pk::Args &a) {
    PyObject *raw = a[0].ptr();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(raw);
    const int kind = PyUnicode_KIND(raw);
    const void *data = PyUnicode_DATA(raw);
    Py_ssize_t start = 0, end = len;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == end) return nb::steal(PyUnicode_New(0, 0));

    static const char *const kKeep[] = {"about:", "file:", "edge:", "chrome:"};
    bool keep = contains_scheme_sep(kind, data, start, end);
    for (const char *p : kKeep) {
        if (keep) break;
        keep = has_prefix_ci(kind, data, start, end, p);
    }
    PyObject *r;
    if (!keep)
        r = with_https(raw, start, end);
    else if (start == 0 && end == len)
        r = Py_NewRef(raw);
    else
        r = PyUnicode_Substring(raw, start, end);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

const pk::Param norm_params[] = {pk::pos("raw", "str", Check::Str)};
const pk::Spec norm_spec{"norm_browser_url", nullptr, norm_params, "str",
                         "Trim typed or received address text and add https:// when it names no "
                         "scheme; the empty string means there is nothing to navigate to.",
                         norm_browser_url};

// ---- the Edge-style toolbar -------------------------------------------------------------------

PyObject *g_dict = nullptr;  // the module's namespace (borrowed; the module lives for the process)

using pk::guarded;

long long as_int(nb::handle v) {
    nb::object i = nb::steal(PyNumber_Long(v.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred()) throw nb::python_error();
    return r;
}

nb::object or_empty(nb::handle v) {
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) throw nb::python_error();
    return t ? nb::borrow(v) : nb::str("");
}

// str(value or "")
nb::str text_or_empty(nb::handle v) { return nb::str(or_empty(v)); }

constexpr long long kPadX = 12;
constexpr long long kPadY = 8;
constexpr long long kMinAddrWidth = 160;
constexpr long long kAddrCopyGap = 8;

// _mdl2_font(size: float = 11) -> Any
nb::object mdl2_font(pk::Args &a) {
    nb::object d = pk::import("System.Drawing");
    nb::object font = d.attr("Font"), style = d.attr("FontStyle"), unit = d.attr("GraphicsUnit");
    return font("Segoe MDL2 Assets", a[0], style.attr("Regular"), unit.attr("Point"));
}

const pk::Param mdl2_params[] = {pk::pos("size", "float", Check::Float, pk::Def::Float, 11.0)};
const pk::Spec mdl2_spec{"_mdl2_font", nullptr, mdl2_params, "Any", nullptr, mdl2_font};

// _layout(_s=None, _e=None): cells (top, addr, btn_copy)
nb::object layout(pk::Args &a) {
    nb::handle top = a.cell(0), addr = a.cell(1), copy = a.cell(2);
    const long long inner_w = as_int(top.attr("ClientSize").attr("Width"));
    const long long margin_r = kPadX + as_int(copy.attr("Width")) + kAddrCopyGap;
    const long long want = inner_w - as_int(addr.attr("Left")) - margin_r;
    addr.attr("Width") = nb::int_(want > kMinAddrWidth ? want : kMinAddrWidth);
    copy.attr("Left") = nb::int_(inner_w - as_int(copy.attr("Width")) - kPadX);
    return nb::none();
}

// _go(_s=None, _e=None): cells (addr, on_navigate)
nb::object go(pk::Args &a) {
    a.cell(1)(text_or_empty(a.cell(0).attr("Text")));
    return nb::none();
}

// _addr_keypress(_s, e): cells (_go,)
nb::object addr_keypress(pk::Args &a) {
    guarded([&] {
        nb::handle e = a[1];
        nb::object ch = e.attr("KeyChar");
        nb::handle ord = PyDict_GetItemString(PyEval_GetBuiltins(), "ord");
        nb::object code = ord(ch);
        if (as_int(code) == 13) {
            e.attr("Handled") = true;
            a.cell(0)();
        }
    });
    return nb::none();
}

// _addr_preview(_s, e): cells (wf,)
nb::object addr_preview(pk::Args &a) {
    guarded([&] {
        nb::handle e = a[1];
        nb::object keys = a.cell(0).attr("Keys");
        nb::object code = e.attr("KeyCode");
        if (code.equal(keys.attr("Return")) || code.equal(keys.attr("Enter")))
            e.attr("IsInputKey") = true;
    });
    return nb::none();
}

// lambda _s, _e: callback(): cells (callback,)
nb::object click_lambda(pk::Args &a) { return a.cell(0)(); }

// _copy_link(_s=None, _e=None): cells (addr, wf)
nb::object copy_link(pk::Args &a) {
    nb::object u = text_or_empty(a.cell(0).attr("Text")).attr("strip")();
    if (PyUnicode_GET_LENGTH(u.ptr()) == 0) return nb::none();
    guarded([&] { a.cell(1).attr("Clipboard").attr("SetText")(u); });
    return nb::none();
}

const pk::Param optional_pair[] = {pk::pos("_s", nullptr, Check::Any, pk::Def::None),
                                   pk::pos("_e", nullptr, Check::Any, pk::Def::None)};
const pk::Param key_pair[] = {pk::pos("_s", nullptr), pk::pos("e", nullptr)};
const pk::Param click_pair[] = {pk::pos("_s", nullptr), pk::pos("_e", nullptr)};

const pk::Spec layout_spec{"_layout", "attach_edge_chrome_toolbar.<locals>._layout", optional_pair,
                           nullptr, nullptr, layout};
const pk::Spec go_spec{"_go", "attach_edge_chrome_toolbar.<locals>._go", optional_pair, nullptr,
                       nullptr, go};
const pk::Spec keypress_spec{"_addr_keypress", "attach_edge_chrome_toolbar.<locals>._addr_keypress",
                             key_pair, nullptr, nullptr, addr_keypress};
const pk::Spec preview_spec{"_addr_preview", "attach_edge_chrome_toolbar.<locals>._addr_preview",
                            key_pair, nullptr, nullptr, addr_preview};
const pk::Spec lambda_spec{"<lambda>", "attach_edge_chrome_toolbar.<locals>.<lambda>", click_pair,
                           nullptr, nullptr, click_lambda};
const pk::Spec copy_spec{"_copy_link", "attach_edge_chrome_toolbar.<locals>._copy_link",
                         optional_pair, nullptr, nullptr, copy_link};

// Flat style, borderless, the panel's colour, and the icon font: what every toolbar button shares.
// `left` is not set for the copy button, which the layout places.
nb::object flat_button(nb::handle wf, nb::handle top, nb::handle mdl, const char *glyph,
                       const long long *left, const char *tip) {
    nb::object b = wf.attr("Button")();
    b.attr("Text") = nb::str(glyph);
    b.attr("Font") = mdl;
    b.attr("Width") = 36;
    b.attr("Height") = 30;
    if (left) b.attr("Left") = nb::int_(*left);
    b.attr("Top") = 8;
    b.attr("FlatStyle") = wf.attr("FlatStyle").attr("Flat");
    guarded([&] {
        b.attr("FlatAppearance").attr("BorderSize") = 0;
        b.attr("BackColor") = top.attr("BackColor");
    });
    guarded([&] { wf.attr("ToolTip")().attr("SetToolTip")(b, nb::str(tip)); });
    return b;
}

nb::object local(const pk::Spec &spec, nb::handle cells) {
    return pk::make_function(spec, kModule, cells);
}

nb::object attach_toolbar(pk::Args &a) {
    nb::handle wf = a[0], drawing = a[1], form = a[2], holder = a[3];
    nb::handle on_navigate = a[4], on_back = a[5], on_forward = a[6], on_reload = a[7];
    nb::handle start_url = a[8];

    nb::object top = wf.attr("Panel")();
    top.attr("Height") = 52;
    top.attr("Dock") = wf.attr("DockStyle").attr("Top");
    top.attr("Padding") = wf.attr("Padding")(kPadX, kPadY, kPadX, kPadY);
    guarded([&] { top.attr("BackColor") = drawing.attr("Color").attr("FromArgb")(243, 243, 243); });

    nb::object mdl = pk::module_global(nb::handle(g_dict), "_mdl2_font")(11.0);

    long long x = kPadX;
    nb::object btn_back = flat_button(wf, top, mdl, "\uE72B", &x, "后退");
    x += as_int(btn_back.attr("Width")) + 2;
    nb::object btn_fwd = flat_button(wf, top, mdl, "\uE72A", &x, "前进");
    x += as_int(btn_fwd.attr("Width")) + 2;
    nb::object btn_reload = flat_button(wf, top, mdl, "\uE149", &x, "刷新");
    x += as_int(btn_reload.attr("Width")) + 10;

    nb::object addr = wf.attr("TextBox")();
    addr.attr("Left") = nb::int_(x);
    addr.attr("Top") = 9;
    addr.attr("Height") = 28;
    guarded([&] {
        addr.attr("Font") = drawing.attr("Font")("Segoe UI", 9.0,
                                                 drawing.attr("FontStyle").attr("Regular"),
                                                 drawing.attr("GraphicsUnit").attr("Point"));
    });
    addr.attr("BorderStyle") = wf.attr("BorderStyle").attr("FixedSingle");
    addr.attr("Text") = or_empty(start_url);
    nb::object anchors = wf.attr("AnchorStyles");
    addr.attr("Anchor") = anchors.attr("Left") | anchors.attr("Top") | anchors.attr("Right");

    nb::object btn_copy = flat_button(wf, top, mdl, "\uE16C", nullptr, "复制当前链接");
    btn_copy.attr("Anchor") = anchors.attr("Top") | anchors.attr("Right");

    nb::object layout_fn = local(layout_spec, nb::make_tuple(top, addr, btn_copy));
    pk::event_add(form, "Resize", layout_fn);
    pk::event_add(top, "Resize", layout_fn);

    pk::event_add(btn_back, "Click", local(lambda_spec, nb::make_tuple(on_back)));
    pk::event_add(btn_fwd, "Click", local(lambda_spec, nb::make_tuple(on_forward)));
    pk::event_add(btn_reload, "Click", local(lambda_spec, nb::make_tuple(on_reload)));

    nb::object go_fn = local(go_spec, nb::make_tuple(addr, on_navigate));
    pk::event_add(addr, "KeyPress", local(keypress_spec, nb::make_tuple(go_fn)));
    guarded([&] { pk::event_add(addr, "PreviewKeyDown", local(preview_spec, nb::make_tuple(wf))); });

    pk::event_add(btn_copy, "Click", local(copy_spec, nb::make_tuple(addr, wf)));

    nb::object controls = top.attr("Controls");
    for (nb::handle c : {btn_back.ptr(), btn_fwd.ptr(), btn_reload.ptr(), addr.ptr(), btn_copy.ptr()})
        controls.attr("Add")(c);

    if (PyDict_SetItemString(holder.ptr(), "addr", addr.ptr()) < 0) throw nb::python_error();

    layout_fn();
    return nb::make_tuple(top, addr);
}

const pk::Param toolbar_params[] = {
    pk::pos("wf", "Any"),
    pk::pos("drawing", "Any"),
    pk::pos("form", "Any"),
    pk::pos("holder", "Dict[str, Any]", Check::Dict),
    pk::kw("on_navigate", "Callable[[str], None]"),
    pk::kw("on_back", "Callable[[], None]"),
    pk::kw("on_forward", "Callable[[], None]"),
    pk::kw("on_reload", "Callable[[], None]"),
    pk::kw("start_url", "str", Check::Str),
};
const pk::Spec toolbar_spec{
    "attach_edge_chrome_toolbar", nullptr, toolbar_params, "Tuple[Any, Any]",
    "Add a light-grey navigation bar at the top of form and return (top_panel, address_textbox).\n"
    "\n"
    "The caller binds SourceChanged once CoreWebView2 is ready, to synchronise the address bar.",
    attach_toolbar};

}  // namespace

NB_MODULE(trailbar, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
    g_dict = m.attr("__dict__").ptr();
    m.attr("norm_browser_url") = pk::make_function(norm_spec, kModule);
    m.attr("_mdl2_font") = pk::make_function(mdl2_spec, kModule);
    m.attr("attach_edge_chrome_toolbar") = pk::make_function(toolbar_spec, kModule);
}
