// The actions machinery: Perform Actions' body checked and split into ticks, the ticks dispatched
// against the session's input state, Release Actions, and the typing of Element Send Keys.
#include "input.hpp"
#include "webdriver.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace pk::input {

namespace {

constexpr const char *kElementKey = "element-6066-11e4-a52e-4f735466cecf";

Failure invalid(std::string message) { return {"invalid argument", std::move(message)}; }

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// ---- reading the body -------------------------------------------------------------------------
using pk::wd::is_integer;
using pk::wd::is_number;
double number(nb::handle v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        // an integer beyond a double's range: an infinity of its sign, refused by the range checks
        return PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT) == 1 ? -INFINITY : INFINITY;
    }
    return d;
}
// Whether a number is one a script's Number holds exactly (up to Number.MAX_SAFE_INTEGER either way).
constexpr double kMaxSafe = 9007199254740991.0;
bool safe(double d) { return d >= -kMaxSafe && d <= kMaxSafe; }
// The item's property `name`, or a null handle when it is absent.
nb::handle property(nb::handle item, const char *name) { return PyDict_GetItemString(item.ptr(), name); }
std::string text_of(nb::handle v) {
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(v.ptr(), &n);
    if (!s) throw nb::python_error();
    return std::string(s, static_cast<std::size_t>(n));
}

std::optional<Failure> read_duration(nb::handle item, Action &a) {
    nb::handle d = property(item, "duration");
    if (!d.is_valid()) return std::nullopt;
    if (!is_integer(d) || number(d) < 0 || !safe(number(d)))
        return invalid("duration must be an integer from 0 to 9007199254740991");
    a.duration = static_cast<long long>(number(d));
    return std::nullopt;
}

std::optional<Failure> read_origin(nb::handle item, Action &a, bool pointer_allowed) {
    nb::handle o = property(item, "origin");
    if (!o.is_valid() || (PyUnicode_Check(o.ptr()) && text_of(o) == "viewport")) {
        a.origin = Action::Origin::Viewport;
    } else if (PyUnicode_Check(o.ptr()) && text_of(o) == "pointer" && pointer_allowed) {
        a.origin = Action::Origin::Pointer;
    } else if (PyDict_Check(o.ptr()) && property(o, kElementKey).is_valid() &&
               PyUnicode_Check(property(o, kElementKey).ptr())) {
        a.origin = Action::Origin::Element;
        a.element = nb::borrow(property(o, kElementKey));
    } else {
        return invalid(pointer_allowed ? "origin must be \"viewport\", \"pointer\" or an element"
                                       : "origin must be \"viewport\" or an element");
    }
    return std::nullopt;
}

// Optional pointer properties and their ranges (checked, not used: a mouse has none of them).
std::optional<Failure> read_pointer_extras(nb::handle item) {
    struct Range {
        const char *name;
        double low, high;
        bool integer;
    };
    constexpr double pi = 3.14159265358979323846;
    constexpr Range ranges[] = {
        {"width", 0, kMaxSafe, false},   {"height", 0, kMaxSafe, false},
        {"pressure", 0, 1, false},       {"tangentialPressure", -1, 1, false},
        {"tiltX", -90, 90, true},        {"tiltY", -90, 90, true},
        {"twist", 0, 359, true},         {"altitudeAngle", 0, pi / 2, false},
        {"azimuthAngle", 0, 2 * pi, false},
    };
    for (const Range &r : ranges) {
        nb::handle v = property(item, r.name);
        if (!v.is_valid()) continue;
        if (!(r.integer ? is_integer(v) : is_number(v)) || number(v) < r.low || number(v) > r.high)
            return invalid(std::string(r.name) + " is out of range");
    }
    return std::nullopt;
}

