// The page tracker of a window: what the engine reports of its navigations, the waits of the
// control server's requests, and the page's events for /events.
#pragma once

#include "pk.hpp"

#include <utility>

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

// ---- page tracking ------------------------------------------------------------------------------
// One tracker per window (made by make_callables, which hands it to the control server with the
// window's engine) follows the view's navigations from the engine's own events, which the engine's
// code reports on the UI thread: a navigation started (with the engine's navigation id when it has one: a start
// with the id of the navigation in flight is a redirect of it), finished (loaded, or failed with
// the engine's error text), turned into a download, or the window closed. It answers what the
// control server's /state needs (loading, the last finished navigation) and ends the waits that
// the server arms before it starts a navigation.
//
// A waiter is a state of the runtime (Waiter slots) the server makes with `waiter_new`; the
// tracker fills its Result (a dict) once, sets ReadyAt (steady-clock seconds from which it may be
// answered: a failure that may still turn out to be a download is held back a moment) and calls
// its Wake callable with b"\0". The server sets Done once it has answered (a later finish is then
// ignored). Waiters are touched under the GIL only; the tracker only on the UI thread.
// Url is the address its navigation was asked for, when the host told the tracker (pages_requested).
enum class Waiter { Result, ReadyAt, Done, Wake, Url, kCount };

// Seconds on the steady clock (comparable with the server's own readings of it).
double steady_seconds();

// A new tracker of the page that `core_fn` gives (the engine's view object or None), read through
// `engine` (an engine object, engine.hpp) when a navigation ends.
nb::object new_pages(nb::handle engine, nb::handle core_fn);
// A new waiter that calls `wake(b"\0")` when it gets its result.
nb::object waiter_new(nb::handle wake);
// Arms `waiter` for the next navigation that starts (a window already closed ends it at once).
void pages_arm(nb::handle pages, nb::handle waiter);
// Forgets an armed waiter (the navigation it waited for could not be started).
void pages_disarm(nb::handle pages, nb::handle waiter);
// The host has asked the engine for a navigation to `url`, for an engine that reports no start
// for a request replaced before it started (WebKit): the waiters of an earlier request still
// waiting for their start are answered "superseded by <url>", and those armed for this one wait
// for the next start.
void pages_requested(nb::handle pages, nb::handle url);
// The engine object the tracker was made with.
nb::object pages_engine(nb::handle pages);
// (loading, last finished navigation or None).
std::pair<bool, nb::object> pages_snapshot(nb::handle pages);
// Host events. `id` None: the engine has no navigation ids (every start is a new navigation).
// `url` None in finished: the address the navigation started with. `maybe_download`: a failure
// the engine also reports for a response turned into a download (held back a moment).
void pages_started(nb::handle pages, nb::handle id, nb::handle url);
void pages_finished(nb::handle pages, nb::handle id, bool ok, nb::handle error, nb::handle url,
                    bool maybe_download = false);
void pages_download(nb::handle pages);
// A navigation inside the page shown (a fragment, history.pushState, a history step between such
// entries) has ended: the engine raises no start or finish for it, only the view's address
// changes. The waiters armed for it are answered with the page as it is now; one in flight is
// left to its own navigation.
void pages_same_document(nb::handle pages);
void pages_closed(nb::handle pages);
// The window has ended, whichever way: the tracker is closed (pages_closed) and the control server
// the window started, if any (`server` empty or None when it did not), is stopped.

// Ends `waiter` with `result` now (unless it was answered already) and wakes its server.
void waiter_finish(nb::handle waiter, nb::handle result);

// ---- the page's events --------------------------------------------------------------------------
// The tracker also keeps the page's events for the control server's /events: the last kEventRing
// of them, each a dict {"seq": n, "time": seconds since the epoch, "type": ..., and its fields},
// numbered from 1 in the order they happened. The tracker's own hooks add navigation_started,
// navigation_finished (url, title), navigation_failed (url, error) and window_closing; the hosts
// add same_document (url), title_changed (title), download_started (url), download_finished (url,
// path) and download_failed (url, path, error). UI thread only, like the tracker.
inline constexpr long kEventRing = 1000;
// Adds an event of `type` with `fields` (copied) and answers every waiting /events request.
void event_push(nb::handle pages, const char *type, nb::handle fields);
// A title the page now shows: title_changed when it is not empty and differs from the last one.
void pages_title(nb::handle pages, nb::handle title);
// The events after `after`: {"ok": True, "events": [...], "next": newest seq, "dropped": how many
// after `after` the ring no longer holds}; an `after` beyond the newest counts as 0 (it came from
// another window). When there are none and `waiter` is given, the waiter
// is held until one comes: its result is this empty answer from `until` (steady seconds) on, and
// the answer with the new events as soon as they come; None is returned then.
nb::object events_since(nb::handle pages, long long after, nb::handle waiter = nb::handle(), double until = 0);

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
