// panekit.gtkhost: downloads. With a download folder they go silently into it under a free name
// (fetchkeep's silent handler, which takes WebView2's download arguments: the window hands it
// their shape, with the operation's State and StateChanged) or, with the prompt flag, through
// GTK's file chooser opening in that folder; the page's download events go to the page tracker.
#include "gtkhost.hpp"

namespace gtkhost {
namespace {

constexpr pk::Param self_params[] = {{.name = "self"}};

// The event arguments fetchkeep's handler reads and writes, and the operation it follows: its
// State (0 in progress, 1 interrupted, 2 completed) and StateChanged, which takes handlers with
// += and -= as a .NET event does. One per download.
enum class Op { Op, Event, Download, kCount };

constexpr pk::Param event_params[] = {{.name = "self"}, {.name = "handler", .annotation = "Any"}};
constexpr pk::Spec event_add_spec{.name = "__iadd__", .params = event_params, .returns = "Any"};
nb::object event_iadd(nb::handle self, nb::handle handler) {
    self.attr("handlers").attr("append")(handler);
    return nb::borrow(self);
}
constexpr pk::Spec event_remove_spec{.name = "__isub__", .params = event_params, .returns = "Any"};
nb::object event_isub(nb::handle self, nb::handle handler) {
    nb::object handlers = self.attr("handlers");
    if (pk::check(PySequence_Contains(handlers.ptr(), handler.ptr()))) handlers.attr("remove")(handler);
    return nb::borrow(self);
}
constexpr pk::Spec event_init_spec{.name = "__init__", .params = self_params, .returns = "None"};
void event_init(nb::handle self) { nb::setattr(self, "handlers", nb::list()); }

// The download reached a final state: State is set and every handler called (guarded).
void settle(const pk::State<Op> &fl, long state) {
    nb::handle op = fl[Op::Op];
    if (as_long(op.attr("State")) != 0) return;  // already final
    nb::setattr(op, "State", nb::int_(state));
    nb::object handlers = pk::check(PySequence_List(nb::object(fl[Op::Event].attr("handlers")).ptr()));
    for (nb::handle h : handlers) pk::guarded([&] { h(op, nb::none()); });
}

constexpr pk::Param failed_params[] = {{.name = "download", .annotation = "Any"}, {.name = "error", .annotation = "Any"}};
constexpr pk::Spec download_failed_spec{.name = "_on_download_failed", .params = failed_params, .returns = "None"};
void on_download_failed(const pk::Call &c, nb::handle, nb::handle) { settle(c.state<Op>(), 1); }

constexpr pk::Param finished_params[] = {{.name = "download", .annotation = "Any"}};
constexpr pk::Spec download_finished_spec{.name = "_on_download_finished", .params = finished_params, .returns = "None"};
void on_download_finished(const pk::Call &c, nb::handle) { settle(c.state<Op>(), 2); }

// The text after the last slash of a suggested name ("download" for none).
nb::str plain_name(nb::handle suggested) {
    nb::str text = pk::text_or_empty(suggested);
    nb::str name(text.attr("rsplit")("/", 1)[-1]);
    return pk::truthy(name) ? name : nb::str("download");
}

// Where the download goes, decided on the UI thread: the file chooser (prompt) or fetchkeep's
// silent handler. Any failure cancels the download with the failure line.
constexpr pk::Param destination_params[] = {{.name = "download", .annotation = "Any"},
                                            {.name = "suggested", .annotation = "str"}};
constexpr pk::Spec destination_spec{.name = "_on_decide_destination", .params = destination_params, .returns = "bool"};
nb::object on_decide_destination(const pk::Call &c, nb::handle download, nb::handle suggested) {
    auto st = c.state<G>();
    pk::guarded_else(
        [&] {
            // A folder that could not be made: no download goes anywhere else instead.
            if (!st[G::FolderError].is_none()) {
                PyErr_SetRaisedException(Py_NewRef(st[G::FolderError].ptr()));
                throw nb::python_error();
            }
            nb::object glib = nb::borrow(st[G::GLib]);
            nb::object path;
            if (st[G::Prompt].is(Py_True)) {
                path = c.global("_ask_save_path")(st[G::Window], st[G::Folder], plain_name(suggested));
                if (path.is_none()) {
                    pk::print_line("[panekit] 用户取消了下载");
                    download.attr("cancel")();
                    return;
                }
                download.attr("set_allow_overwrite")(true);  // the chooser asked before replacing
                pk::print_line(pk::format1("[panekit] 下载将保存到: %s", path));
            } else {
                nb::object ns = pk::import_from("types", "SimpleNamespace");
                pk::State<Op> fl;
                fl.set(Op::Event, c.global("_Event")());
                fl.set(Op::Op, ns("State"_a = 0, "StateChanged"_a = fl[Op::Event]));
                fl.set(Op::Download, download);
                nb::object args = ns("ResultFilePath"_a = suggested, "Cancel"_a = false, "Handled"_a = false,
                                     "DownloadOperation"_a = fl[Op::Op]);
                download.attr("connect")("failed", c.nested<download_failed_spec>(on_download_failed, fl.object()));
                download.attr("connect")("finished", c.nested<download_finished_spec>(on_download_finished, fl.object()));
                c.global("handle_download_starting")(st[G::Window], download, args, st[G::Folder], false);
                if (pk::truthy(nb::object(args.attr("Cancel")))) {
                    download.attr("cancel")();
                    return;
                }
                path = args.attr("ResultFilePath");
            }
            download.attr("set_destination")(glib.attr("filename_to_uri")(nb::str(path), nb::none()));
        },
        [&](nb::python_error &e) {
            pk::guarded([&] { pk::print_line(pk::format1(kDownloadFailed, e.value())); });
            pk::guarded([&] { download.attr("cancel")(); });
        });
    return nb::bool_(true);
}

// A download that fails after its destination was set (the file cannot be written, the folder is
// gone) says so with the failure line; one cancelled (by the user, or by the handler after its
// own line) does not.
constexpr pk::Spec download_error_spec{.name = "_on_download_error", .params = failed_params, .returns = "None"};
void on_download_error(nb::handle, nb::handle error) {
    pk::guarded([&] {
        if (as_long(error.attr("code")) == kDownloadCancelled) return;
        pk::print_line(pk::format1(kDownloadFailed, error.attr("message")));
    });
}

constexpr pk::Param started_params[] = {{.name = "context", .annotation = "Any"}, {.name = "download", .annotation = "Any"}};
constexpr pk::Spec download_started_spec{.name = "_on_download_started", .params = started_params, .returns = "None"};
void on_download_started(const pk::Call &c, nb::handle, nb::handle download) {
    download.attr("connect")("decide-destination", c.nested<destination_spec>(on_decide_destination));
    download.attr("connect")("failed", c.nested<download_error_spec>(on_download_error));
}

// The page's download events: started (with its address), then finished or failed (with its path).
// WebKit emits "failed" and then "finished" for a download that failed; only the first counts.
enum class Seen { Pages, Url, Ended, kCount };

nb::dict download_fields(const pk::State<Seen> &dl, nb::handle download) {
    nb::dict f;
    f["url"] = dl[Seen::Url];
    nb::object dest = pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(download.attr("get_destination")()); });
    f["path"] = dest.is_none() ? nb::object(nb::str(""))
                               : pk::guarded_or(nb::object(dest), [&] {
                                     return nb::object(pk::import_from("gi.repository", "GLib")
                                                           .attr("filename_from_uri")(dest)[0]);
                                 });
    return f;
}

