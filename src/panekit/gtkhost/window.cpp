// panekit.gtkhost: the browser window on Linux (see gtkhost.hpp). This file: run_toolbar_main,
// from the start-up checks to the window's end, and the module.
#include "gtkhost.hpp"

namespace gtkhost {
namespace {

constexpr pk::Param widget_params[] = {{.name = "_w", .annotation = "Any"}};

// The view is ready once the main loop runs (its first page is loading already): the core goes
// into the holder and the address queued meanwhile, if any, is loaded.
constexpr pk::Spec ready_spec{.name = "_on_ready", .returns = "bool"};
nb::object on_ready(const pk::Call &c) {
    auto st = c.state<G>();
    nb::handle holder = st[G::Holder];
    holder["core"] = st[G::View];
    pk::guarded([&] {
        nb::object queued = holder.attr("pop")(pk::host::kPendingKey, nb::none());
        if (pk::truthy(queued)) webkit_of(st[G::Engine]).navigate(st[G::View], nb::str(queued));
    });
    st[G::Flush]();
    nb::object(holder[nb::str("core_ready")]).attr("set")();
    return nb::bool_(false);  // once
}

// The window has gone: the callables see no window and no core from now on, and the loop ends.
constexpr pk::Spec destroy_spec{.name = "_on_destroy", .params = widget_params, .returns = "None"};
void on_destroy(const pk::Call &c, nb::handle) {
    auto st = c.state<G>();
    nb::handle holder = st[G::Holder];
    holder["core"] = nb::none();
    holder["form"] = nb::none();
    pk::host::glib_channel_close(holder);
    pk::host::pages_closed(st[G::Pages]);
    nb::handle gtk = st[G::Gtk];
    if (nb::cast<long>(gtk.attr("main_level")()) > 0) gtk.attr("main_quit")();
}

// ---- signals ----------------------------------------------------------------------------------------

// A signal closes the window as its close button does (pk::host::catch_signals), at the next turn
// of the main loop, before the redraws and input waiting there.
constexpr pk::Spec close_window_spec{.name = "_close_window", .returns = "bool"};
nb::object close_window(const pk::Call &c) {
    nb::object window = pk::host::get(c.state<G>()[G::Holder], "form");
    if (!window.is_none()) pk::guarded([&] { window.attr("close")(); });
    return nb::bool_(false);  // once
}

nb::list catch_signals(const pk::Call &c, const GState &st) {
    nb::handle glib = st[G::GLib];
    nb::object close = pk::import_from("functools", "partial")(
        glib.attr("idle_add"), c.nested<close_window_spec>(close_window, st.object()),
        "priority"_a = glib.attr("PRIORITY_HIGH"));
    return pk::host::catch_signals(c, close);
}

// A refusal: the message, and 1.
nb::object refuse(nb::handle message) {
    pk::print_line(message);
    return nb::int_(1);
}

// `command` as this user runs it as root: after "sudo " unless the process is root already.
nb::object as_root(const pk::Call &c, const char *command) {
    nb::object os = c.global("os");
    const bool root = pk::guarded_or(false, [&] {
        return nb::hasattr(os, "geteuid") && nb::object(os.attr("geteuid")()).equal(nb::int_(0));
    });
    return nb::str(root ? "" : "sudo ") + nb::str(command);
}

constexpr pk::Spec main_spec{
    .name = "run_toolbar_main",
    .params = pk::host::kRunParams,
    .returns = "int",
    .doc = "Open the browser window (toolbar above one WebKit view, GTK 3), start the control server "
           "unless with_control_server is false, and run GTK's main loop on this thread; 0 when the "
           "window has closed, 1 when GTK, WebKit or a display is missing.",
};
nb::object run_toolbar_main(const pk::Call &c, nb::str start_url, nb::handle home_url, nb::str form_title,
                            nb::handle user_data_folder, bool with_control_server, nb::handle control_host,
                            nb::handle control_port_override, nb::handle browser_download_directory,
                            nb::handle browser_download_prompt) {
    // Start-up checks: PyGObject, the GTK 3 and WebKit2 4.1 bindings, a display.
    nb::object gi;
    try {
        gi = nb::module_::import_("gi");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        nb::object install = as_root(c, (std::string(kAptGtk) + kAptBuild).c_str()) + nb::str(" && ") +
                             nb::str(c.global("sys").attr("executable")) + nb::str(kPipGtk);
        return refuse(pk::format1(kNoGi, install));
    }
    nb::object gtk, gdk, glib, webkit;
    try {
        gi.attr("require_version")("Gtk", "3.0");
        gi.attr("require_version")("WebKit2", "4.1");
        gtk = pk::import_from("gi.repository", "Gtk");
        gdk = pk::import_from("gi.repository", "Gdk");
        glib = pk::import_from("gi.repository", "GLib");
        webkit = pk::import_from("gi.repository", "WebKit2");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_ValueError)) throw;
        return refuse(pk::format1(kNoWebKit, e.value()) + as_root(c, kAptGtk));
    }
    if (!pk::truthy(gtk.attr("init_check")(nb::none())[0])) {
        const bool xvfb = !pk::import("shutil").attr("which")("xvfb-run").is_none();
        return refuse(pk::format1(kNoDisplay, xvfb ? nb::str("") : pk::format1(kNoXvfb, as_root(c, kAptXvfb))));
    }

    nb::object env = c.global("os").attr("environ");
    nb::object norm = c.global("norm_browser_url");
    nb::object home = pk::host::home(env, home_url, c.global("_DEFAULT_HOME"), norm);
    nb::object start = pk::host::start(start_url, home, norm);

