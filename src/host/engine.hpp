// The engine contract: what a browser view must offer the host layer and the control server, one
// operation at a time. Each engine has one implementation in a file of its own (webview2_engine.cpp,
// shared by the WinForms and the pywebview host; the GTK host's webkit_engine.cpp). The control
// server and the host layer speak only this contract; neither names an engine's own API.
//
// Threads: every operation runs on the window's UI thread (the server hands its work to the host's
// invoke_sync). An operation that completes later takes `done`, a Python callable it calls exactly
// once, on the UI thread, with the answer.
//
// Answers: {"ok": True, ...} on success, {"ok": False, "error": text} on failure, where the text is
// the engine's own when it gave one. An operation this engine cannot do answers `unsupported(name)`
// (at once, or through `done`) instead of being imitated: {"ok": False, "error": "<name> is not
// supported by this engine", "unsupported": True}. `supports()` says so ahead of time.
//
// The view: the operations on the page take the engine's own view object (a CoreWebView2, a
// WebKit2.WebView) as the host's `_core` callable gives it now; a caller that gets None there (no
// view yet, the window gone) does not call them and answers `not_ready()` ({"ok": False, "error":
// "browser not ready"}) itself. The window operations act on the window the engine was made for.
#pragma once

#include "pk.hpp"

#include <memory>
#include <optional>
#include <vector>

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::engine {
namespace nb = nanobind;

// Every operation of the contract, by name (for supports() and the unsupported answer).
enum class Op {
    Navigate, Back, Forward, Reload,
    ReadPage,                                  // address, title, loading, history flags
    RunScript, RunScriptInFrame,
    CapturePng, CaptureRect,
    ReadCookies, AddCookie, DeleteCookies,
    WindowRect, SetWindowRect, Maximize, Minimize, Fullscreen,
    PointerInput, KeyInput,
    Dialog, AcceptDialog, DismissDialog,
    CloseWindow,
    PrintPdf,
    kCount
};
// The operation's name as answers and logs write it ("run_script", "capture_rect", ...).
const char *op_name(Op op);

// {"ok": False, "error": "<op_name> is not supported by this engine", "unsupported": True}
nb::dict unsupported(Op op);
// Whether `answer` is such an answer.
bool is_unsupported(nb::handle answer);
// {"ok": False, "error": "browser not ready"}: the view has no browser core yet.
nb::dict not_ready();

// A rectangle in CSS pixels of the view (capture) or in screen pixels (the window).
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// The frame a script runs in: the child indices from the top document down (as window.frames[i]
// reaches them at each level); empty for the top document.
using FramePath = std::vector<long>;

// What a pointer or key action delivers as the user's own input (not a script's synthetic event).
struct PointerAction {
    enum class Kind { Move, Down, Up, Wheel } kind = Kind::Move;
    double x = 0, y = 0;         // CSS pixels of the view
    int button = 0;              // 0 left, 1 middle, 2 right (Down, Up)
    double delta_x = 0, delta_y = 0;  // Wheel
};
struct KeyAction {
    enum class Kind { Down, Up } kind = Kind::Down;
    nb::object key;  // the key's value as W3C key values write it ("a", "Enter", "\uE007")
};

// A browser view of one window.
class Engine {
public:
    virtual ~Engine();

    // The engine's name as the control plane reports it ("webview2", "webkitgtk").
    virtual const char *name() const = 0;
    // Whether this engine can do `op` at all (an operation it can do may still fail at a given
    // moment: no core yet, a page that refuses).
    virtual bool supports(Op op) const = 0;

    // ---- navigation ------------------------------------------------------------------------
    // Starts loading `url` (a str, already normalised and checked by the host layer); no waiting.
    // Errors of the engine propagate (the host layer guards them).
    virtual void navigate(nb::handle view, nb::handle url) = 0;
    // A history step when the history allows it (nothing otherwise), and reload.
    virtual void back(nb::handle view) = 0;
    virtual void forward(nb::handle view) = 0;
    virtual void reload(nb::handle view) = 0;

    // ---- the page as it stands ---------------------------------------------------------------
    // The address of the page shown (the committed one, not one merely asked for), "" for none.
    virtual nb::object url(nb::handle view) = 0;
    // Its title, "" when there is none.
    virtual nb::object title(nb::handle view) = 0;
    // Whether a load is in progress, as the engine itself knows it (an engine that reports none
    // answers false: the page tracker's loading state, from the events, is then the one to read).
    virtual bool loading(nb::handle view) = 0;
    // Whether the history has an entry behind / ahead.
    virtual bool can_go_back(nb::handle view) = 0;
    virtual bool can_go_forward(nb::handle view) = 0;

    // ---- script ------------------------------------------------------------------------------
    // Runs `script` (a str, an expression or statements whose completion value is the result) in
    // the top document (`frame` empty) or in the given frame. done({"ok": True, "value": the
    // result as JSON gives it, None for undefined}) or done({"ok": False, "error": the engine's
    // error text}). The caller bounds the time (the server answers 504 when done is late; a done
    // after that is ignored), so `seconds` is advice an engine may use to stop the script.
    virtual void run_script(const Call &c, nb::handle view, nb::handle script, const FramePath &frame,
                            double seconds, nb::handle done) = 0;
    // Whether the engine has script worlds of a program's own beside the page's: a world shares
    // the page's document but none of its script's globals (what one defines there, the page's
    // script neither sees nor reaches), and whether it has call_function.
    virtual bool has_worlds() const { return false; }
    // Calls, in the top document, the function whose body is `body` (a str) with its parameters
    // named by the keys of `args` (a dict of str to str) and bound to their values, in the world
    // named `world` or in the page's own (`world` empty); done as run_script, the function's value
    // awaited when it is a promise. What the engine compiles of a body is kept, so a body that is
    // the same from call to call costs little however long it is. An engine without worlds
    // answers unsupported(Op::RunScript).
    virtual void call_function(const Call &, nb::handle /*view*/, nb::handle /*body*/, nb::handle /*args*/,
                               const char * /*world*/, nb::handle done) {
        done(unsupported(Op::RunScript));
    }

    // ---- pictures ----------------------------------------------------------------------------
    // A PNG of the view's visible area (`rect` empty) or of that rectangle of it: done(the PNG's
    // bytes) or done({"ok": False, "error": text}).
    virtual void capture_png(const Call &c, nb::handle view, const std::optional<Rect> &rect, nb::handle done) = 0;

    // ---- printing ----------------------------------------------------------------------------
    // The page laid out for print (CSS media "print") as a PDF: done(the PDF's bytes) or
    // done({"ok": False, "error": text}). `settings` is a dict: "landscape" (bool), "scale" (0.1
    // to 2), "background" (bool: print backgrounds), "width" / "height" (the portrait page, cm),
    // "top" / "bottom" / "left" / "right" (margins, cm), "shrink" (bool: fit the content to the
    // page's width) and "ranges" (a list of [first, last] one-based page numbers, last None for
    // the end; empty for every page).
    virtual void print_pdf(const Call &, nb::handle /*view*/, nb::handle /*settings*/, nb::handle done) {
        done(unsupported(Op::PrintPdf));
    }

    // ---- cookies -----------------------------------------------------------------------------
    // The cookies the page's address would be sent (`url` None: the page shown):
    // done({"ok": True, "cookies": [{"name", "value", "domain", "path", "expiry" (seconds since the
    // epoch, or None for a session cookie), "secure", "httpOnly", "sameSite"}, ...]}).
    virtual void cookies(const Call &c, nb::handle view, nb::handle url, nb::handle done) = 0;
    // Adds one cookie given as such a dict (its domain defaults to the page's host, its path to
    // "/"): done({"ok": True}) or a failure.
    virtual void add_cookie(const Call &c, nb::handle view, nb::handle cookie, nb::handle done) = 0;
    // Deletes the page's cookie named `name`, or all of the page's cookies (`name` None):
    // done({"ok": True}).
    virtual void delete_cookies(const Call &c, nb::handle view, nb::handle name, nb::handle done) = 0;

    // ---- the window --------------------------------------------------------------------------
    // {"ok": True, "x", "y", "width", "height"} of the window on the screen (outer frame).
    virtual nb::object window_rect() = 0;
    // Moves and/or resizes the window (a part left empty stays as it is); restores it first when
    // it is maximised or minimised; answers as window_rect does, with the new rectangle.
    virtual nb::object set_window_rect(std::optional<double> x, std::optional<double> y,
                                       std::optional<double> width, std::optional<double> height) = 0;
    // Maximises / minimises the window; answers as window_rect does. Each, and set_window_rect,
    // first leaves full screen.
    virtual nb::object maximize() = 0;
    virtual nb::object minimize() = 0;
    // Shows the window on the whole screen without its frame (the toolbar stays: it is part of the
    // window); answers as window_rect does.
    virtual nb::object fullscreen() { return unsupported(Op::Fullscreen); }

    // ---- trusted input -----------------------------------------------------------------------
    // Delivers one pointer or key action to the view as the user's own input (events the page sees
    // as trusted). {"ok": True} once it has been handed to the view.
    virtual nb::object pointer(nb::handle view, const PointerAction &action) = 0;
    virtual nb::object key(nb::handle view, const KeyAction &action) = 0;

    // ---- script dialogs ----------------------------------------------------------------------
    // The open dialog of the page (alert, confirm, prompt, beforeunload):
    // {"ok": True, "kind": one of those, "text": its message, "default": a prompt's default text}
    // or {"ok": True, "kind": None} when none is open.
    virtual nb::object dialog(nb::handle view) = 0;
    // Accepts the open dialog (a prompt with `text` when given, else its default text) / dismisses
    // it; {"ok": False, "error": "no dialog open"} when there is none.
    virtual nb::object accept_dialog(nb::handle view, nb::handle text) = 0;
    virtual nb::object dismiss_dialog(nb::handle view) = 0;
    // While taken (a WebDriver session is open), the page's dialogs wait for accept_dialog /
    // dismiss_dialog instead of the engine's own dialog UI; given back, that UI shows them again
    // (an engine that always shows them to the user and lets the contract end them does nothing).
    virtual void take_dialogs(const Call &, nb::handle /*view*/, bool /*take*/) {}
    // Closes the window as its user's own close would (the window's closing events run): {"ok": True}.
    virtual nb::object close_window() { return unsupported(Op::CloseWindow); }

    // ---- frames of another origin -------------------------------------------------------------
    // The page's script reaches a frame of its own origin; one of another origin only through the
    // engine's own object for it, where the engine has one.
    // Starts following the frames of `view`'s top document (the host calls this once, as soon as
    // the view exists: a frame made before is not followed). Errors propagate.
    virtual void watch_frames(const Call &, nb::handle /*view*/) {}
    // The engine's object of the one live frame of `parent`'s document (None: of the top document)
    // whose name (its window's name, at first its element's name attribute) is `name` (None: of
    // the one live frame that document has): {"ok": True, "frame": object}; {"ok": False,
    // "error": text} when none or several are, or `parent` has gone.
    virtual nb::object named_frame(nb::handle /*view*/, nb::handle /*parent*/, nb::handle /*name*/) {
        return unsupported(Op::RunScriptInFrame);
    }
    // Whether such a frame still exists (a frame inside one: it and every frame around it).
    virtual bool frame_alive(nb::handle /*frame*/) { return false; }
    // Runs `script` in such a frame, answering through `done` as run_script does.
    virtual void run_script_in(const Call &, nb::handle /*frame*/, nb::handle /*script*/, nb::handle done) {
        done(unsupported(Op::RunScriptInFrame));
    }

    // ---- the Python objects an engine holds --------------------------------------------------
    // The cycle collector's view of them (the object wrap() makes is collected with what it
    // reaches): visit each held object / let go of them all.
    virtual int traverse(visitproc visit, void *arg) = 0;
    virtual void clear() = 0;
};

// ---- what an engine reports -----------------------------------------------------------------
// An engine reports on the UI thread, to the window's page tracker (tracker.hpp), what happens in
// its view: a navigation started (with the engine's navigation id when it has one), finished,
// failed (with the engine's error text), or ended inside the document shown (same-document); the
// title changed; a download started, finished or failed; a script dialog opened; the window is
// closing. The tracker turns them into the waits' answers and the /events ring; the functions it
// offers for each are declared there (pages_started, pages_finished, pages_same_document,
// pages_title, pages_download, event_push for the download and dialog events, pages_closed).

// ---- one engine as a Python object ---------------------------------------------------------
// A host makes its window's engine once and hands it, as this object, to the control server; the
// object owns the engine (deleted with it, under the GIL) and is seen by the cycle collector.
nb::object wrap(std::unique_ptr<Engine> engine);
// The engine such an object owns; null for anything else (None included).
Engine *of(nb::handle object);

// The WebView2 engine (webview2_engine.cpp), whose view is a CoreWebView2. The window operations
// answer unsupported for now.
// `window_fn`, when given, returns the Form the window operations act on (None: not yet).
std::unique_ptr<Engine> webview2(nb::handle window_fn = nb::handle());

// The WebKitGTK engine (webkit_engine.cpp) over a WebKit2 WebView and the Gtk.Window it sits in.
std::unique_ptr<Engine> webkit(nb::handle view, nb::handle window);

}  // namespace pk::engine

namespace pk::host {
namespace nb = nanobind;

// What WebView2 reports, to the page tracker (webview2_engine.cpp). Subscribes `pages` to a
// CoreWebView2's NavigationStarting, NavigationCompleted and DownloadStarting, and to what
// watch_webview2_page follows (functions nested in the caller `c`); errors propagate.
void watch_webview2(const Call &c, nb::handle pages, nb::handle cv);
// Subscribes `pages` to a CoreWebView2's SourceChanged (same-document navigations: their event,
// and the end of the waits armed for them) and DocumentTitleChanged; watch_webview2 does this too.
// Errors propagate.
void watch_webview2_page(const Call &c, nb::handle pages, nb::handle cv);

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
