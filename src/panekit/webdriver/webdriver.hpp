// W3C WebDriver on the window's control port: the protocol (errors, capabilities, the one session,
// its time-outs and the command table) over what the window's engine offers (`Engine`).
//
// A request reaches `serve` on the control thread with its method, path, JSON body and whether it
// carried the window's token. Commands that need no page are answered there; the others run on the
// UI thread and answer through the request's `Reply` once the engine has (a script's result, a page
// load). Every answer is an `Answer`: an HTTP status and the body {"value": ...}.
//
// Everything a later command set needs of a session (its id, its time-outs, the browsing context it
// has switched to, running a page operation and reading its answer, the element-reference rules) is
// reached through `Driver`: `Driver::session()` and `Driver::page_op` below.
#pragma once
#include "pk.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pk::wd {
namespace nb = nanobind;

// ---- answers and errors ------------------------------------------------------------------------

struct Answer {
    int status = 200;
    nb::object body;  // {"value": ...}
};
// Success with `value`.
Answer success(nb::handle value);
// The protocol's error `code` ("no such element", ...) with its HTTP status and `message`.
Answer failure(std::string_view code, std::string_view message);
// The HTTP status of an error code (500 for one the table does not know).
int error_status(std::string_view code);
// Whether `code` is one of the protocol's error codes.
bool is_error_code(std::string_view code);

// JSON values as the protocol reads them: a number is an int or a float, never a boolean; an
// integer is an int or a float without a fraction.
inline bool is_number(nb::handle v) {
    return (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr())) || PyFloat_Check(v.ptr());
}
inline bool is_integer(nb::handle v) {
    if (PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr())) return true;
    if (!PyFloat_Check(v.ptr())) return false;
    double d = PyFloat_AS_DOUBLE(v.ptr());
    return std::isfinite(d) && std::floor(d) == d;
}

// Calls once with the command's answer (on whichever thread finished it, the GIL held).
using Reply = std::function<void(Answer)>;
// An engine's completion: the answer object the engine operation documents.
using Done = std::function<void(nb::object)>;

// What an engine operation throws when the engine cannot do it ("unsupported operation"), or when
// it failed ("unknown error" with the engine's text).
struct Unsupported : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs `work`, answering through `reply` what it raises: an engine that cannot do the operation
// "unsupported operation", any other failure (the engine's, Python's Exception, the library's)
// "unknown error" with its text. Only those are caught: KeyboardInterrupt and SystemExit propagate,
// and so does glibc's forced unwinding of a thread the interpreter ends (no std::exception).
template <class F> void answer_failures(const Reply &reply, F &&work) {
    try {
        work();
    } catch (nb::python_error &err) {
        if (!pk::is_exception(err)) throw;
        reply(failure("unknown error", nb::cast<std::string>(nb::str(err.value()))));
    } catch (Unsupported &err) {
        reply(failure("unsupported operation", err.what()));
    } catch (std::exception &err) {
        reply(failure("unknown error", err.what()));
    }
}