std::optional<Failure> read_action(nb::handle item, SourceType type, Action &a) {
    if (!PyDict_Check(item.ptr())) return invalid("an action is an object");
    nb::handle t = property(item, "type");
    std::string kind = t.is_valid() && PyUnicode_Check(t.ptr()) ? text_of(t) : "";
    if (kind == "pause") {
        a.kind = Action::Kind::Pause;
        return read_duration(item, a);
    }
    switch (type) {
    case SourceType::None:
        return invalid("an action of a \"none\" source is a pause");
    case SourceType::Key: {
        if (kind == "keyDown") a.kind = Action::Kind::KeyDown;
        else if (kind == "keyUp") a.kind = Action::Kind::KeyUp;
        else return invalid("a key action is keyDown, keyUp or pause");
        nb::handle v = property(item, "value");
        if (!v.is_valid() || !PyUnicode_Check(v.ptr()) || !single_grapheme(text_of(v)))
            return invalid("a key action's value is one key (a single grapheme)");
        a.value = text_of(v);
        return std::nullopt;
    }
    case SourceType::Pointer: {
        if (kind == "pointerDown" || kind == "pointerUp") {
            a.kind = kind == "pointerDown" ? Action::Kind::PointerDown : Action::Kind::PointerUp;
            nb::handle b = property(item, "button");
            if (!b.is_valid() || !is_integer(b) || number(b) < 0 || number(b) > 30)
                return invalid("button must be an integer of 0 or more");
            a.button = static_cast<int>(number(b));
            return read_pointer_extras(item);
        }
        if (kind == "pointerMove") {
            a.kind = Action::Kind::PointerMove;
            if (auto f = read_duration(item, a)) return f;
            if (auto f = read_origin(item, a, true)) return f;
            nb::handle x = property(item, "x"), y = property(item, "y");
            if (!x.is_valid() || !is_number(x) || !safe(number(x)) || !y.is_valid() || !is_number(y) || !safe(number(y)))
                return invalid("a pointer move's x and y are numbers");
            a.x = number(x);
            a.y = number(y);
            return read_pointer_extras(item);
        }
        if (kind == "pointerCancel") {
            a.kind = Action::Kind::PointerCancel;
            return std::nullopt;
        }
        return invalid("a pointer action is pointerDown, pointerUp, pointerMove, pointerCancel or pause");
    }
    case SourceType::Wheel: {
        if (kind != "scroll") return invalid("a wheel action is scroll or pause");
        a.kind = Action::Kind::Scroll;
        if (auto f = read_duration(item, a)) return f;
        if (auto f = read_origin(item, a, false)) return f;
        const char *names[] = {"x", "y", "deltaX", "deltaY"};
        double *into[] = {&a.x, &a.y, &a.dx, &a.dy};
        for (int i = 0; i < 4; ++i) {
            nb::handle v = property(item, names[i]);
            if (!v.is_valid() || !is_integer(v) || !safe(number(v)))
                return invalid(std::string("a scroll's ") + names[i] + " is an integer");
            *into[i] = number(v);
        }
        return std::nullopt;
    }
    }
    return invalid("unknown input source type");
}

}  // namespace

unsigned InputState::modifiers() const {
    unsigned m = 0;
    for (const auto &[id, s] : sources) m |= s.modifiers;
    return m;
}

std::variant<std::vector<Tick>, Failure> parse_actions(nb::handle actions, InputState &state) {
    if (!actions.is_valid() || !PyList_Check(actions.ptr())) return invalid("actions must be a list");
    std::vector<std::vector<Action>> sequences;
    std::map<std::string, Source> fresh;  // sources this body adds
    nb::list list = nb::borrow<nb::list>(actions);
    for (nb::handle seq : list) {
        if (!PyDict_Check(seq.ptr())) return invalid("an action sequence is an object");
        nb::handle t = property(seq, "type"), id = property(seq, "id");
        std::string type_name = t.is_valid() && PyUnicode_Check(t.ptr()) ? text_of(t) : "";
        SourceType type;
        if (type_name == "none") type = SourceType::None;
        else if (type_name == "key") type = SourceType::Key;
        else if (type_name == "pointer") type = SourceType::Pointer;
        else if (type_name == "wheel") type = SourceType::Wheel;
        else return invalid("an action sequence's type is none, key, pointer or wheel");
        if (!id.is_valid() || !PyUnicode_Check(id.ptr())) return invalid("an action sequence's id is a string");
        std::string sid = text_of(id);
        std::string pointer_type;
        if (type == SourceType::Pointer) {
            pointer_type = "mouse";
            nb::handle params = property(seq, "parameters");
            if (params.is_valid()) {  // absent is the default; null is no object
                if (!PyDict_Check(params.ptr())) return invalid("a pointer's parameters are an object");
                nb::handle pt = property(params, "pointerType");
                if (pt.is_valid()) {
                    pointer_type = PyUnicode_Check(pt.ptr()) ? text_of(pt) : "";
                    if (pointer_type != "mouse" && pointer_type != "pen" && pointer_type != "touch")
                        return invalid("pointerType is mouse, pen or touch");
                }
            }
        }
        const Source *known = nullptr;
        if (auto it = state.sources.find(sid); it != state.sources.end()) known = &it->second;
        else if (auto f = fresh.find(sid); f != fresh.end()) known = &f->second;
        if (known && (known->type != type || known->pointer_type != pointer_type))
            return invalid("the input source " + sid + " is already of another type");
        if (!known) {
            Source s;
            s.type = type;
            s.pointer_type = pointer_type;
            fresh.emplace(sid, s);
        }
        nb::handle items = property(seq, "actions");
        if (!items.is_valid() || !PyList_Check(items.ptr())) return invalid("an action sequence's actions are a list");
        std::vector<Action> parsed;
        for (nb::handle item : nb::borrow<nb::list>(items)) {
            Action a;
            a.source = sid;
            a.type = type;
            if (auto f = read_action(item, type, a)) return *f;
            parsed.push_back(std::move(a));
        }
        sequences.push_back(std::move(parsed));
    }
    std::vector<Tick> ticks;
    for (auto &seq : sequences) {
        if (ticks.size() < seq.size()) ticks.resize(seq.size());
        for (std::size_t i = 0; i < seq.size(); ++i) ticks[i].push_back(std::move(seq[i]));
    }
    state.sources.merge(fresh);
    return ticks;
}

