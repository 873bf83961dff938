// Input on WebView2: the DevTools protocol's Input domain through
// CoreWebView2.CallDevToolsProtocolMethodAsync(methodName, parametersAsJson), which answers a
// Task<string> once the browser has run the method. Input.dispatchMouseEvent and
// Input.dispatchKeyEvent deliver events the page sees as the user's own, to this view only (the
// system's pointer and keyboard focus are not touched); Input.insertText types what no key of the
// keyboard makes, as the page sees a composition's text.
//
// A file input is given its files by DOM.setFileInputFiles, which takes the element as a
// Runtime.evaluate result's objectId (a remote object of the group "panekit", released after).
#include "input.hpp"

namespace pk::input {

namespace {

// Windows virtual-key codes by the key's code.
struct VirtualKey {
    const char *code;
    int vk;
};
constexpr VirtualKey kVirtualKeys[] = {
    {"Backspace", 8},     {"Tab", 9},            {"Enter", 13},        {"NumpadEnter", 13},   {"ShiftLeft", 16},
    {"ShiftRight", 16},   {"ControlLeft", 17},   {"ControlRight", 17}, {"AltLeft", 18},       {"AltRight", 18},
    {"Pause", 19},        {"Escape", 27},        {"Space", 32},        {"PageUp", 33},        {"PageDown", 34},
    {"End", 35},          {"Home", 36},          {"ArrowLeft", 37},    {"ArrowUp", 38},       {"ArrowRight", 39},
    {"ArrowDown", 40},    {"Insert", 45},        {"Delete", 46},       {"Help", 47},          {"MetaLeft", 91},
    {"MetaRight", 92},    {"Numpad0", 96},       {"Numpad1", 97},      {"Numpad2", 98},       {"Numpad3", 99},
    {"Numpad4", 100},     {"Numpad5", 101},      {"Numpad6", 102},     {"Numpad7", 103},      {"Numpad8", 104},
    {"Numpad9", 105},     {"NumpadMultiply", 106}, {"NumpadAdd", 107}, {"NumpadComma", 108},  {"NumpadSubtract", 109},
    {"NumpadDecimal", 110}, {"NumpadDivide", 111}, {"F1", 112}, {"F2", 113}, {"F3", 114}, {"F4", 115},
    {"F5", 116}, {"F6", 117}, {"F7", 118}, {"F8", 119}, {"F9", 120}, {"F10", 121}, {"F11", 122}, {"F12", 123},
    {"Semicolon", 186},   {"Equal", 187},        {"Comma", 188},       {"Minus", 189},        {"Period", 190},
    {"Slash", 191},       {"Backquote", 192},    {"BracketLeft", 219}, {"Backslash", 220},    {"BracketRight", 221},
    {"Quote", 222},
};

int virtual_key(const Key &k) {
    if (k.code.size() == 4 && k.code.rfind("Key", 0) == 0) return k.code[3];                 // KeyA -> 'A'
    if (k.code.size() == 6 && k.code.rfind("Digit", 0) == 0) return k.code[5];               // Digit1 -> '1'
    for (const VirtualKey &v : kVirtualKeys)
        if (k.code == v.code) return v.vk;
    return 0;
}

// The protocol's button names and its `buttons` bits (left 1, right 2, middle 4, back 8, forward 16).
const char *button_name(int b) {
    switch (b) {
    case 0: return "left";
    case 1: return "middle";
    case 2: return "right";
    case 3: return "back";
    case 4: return "forward";
    default: return "none";
    }
}
int buttons_mask(unsigned held) {
    constexpr int bits[] = {1, 4, 2, 8, 16};
    int m = 0;
    for (int i = 0; i < 5; ++i)
        if (held & (1u << i)) m |= bits[i];
    return m;
}

class DevToolsSink final : public Sink {
public:
    explicit DevToolsSink(nb::handle core) : core_(nb::borrow(core)) {}

