// Input on WebKitGTK: GDK events made as the display server would make them (pointer motion,
// button press and release, smooth scroll, key press and release with the keymap's hardware
// keycode) and handed to the view widget itself. The page sees them as the user's own; the
// display's pointer does not move, and they reach the view although another window (or the
// toolbar's address box) has the keyboard focus. A character the keyboard layout has no key for
// is inserted through the engine's editing command, which the page sees as trusted input too.
//
// WebKit queues pointer and key events separately and sends the next one only once the web
// process has handled the one before; a script's answer comes back after the events sent before
// it. So each event is followed by an empty script, and its answer says the event was handled.
#include "input.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>

namespace pk::input {

namespace {

// GDK keyvals of the named keys (gdk/gdkkeysyms.h), by normalised key and code.
struct NamedKeyval {
    const char *code;
    unsigned keyval;
};
constexpr NamedKeyval kKeyvals[] = {
    {"Backspace", 0xff08},  {"Tab", 0xff09},        {"Enter", 0xff0d},       {"NumpadEnter", 0xff8d},
    {"Pause", 0xff13},      {"Escape", 0xff1b},     {"Delete", 0xffff},      {"Home", 0xff50},
    {"ArrowLeft", 0xff51},  {"ArrowUp", 0xff52},    {"ArrowRight", 0xff53},  {"ArrowDown", 0xff54},
    {"PageUp", 0xff55},     {"PageDown", 0xff56},   {"End", 0xff57},         {"Insert", 0xff63},
    {"Help", 0xff6a},       {"ShiftLeft", 0xffe1},  {"ShiftRight", 0xffe2},  {"ControlLeft", 0xffe3},
    {"ControlRight", 0xffe4}, {"AltLeft", 0xffe9},  {"AltRight", 0xffea},    {"MetaLeft", 0xffeb},
    {"MetaRight", 0xffec},  {"Numpad0", 0xffb0},    {"Numpad1", 0xffb1},     {"Numpad2", 0xffb2},
    {"Numpad3", 0xffb3},    {"Numpad4", 0xffb4},    {"Numpad5", 0xffb5},     {"Numpad6", 0xffb6},
    {"Numpad7", 0xffb7},    {"Numpad8", 0xffb8},    {"Numpad9", 0xffb9},     {"NumpadMultiply", 0xffaa},
    {"NumpadAdd", 0xffab},  {"NumpadComma", 0xffac}, {"NumpadSubtract", 0xffad}, {"NumpadDecimal", 0xffae},
    {"NumpadDivide", 0xffaf}, {"F1", 0xffbe}, {"F2", 0xffbf}, {"F3", 0xffc0}, {"F4", 0xffc1}, {"F5", 0xffc2},
    {"F6", 0xffc3}, {"F7", 0xffc4}, {"F8", 0xffc5}, {"F9", 0xffc6}, {"F10", 0xffc7}, {"F11", 0xffc8},
    {"F12", 0xffc9},
};
// The numpad's navigation keys (the \uE054 range) have keyvals of their own.
struct NumpadNav {
    const char *key;
    unsigned keyval;
};
constexpr NumpadNav kNumpadNav[] = {
    {"Home", 0xff95}, {"ArrowLeft", 0xff96}, {"ArrowUp", 0xff97}, {"ArrowRight", 0xff98}, {"ArrowDown", 0xff99},
    {"PageUp", 0xff9a}, {"PageDown", 0xff9b}, {"End", 0xff9c}, {"Insert", 0xff9e}, {"Delete", 0xff9f},
};

// GDK modifier masks: Shift, Control, Mod1 (Alt), Super and Meta; buttons 1-5.
constexpr unsigned kGdkShift = 1u << 0, kGdkControl = 1u << 2, kGdkAlt = 1u << 3, kGdkSuper = 1u << 26,
                   kGdkMeta = 1u << 28;

unsigned gdk_state(const Event &e) {
    unsigned s = 0;
    if (e.modifiers & kShift) s |= kGdkShift;
    if (e.modifiers & kCtrl) s |= kGdkControl;
    if (e.modifiers & kAlt) s |= kGdkAlt;
    if (e.modifiers & kMeta) s |= kGdkSuper | kGdkMeta;
    return s;
}
// The mask of the buttons held before this event (GDK reports the state before the event).
unsigned gdk_buttons(unsigned held) {
    unsigned s = 0;
    const int map[] = {8, 9, 10, 11, 12};  // GDK_BUTTON1_MASK.. for protocol buttons 0 left, 1 middle, 2 right
    if (held & 1) s |= 1u << map[0];
    if (held & 2) s |= 1u << map[1];
    if (held & 4) s |= 1u << map[2];
    return s;
}
// GDK's button number: 1 left, 2 middle, 3 right, 8 back, 9 forward.
int gdk_button(int b) {
    switch (b) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 3;
    case 3: return 8;
    case 4: return 9;
    default: return b + 1;
    }
}

char32_t only_code_point(std::string_view s) {
    if (s.empty()) return 0;
    auto b = static_cast<unsigned char>(s[0]);
    int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : 4;
    if (static_cast<std::size_t>(n) != s.size()) return 0;
    char32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (int i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    return cp;
}

class GtkSink final : public Sink {
public:
    ~GtkSink() override { recent_->view = nb::none(); }

    GtkSink(nb::handle view, PageScript script) : view_(nb::borrow(view)), script_(std::move(script)) {
        recent_->view = view_;
        gdk_ = import_from("gi.repository", "Gdk");
        gtk_ = import_from("gi.repository", "Gtk");
        nb::object display = gdk_.attr("Display").attr("get_default")();
        nb::object seat = display.attr("get_default_seat")();
        pointer_ = seat.attr("get_pointer")();
        keyboard_ = seat.attr("get_keyboard")();
        keymap_ = gdk_.attr("Keymap").attr("get_for_display")(display);
        types_ = gdk_.attr("EventType");
        // The page's requests to navigate reach the view's policy decisions when they are made.
        std::shared_ptr<long> asked = asked_;
        view_.attr("connect")("decide-policy", nb::cpp_function([asked](nb::handle, nb::handle, nb::handle kind) {
            if (PyLong_AsLong(kind.ptr()) == 0) ++*asked;  // WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION
            PyErr_Clear();
            return false;
        }));
    }

    long navigation_requests() const override { return *asked_; }

    void deliver(const Event &e, Delivered done) override {
        // Pointer events reach the page in the order given, and so do key events; the two kinds
        // (and text insertion) are queued apart, so the page handles what is out before the kind
        // changes. Within a kind, events are handed over at once and the page's answers awaited
        // together (flush).
        const Lane lane = lane_of(e);
        if (pending_ > 0 && lane != lane_) {
            Event again = e;
            return flush([this, again, done = std::move(done)](std::optional<Failure> f) mutable {
                if (f) return done(std::move(f));
                deliver(again, std::move(done));
            });
        }
        try {
            nb::object window = view_.attr("get_window")();
            if (window.is_none()) return done(Failure{"unknown error", "the view has no window yet"});
            // A press focuses the view as it does for a person; the page hears of that focus
            // before the press (else it focuses the pressed element twice: on the press, and again
            // when the view's focus arrives).
            if (e.kind == Event::Kind::Down && !focus_settled_ && typing_in_toolbar().is_none()) {
                const bool had = pk::truthy(view_.attr("has_focus")());
                const bool active = pk::truthy(view_.attr("get_toplevel")().attr("is_active")());
                if (!had || !active) page_focused_ = false;
                if (!page_focused_) {
                    if (!had) view_.attr("grab_focus")();
                    focus_settled_ = true;
                    Event again = e;
                    // In the active window the page itself gets the focus too, a moment later.
                    return when_page_focused(active ? 25 : 0, [this, again, done = std::move(done)](bool focused) mutable {
                        page_focused_ = focused;
                        deliver(again, std::move(done));
                    });
                }
            }
            focus_settled_ = false;
            switch (e.kind) {
            case Event::Kind::Move:
            case Event::Kind::Down:
            case Event::Kind::Up:
            case Event::Kind::Wheel:
                pointer_event(window, e);
                break;
            case Event::Kind::KeyDown:
            case Event::Kind::KeyUp:
                key_event(window, e);
                break;
            case Event::Kind::Text:
                insert(e.text);
                break;
            }
        } catch (nb::python_error &err) {
            refocusable();
            return done(Failure{"unknown error", err.what()});
        } catch (std::exception &err) {
            refocusable();
            return done(Failure{"unknown error", err.what()});
        }
        lane_ = lane;
        ++pending_;
        if (keep_toolbar_) {
            return flush([this, done = std::move(done)](std::optional<Failure> f) {
                refocusable();
                done(std::move(f));
            });
        }
        if (lane == Lane::Text) return flush(std::move(done));
        done(std::nullopt);
    }

    // WebKit sends the view's next queued event of a kind once the page has handled the one before:
    // an empty script's answer comes after one more event has been handled, so as many answers as
    // events delivered come after all of them.
    void flush(Delivered done) override {
        if (pending_ <= 0) return done(std::nullopt);
        --pending_;
        handled([this, done = std::move(done)](std::optional<Failure>) mutable { flush(std::move(done)); });
    }

private:
    // Event times in ms, rising as the display server's do (click counting reads them).
    unsigned time() {
        auto t = static_cast<unsigned long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
        last_time_ = std::max<unsigned long long>(t, last_time_ + 1);
        return static_cast<unsigned>(last_time_);
    }

    nb::object event(const char *type, nb::handle window) {
        nb::object ev = gdk_.attr("Event").attr("new")(types_.attr(type));
        ev.attr("window") = window;
        ev.attr("send_event") = 0;
        ev.attr("time") = time();
        return ev;
    }

    void pointer_event(nb::handle window, const Event &e) {
        const char *type = e.kind == Event::Kind::Move   ? "MOTION_NOTIFY"
                           : e.kind == Event::Kind::Down ? "BUTTON_PRESS"
                           : e.kind == Event::Kind::Up   ? "BUTTON_RELEASE"
                                                         : "SCROLL";
        nb::object ev = event(type, window);
        nb::tuple origin = nb::borrow<nb::tuple>(window.attr("get_origin")());
        ev.attr("x") = e.x;
        ev.attr("y") = e.y;
        ev.attr("x_root") = nb::cast<double>(origin[1]) + e.x;
        ev.attr("y_root") = nb::cast<double>(origin[2]) + e.y;
        unsigned held_before = e.buttons;
        if (e.kind == Event::Kind::Down) held_before &= ~(1u << e.button);
        if (e.kind == Event::Kind::Up) held_before |= 1u << e.button;
        ev.attr("state") = gdk_.attr("ModifierType")(gdk_state(e) | gdk_buttons(held_before));
        if (e.kind == Event::Kind::Down || e.kind == Event::Kind::Up) ev.attr("button") = gdk_button(e.button);
        if (e.kind == Event::Kind::Wheel) {
            // WebKit scrolls a smooth delta of 1 by the view's size to the power 2/3, as GTK's own
            // scrolled windows do; the protocol's deltas are pixels.
            double w = nb::cast<double>(view_.attr("get_allocated_width")());
            double h = nb::cast<double>(view_.attr("get_allocated_height")());
            ev.attr("direction") = gdk_.attr("ScrollDirection").attr("SMOOTH");
            ev.attr("delta_x") = w > 0 ? e.dx / std::pow(w, 2.0 / 3.0) : 0.0;
            ev.attr("delta_y") = h > 0 ? e.dy / std::pow(h, 2.0 / 3.0) : 0.0;
        }
        ev.attr("set_device")(pointer_);
        ev.attr("set_source_device")(pointer_);
        // A press focuses the view, unless the address box of the active window has the keyboard:
        // then the view cannot take the focus for that press, so the session never takes the
        // user's typing (the page still focuses the pressed element, as in a window in the back).
        // The page asks for the focus while it handles the press (before it answers the script that
        // follows), so the view stays unable to take it until then (see deliver).
        keep_toolbar_ = (e.kind == Event::Kind::Down || e.kind == Event::Kind::Up) && !typing_in_toolbar().is_none();
        if (keep_toolbar_) view_.attr("set_can_focus")(false);
        view_.attr("event")(ev);
    }

    // A key event the page leaves unhandled comes back: WebKit hands it to GTK again to reach the
    // window's other widgets, and lets the next key event the view gets pass by the page. With the
    // focus elsewhere (the address box) that event would reach the toolbar, and the page would miss
    // the session's next key. So the window's own key handlers hand such a returning event of the
    // session's back to the view, which takes it as WebKit expects, and nothing else sees it.
    struct Recent {
        struct Sent {
            unsigned time, keyval;
            bool press;
        };
        std::deque<Sent> keys;
        nb::object view;  // None once the sink has gone
    };
    void watch_returns() {
        if (watching_) return;
        watching_ = true;
        nb::object toplevel = view_.attr("get_toplevel")();
        std::shared_ptr<Recent> recent = recent_;
        for (const char *signal : {"key-press-event", "key-release-event"}) {
            const bool press = signal[4] == 'p';
            toplevel.attr("connect")(signal, nb::cpp_function([recent, press](nb::handle, nb::handle event) {
                if (!recent->view.is_valid() || recent->view.is_none()) return false;
                unsigned time = nb::cast<unsigned>(event.attr("time")), keyval = nb::cast<unsigned>(event.attr("keyval"));
                for (auto it = recent->keys.begin(); it != recent->keys.end(); ++it) {
                    if (it->time == time && it->keyval == keyval && it->press == press) {
                        recent->keys.erase(it);
                        recent->view.attr("event")(event);
                        return true;
                    }
                }
                return false;
            }));
        }
    }

    // The address box (an entry) a person may be typing in: the focus of the active window; None.
    nb::object typing_in_toolbar() {
        nb::object toplevel = view_.attr("get_toplevel")();
        if (!pk::truthy(toplevel.attr("is_active")())) return nb::none();
        nb::object focus = toplevel.attr("get_focus")();
        if (!focus.is_none() && PyObject_IsInstance(focus.ptr(), gtk_.attr("Entry").ptr()) == 1) return focus;
        return nb::none();
    }

    unsigned keyval(const Event &e) {
        if (e.key.location == 3 && e.key.code.rfind("Numpad", 0) == 0) {
            for (const NumpadNav &n : kNumpadNav)
                if (e.key.key == n.key) return n.keyval;
        }
        for (const NamedKeyval &n : kKeyvals)
            if (e.key.code == n.code && (e.key.key.size() > 1 || e.key.location == 3 || e.key.code == "Enter"))
                return n.keyval;
        char32_t cp = only_code_point(e.key.key);
        if (!cp) return 0;
        return nb::cast<unsigned>(gdk_.attr("unicode_to_keyval")(static_cast<unsigned>(cp)));
    }

    // The keymap's entry (keycode, group, level) of the key that makes `e`'s key; invalid for none.
    nb::object layout_key(const Event &e) {
        unsigned kv = keyval(e);
        if (!kv) return nb::object();
        nb::tuple found = nb::borrow<nb::tuple>(keymap_.attr("get_entries_for_keyval")(kv));
        if (nb::cast<bool>(found[0]) && nb::len(nb::object(found[1])) > 0) return nb::object(found[1])[0];
        return nb::object();
    }

    void key_event(nb::handle window, const Event &e) {
        unsigned kv = keyval(e);
        nb::object entry = layout_key(e);
        if (!entry.is_valid()) {
            // No key of this layout makes it: a printable character is inserted as text instead.
            if (e.kind == Event::Kind::KeyDown && !e.text.empty()) insert(e.text);
            return;
        }
        nb::object ev = event(e.kind == Event::Kind::KeyDown ? "KEY_PRESS" : "KEY_RELEASE", window);
        unsigned state = gdk_state(e);
        // A key of the layout's second level (an upper-case letter, "!") is typed with Shift; a key
        // pressed while Shift is held gives what the layout gives for it then ("x" gives "X").
        if (nb::cast<int>(entry.attr("level")) == 1) state |= kGdkShift;
        else if (state & kGdkShift && !e.key.modifier) {
            nb::tuple t = nb::borrow<nb::tuple>(keymap_.attr("translate_keyboard_state")(
                entry.attr("keycode"), gdk_.attr("ModifierType")(state), entry.attr("group")));
            if (pk::truthy(t[0])) kv = nb::cast<unsigned>(t[1]);
        }
        ev.attr("keyval") = kv;
        ev.attr("hardware_keycode") = nb::cast<unsigned>(entry.attr("keycode"));
        ev.attr("group") = nb::cast<unsigned>(entry.attr("group"));
        ev.attr("state") = gdk_.attr("ModifierType")(state);
        ev.attr("set_device")(keyboard_);
        watch_returns();
        unsigned when = nb::cast<unsigned>(ev.attr("time"));
        recent_->keys.push_back({when, kv, e.kind == Event::Kind::KeyDown});
        if (recent_->keys.size() > 32) recent_->keys.pop_front();
        view_.attr("event")(ev);
    }

    void insert(const std::string &text) {
        view_.attr("execute_editing_command_with_argument")("InsertText", nb::str(text.data(), text.size()));
    }

    // The view may take the focus again (after a press or release that left the address box its focus).
    void refocusable() {
        if (!keep_toolbar_) return;
        keep_toolbar_ = false;
        pk::guarded([&] { view_.attr("set_can_focus")(true); });
    }

    // Calls `then` once the page reports having the focus, or after `tries` more looks (10 ms apart).
    void when_page_focused(int tries, std::function<void(bool)> then) {
        auto next = std::make_shared<std::function<void(bool)>>(std::move(then));
        script_(nb::str("document.hasFocus()"), [this, tries, next](nb::object answer) {
            const bool focused = PyDict_Check(answer.ptr()) && pk::truthy(answer.attr("get")("ok")) &&
                                 answer.attr("get")("value").is(Py_True);
            if (focused || tries <= 0) return (*next)(focused);
            nb::object glib = import_from("gi.repository", "GLib");
            glib.attr("timeout_add")(10, nb::cpp_function([this, tries, next] {
                when_page_focused(tries - 1, std::move(*next));
                return false;
            }));
        });
    }

    // Calls `done` once the page has handled what was delivered: after an empty script's answer.
    void handled(Delivered done) {
        auto holder = std::make_shared<Delivered>(std::move(done));
        // (An answer that fails, a page in the middle of replacing itself, still comes after the
        // events: the event was handled all the same.)
        script_(nb::str("0"), [holder](nb::object) {
            Delivered d = std::move(*holder);
            if (d) d(std::nullopt);
        });
    }

    nb::object view_, gdk_, gtk_, pointer_, keyboard_, keymap_, types_;
    PageScript script_;
    unsigned long long last_time_ = 0;
    bool focus_settled_ = false;  // the view was just given the focus for the press that follows
    enum class Lane { Pointer, Key, Text };
    // A key that no key of the layout makes is typed as text.
    Lane lane_of(const Event &e) {
        if (e.kind == Event::Kind::Text) return Lane::Text;
        if (e.kind != Event::Kind::KeyDown && e.kind != Event::Kind::KeyUp) return Lane::Pointer;
        return layout_key(e).is_valid() ? Lane::Key : Lane::Text;
    }
    Lane lane_ = Lane::Pointer;
    int pending_ = 0;             // events delivered that the page may not have handled yet
    bool page_focused_ = false;   // the page said it had the focus (view focused, window active)
    bool keep_toolbar_ = false;   // the view cannot take the focus until the page has handled the event
    bool watching_ = false;       // the window's key handlers watch for returning events
    std::shared_ptr<Recent> recent_ = std::make_shared<Recent>();
    std::shared_ptr<long> asked_ = std::make_shared<long>(0);
};

}  // namespace

std::unique_ptr<Sink> gtk_sink(nb::handle view, PageScript script) {
    return std::make_unique<GtkSink>(view, std::move(script));
}

}  // namespace pk::input