    nb::dict holder;
    holder["form"] = nb::none();
    holder["core"] = nb::none();
    holder["addr"] = nb::none();
    holder["core_ready"] = c.global("threading").attr("Event")();
    holder[pk::host::kPendingKey] = nb::none();
    nb::object downloads = c.global("resolve_download_settings")("directory"_a = browser_download_directory,
                                                                 "prompt"_a = browser_download_prompt);
    holder["download_folder"] = downloads[0];
    holder["download_prompt"] = nb::bool_(pk::truthy(downloads[1]));

    GState st;
    st.set(G::Holder, holder);
    st.set(G::Gtk, gtk);
    st.set(G::GLib, glib);
    st.set(G::Start, start);
    st.set(G::Engine, new_webkit_engine());
    nb::handle s = st.object();
    pk::host::Callables fns = pk::host::make_callables<kView>(c, holder, st[G::Engine]);
    st.set(G::Invoke, fns.invoke);
    st.set(G::Sync, fns.sync);
    st.set(G::Flush, fns.flush);
    st.set(G::Pages, fns.pages);
    st.set(G::LoadEnd, Py_True);
    st.set(G::LoadSeq, nb::int_(0));
    st.set(G::Quiet, Py_False);
    st.set(G::FolderError, nb::none());
    st.set(G::Download, Py_False);
    webkit_of(st[G::Engine]).track(fns.pages);

    nb::object ud = pk::host::user_data_folder(env, user_data_folder, c.global("Path"));

    // The view, with WebKit's data and cache under the user-data folder. Its first page is asked
    // for as soon as it can be watched, so the engine loads it while the window is being built.
    nb::object manager = webkit.attr("WebsiteDataManager")("base_data_directory"_a = nb::str(ud / nb::str("data")),
                                                           "base_cache_directory"_a = nb::str(ud / nb::str("cache")));
    nb::object context = webkit.attr("WebContext").attr("new_with_website_data_manager")(manager);
    nb::object view = webkit.attr("WebView").attr("new_with_context")(context);
    st.set(G::View, view);
    view.attr("get_settings")().attr("set_property")("javascript-can-open-windows-automatically", true);
    watch_view(c, st, view);
    watch_dialogs(c, st, view);
    watch_download_events(c, context, fns.pages);
    watch_downloads(c, st, view);
    pk::guarded([&] { webkit_of(st[G::Engine]).navigate(view, nb::str(start)); });

    nb::object ch = pk::host::control_host(env, control_host);
    nb::object cp = pk::host::control_port(control_port_override, c.global("control_port"));

    nb::object window = gtk.attr("Window")("title"_a = form_title);
    window.attr("set_default_size")(kWidth, kHeight);
    st.set(G::Window, window);
    webkit_of(st[G::Engine]).attach_window(window);
    auto [bar, entry] = build_toolbar(c, gtk, gdk, fns, start);
    nb::object body = gtk.attr("Box")("orientation"_a = gtk.attr("Orientation").attr("VERTICAL"), "spacing"_a = 0);
    body.attr("pack_start")(bar, false, false, 0);
    body.attr("pack_start")(view, true, true, 0);
    window.attr("add")(body);
    window.attr("connect")("destroy", c.nested<destroy_spec>(on_destroy, s));
    holder["form"] = window;
    holder["addr"] = entry;

    // Other threads' work for the window goes through its channel to this thread's main loop.
    pk::host::glib_channel_open(holder, glib);
    nb::object server;
    nb::list signals;
    try {
        if (with_control_server) {
            try {
                server = pk::host::start_window_server(c, ch, cp, fns);
            } catch (nb::python_error &e) {
                // A window nobody can steer is not opened: the failure was said, the start is refused.
                if (!pk::is_exception(e)) throw;
                holder["form"] = nb::none();
                pk::host::glib_channel_close(holder);
                pk::guarded([&] { window.attr("destroy")(); });
                return nb::int_(1);
            }
            pk::print_line(pk::format1(kControlLine, pk::host::window_server_url(c, ch, cp, server)));
        }
        pk::print_line(nb::str("[panekit] 首页=") + nb::str(home) + nb::str("  首跳=") + nb::str(start) +
                       nb::str("  (宿主=gtk)"));
        window.attr("show_all")();
        entry.attr("grab_focus")();
        glib.attr("idle_add")(c.nested<ready_spec>(on_ready, s), "priority"_a = glib.attr("PRIORITY_DEFAULT"));
        signals = catch_signals(c, st);
        gtk.attr("main")();
        pk::host::restore_signals(signals);
    } catch (nb::python_error &) {
        pk::host::restore_signals(signals);
        pk::host::glib_channel_close(holder);
        pk::host::end_window(fns.pages, server);
        holder["core"] = nb::none();
        holder["form"] = nb::none();
        pk::guarded([&] { window.attr("destroy")(); });
        throw;
    }
    pk::host::glib_channel_close(holder);
    pk::host::end_window(fns.pages, server);
    return nb::int_(0);
}

}  // namespace
}  // namespace gtkhost

NB_MODULE(gtkhost, m) {
    pk::Module mod(m, "panekit.gtkhost",
                   "The GTK host: one GTK 3 window with the toolbar above one WebKit view, steered by the "
                   "toolbar and the loopback control server (Linux).");
    pk::host::start_host();
    pk::host::add_host_globals(mod, pk::host::ServerImport::AtFirstUse);
    mod.set("threading", pk::import("threading"));
    mod.import_names("panekit.fetchkeep", {"handle_download_starting", "resolve_download_settings"});
    mod.import_names("panekit.trailbar", {"norm_browser_url"});
    mod.set("_DEFAULT_HOME", nanobind::str(gtkhost::kDefaultHome));
    gtkhost::define_downloads(mod);
    mod.def<gtkhost::main_spec>(gtkhost::run_toolbar_main);
}