    void deliver(const Event &e, Delivered done) override {
        nb::dict p;
        const char *method = "Input.dispatchMouseEvent";
        switch (e.kind) {
        case Event::Kind::Move:
        case Event::Kind::Down:
        case Event::Kind::Up:
            p["type"] = e.kind == Event::Kind::Move ? "mouseMoved" : e.kind == Event::Kind::Down ? "mousePressed" : "mouseReleased";
            p["x"] = e.x;
            p["y"] = e.y;
            p["modifiers"] = e.modifiers;
            p["button"] = e.kind == Event::Kind::Move ? "none" : button_name(e.button);
            p["buttons"] = buttons_mask(e.buttons);
            if (e.kind != Event::Kind::Move) p["clickCount"] = e.clicks;
            break;
        case Event::Kind::Wheel:
            p["type"] = "mouseWheel";
            p["x"] = e.x;
            p["y"] = e.y;
            p["deltaX"] = e.dx;
            p["deltaY"] = e.dy;
            p["modifiers"] = e.modifiers;
            break;
        case Event::Kind::KeyDown:
        case Event::Kind::KeyUp: {
            // A character no key of the keyboard makes (no code) is inserted as text; its release
            // has nothing to release.
            if (e.key.code.empty() && !e.key.modifier && e.key.key.size() > 0 && e.key.key != "Unidentified") {
                if (e.kind == Event::Kind::KeyUp || e.text.empty()) return done(std::nullopt);
                method = "Input.insertText";
                p["text"] = nb::str(e.text.c_str(), e.text.size());
                break;
            }
            method = "Input.dispatchKeyEvent";
            bool types = e.kind == Event::Kind::KeyDown && !e.text.empty();
            p["type"] = e.kind == Event::Kind::KeyUp ? "keyUp" : types ? "keyDown" : "rawKeyDown";
            p["key"] = nb::str(e.key.key.c_str(), e.key.key.size());
            p["code"] = nb::str(e.key.code.c_str(), e.key.code.size());
            p["windowsVirtualKeyCode"] = virtual_key(e.key);
            p["location"] = e.key.location;
            p["modifiers"] = e.modifiers;
            if (types) {
                p["text"] = nb::str(e.text.c_str(), e.text.size());
                p["unmodifiedText"] = nb::str(e.text.c_str(), e.text.size());
            }
            break;
        }
        case Event::Kind::Text:
            method = "Input.insertText";
            p["text"] = nb::str(e.text.c_str(), e.text.size());
            break;
        }
        call(core_, "", method, p, [done](std::optional<Failure> f, nb::object) { done(std::move(f)); });
    }

    void set_files(nb::str element, bool in_frame, nb::list paths, Delivered done) override {
        // (The continuations hold the core, not this sink, which a new view replaces.)
        nb::object core = core_;
        if (!in_frame) return give(core, "", element, paths, nullptr, done);
        // A frame of another origin is a DevTools target of its own: each iframe target is
        // attached in turn (flat sessions, the only kind WebView2 answers) until the one whose
        // document holds the element is found.
        call(core, "", "Target.getTargets", nb::dict(), [core, element, paths, done](std::optional<Failure> f, nb::object answer) {
            if (f) return done(std::move(f));
            auto targets = std::make_shared<std::vector<std::string>>();
            for (nb::handle t : answer.attr("get")("targetInfos", nb::list()))
                if (nb::str("iframe").equal(t.attr("get")("type")) && PyUnicode_Check(nb::object(t.attr("get")("targetId")).ptr()))
                    targets->push_back(nb::cast<std::string>(t["targetId"]));
            in_targets(core, targets, 0, element, paths, done);
        });
    }

private:
    using Next = std::function<void()>;

    // Tries the iframe targets from the i-th on.
    static void in_targets(nb::object core, std::shared_ptr<std::vector<std::string>> targets, std::size_t i, nb::str element,
                           nb::list paths, Delivered done) {
        if (i == targets->size())
            return done(Failure{"unsupported operation",
                                "the frame's document is not a DevTools target of its own, so its file input cannot be given files"});
        nb::dict attach;
        attach["targetId"] = nb::str((*targets)[i].c_str(), (*targets)[i].size());
        attach["flatten"] = true;
        Next next = [core, targets, i, element, paths, done] { in_targets(core, targets, i + 1, element, paths, done); };
        call(core, "", "Target.attachToTarget", attach, [core, element, paths, done, next](std::optional<Failure> f, nb::object a) {
            nb::object session = f ? nb::object(nb::none()) : nb::object(a.attr("get")("sessionId"));
            if (!PyUnicode_Check(session.ptr())) return next();  // gone meanwhile
            // The session is let go of whatever comes.
            const std::string id = nb::cast<std::string>(session);
            auto detach = [core, id](std::function<void()> then) {
                nb::dict d;
                d["sessionId"] = nb::str(id.c_str(), id.size());
                call(core, "", "Target.detachFromTarget", d, [then](std::optional<Failure>, nb::object) { then(); });
            };
            give(core, id, element, paths, [detach, next] { detach(next); },
                 [detach, done](std::optional<Failure> outcome) { detach([done, outcome] { done(outcome); }); });
        });
    }