// ---- what WebDriver needs of the window -----------------------------------------------------------
// One implementation per engine. Operations run on the UI thread (`post` gets there) unless said.
struct Engine {
    virtual ~Engine() = default;
    // Queues `fn` for the UI thread (from any thread; never waits); false when the window has gone.
    virtual bool post(std::function<void()> fn) = 0;
    // Calls `fn` on the UI thread after `seconds`.
    virtual void later(double seconds, std::function<void()> fn) = 0;
    // Whether the view exists (a window may still be creating its browser).
    virtual bool ready() = 0;
    // The engine's version, for the capabilities (from the control thread: read on the UI thread).
    virtual std::string version() = 0;
    // Runs `source` in the top document: done({"ok": True, "value": JSON value}) or
    // done({"ok": False, "error": text}).
    virtual void script(nb::str source, Done done) = 0;
    // Whether the engine has a script world of WebDriver's own (the page library runs there), and
    // runs `source` in the top document in that world (`own`) or in the page's: done as `script`
    // (only where own_world()).
    virtual bool own_world() { return false; }
    virtual void world_script(nb::str source, bool own, Done done) = 0;
    // The view's visible area as PNG, or the rectangle `rect` ({"x", "y", "width", "height"} in CSS
    // pixels of the view) of it: done(bytes) or done({"ok": False, "error": text}).
    virtual void capture(nb::object rect, Done done) = 0;
    // The page as a PDF (settings as the engine contract's print_pdf takes them): done(bytes), or a
    // failure dict ("unsupported": True when the engine cannot print).
    virtual void print(nb::dict settings, Done done) = 0;
    virtual void navigate(nb::str url) = 0;
    virtual void back() = 0;
    virtual void forward() = 0;
    virtual void reload() = 0;
    virtual nb::object url() = 0;
    virtual nb::object title() = 0;
    virtual bool can_go_back() = 0;
    virtual bool can_go_forward() = 0;
    // Calls `loaded` once the next navigation that starts has ended (loaded, failed, or turned into
    // a download); armed before the navigation is started.
    virtual void arm_load(std::function<void()> loaded) = 0;
    // Cookies of the shown page's address: done(list of W3C cookie dicts) / a failure dict.
    virtual void cookies(Done done) = 0;
    // Adds a cookie (a W3C cookie dict, domain and path filled in): done(None) / a failure dict.
    virtual void add_cookie(nb::dict cookie, Done done) = 0;
    // Deletes the cookie named `name` of the shown page (every one when None): done(None) / failure.
    virtual void delete_cookies(nb::object name, Done done) = 0;
    // The window's rectangle {"x", "y", "width", "height"} in screen pixels.
    virtual nb::object window_rect() = 0;
    // Moves and/or resizes the window (None: keep); restores it from maximised or minimised first.
    virtual void set_window_rect(nb::object x, nb::object y, nb::object width, nb::object height) = 0;
    enum class Show { Maximized, Minimized, Fullscreen };
    virtual void show(Show how) = 0;
    // Closes the window as the user's own close would.
    virtual void close() = 0;
    // The script dialog the page has open: None, or {"type": "alert"|"confirm"|"prompt"|
    // "beforeunload", "text": message, "default": prompt's default}.
    virtual nb::object dialog() = 0;
    // A session opened (true) or ended (false): while one is open the page's dialogs wait for the
    // session instead of the engine's own dialog UI (where the engine shows none to the user).
    virtual void hold_dialogs(bool hold) = 0;
    // Ends the open dialog: accepted (a prompt with `text`, None keeps its default) or dismissed.
    virtual void close_dialog(bool accept, nb::object text) = 0;
    // The engine's own view object (a CoreWebView2, a WebKit2.WebView) that input is delivered to,
    // None while there is none.
    virtual nb::object view() = 0;
    // Whether a navigation is loading now.
    virtual bool loading() = 0;
    // Frames of another origin, which the script around them cannot enter: the engine's own
    // object of the frame named `name` (None: the one frame) of the top document (`parent` None)
    // or of the document of `parent`, such an object itself; or None with the reason in `why`.
    virtual nb::object named_frame(nb::object parent, nb::object name, std::string &why) = 0;
    // Whether such a frame is still there.
    virtual bool frame_alive(nb::handle frame) = 0;
    // Runs `source` in such a frame, answering as script() does.
    virtual void frame_script(nb::handle frame, nb::str source, Done done) = 0;
};

// ---- the session ---------------------------------------------------------------------------------

struct Timeouts {
    // Milliseconds; -1 for null (no limit).
    long long script = 30000, page_load = 300000, implicit = 0;
};

enum class LoadStrategy { Normal, Eager, None };

struct Session {
    std::string id;
    Timeouts timeouts;
    LoadStrategy load = LoadStrategy::Normal;
    std::string prompt = "dismiss and notify";  // unhandledPromptBehavior
    bool strict_files = false;
    // The browsing context: references of the frame elements from the top document down. A frame
    // of another origin on the path is entered through the engine's own object for it: `remotes`
    // holds those, outermost first, each with the index in `frames` of its element. The scripts
    // run in the innermost one over the rest of the path, or in the top document over all of it.
    std::vector<std::string> frames;
    struct Remote {
        std::size_t at;
        nb::object frame;
    };
    std::vector<Remote> remotes;
    // The engine's object the scripts run in (None: the top document's), and the path below it.
    nb::object remote() const { return remotes.empty() ? nb::object(nb::none()) : remotes.back().frame; }
    std::vector<std::string> local() const {
        return std::vector<std::string>(frames.begin() + (remotes.empty() ? 0 : static_cast<std::ptrdiff_t>(remotes.back().at) + 1),
                                        frames.end());
    }
    // Back to the top document / to the parent of the browsing context.
    void to_top() {
        frames.clear();
        remotes.clear();
    }
    void to_parent() {
        if (!frames.empty()) frames.pop_back();
        if (!remotes.empty() && remotes.back().at >= frames.size()) remotes.pop_back();
    }
};

class Driver {
public:
    // `token` is the window's token (what "panekit:token" must be), `control_port` its port.
    Driver(std::unique_ptr<Engine> engine, nb::object token, nb::object control_port) :
        engine_(std::move(engine)), token_(std::move(token)), port_(std::move(control_port)) {}

