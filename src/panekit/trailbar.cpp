// panekit.trailbar: the address normaliser every navigation passes through, and the toolbar.
#include "pk.hpp"

#include <cstdint>
#include <cstring>

namespace nb = nanobind;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

// ---- norm_browser_url -----------------------------------------------------------------------
//
// Trim the text; keep it as it is when it names a scheme ("://" anywhere, or one of the kept
// prefixes in any ASCII case); otherwise put "https://" in front. Each step is written once per
// character width, so the common one-byte text is scanned as plain bytes.

template <class Ch> bool is_space(Ch c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }

// Case-insensitive test of an ASCII prefix. Only ASCII letters lower-case into the ASCII letters
// of these prefixes, so a non-ASCII character never matches.
template <class Ch> bool has_prefix_ci(const Ch *s, Py_ssize_t n, const char *prefix) {
    Py_ssize_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= n) return false;
        Ch c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<Ch>(c + ('a' - 'A'));
        if (c != static_cast<unsigned char>(prefix[i])) return false;
    }
    return true;
}

template <class Ch> bool contains_scheme_sep(const Ch *s, Py_ssize_t n) {
    if constexpr (sizeof(Ch) == 1) {  // scan with memchr
        const Ch *at = s, *stop = s + n;
        while (stop - at >= 3) {
            at = static_cast<const Ch *>(std::memchr(at, ':', static_cast<std::size_t>(stop - at - 2)));
            if (!at) return false;
            if (at[1] == '/' && at[2] == '/') return true;
            ++at;
        }
        return false;
    } else {
        for (Py_ssize_t i = 0; i + 2 < n; ++i)
            if (s[i] == ':' && s[i + 1] == '/' && s[i + 2] == '/') return true;
        return false;
    }
}

template <class Ch> bool names_scheme(const Ch *s, Py_ssize_t n) {
    // The first letter decides which kept prefix can apply.
    switch (s[0] | 0x20) {
        case 'a': if (has_prefix_ci(s, n, "about:")) return true; break;
        case 'f': if (has_prefix_ci(s, n, "file:")) return true; break;
        case 'e': if (has_prefix_ci(s, n, "edge:")) return true; break;
        case 'c': if (has_prefix_ci(s, n, "chrome:")) return true; break;
        default: break;
    }
    return contains_scheme_sep(s, n);
}

constexpr char kHttps[] = "https://";
constexpr Py_ssize_t kHttpsLen = sizeof kHttps - 1;

// "https://" followed by s[0:n], in the narrowest representation of what it holds (trimmed
// blanks may have been the widest characters of the text).
template <class Ch> PyObject *with_https(const Ch *s, Py_ssize_t n, bool ascii) {
    Py_UCS4 maxchar = 127;
    if (!ascii)
        for (Py_ssize_t i = 0; i < n; ++i)
            if (s[i] > maxchar) maxchar = s[i];
    PyObject *r = PyUnicode_New(kHttpsLen + n, maxchar);
    if (!r) return nullptr;
    const int kind = PyUnicode_KIND(r);
    if (kind == sizeof(Ch)) {
        auto *out = static_cast<Ch *>(PyUnicode_DATA(r));
        for (Py_ssize_t i = 0; i < kHttpsLen; ++i) out[i] = static_cast<Ch>(kHttps[i]);
        std::memcpy(out + kHttpsLen, s, static_cast<std::size_t>(n) * sizeof(Ch));
    } else {
        void *out = PyUnicode_DATA(r);
        for (Py_ssize_t i = 0; i < kHttpsLen; ++i) PyUnicode_WRITE(kind, out, i, static_cast<Py_UCS4>(kHttps[i]));
        for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, out, kHttpsLen + i, static_cast<Py_UCS4>(s[i]));
    }
    return r;
}

template <class Ch> PyObject *normalise(PyObject *raw, const Ch *s, Py_ssize_t len) {
    Py_ssize_t start = 0, end = len;
    while (start < end && is_space(s[start])) ++start;
    while (end > start && is_space(s[end - 1])) --end;
    if (start == end) return PyUnicode_New(0, 0);
    if (!names_scheme(s + start, end - start)) return with_https(s + start, end - start, PyUnicode_IS_ASCII(raw));
    if (start == 0 && end == len) return Py_NewRef(raw);
    return PyUnicode_Substring(raw, start, end);
}