// ---- dispatching --------------------------------------------------------------------------------
namespace {

using Finish = std::function<void(std::optional<Failure>)>;

// The events a key press types: the text of a printable key unless Control, Alt or Meta is held.
Event key_event(const Action &a, bool down, unsigned modifiers) {
    Event e;
    e.kind = down ? Event::Kind::KeyDown : Event::Kind::KeyUp;
    e.key = describe_key(a.value);
    e.modifiers = modifiers;
    if (down && !(modifiers & (kCtrl | kAlt | kMeta))) {
        bool named = e.key.key.size() > 1 && e.key.key != a.value;
        if (e.key.key == "Enter") e.text = "\r";
        else if (!named && e.key.modifier == 0) e.text = e.key.key;
    }
    return e;
}

// One run of ticks: the state it works on, where it is, and its end.
struct Run : std::enable_shared_from_this<Run> {
    std::vector<Tick> ticks;
    InputState &state;
    Page &page;
    Sink &sink;
    Finish done;
    std::size_t tick = 0, action = 0;
    double tick_start = 0;
    std::optional<Point> view;  // the viewport's size, asked once when a target needs checking

    Run(std::vector<Tick> t, InputState &s, Page &p, Sink &k, Finish d) :
        ticks(std::move(t)), state(s), page(p), sink(k), done(std::move(d)) {}

    void finish(std::optional<Failure> f) {
        Finish d = std::move(done);
        d(std::move(f));
    }

    void next() {
        auto self = shared_from_this();
        if (tick >= ticks.size())
            return sink.flush([self](std::optional<Failure> f) { self->finish(std::move(f)); });
        if (action == 0) tick_start = now_ms();
        if (action < ticks[tick].size()) {
            const Action &a = ticks[tick][action++];
            return dispatch(a, [self](std::optional<Failure> f) {
                if (f) return self->finish(std::move(f));
                self->next();
            });
        }
        // The tick's actions are out: wait for the longest duration among them.
        long long longest = 0;
        for (const Action &a : ticks[tick])
            if (a.duration) longest = std::max(longest, *a.duration);
        double wait = static_cast<double>(longest) - (now_ms() - tick_start);
        ++tick;
        action = 0;
        if (wait <= 0) return self->next();
        sink.flush([self, wait](std::optional<Failure> f) {
            if (f) return self->finish(std::move(f));
            self->page.later(wait / 1000.0, [self] { self->next(); });
        });
    }

    void deliver(Event e, Finish then) { sink.deliver(e, std::move(then)); }

