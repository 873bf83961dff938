// panekit.gtkhost: what the WebKit view reports (loads, title, address, new windows, responses
// to download, the page's downloads), turned into the page tracker's events and the window's
// address box.
#include "gtkhost.hpp"

namespace gtkhost {
namespace {


// WebKit reports a load finished before the page's title has reached the view (the title comes
// a moment later, and a reload clears it first): a load that finishes without a title is reported
// to the page tracker once its title comes, or after kTitleGraceMs for a page that has none.
constexpr int kTitleGraceMs = 250;

// The address box follows the view, but never while a load's end is still to be reported: a
// repaint of the window between a load's commit and its report holds back what WebKit reports
// next (the end of the load, the title) by up to a frame or two, which on a busy machine made a
// waited navigation half as long again. So the box is brought up to date once the load has been
// reported (its waits answered), and for a committed page still loading kAddressLagMs after its
// commit, then.
constexpr int kAddressLagMs = 100;

void report_loaded(const GState &st) {
    st.set(G::TitleWait, nb::none());
    pk::guarded([&] { pk::host::pages_finished(st[G::Pages], nb::none(), true, nb::none(), nb::none()); });
    st[G::Invoke](st[G::Sync]);
}

constexpr pk::Param title_params[] = {{.name = "view", .annotation = "Any"}, {.name = "spec", .annotation = "Any"}};
constexpr pk::Spec on_title_spec{.name = "_on_title", .params = title_params, .returns = "None"};
void on_title(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    nb::object title = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(view.attr("get_title")()); });
    pk::guarded([&] { pk::host::pages_title(st[G::Pages], title); });
    if (st[G::TitleWait].is_none()) return;
    if (pk::truthy(title)) report_loaded(st);
}

constexpr pk::Param seq_params[] = {{.name = "seq", .annotation = "int"}};
constexpr pk::Spec title_late_spec{.name = "_title_late", .params = seq_params, .returns = "bool"};
nb::object title_late(const pk::Call &c, nb::handle seq) {
    auto st = c.state<G>();
    if (!st[G::TitleWait].is_none() && st[G::TitleWait].equal(seq)) report_loaded(st);
    return nb::bool_(false);  // once
}

constexpr pk::Spec address_late_spec{.name = "_address_late", .returns = "bool"};
nb::object address_late(const pk::Call &c) {
    pk::guarded([&] { c.state<G>()[G::Sync](); });  // nothing to do when the box shows it already
    return nb::bool_(false);  // once
}

constexpr pk::Param load_params[] = {{.name = "view", .annotation = "Any"}, {.name = "event", .annotation = "Any"}};
constexpr pk::Spec load_changed_spec{.name = "_on_load_changed", .params = load_params, .returns = "None"};
void on_load_changed(const pk::Call &c, nb::handle view, nb::handle event) {
    auto st = c.state<G>();
    const long e = pk::guarded_or(-1L, [&] { return as_long(event); });
    if (e == kLoadStarted) {
        st.set(G::Quiet, Py_False);
        nb::object uri = pk::guarded_or(nb::object(nb::none()), [&] { return nb::object(view.attr("get_uri")()); });
        // A load whose request replaced another before either started begins without an address.
        if (!pk::truthy(uri)) uri = webkit_of(st[G::Engine]).asked();
        nb::object error_page = nb::borrow(st[G::ErrorPage]);
        st.set(G::ErrorPage, nb::none());
        st.set(G::TitleWait, nb::none());
        st.set(G::Download, Py_False);
        st.set(G::LoadSeq, nb::int_(nb::cast<long>(st[G::LoadSeq]) + 1));
        if (!error_page.is_none() && error_page.equal(uri)) {
            st.set(G::LoadEnd, Py_True);  // WebKit's page for the failure just reported: no navigation
            return;
        }
        st.set(G::LoadEnd, Py_False);
        pk::guarded([&] { pk::host::pages_started(st[G::Pages], nb::none(), uri); });
    } else if (e == kLoadCommitted) {
        pk::guarded([&] { webkit_of(st[G::Engine]).commit(pk::text_or_empty(nb::object(view.attr("get_uri")()))); });
        pk::guarded([&] { nb::handle(st[G::GLib]).attr("timeout_add")(kAddressLagMs, st[G::AddressLate]); });
    } else if (e == kLoadFinished) {
        const bool reported = st[G::LoadEnd].is(Py_True);  // failed, cancelled or downloaded: said already
        if (!reported) {
            nb::object title = pk::guarded_or(nb::object(nb::str("")), [&] { return nb::object(view.attr("get_title")()); });
            if (pk::truthy(title)) {
                report_loaded(st);
            } else {
                st.set(G::TitleWait, st[G::LoadSeq]);
                pk::guarded([&] {
                    nb::handle glib = st[G::GLib];
                    glib.attr("timeout_add")(kTitleGraceMs, st[G::TitleLate], st[G::LoadSeq]);
                });
            }
        }
        st.set(G::LoadEnd, Py_True);
        if (reported) st[G::Invoke](st[G::Sync]);  // else once reported (report_loaded)
        st[G::Invoke](st[G::Flush]);
    }
}

