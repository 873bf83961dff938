// User input over WebDriver: the actions machinery (sequences, ticks, the session's input state),
// the key table, and the events an engine delivers as the user's own.
//
//  * `parse_actions` turns a Perform Actions body into ticks, refusing what the protocol refuses
//    ("invalid argument"); it runs before anything is delivered, so a bad body changes nothing.
//  * `Performer` dispatches the ticks one after another: each action of a tick in the order of its
//    sequence, then waits for the tick's duration. A pointer move with a duration goes there in
//    steps. Positions are worked out when the action is dispatched (an element origin is asked of
//    the page then), and the input state (pressed keys and buttons, pointer positions) changes as
//    each action is dispatched, with the action that undoes it recorded for Release Actions.
//  * `Event` is one delivery for the engine: a pointer move, press, release or wheel turn at a
//    point of the view (CSS pixels), a key press or release, or text inserted where the layout has
//    no key for it. The engine calls back once the page has handled it, so the next one arrives
//    after it and a command's answer after all of them.
#pragma once
#include "pk.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace pk::input {
namespace nb = nanobind;

// ---- a protocol failure -------------------------------------------------------------------------
struct Failure {
    std::string code;     // "invalid argument", "move target out of bounds", ...
    std::string message;
};

// ---- the keys -----------------------------------------------------------------------------------
// Modifier bits as the DevTools protocol numbers them (the GTK engine maps them to its masks).
enum Modifier : unsigned { kAlt = 1, kCtrl = 2, kMeta = 4, kShift = 8 };

// What a key value means: the W3C normalised key ("a", "Enter", "Shift"), its physical code
// ("KeyA", "Enter", "ShiftLeft"; "" when the table has none), its location (0 standard, 1 left,
// 2 right, 3 numpad), the modifier it is (0 for none) and whether a US keyboard types it shifted.
struct Key {
    std::string key;
    std::string code;
    int location = 0;
    unsigned modifier = 0;
    bool shifted = false;
};
// `raw` is one code point or grapheme cluster (UTF-8): a \uE000-range code point gives its named key.
Key describe_key(std::string_view raw);
// Whether `raw` is a single grapheme cluster (one code point, or one followed by joining marks).
bool single_grapheme(std::string_view raw);
// The graphemes of a text, in order (UTF-8 pieces).
std::vector<std::string> graphemes(std::string_view text);

// ---- what an engine delivers --------------------------------------------------------------------
struct Event {
    enum class Kind { Move, Down, Up, Wheel, KeyDown, KeyUp, Text } kind = Kind::Move;
    double x = 0, y = 0;        // the view's CSS pixels (pointer kinds)
    int button = 0;             // the protocol's numbering: 0 left, 1 middle, 2 right, 3 back, 4 forward
    unsigned buttons = 0;       // buttons held after this event, bit n for button n
    int clicks = 0;             // the click count of a press / release
    double dx = 0, dy = 0;      // Wheel: CSS pixels to scroll
    Key key;                    // KeyDown / KeyUp
    std::string text;           // KeyDown: the text the key types ("" for a named key); Text: the text
    unsigned modifiers = 0;     // Modifier bits held while this event happens
};

// An engine's delivery: `done(nullopt)` once the view has the event, in order after the ones before
// it (on the UI thread), or done(failure). `flush` calls back once the page has handled every event
// delivered: before the page is asked anything, and before a command answers.
using Delivered = std::function<void(std::optional<Failure>)>;
struct Sink {
    virtual ~Sink() = default;
    virtual void deliver(const Event &event, Delivered done) = 0;
    virtual void flush(Delivered done) { done(std::nullopt); }
    // How many navigations the page has asked for so far, where the engine says so at once (else 0).
    virtual long navigation_requests() const { return 0; }
    // Gives a file input the files `paths` (a list of str) as the user's choice would: `element`
    // is a script whose value is the input element, run in the top document, or (`in_frame`) in
    // a frame of another origin: only the document holding the element answers it.
    virtual void set_files(nb::str element, bool in_frame, nb::list paths, Delivered done) {
        (void)element, (void)in_frame, (void)paths;
        done(Failure{"unsupported operation", "this engine does not take files for a file input"});
    }
};