    // Gives the element the files through the target of `session` ("": the top document's). When
    // the element is not found there, `not_here` (if given) is called instead of failing.
    static void give(nb::object core, std::string session, nb::str element, nb::list paths, Next not_here, Delivered done) {
        nb::dict find;
        find["expression"] = element;
        find["objectGroup"] = "panekit";
        call(core, session, "Runtime.evaluate", find, [core, session, paths, not_here, done](std::optional<Failure> f, nb::object answer) {
            if (f) return not_here ? not_here() : done(std::move(f));
            nb::object thrown = answer.attr("get")("exceptionDetails");
            nb::object id = answer.attr("get")("result", nb::dict()).attr("get")("objectId");
            if (!thrown.is_none() || !PyUnicode_Check(id.ptr())) {
                if (not_here) return release(core, session, std::nullopt, [not_here](std::optional<Failure>) { not_here(); });
                nb::object text = thrown.is_none() ? nb::object(nb::str("the element was not found"))
                                                   : nb::object(thrown.attr("get")("exception", nb::dict()).attr("get")(
                                                         "description", thrown.attr("get")("text", "")));
                release(core, session, Failure{"unknown error", nb::cast<std::string>(nb::str(text))}, done);
                return;
            }
            nb::dict give;
            give["files"] = paths;
            give["objectId"] = id;
            call(core, session, "DOM.setFileInputFiles", give, [core, session, done](std::optional<Failure> f, nb::object) {
                release(core, session, std::move(f), done);
            });
        });
    }

    // Lets go of the remote objects of the group, then answers `outcome`.
    static void release(nb::object core, const std::string &session, std::optional<Failure> outcome, Delivered done) {
        nb::dict group;
        group["objectGroup"] = "panekit";
        call(core, session, "Runtime.releaseObjectGroup", group, [outcome, done](std::optional<Failure>, nb::object) { done(outcome); });
    }

    // Calls the DevTools protocol's `method` in the target of `session` ("": the top document's,
    // CallDevToolsProtocolMethodAsync; else CallDevToolsProtocolMethodForSessionAsync); `then`
    // gets the method's return object (a dict) or the failure, on the UI thread.
    static void call(nb::handle core, const std::string &session, const char *method, nb::handle params,
                     std::function<void(std::optional<Failure>, nb::object)> then) {
        nb::object task;
        try {
            nb::object json = import_from("json", "dumps")(params);
            task = session.empty() ? core.attr("CallDevToolsProtocolMethodAsync")(method, json)
                                   : core.attr("CallDevToolsProtocolMethodForSessionAsync")(
                                         nb::str(session.c_str(), session.size()), method, json);
        } catch (nb::python_error &err) {
            if (!is_exception(err)) throw;
            return then(Failure{"unknown error", err.what()}, nb::none());
        }
        // The task's awaiter continues on the UI thread's synchronization context.
        auto holder = std::make_shared<std::function<void(std::optional<Failure>, nb::object)>>(std::move(then));
        nb::object awaiter = task.attr("GetAwaiter")();
        nb::object action = import_from("System", "Action");
        awaiter.attr("OnCompleted")(action(nb::cpp_function([holder, awaiter] {
            std::optional<Failure> f;
            nb::object result = nb::none();
            try {
                nb::object text = awaiter.attr("GetResult")();
                result = PyUnicode_Check(text.ptr()) && nb::len(text) ? import_from("json", "loads")(text) : nb::object(nb::dict());
            } catch (nb::python_error &err) {
                if (!is_exception(err)) throw;
                nb::object msg = attr_or(err.value(), "Message", nb::str(err.value()));
                f = Failure{"unknown error", nb::cast<std::string>(nb::str(msg))};
            }
            auto t = std::move(*holder);
            if (t) t(std::move(f), result);
        })));
    }

    nb::object core_;
};

}  // namespace

std::unique_ptr<Sink> webview2_sink(nb::handle core) { return std::make_unique<DevToolsSink>(core); }

}  // namespace pk::input