constexpr pk::Spec seen_failed_spec{.name = "_on_download_seen_failed", .params = failed_params, .returns = "None"};
void on_download_seen_failed(const pk::Call &c, nb::handle download, nb::handle error) {
    auto dl = c.state<Seen>();
    pk::guarded([&] {
        if (dl[Seen::Ended].is(Py_True)) return;
        dl.set(Seen::Ended, Py_True);
        nb::dict f = download_fields(dl, download);
        f["error"] = pk::text_or_empty(pk::attr_or(error, "message", nb::str(error)));
        pk::host::event_push(dl[Seen::Pages], "download_failed", f);
    });
}

constexpr pk::Spec seen_finished_spec{.name = "_on_download_seen_finished", .params = finished_params, .returns = "None"};
void on_download_seen_finished(const pk::Call &c, nb::handle download) {
    auto dl = c.state<Seen>();
    pk::guarded([&] {
        if (dl[Seen::Ended].is(Py_True)) return;
        dl.set(Seen::Ended, Py_True);
        pk::host::event_push(dl[Seen::Pages], "download_finished", download_fields(dl, download));
    });
}

constexpr pk::Spec download_seen_spec{.name = "_on_download_seen", .params = started_params, .returns = "None"};
void on_download_seen(const pk::Call &c, nb::handle, nb::handle download) {
    pk::guarded([&] {
        pk::State<Seen> dl;
        dl.set(Seen::Pages, c.state<Seen>().object());  // this function's state is the page tracker
        dl.set(Seen::Url, pk::text_or_empty(nb::object(download.attr("get_request")().attr("get_uri")())));
        dl.set(Seen::Ended, Py_False);
        nb::dict f;
        f["url"] = dl[Seen::Url];
        pk::host::event_push(dl[Seen::Pages], "download_started", f);
        download.attr("connect")("failed", c.nested<seen_failed_spec>(on_download_seen_failed, dl.object()));
        download.attr("connect")("finished", c.nested<seen_finished_spec>(on_download_seen_finished, dl.object()));
    });
}