    void dispatch(const Action &a, Finish then) {
        Source &src = state.sources[a.source];
        switch (a.kind) {
        case Action::Kind::Pause:
        case Action::Kind::PointerCancel:
            return then(std::nullopt);
        case Action::Kind::KeyDown: {
            Key k = describe_key(a.value);
            bool repeat = std::find(src.keys.begin(), src.keys.end(), k.key) != src.keys.end();
            if (!repeat) src.keys.push_back(k.key);
            src.modifiers |= k.modifier;
            if (!repeat) {
                Action undo = a;
                undo.kind = Action::Kind::KeyUp;
                state.cancel.push_back(undo);
            }
            return deliver(key_event(a, true, state.modifiers()), std::move(then));
        }
        case Action::Kind::KeyUp: {
            Key k = describe_key(a.value);
            auto it = std::find(src.keys.begin(), src.keys.end(), k.key);
            if (it == src.keys.end()) return then(std::nullopt);
            src.keys.erase(it);
            src.modifiers &= ~k.modifier;
            return deliver(key_event(a, false, state.modifiers()), std::move(then));
        }
        case Action::Kind::PointerDown: {
            unsigned bit = 1u << a.button;
            if (src.buttons & bit) return then(std::nullopt);
            src.buttons |= bit;
            double t = now_ms();
            bool again = src.last_button == a.button && t - src.last_press_ms < 500 &&
                         std::abs(src.last_x - src.x) <= 4 && std::abs(src.last_y - src.y) <= 4;
            src.last_clicks = again ? src.last_clicks + 1 : 1;
            src.last_press_ms = t;
            src.last_button = a.button;
            src.last_x = src.x;
            src.last_y = src.y;
            Action undo = a;
            undo.kind = Action::Kind::PointerUp;
            state.cancel.push_back(undo);
            Event e;
            e.kind = Event::Kind::Down;
            e.x = src.x;
            e.y = src.y;
            e.button = a.button;
            e.buttons = src.buttons;
            e.clicks = src.last_clicks;
            e.modifiers = state.modifiers();
            return deliver(e, std::move(then));
        }
        case Action::Kind::PointerUp: {
            unsigned bit = 1u << a.button;
            if (!(src.buttons & bit)) return then(std::nullopt);
            src.buttons &= ~bit;
            Event e;
            e.kind = Event::Kind::Up;
            e.x = src.x;
            e.y = src.y;
            e.button = a.button;
            e.buttons = src.buttons;
            e.clicks = src.last_button == a.button ? src.last_clicks : 1;
            e.modifiers = state.modifiers();
            return deliver(e, std::move(then));
        }
        case Action::Kind::PointerMove:
        case Action::Kind::Scroll:
            return target(a, std::move(then));
        }
    }

    // Where a move or scroll goes, then the move (in steps over its duration) or the scroll. The
    // page is asked only once it has handled what was delivered before.
    void target(const Action &a, Finish then) {
        auto self = shared_from_this();
        if (!view || a.origin == Action::Origin::Element) {
            return sink.flush([self, &a, then = std::move(then)](std::optional<Failure> f) mutable {
                if (f) return then(std::move(f));
                self->ask(a, std::move(then));
            });
        }
        ask(a, std::move(then));
    }
    void ask(const Action &a, Finish then) {
        auto self = shared_from_this();
        if (!view) {
            return page.viewport([self, &a, then = std::move(then)](std::optional<Failure> f, Point size) mutable {
                if (f) return then(std::move(f));
                self->view = size;
                self->ask(a, std::move(then));
            });
        }
        if (a.origin == Action::Origin::Element) {
            return page.centre(a.element,
                               [self, &a, then = std::move(then)](std::optional<Failure> f, Point c) mutable {
                                   if (f) return then(std::move(f));
                                   self->go(a, c.first + a.x, c.second + a.y, std::move(then));
                               });
        }
        const Source &src = state.sources[a.source];
        if (a.origin == Action::Origin::Pointer) return go(a, src.x + a.x, src.y + a.y, std::move(then));
        go(a, a.x, a.y, std::move(then));
    }

    void go(const Action &a, double x, double y, Finish then) {
        if (x < 0 || y < 0 || x > view->first || y > view->second) {
            char msg[160];
            std::snprintf(msg, sizeof msg, "(%g, %g) is outside the viewport (%g by %g)", x, y, view->first,
                          view->second);
            return then(Failure{"move target out of bounds", msg});
        }
        Source &src = state.sources[a.source];
        if (a.kind == Action::Kind::Scroll) {
            Event e;
            e.kind = Event::Kind::Wheel;
            e.x = x;
            e.y = y;
            e.dx = a.dx;
            e.dy = a.dy;
            e.modifiers = state.modifiers();
            return deliver(e, std::move(then));
        }
        long long duration = a.duration.value_or(0);
        int steps = duration > 0 ? static_cast<int>(std::clamp(duration / 16, 1LL, 60LL)) : 1;
        step(a.source, src.x, src.y, x, y, 1, steps, duration, now_ms(), std::move(then));
    }

