// The page tracker of a window and its events (see tracker.hpp).
#include "tracker.hpp"

#include "engine.hpp"
#include "marshal.hpp"

#include <chrono>

namespace pk::host {

using namespace nb::literals;

namespace {

// The tracker's slots. Tag marks a tracker among other states; Current is the navigation in
// flight as (id, url) or None; Bound the waiters of that navigation, Armed those waiting for the
// next start, Asked those whose navigation the host has asked of an engine that reports a start
// only for the last of several quick requests (pages_requested), Recent those of a navigation
// that just failed while a download may still follow (until RecentUntil); Last the last finished
// navigation's dict.
enum class Pages { Tag, Core, Engine, Loading, Current, Download, Last, Bound, Armed, Asked, Recent, RecentUntil, Closed, Events, kCount };

// The page's events (the tracker's Events slot): the ring (a deque of at most kEventRing), the
// newest sequence number, the waiting /events requests as (waiter, after) pairs, the last title.
enum class Ev { Ring, Seq, Waiters, Title, kCount };

// How long a failure that may be a download is held back for the engine's download event.
constexpr double kDownloadGrace = 0.5;

nb::handle pages_tag() {
    static PyObject *tag = PyUnicode_InternFromString("panekit page tracker");
    return tag;
}

State<Pages> tracker(nb::handle pages) { return State<Pages>(pages); }

// Ends a waiter with `result` (unless already answered); answerable `hold` seconds from now.
void finish_waiter(nb::handle w, nb::handle result, double hold = 0) {
    State<Waiter> st(w);
    if (st[Waiter::Done].is(Py_True)) return;
    st.set(Waiter::Result, result);
    st.set(Waiter::ReadyAt, nb::float_(steady_seconds() + hold));
    const std::uint64_t seen = gil_arrivals();
    guarded([&] { st[Waiter::Wake](nb::bytes("\0", 1)); });
    // The server answers at once unless held back: let it have the lock for that.
    if (hold <= 0) gil_hand_over(seen, kHandOverSeconds);
}

void finish_all(const State<Pages> &st, Pages list, nb::handle result, double hold = 0) {
    nb::object ws = nb::borrow(st[list]);
    st.set(list, nb::list());
    if (!PyList_Check(ws.ptr())) return;
    for (nb::handle w : ws) finish_waiter(w, result, hold);
}

nb::dict answer(bool ok) {
    nb::dict d;
    d["ok"] = ok;
    return d;
}

// The page as it is now: its address (Source) and title (DocumentTitle), "" when unknown.
std::pair<nb::object, nb::object> page_now(const State<Pages> &st) {
    nb::object cv = guarded_or(nb::object(nb::none()), [&] { return nb::object(st[Pages::Core]()); });
    engine::Engine *engine = engine::of(st[Pages::Engine]);
    if (cv.is_none() || !engine) return {nb::str(""), nb::str("")};
    nb::object url = guarded_or(nb::object(nb::str("")), [&] { return engine->url(cv); });
    nb::object title = guarded_or(nb::object(nb::str("")), [&] { return engine->title(cv); });
    return {url, title};
}

}  // namespace

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

nb::object new_pages(nb::handle engine, nb::handle core_fn) {
    State<Pages> st;
    st.set(Pages::Tag, pages_tag());
    st.set(Pages::Core, core_fn);
    st.set(Pages::Engine, engine);
    st.set(Pages::Loading, Py_False);
    st.set(Pages::Download, Py_False);
    st.set(Pages::Bound, nb::list());
    st.set(Pages::Armed, nb::list());
    st.set(Pages::Asked, nb::list());
    st.set(Pages::Recent, nb::list());
    st.set(Pages::RecentUntil, nb::float_(0.0));
    st.set(Pages::Closed, Py_False);
    State<Ev> ev;
    ev.set(Ev::Ring, import("collections").attr("deque")("maxlen"_a = kEventRing));
    ev.set(Ev::Seq, nb::int_(0));
    ev.set(Ev::Waiters, nb::list());
    ev.set(Ev::Title, nb::str(""));
    st.set(Pages::Events, ev.object());
    return nb::borrow(st.object());
}

nb::object waiter_new(nb::handle wake) {
    State<Waiter> st;
    st.set(Waiter::ReadyAt, nb::float_(0.0));
    st.set(Waiter::Done, Py_False);
    st.set(Waiter::Wake, wake);
    return nb::borrow(st.object());
}

void pages_arm(nb::handle pages, nb::handle waiter) {
    auto st = tracker(pages);
    if (st[Pages::Closed].is(Py_True)) {
        nb::dict r = answer(false);
        r["error"] = "window closed";
        finish_waiter(waiter, r);
        return;
    }
    nb::borrow<nb::list>(st[Pages::Armed]).append(waiter);
}

void pages_disarm(nb::handle pages, nb::handle waiter) {
    auto st = tracker(pages);
    for (Pages list : {Pages::Armed, Pages::Asked}) {
        nb::handle ws = st[list];
        if (check(PySequence_Contains(ws.ptr(), waiter.ptr()))) ws.attr("remove")(waiter);
    }
}

void pages_requested(nb::handle pages, nb::handle url) {
    auto st = tracker(pages);
    nb::dict superseded = answer(false);
    superseded["error"] = nb::str("superseded by ") + nb::str(text_or_empty(url));
    finish_all(st, Pages::Asked, superseded);
    for (nb::handle w : nb::borrow<nb::list>(st[Pages::Armed])) State<Waiter>(w).set(Waiter::Url, url);
    st.set(Pages::Asked, nb::borrow(st[Pages::Armed]));
    st.set(Pages::Armed, nb::list());
}

namespace {
// The waiters a start binds: those whose navigation was asked for, then those armed since.
nb::list waiting_for_start(const State<Pages> &st) {
    nb::list out = nb::borrow<nb::list>(st[Pages::Asked]);
    for (nb::handle w : nb::borrow<nb::list>(st[Pages::Armed])) out.append(w);
    st.set(Pages::Asked, nb::list());
    st.set(Pages::Armed, nb::list());
    return out;
}
}  // namespace

nb::object pages_engine(nb::handle pages) { return nb::borrow(tracker(pages)[Pages::Engine]); }

std::pair<bool, nb::object> pages_snapshot(nb::handle pages) {
    auto st = tracker(pages);
    return {st[Pages::Loading].is(Py_True), nb::borrow(st[Pages::Last])};
}

void pages_started(nb::handle pages, nb::handle id, nb::handle url) {
    auto st = tracker(pages);
    nb::object text = text_or_empty(url);
    nb::handle current = st[Pages::Current];
    if (!id.is_none() && !current.is_none()) {
        nb::handle cur_id = PyTuple_GET_ITEM(current.ptr(), 0);
        if (!cur_id.is_none() && nb::borrow(cur_id).equal(id)) {  // a redirect of the same navigation
            st.set(Pages::Current, nb::make_tuple(id, text));
            return;
        }
    }
    nb::dict superseded = answer(false);
    superseded["error"] = nb::str("superseded by ") + nb::str(text);
    // A waiter whose own address starts now was bound to a load that started before its request
    // replaced it (reported late by the engine): this start is its navigation's, not a newer one.
    nb::list own;
    nb::list replaced;
    for (nb::handle w : nb::borrow<nb::list>(st[Pages::Bound])) {
        nb::handle asked = State<Waiter>(w)[Waiter::Url];
        (!asked.is_none() && nb::borrow(asked).equal(text) ? own : replaced).append(w);
    }
    st.set(Pages::Bound, replaced);
    finish_all(st, Pages::Bound, superseded);
    st.set(Pages::Recent, nb::list());
    nb::list bound = waiting_for_start(st);
    for (nb::handle w : bound) own.append(w);
    st.set(Pages::Bound, own);
    st.set(Pages::Current, nb::make_tuple(id, text));
    st.set(Pages::Download, Py_False);
    st.set(Pages::Loading, Py_True);
    nb::dict ev;
    ev["url"] = text;
    event_push(pages, "navigation_started", ev);
}

void pages_finished(nb::handle pages, nb::handle id, bool ok, nb::handle error, nb::handle url, bool maybe_download) {
    auto st = tracker(pages);
    nb::handle current = st[Pages::Current];
    if (current.is_none()) return;  // nothing seen starting (or already ended)
    nb::handle cur_id = PyTuple_GET_ITEM(current.ptr(), 0);
    if (!id.is_none() && !cur_id.is_none() && !nb::borrow(cur_id).equal(id)) return;  // an older one
    nb::object nav_url = url.is_none() ? nb::borrow(PyTuple_GET_ITEM(current.ptr(), 1)) : nb::object(text_or_empty(url));
    const bool downloaded = st[Pages::Download].is(Py_True);
    st.set(Pages::Current, nb::none());
    st.set(Pages::Loading, Py_False);
    if (downloaded) return;  // its wait ended with the download
    nb::dict last;
    last["url"] = nav_url;
    last["ok"] = ok;
    last["error"] = ok ? nb::object(nb::none()) : nb::object(text_or_empty(error));
    st.set(Pages::Last, last);
    nb::dict result = answer(ok);
    nb::dict ev;
    if (ok) {
        auto [src, title] = page_now(st);
        result["url"] = src;
        result["title"] = title;
        ev["url"] = src;
        ev["title"] = title;
    } else {
        result["url"] = nav_url;
        result["error"] = last["error"];
        ev["url"] = nav_url;
        ev["error"] = last["error"];
    }
    event_push(pages, ok ? "navigation_finished" : "navigation_failed", ev);
    const double hold = (!ok && maybe_download) ? kDownloadGrace : 0;
    nb::object bound = nb::borrow(st[Pages::Bound]);
    finish_all(st, Pages::Bound, result, hold);
    if (hold > 0) {
        st.set(Pages::Recent, bound);
        st.set(Pages::RecentUntil, nb::float_(steady_seconds() + hold));
    }
}

void pages_download(nb::handle pages) {
    auto st = tracker(pages);
    nb::handle current = st[Pages::Current];
    Pages list;
    nb::object nav_url;
    if (!current.is_none() && !st[Pages::Download].is(Py_True)) {
        list = Pages::Bound;
        nav_url = nb::borrow(PyTuple_GET_ITEM(current.ptr(), 1));
        st.set(Pages::Download, Py_True);
        st.set(Pages::Loading, Py_False);
    } else if (nb::cast<double>(st[Pages::RecentUntil]) > steady_seconds()) {
        list = Pages::Recent;  // the engine reported the navigation failed just before
        nb::handle last = st[Pages::Last];
        nav_url = last.is_none() ? nb::object(nb::str("")) : nb::object(last["url"]);
        st.set(Pages::RecentUntil, nb::float_(0.0));
    } else {
        return;  // a download no navigation of ours turned into
    }
    nb::dict last;
    last["url"] = nav_url;
    last["ok"] = true;
    last["error"] = nb::none();
    last["download"] = true;
    st.set(Pages::Last, last);
    nb::dict result = answer(true);
    result["url"] = page_now(st).first;
    result["download"] = true;
    finish_all(st, list, result);
}

void pages_same_document(nb::handle pages) {
    auto st = tracker(pages);
    if (st[Pages::Closed].is(Py_True)) return;
    auto [src, title] = page_now(st);
    if (st[Pages::Current].is_none()) {  // nothing else in flight: this is the last navigation that ended
        nb::dict last;
        last["url"] = src;
        last["ok"] = true;
        last["error"] = nb::none();
        st.set(Pages::Last, last);
    }
    nb::dict result = answer(true);
    result["url"] = src;
    result["title"] = title;
    finish_all(st, Pages::Asked, result);
    finish_all(st, Pages::Armed, result);
}

void pages_closed(nb::handle pages) {
    auto st = tracker(pages);
    if (!st[Pages::Closed].is(Py_True)) event_push(pages, "window_closing", nb::dict());
    st.set(Pages::Closed, Py_True);
    st.set(Pages::Loading, Py_False);
    st.set(Pages::Current, nb::none());
    nb::dict r = answer(false);
    r["error"] = "window closed";
    for (Pages list : {Pages::Bound, Pages::Asked, Pages::Armed, Pages::Recent}) finish_all(st, list, r);
}



namespace {

State<Ev> events_of(nb::handle pages) { return State<Ev>(tracker(pages)[Pages::Events]); }

// The answer of /events for the events after `after`.
nb::dict events_answer(const State<Ev> &ev, long long after) {
    nb::handle ring = ev[Ev::Ring];
    const long long newest = nb::cast<long long>(ev[Ev::Seq]);
    const long long held = static_cast<long long>(nb::len(ring));
    const long long oldest = newest - held + 1;  // the first seq the ring still holds
    if (after < 0) after = 0;
    nb::list events;
    for (nb::handle e : ring)
        if (nb::cast<long long>(e["seq"]) > after) events.append(e);
    nb::dict d;
    d["ok"] = true;
    d["events"] = events;
    d["next"] = nb::int_(newest);
    d["dropped"] = nb::int_(oldest - 1 > after && after < newest ? oldest - 1 - after : 0);
    return d;
}

}  // namespace

void waiter_finish(nb::handle waiter, nb::handle result) { finish_waiter(waiter, result); }

void event_push(nb::handle pages, const char *type, nb::handle fields) {
    auto ev = events_of(pages);
    const long long seq = nb::cast<long long>(ev[Ev::Seq]) + 1;
    ev.set(Ev::Seq, nb::int_(seq));
    nb::dict e;
    e["seq"] = nb::int_(seq);
    e["time"] = import("time").attr("time")();
    e["type"] = type;
    for (auto [k, v] : nb::borrow<nb::dict>(fields)) e[k] = v;
    ev[Ev::Ring].attr("append")(e);
    nb::object waiting = nb::borrow(ev[Ev::Waiters]);
    ev.set(Ev::Waiters, nb::list());
    for (nb::handle pair : waiting) {
        nb::handle w = PyTuple_GET_ITEM(pair.ptr(), 0);
        finish_waiter(w, events_answer(ev, nb::cast<long long>(nb::handle(PyTuple_GET_ITEM(pair.ptr(), 1)))));
    }
}

void pages_title(nb::handle pages, nb::handle title) {
    nb::str text = text_or_empty(title);
    auto ev = events_of(pages);
    if (!truthy(text) || text.equal(ev[Ev::Title])) return;
    ev.set(Ev::Title, text);
    nb::dict f;
    f["title"] = text;
    event_push(pages, "title_changed", f);
}

nb::object events_since(nb::handle pages, long long after, nb::handle waiter, double until) {
    auto ev = events_of(pages);
    // Numbers belong to one window: one beyond the newest was given by another (an earlier window
    // on the same port), and this window's events are all new to its caller.
    if (after > nb::cast<long long>(ev[Ev::Seq])) after = 0;
    nb::dict d = events_answer(ev, after);
    if (nb::len(nb::object(d["events"])) > 0 || !waiter.is_valid() || waiter.is_none()) return d;
    State<Waiter> w(waiter);
    w.set(Waiter::Result, d);
    w.set(Waiter::ReadyAt, nb::float_(until));
    nb::borrow<nb::list>(ev[Ev::Waiters]).append(nb::make_tuple(waiter, nb::int_(after)));
    return nb::none();
}


}  // namespace pk::host