// The GTK engine's sink: events for a WebKit2.WebView (a PyGObject object); UI thread only.
std::unique_ptr<Sink> gtk_sink(nb::handle view);
// The WebView2 engine's sink: DevTools protocol input through the core `core_fn()` gives (None
// while the view has none); UI thread only.
std::unique_ptr<Sink> webview2_sink(nb::handle core_fn);

// ---- actions ------------------------------------------------------------------------------------
enum class SourceType { None, Key, Pointer, Wheel };

struct Action {
    enum class Kind { Pause, KeyDown, KeyUp, PointerDown, PointerUp, PointerMove, PointerCancel, Scroll };
    Kind kind = Kind::Pause;
    std::string source;            // the input source's id
    SourceType type = SourceType::None;
    std::optional<long long> duration;  // ms
    std::string value;             // key actions: the raw key value
    int button = 0;                // pointer down / up
    double x = 0, y = 0;           // pointer move / scroll: offset from the origin
    double dx = 0, dy = 0;         // scroll
    enum class Origin { Viewport, Pointer, Element } origin = Origin::Viewport;
    nb::object element;            // Origin::Element: the element reference (a str)
};
using Tick = std::vector<Action>;

// One input source of the session.
struct Source {
    SourceType type = SourceType::None;
    std::string pointer_type;      // "mouse", "pen", "touch"
    std::vector<std::string> keys; // pressed keys (normalised values), in press order
    unsigned modifiers = 0;
    unsigned buttons = 0;          // pressed buttons, bit n for button n
    double x = 0, y = 0;
    // Click counting: the last press (time in ms on the steady clock, button, point, count).
    double last_press_ms = -1e9;
    int last_button = -1, last_clicks = 0;
    double last_x = 0, last_y = 0;
};

// The session's input state: its sources and the actions that undo what is held.
struct InputState {
    std::map<std::string, Source> sources;
    std::vector<Action> cancel;    // appended as keys and buttons go down; undone in reverse
    bool busy = false;             // an actions command is being dispatched
    unsigned modifiers() const;    // the modifiers any key source holds
};

// Parses a Perform Actions body's "actions" into ticks; registers new sources in `state` only once
// the whole body is valid.
std::variant<std::vector<Tick>, Failure> parse_actions(nb::handle actions, InputState &state);

// What the performer needs of the page besides the sink: the viewport's size, and an element's
// in-view centre point ("move target out of bounds" when it has none), in the view's CSS pixels;
// both asked on the UI thread, answered once.
using Point = std::pair<double, double>;
struct Page {
    virtual ~Page() = default;
    virtual void viewport(std::function<void(std::optional<Failure>, Point size)> done) = 0;
    virtual void centre(nb::handle element, std::function<void(std::optional<Failure>, Point)> done) = 0;
    // Calls `fn` on the UI thread after `seconds` (0: soon, after what is queued).
    virtual void later(double seconds, std::function<void()> fn) = 0;
};

// Dispatches `ticks` against `state`, then calls `done` once (nullopt on success). The state,
// page and sink must outlive the call (the session owns them).
void perform(std::vector<Tick> ticks, InputState &state, Page &page, Sink &sink,
             std::function<void(std::optional<Failure>)> done);
// Release Actions: undoes what `state` holds in reverse order, then forgets the sources.
void release(InputState &state, Page &page, Sink &sink, std::function<void(std::optional<Failure>)> done);
// Element Send Keys' typing: `text` as key presses (the \uE000 keys by name, modifiers held until
// the null key or the end, released then), with a state of its own.
void type_text(std::string_view text, Page &page, Sink &sink, std::function<void(std::optional<Failure>)> done);
// A left click at `at` (Element Click): move, press, release, by a mouse of its own.
void click_at(Point at, Sink &sink, std::function<void(std::optional<Failure>)> done);

}  // namespace pk::input
