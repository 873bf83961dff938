// panekit.gtkhost: the toolbar above the view (back, forward, reload, the address box, copy-link).
#include "gtkhost.hpp"

namespace gtkhost {
namespace {

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

}  // namespace

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

}  // namespace gtkhost