// A navigation inside the page (a fragment, history.pushState, a history step between such
// entries) raises no load event: WebKit only changes the view's `uri`, within a busy period
// (is-loading true, then false) when the host asked for it, outside any when the page's script did.
// Its end is when that busy period ends without a load having started, or at once for the page's
// own: the committed address becomes the view's address and the waits for it are answered.
// A busy period that leaves the view without an address is no navigation inside a page: it is a
// load replaced before it started (the next one's start follows), and ends no wait.
void same_document(const GState &st, nb::handle view) {
    pk::guarded([&] {
        nb::str uri = pk::text_or_empty(nb::object(view.attr("get_uri")()));
        if (!pk::truthy(uri)) return;
        WebKit &engine = webkit_of(st[G::Engine]);
        if (uri.not_equal(engine.committed())) {
            engine.commit(uri);
            nb::dict f;
            f["url"] = uri;
            pk::host::event_push(st[G::Pages], "same_document", f);
            st[G::Sync]();
        }
        pk::host::pages_same_document(st[G::Pages]);
    });
}

bool view_loading(nb::handle view) {
    return pk::guarded_or(true, [&] { return pk::truthy(view.attr("is_loading")()); });
}

constexpr pk::Param notify_params[] = {{.name = "view", .annotation = "Any"}, {.name = "spec", .annotation = "Any"}};
constexpr pk::Spec on_loading_spec{.name = "_on_loading", .params = notify_params, .returns = "None"};
void on_loading(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    if (view_loading(view)) {
        st.set(G::Quiet, Py_True);
    } else if (st[G::Quiet].is(Py_True)) {
        st.set(G::Quiet, Py_False);
        same_document(st, view);
    }
}

// The address changed without a load in flight: the page's own navigation inside itself.
constexpr pk::Spec on_uri_spec{.name = "_on_uri", .params = notify_params, .returns = "None"};
void on_uri(const pk::Call &c, nb::handle view, nb::handle) {
    auto st = c.state<G>();
    if (st[G::LoadEnd].is(Py_True) && !view_loading(view)) same_document(st, view);
}

constexpr pk::Param load_failed_params[] = {{.name = "view", .annotation = "Any"},
                                            {.name = "event", .annotation = "Any"},
                                            {.name = "uri", .annotation = "str"},
                                            {.name = "error", .annotation = "Any"}};