// GTK's save dialog, modal over `parent`, opening in `folder` with `name` proposed; the chosen path,
// or None when the user cancelled. A module global, looked up at each download.
constexpr pk::Param ask_params[] = {{.name = "parent", .annotation = "Any"},
                                    {.name = "folder", .annotation = "str", .check = Check::Str},
                                    {.name = "name", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec ask_spec{
    .name = "_ask_save_path",
    .params = ask_params,
    .returns = "Optional[str]",
    .doc = "Ask for the file a download is saved to, in GTK's save dialog opening in folder."};
nb::object ask_save_path(nb::handle parent, nb::str folder, nb::str name) {
    nb::object gtk = pk::import_from("gi.repository", "Gtk");
    nb::object action = gtk.attr("FileChooserAction").attr("SAVE");
    nb::object dlg = gtk.attr("FileChooserDialog")("title"_a = "保存下载", "transient_for"_a = parent, "action"_a = action);
    nb::object rt = gtk.attr("ResponseType");
    dlg.attr("add_buttons")("取消", rt.attr("CANCEL"), "保存", rt.attr("ACCEPT"));
    dlg.attr("set_default_response")(rt.attr("ACCEPT"));
    dlg.attr("set_do_overwrite_confirmation")(true);
    dlg.attr("set_current_folder")(folder);
    dlg.attr("set_current_name")(name);
    nb::object answer;
    try {
        nb::object response = dlg.attr("run")();
        answer = response.equal(rt.attr("ACCEPT")) ? nb::object(dlg.attr("get_filename")()) : nb::object(nb::none());
    } catch (nb::python_error &) {
        pk::guarded([&] { dlg.attr("destroy")(); });
        throw;
    }
    dlg.attr("destroy")();
    return answer;
}

}  // namespace

// Downloads with a download folder go through the handler of this module (set up before the first
// load, so that the first page's own download is handled too).
void watch_downloads(const pk::Call &c, const GState &st, nb::handle view) {
    nb::handle holder = st[G::Holder];
    nb::object folder = pk::host::get(holder, "download_folder");
    if (!pk::truthy(folder)) return;
    // The handler is connected whatever becomes of the folder: a folder that cannot be made
    // cancels each download with the failure line rather than leave it to WebKit's own folder.
    st.set(G::Folder, nb::str(folder));
    st.set(G::Prompt, nb::bool_(pk::truthy(pk::host::get(holder, "download_prompt"))));
    pk::guarded_else(
        [&] {
            nb::object resolved = c.global("Path")(folder).attr("resolve")();
            st.set(G::Folder, nb::str(resolved));
            resolved.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
            pk::print_line(nb::str("[panekit] 已挂载下载处理(WebKit): 目录={} prompt={}")
                               .attr("format")(st[G::Folder], st[G::Prompt]));
        },
        [&](nb::python_error &e) {
            st.set(G::FolderError, e.value());
            pk::print_line(pk::format1("[panekit] 挂载下载处理失败: %s", e.value()));
        });
    view.attr("get_context")().attr("connect")("download-started",
                                                c.nested<download_started_spec>(on_download_started, st.object()));
}

void watch_download_events(const pk::Call &c, nb::handle context, nb::handle pages) {
    context.attr("connect")("download-started", c.nested<download_seen_spec>(on_download_seen, pages));
}

void define_downloads(pk::Module &mod) {
    mod.set("_Event", mod.klass("_Event", nb::make_tuple(pk::import_from("builtins", "object")),
                                "Handlers added with += and removed with -=, as a .NET event takes them.")
                          .method<event_init_spec>(event_init)
                          .method<event_add_spec>(event_iadd)
                          .method<event_remove_spec>(event_isub)
                          .build());
    mod.def<ask_spec>(ask_save_path);
}

}  // namespace gtkhost