    // Answers one request now (a value) or later through `reply` (nullopt). `path` is the request
    // target without its query; `body` the request's bytes (POST), `bearer` whether the request
    // carried the window's token.
    std::optional<Answer> serve(std::string_view method, std::string_view path, nb::bytes body, bool bearer,
                                Reply reply);

    // The session, if one is open.
    Session *session() { return session_ ? &*session_ : nullptr; }
    Engine &engine() { return *engine_; }

    // Runs the page library's `op` with `args` in the session's browsing context (UI thread) and
    // calls `done` with its value, or with the protocol error it raised. Op "script" is the
    // library's "execute" run in the page's own world: Execute Script's scripts see the page's
    // globals wherever the library runs. An Exception `done` raises
    // answers the command through `fallback` ("unknown error"), so no command is left unanswered.
    void page_op(const char *op, nb::handle args, std::function<void(std::optional<Answer> error, nb::object value)> done,
                 Reply fallback);
    // Where the session's browsing context starts in the view: {"x", "y"} in CSS pixels of the view
    // ({0, 0} but in a frame of another origin, whose page cannot tell: its element's content box,
    // scrolled into view first, with the view's size as "width" and "height").
    // An Exception `done` raises answers through `fallback`, as with page_op.
    void frame_origin(std::function<void(std::optional<Answer> error, nb::object origin)> done, Reply fallback = nullptr);
    // The same with an open dialog handled first as the session's unhandledPromptBehavior says.
    void page_command(const char *op, nb::handle args, Reply reply,
                      std::function<nb::object(nb::object)> shape = nullptr);
    // Handles a dialog open now as unhandledPromptBehavior says; true when the command must fail
    // with `out` ("unexpected alert open").
    bool handle_prompt(Answer &out);

    // The session's implicit-wait and script deadlines as steady seconds from now.
    double deadline(long long ms) const;

    // The session's input (input_commands.cpp): its state and the engine's input sink.
    std::shared_ptr<void> input;

private:
    friend struct Commands;
    // Calls `tick` on the UI thread every tenth of a second (the first time within one) until it
    // returns true or `answered` is set (a command's time-out and the dialogs that end it are
    // watched so, while it waits).
    void every_tenth(std::shared_ptr<bool> answered, std::function<bool()> tick);
    void tick_later();
    struct Watch {
        std::shared_ptr<bool> answered;
        std::function<bool()> tick;
    };
    std::vector<Watch> watches_;  // (UI thread)
    bool ticking_ = false;
    void run_op(const char *op, nb::handle args, std::vector<std::string> frames, nb::object remote,
                std::function<void(std::optional<Answer>, nb::object)> then, Reply fallback);
    // frame_origin from the k-th frame of another origin on the path on, `sum` where the ones
    // before it start.
    void origin_from(std::size_t k, std::vector<Session::Remote> remotes, std::vector<std::string> frames, nb::dict sum,
                     std::function<void(std::optional<Answer>, nb::object)> done, Reply fallback);
    static void read_answer(nb::handle res, const std::function<void(std::optional<Answer>, nb::object)> &done);
    std::unique_ptr<Engine> engine_;
    nb::object token_, port_;
    std::optional<Session> session_;
    nb::object prompt_text_;  // Send Alert Text's text, for the Accept Alert that ends the prompt
    // The random event type through which a script in the page's world asks the page library in
    // WebDriver's own world for nodes and references (page_library.hpp); new with each session.
    std::string bridge_;
};

// The input commands (input_commands.cpp): `vars` are the path's variables after the session id.
enum class InputCommand { Click, Clear, SendKeys, Perform, Release };
std::optional<Answer> input_command(InputCommand which, Driver &d, const std::vector<std::string> &vars, nb::dict body,
                                    Reply reply);
// The session ends: what its input holds is released (on the UI thread) and the input forgotten.
void input_session_end(Driver &d);

// The in-page library call for `op` (see page_library.hpp), with the library's text or with only
// a call of the library the window object holds (answering {"missing": 1} when it holds none);
// `bridge` (where the library runs in a world of its own) names its bridge's events.
nb::str command_script(const char *op, nb::handle args, const std::vector<std::string> &frames, bool library,
                       std::string_view bridge = {});

// ---- capabilities --------------------------------------------------------------------------------
// What the window matches, for New Session.
struct Offer {
    std::string version;   // browserVersion
    std::string platform;  // platformName
    nb::object port;       // panekit:controlPort
};
// Processes a New Session body's "capabilities": the matched capabilities, or the error.
std::variant<nb::dict, Answer> process_capabilities(nb::handle parameters, const Offer &offer);

}  // namespace pk::wd

namespace pk::wd {
// Whether `given` is `secret`, in a time that does not depend on where they differ.
bool same_secret(std::string_view given, std::string_view secret);
}  // namespace pk::wd