    // The move's step `i` of `steps`: the point that far along the line, delivered at its time
    // (`due`: that time has come).
    void step(const std::string &id, double x0, double y0, double x1, double y1, int i, int steps, long long duration,
              double start, Finish then, bool due = false) {
        auto self = shared_from_this();
        double wait = static_cast<double>(duration) * i / steps - (now_ms() - start);
        if (i > 1 && wait > 1 && !due) {
            return page.later(wait / 1000.0, [=, then = std::move(then)]() mutable {
                self->step(id, x0, y0, x1, y1, i, steps, duration, start, std::move(then), true);
            });
        }
        Source &src = state.sources[id];
        src.x = x0 + (x1 - x0) * i / steps;
        src.y = y0 + (y1 - y0) * i / steps;
        Event e;
        e.kind = Event::Kind::Move;
        e.x = src.x;
        e.y = src.y;
        e.buttons = src.buttons;
        e.modifiers = state.modifiers();
        deliver(e, [=, then = std::move(then)](std::optional<Failure> f) mutable {
            if (f || i >= steps) return then(std::move(f));
            self->step(id, x0, y0, x1, y1, i + 1, steps, duration, start, std::move(then));
        });
    }
};

}  // namespace

void perform(std::vector<Tick> ticks, InputState &state, Page &page, Sink &sink, Finish done) {
    if (state.busy) return done(Failure{"invalid argument", "other actions are being performed"});
    state.busy = true;
    auto run = std::make_shared<Run>(std::move(ticks), state, page, sink, [&state, done = std::move(done)](auto f) {
        state.busy = false;
        done(std::move(f));
    });
    run->next();
}

void release(InputState &state, Page &page, Sink &sink, Finish done) {
    Tick undo(state.cancel.rbegin(), state.cancel.rend());
    state.cancel.clear();
    std::vector<Tick> ticks;
    for (Action &a : undo) ticks.push_back(Tick{std::move(a)});
    auto run = std::make_shared<Run>(std::move(ticks), state, page, sink, [&state, done = std::move(done)](auto f) {
        state.sources.clear();
        state.cancel.clear();
        done(std::move(f));
    });
    run->next();
}

void type_text(std::string_view text, Page &page, Sink &sink, Finish done) {
    auto state = std::make_shared<InputState>();
    const std::string id = "keys";
    state->sources[id].type = SourceType::Key;
    std::vector<Tick> ticks;
    auto key = [&](Action::Kind kind, const std::string &value) {
        Action a;
        a.kind = kind;
        a.source = id;
        a.type = SourceType::Key;
        a.value = value;
        ticks.push_back(Tick{std::move(a)});
    };
    std::vector<std::string> held;  // modifiers pressed by the text, in order
    auto release_held = [&] {
        for (auto it = held.rbegin(); it != held.rend(); ++it) key(Action::Kind::KeyUp, *it);
        held.clear();
    };
    for (const std::string &g : graphemes(text)) {
        Key k = describe_key(g);
        if (g == "\xEE\x80\x80") {  // U+E000, the null key
            release_held();
        } else if (k.modifier) {
            auto it = std::find(held.begin(), held.end(), g);
            if (it != held.end()) {
                key(Action::Kind::KeyUp, g);
                held.erase(it);
            } else {
                key(Action::Kind::KeyDown, g);
                held.push_back(g);
            }
        } else {
            key(Action::Kind::KeyDown, g);
            key(Action::Kind::KeyUp, g);
        }
    }
    release_held();
    auto run = std::make_shared<Run>(std::move(ticks), *state, page, sink, [state, done = std::move(done)](auto f) {
        done(std::move(f));
    });
    run->next();
}

void click_at(Point at, Sink &sink, Finish done) {
    struct Chain : std::enable_shared_from_this<Chain> {
        std::vector<Event> events;
        std::size_t i = 0;
        Sink &sink;
        Finish done;
        Chain(Sink &s, Finish d) : sink(s), done(std::move(d)) {}
        void next() {
            if (i >= events.size()) return sink.flush(std::move(done));
            auto self = shared_from_this();
            sink.deliver(events[i++], [self](std::optional<Failure> f) {
                if (f) return self->done(std::move(f));
                self->next();
            });
        }
    };
    auto chain = std::make_shared<Chain>(sink, std::move(done));
    Event move, down, up;
    move.kind = Event::Kind::Move;
    down.kind = Event::Kind::Down;
    up.kind = Event::Kind::Up;
    for (Event *e : {&move, &down, &up}) {
        e->x = at.first;
        e->y = at.second;
    }
    down.buttons = 1;
    down.clicks = up.clicks = 1;
    chain->events = {move, down, up};
    chain->next();
}

}  // namespace pk::input