constexpr pk::Spec load_failed_spec{.name = "_on_load_failed", .params = load_failed_params, .returns = "bool"};
nb::object on_load_failed(const pk::Call &c, nb::handle, nb::handle, nb::handle uri, nb::handle error) {
    auto st = c.state<G>();
    pk::guarded([&] {
        const long code = as_long(error.attr("code"));
        // A cancelled load is no end of a page's navigation: the load that replaced it supersedes it.
        st.set(G::LoadEnd, Py_True);
        st.set(G::Quiet, Py_False);  // whatever failed was a load, not a navigation inside the page
        if (code == kErrorCancelled) return;
        if (code == kErrorInterruptedByPolicy) {
            // The response was turned into a download (by this host's policy, or by the engine:
            // then the download's own start says so within the tracker's grace), or dropped.
            if (st[G::Download].is(Py_True))
                pk::host::pages_download(st[G::Pages]);
            else
                pk::host::pages_finished(st[G::Pages], nb::none(), false, error.attr("message"), uri, true);
            return;
        }
        st.set(G::ErrorPage, uri);
        pk::guarded([&] { pk::host::pages_finished(st[G::Pages], nb::none(), false, error.attr("message"), uri); });
        nb::object what = nb::str("{} ({})").attr("format")(nb::str(error.attr("message")), uri);
        pk::print_line(pk::format1(kNavFailed, what));
    });
    return nb::bool_(false);  // WebKit shows its own error page
}

// One view only: the request for a new view loads its address into this one (at the next turn
// of the main loop, outside WebKit's signal emission) and no view is created.
constexpr pk::Param create_params[] = {{.name = "view", .annotation = "Any"}, {.name = "action", .annotation = "Any"}};
constexpr pk::Spec new_window_spec{.name = "_on_new_window", .params = create_params, .returns = "Any"};
void on_new_window(const pk::Call &c, nb::handle view, nb::handle action) {
    pk::guarded([&] {
        nb::str uri = pk::text_or_empty(nb::object(action.attr("get_request")().attr("get_uri")()));
        if (!pk::truthy(uri)) return;
        nb::object glib = nb::borrow(c.state<G>()[G::GLib]);
        glib.attr("idle_add")(view.attr("load_uri"), uri, "priority"_a = glib.attr("PRIORITY_DEFAULT"));
    });
}

// A response that asks to be saved (Content-Disposition: attachment) is downloaded, also when
// WebKit could show it (PDF, text), and so is one of a type WebKit cannot show (a zip, an
// application/octet-stream body), which WebKit's own policy would drop unseen.
constexpr pk::Param policy_params[] = {{.name = "view", .annotation = "Any"},
                                       {.name = "decision", .annotation = "Any"},
                                       {.name = "kind", .annotation = "Any"}};
bool is_attachment(nb::handle decision) {
    nb::object headers = decision.attr("get_response")().attr("get_http_headers")();
    if (headers.is_none()) return false;
    nb::object value = headers.attr("get_one")("Content-Disposition");
    if (value.is_none()) return false;
    return nb::object(value.attr("split")(";", 1)[0].attr("strip")().attr("lower")()).equal(nb::str("attachment"));
}

constexpr pk::Spec policy_spec{.name = "_on_decide_policy", .params = policy_params, .returns = "bool"};
nb::object on_decide_policy(const pk::Call &c, nb::handle, nb::handle decision, nb::handle kind) {
    return nb::bool_(pk::guarded_or(false, [&] {
        if (as_long(kind) != kDecisionResponse) return false;
        if (!is_attachment(decision) && pk::truthy(decision.attr("is_mime_type_supported")())) return false;
        decision.attr("download")();
        c.state<G>().set(G::Download, Py_True);
        return true;
    }));
}

}  // namespace

void watch_view(const pk::Call &c, const GState &st, nb::handle view) {
    nb::handle s = st.object();
    st.set(G::TitleLate, c.nested<title_late_spec>(title_late, s));
    st.set(G::AddressLate, c.nested<address_late_spec>(address_late, s));
    view.attr("connect")("load-changed", c.nested<load_changed_spec>(on_load_changed, s));
    view.attr("connect")("load-failed", c.nested<load_failed_spec>(on_load_failed, s));
    view.attr("connect")("notify::title", c.nested<on_title_spec>(on_title, s));
    view.attr("connect")("notify::is-loading", c.nested<on_loading_spec>(on_loading, s));
    view.attr("connect")("notify::uri", c.nested<on_uri_spec>(on_uri, s));
    view.attr("connect")("create", c.nested<new_window_spec>(on_new_window, s));
    view.attr("connect")("decide-policy", c.nested<policy_spec>(on_decide_policy, s));
}

}  // namespace gtkhost