constexpr pk::Param norm_params[] = {{.name = "raw", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec norm_spec{
    .name = "norm_browser_url",
    .params = norm_params,
    .returns = "str",
    .doc = "Trim typed or received address text and add https:// when it names no scheme; the "
           "empty string means there is nothing to navigate to.",
    .leaf = true,
};
nb::object norm_browser_url(nb::str raw) {
    PyObject *r = raw.ptr();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(r);
    const void *data = PyUnicode_DATA(r);
    switch (PyUnicode_KIND(r)) {
        case PyUnicode_1BYTE_KIND: return pk::check(normalise(r, static_cast<const Py_UCS1 *>(data), len));
        case PyUnicode_2BYTE_KIND: return pk::check(normalise(r, static_cast<const Py_UCS2 *>(data), len));
        default: return pk::check(normalise(r, static_cast<const Py_UCS4 *>(data), len));
    }
}

// ---- the Edge-style toolbar -------------------------------------------------------------------

constexpr long long kPadX = 12;
constexpr long long kPadY = 8;
constexpr long long kMinAddrWidth = 160;
constexpr long long kAddrCopyGap = 8;

long long as_int(nb::handle v) {
    nb::object i = pk::check(PyNumber_Long(v.ptr()));
    return pk::check_value(PyLong_AsLongLong(i.ptr()));
}

// value or ""
nb::object or_empty(nb::handle v) { return pk::truthy(v) ? nb::borrow(v) : nb::str(""); }

constexpr pk::Param mdl2_params[] = {
    {.name = "size", .annotation = "float", .check = Check::Float, .def = Def::Float, .number = 11.0},
};
constexpr pk::Spec mdl2_spec{.name = "_mdl2_font", .params = mdl2_params, .returns = "Any"};
nb::object mdl2_font(double size) {
    nb::object d = pk::import("System.Drawing");
    return d.attr("Font")("Segoe MDL2 Assets", size, d.attr("FontStyle").attr("Regular"),
                          d.attr("GraphicsUnit").attr("Point"));
}

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
    pk::guarded([&] {
        b.attr("FlatAppearance").attr("BorderSize") = 0;
        b.attr("BackColor") = top.attr("BackColor");
    });
    pk::guarded([&] { wf.attr("ToolTip")().attr("SetToolTip")(b, nb::str(tip)); });
    return b;
}

// What the toolbar's handlers share.
enum class Bar { Wf, Top, Addr, Copy, OnNavigate, OnBack, OnForward, OnReload, Go, kCount };

constexpr pk::Param optional_pair[] = {
    {.name = "_s", .def = Def::None},
    {.name = "_e", .def = Def::None},
};

constexpr pk::Spec layout_spec{.name = "_layout", .params = optional_pair};
void layout(const pk::Call &c, nb::handle, nb::handle) {
    auto bar = c.state<Bar>();
    nb::handle addr = bar[Bar::Addr], copy = bar[Bar::Copy];
    const long long inner_w = as_int(bar[Bar::Top].attr("ClientSize").attr("Width"));
    const long long margin_r = kPadX + as_int(copy.attr("Width")) + kAddrCopyGap;
    const long long want = inner_w - as_int(addr.attr("Left")) - margin_r;
    addr.attr("Width") = nb::int_(want > kMinAddrWidth ? want : kMinAddrWidth);
    copy.attr("Left") = nb::int_(inner_w - as_int(copy.attr("Width")) - kPadX);
}

constexpr pk::Param click_pair[] = {{.name = "_s"}, {.name = "_e"}};
constexpr pk::Spec click_spec{.name = "<lambda>", .params = click_pair};
// lambda _s, _e: on_back() (and on_forward, on_reload)
template <Bar Callback> nb::object click(const pk::Call &c, nb::handle, nb::handle) {
    return c.state<Bar>()[Callback]();
}

constexpr pk::Spec go_spec{.name = "_go", .params = optional_pair};
void go(const pk::Call &c, nb::handle, nb::handle) {
    auto bar = c.state<Bar>();
    bar[Bar::OnNavigate](pk::text_or_empty(bar[Bar::Addr].attr("Text")));
}

constexpr pk::Param key_pair[] = {{.name = "_s"}, {.name = "e"}};
constexpr pk::Spec keypress_spec{.name = "_addr_keypress", .params = key_pair};
void addr_keypress(const pk::Call &c, nb::handle, nb::handle e) {
    pk::guarded([&] {
        nb::object ch = e.attr("KeyChar");
        nb::object code = pk::import("builtins").attr("ord")(ch);
        if (as_int(code) == 13) {
            e.attr("Handled") = true;
            c.state<Bar>()[Bar::Go]();
        }
    });
}

constexpr pk::Spec preview_spec{.name = "_addr_preview", .params = key_pair};
void addr_preview(const pk::Call &c, nb::handle, nb::handle e) {
    pk::guarded([&] {
        nb::object keys = c.state<Bar>()[Bar::Wf].attr("Keys");
        nb::object code = e.attr("KeyCode");
        if (code.equal(keys.attr("Return")) || code.equal(keys.attr("Enter"))) e.attr("IsInputKey") = true;
    });
}

constexpr pk::Spec copy_spec{.name = "_copy_link", .params = optional_pair};
void copy_link(const pk::Call &c, nb::handle, nb::handle) {
    auto bar = c.state<Bar>();
    nb::object u = pk::text_or_empty(bar[Bar::Addr].attr("Text")).attr("strip")();
    if (PyUnicode_GET_LENGTH(u.ptr()) == 0) return;
    pk::guarded([&] { bar[Bar::Wf].attr("Clipboard").attr("SetText")(u); });
}

constexpr pk::Param toolbar_params[] = {
    {.name = "wf", .annotation = "Any"},
    {.name = "drawing", .annotation = "Any"},
    {.name = "form", .annotation = "Any"},
    {.name = "holder", .annotation = "Dict[str, Any]", .check = Check::Dict},
    {.name = "on_navigate", .annotation = "Callable[[str], None]", .kind = Kind::KeywordOnly},
    {.name = "on_back", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "on_forward", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "on_reload", .annotation = "Callable[[], None]", .kind = Kind::KeywordOnly},
    {.name = "start_url", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly},
};
constexpr pk::Spec toolbar_spec{
    .name = "attach_edge_chrome_toolbar",
    .params = toolbar_params,
    .returns = "Tuple[Any, Any]",
    .doc = "Add a light-grey navigation bar at the top of form and return (top_panel, address_textbox).\n"
           "\n"
           "The caller binds SourceChanged once CoreWebView2 is ready, to synchronise the address bar.",
};
nb::object attach_toolbar(const pk::Call &c, nb::handle wf, nb::handle drawing, nb::handle form, nb::dict holder,
                          nb::handle on_navigate, nb::handle on_back, nb::handle on_forward,
                          nb::handle on_reload, nb::str start_url) {
    pk::State<Bar> bar;
    bar.set(Bar::Wf, wf);
    bar.set(Bar::OnNavigate, on_navigate);
    bar.set(Bar::OnBack, on_back);
    bar.set(Bar::OnForward, on_forward);
    bar.set(Bar::OnReload, on_reload);

    nb::object top = wf.attr("Panel")();
    top.attr("Height") = 52;
    top.attr("Dock") = wf.attr("DockStyle").attr("Top");
    top.attr("Padding") = wf.attr("Padding")(kPadX, kPadY, kPadX, kPadY);
    pk::guarded([&] { top.attr("BackColor") = drawing.attr("Color").attr("FromArgb")(243, 243, 243); });

    nb::object mdl = c.global("_mdl2_font")(11.0);

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
    pk::guarded([&] {
        addr.attr("Font") = drawing.attr("Font")("Segoe UI", 9.0, drawing.attr("FontStyle").attr("Regular"),
                                                 drawing.attr("GraphicsUnit").attr("Point"));
    });
    addr.attr("BorderStyle") = wf.attr("BorderStyle").attr("FixedSingle");
    addr.attr("Text") = or_empty(start_url);
    nb::object anchors = wf.attr("AnchorStyles");
    addr.attr("Anchor") = anchors.attr("Left") | anchors.attr("Top") | anchors.attr("Right");

    nb::object btn_copy = flat_button(wf, top, mdl, "\uE16C", nullptr, "复制当前链接");
    btn_copy.attr("Anchor") = anchors.attr("Top") | anchors.attr("Right");
    bar.set(Bar::Top, top);
    bar.set(Bar::Addr, addr);
    bar.set(Bar::Copy, btn_copy);

    nb::object layout_fn = c.nested<layout_spec>(layout, bar.object());
    pk::event_add(form, "Resize", layout_fn);
    pk::event_add(top, "Resize", layout_fn);

    pk::event_add(btn_back, "Click", c.nested<click_spec>(click<Bar::OnBack>, bar.object()));
    pk::event_add(btn_fwd, "Click", c.nested<click_spec>(click<Bar::OnForward>, bar.object()));
    pk::event_add(btn_reload, "Click", c.nested<click_spec>(click<Bar::OnReload>, bar.object()));

    bar.set(Bar::Go, c.nested<go_spec>(go, bar.object()));
    pk::event_add(addr, "KeyPress", c.nested<keypress_spec>(addr_keypress, bar.object()));
    pk::guarded([&] { pk::event_add(addr, "PreviewKeyDown", c.nested<preview_spec>(addr_preview, bar.object())); });

    pk::event_add(btn_copy, "Click", c.nested<copy_spec>(copy_link, bar.object()));

    nb::object controls = top.attr("Controls");
    for (nb::handle ctl : {btn_back.ptr(), btn_fwd.ptr(), btn_reload.ptr(), addr.ptr(), btn_copy.ptr()})
        controls.attr("Add")(ctl);

    holder["addr"] = addr;

    layout_fn();
    return nb::make_tuple(top, addr);
}

}  // namespace

NB_MODULE(trailbar, m) {
    pk::Module mod(m, "panekit.trailbar", nullptr);
    mod.defer_names("typing", {"Any", "Callable", "Dict", "Tuple"});  // what the annotations name
    mod.def<norm_spec>(norm_browser_url);
    mod.def<mdl2_spec>(mdl2_font);
    mod.def<toolbar_spec>(attach_toolbar);
}
