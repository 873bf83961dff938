// The input commands of a session: Element Click, Element Clear, Element Send Keys, Perform Actions
// and Release Actions. What must be read or decided inside the page (scrolling into view, the
// in-view centre point, what covers an element, whether it can be typed into, an <option>'s
// selection, clearing) runs there as a short script on the element; the input itself is delivered
// by the engine's sink as the user's own.
#include "input.hpp"
#include "page_library.hpp"
#include "webdriver.hpp"

#include <chrono>
#include <filesystem>

namespace pk::wd {

namespace in = pk::input;

namespace {

// ---- the scripts run on the element (in the session's browsing context) ----------------------------
// Each answers {"error": [code, message]} or its result. `where(el)` is the element's in-view centre
// point in the top-level view's CSS pixels (the frames' offsets added), or the failure: not in view
// ("element not interactable") or covered by another element ("element click intercepted").
constexpr const char *kWhere = R"JS(
function describe(e) {
  var s = '<' + e.localName;
  if (e.id) s += ' id="' + e.id + '"';
  if (typeof e.className === 'string' && e.className) s += ' class="' + e.className + '"';
  return s + '>';
}
function where(el, check) {
  var win = el.ownerDocument.defaultView, rects = el.getClientRects();
  if (!el.isConnected || !rects.length) return {error: ['element not interactable', 'the element has no size and location on the page']};
  var r = rects[0], vw = win.innerWidth, vh = win.innerHeight;
  var left = Math.max(0, Math.min(r.left, r.right)), right = Math.min(vw, Math.max(r.left, r.right));
  var top = Math.max(0, Math.min(r.top, r.bottom)), bottom = Math.min(vh, Math.max(r.top, r.bottom));
  if (left >= right || top >= bottom) return {error: ['element not interactable', 'the element is not in view']};
  var x = Math.floor((left + right) / 2), y = Math.floor((top + bottom) / 2);
  if (check) {
    var root = el.getRootNode(), at = (root.elementsFromPoint ? root : el.ownerDocument).elementsFromPoint(x, y);
    var own = function (n) { for (; n; n = n.parentNode || n.host) if (n === el) return true; return false; };
    var i = 0;
    while (i < at.length && !own(at[i])) i++;
    if (i === at.length) return {error: ['element not interactable', 'the element ' + describe(el) + ' cannot be reached at its centre point (' + x + ', ' + y + ')']};
    if (i > 0) return {error: ['element click intercepted', 'Element ' + describe(el) + ' is not clickable at point (' + x + ', ' + y + '). Other element would receive the click: ' + describe(at[0])]};
  }
  for (var w = win; w !== w.parent; w = w.parent) {
    var fe = w.frameElement;
    if (!fe) break;
    var fr = fe.getBoundingClientRect();
    x += fr.left + fe.clientLeft; y += fr.top + fe.clientTop;
  }
  return {x: x, y: y};
}
)JS";

// Element Click: a file input is refused; an <option> is selected here; anything else is scrolled
// into view and its centre point answered for the pointer.
constexpr const char *kClick = R"JS(
var el = arguments[0], tag = el.localName;
if (tag === 'input' && String(el.type).toLowerCase() === 'file')
  return {error: ['invalid argument', 'a file input is given its files with Element Send Keys']};
var container = el;
if (tag === 'option') { var list = el.closest('select,datalist'); if (list) container = list; }
container.scrollIntoView({block: 'end', inline: 'nearest'});
var at = where(container, true);
if (!at.error && container === el) {
  // what a click here goes on to do by default: follow a link, submit a form
  var t = el.closest('a[href],area[href],button,input');
  at.follows = !!t && (t.localName === 'a' || t.localName === 'area' ||
      (!!t.form && /^(submit|image)$/i.test(t.type || (t.localName === 'button' ? 'submit' : ''))));
}
if (at.error || container === el) return at;
var sel = container, fire = function (t, n) { t.dispatchEvent(new MouseEvent(n, {bubbles: true, cancelable: true, view: t.ownerDocument.defaultView})); };
fire(el, 'mouseover'); fire(el, 'mousemove'); fire(el, 'mousedown');
if (sel.ownerDocument.activeElement !== sel) sel.focus();
if (!el.disabled && !sel.disabled) {
  var before = el.selected;
  if (sel.multiple) el.selected = !el.selected; else el.selected = true;
  if (el.selected !== before) {
    sel.dispatchEvent(new Event('input', {bubbles: true, composed: true}));
    sel.dispatchEvent(new Event('change', {bubbles: true}));
  }
}
fire(el, 'mouseup'); fire(el, 'click');
return {done: true};
)JS";

// Element Clear: a mutable form control (an enabled text-like, number, date, range, colour or file
// input, or textarea, not read-only where read-only applies) is cleared as a resettable element, an
// editing host's content is emptied; anything else is invalid element state. A control already
// empty and valid is left alone (no focus, no events); else it is focused, emptied with input and
// change (the value sanitised as the type says: a range to its midpoint, a colour to black) and
// blurred.
constexpr const char *kClear = R"JS(
var el = arguments[0], tag = el.localName, type = String(el.type || '').toLowerCase();
var TEXTUAL = ['text', 'search', 'url', 'tel', 'email', 'password', 'date', 'month', 'week', 'time',
               'datetime-local', 'number'];
var control = tag === 'textarea' || (tag === 'input' && (TEXTUAL.indexOf(type) >= 0 || ['range', 'color', 'file'].indexOf(type) >= 0));
var readOnly = (tag === 'textarea' || TEXTUAL.indexOf(type) >= 0) && el.readOnly;
var mutable = control && !el.matches(':disabled') && !readOnly;
var ce = !control && !!el.isContentEditable;
if (!mutable && !ce) return {error: ['invalid element state', 'the element ' + describe(el) + ' is not editable' + (control ? ' (disabled or read-only)' : '')]};
el.scrollIntoView({block: 'end', inline: 'nearest'});
var at = where(el, false);
if (at.error) return at;
if (ce) {
  if (el.innerHTML === '') return {done: true};
  el.focus(); el.innerHTML = ''; el.blur();
  return {done: true};
}
var empty = type === 'file' ? !el.files || !el.files.length : el.value === '';
if (empty && (!el.willValidate || el.validity.valid)) return {done: true};
el.focus();
el.value = '';
el.dispatchEvent(new Event('input', {bubbles: true, composed: true}));
el.dispatchEvent(new Event('change', {bubbles: true}));
el.blur();
return {done: true};
)JS";

// Element Send Keys: a file input answers what it accepts; anything else must be interactable
// by the keyboard, gets the focus (the caret at its end) and is typed into.
constexpr const char *kSendKeys = R"JS(
var el = arguments[0], strict = arguments[1], tag = el.localName, doc = el.ownerDocument;
if (tag === 'input' && String(el.type).toLowerCase() === 'file') {
  if (strict) {
    el.scrollIntoView({block: 'end', inline: 'nearest'});
    var at = where(el, false);
    if (at.error) return at;
    if (el.disabled) return {error: ['element not interactable', 'the file input is disabled']};
  }
  // From now on the element notes the names of the files it holds at each input or change event:
  // the files given are known to have arrived even when the page empties the input at once.
  var slot = Object.getOwnPropertyDescriptor(el, '__pkwd_files');
  if (!slot) {
    slot = {value: {v: null}};
    Object.defineProperty(el, '__pkwd_files', slot);
    var note = function () { slot.value.v = Array.prototype.map.call(el.files || [], function (f) { return f.name; }); };
    el.addEventListener('input', note, true);
    el.addEventListener('change', note, true);
  }
  slot.value.v = null;
  return {file: true, multiple: !!el.multiple};
}
if (el.disabled) return {error: ['element not interactable', 'the element ' + describe(el) + ' is disabled']};
el.scrollIntoView({block: 'end', inline: 'nearest'});
var at = where(el, false);
if (at.error) return {error: ['element not interactable', 'the element ' + describe(el) + ' is not reachable by keyboard']};
if (doc.activeElement !== el) {
  el.focus();
  if (doc.activeElement !== el && !el.contains(doc.activeElement))
    return {error: ['element not interactable', 'the element ' + describe(el) + ' cannot have the keyboard focus']};
  var len = typeof el.value === 'string' ? el.value.length : 0;
  try { if (typeof el.setSelectionRange === 'function') el.setSelectionRange(len, len); } catch (e) {}
  if (el.isContentEditable) {
    var range = doc.createRange(); range.selectNodeContents(el); range.collapse(false);
    var s = doc.defaultView.getSelection(); s.removeAllRanges(); s.addRange(range);
  }
}
return {keys: true};
)JS";

// An element's centre point for a pointer move or scroll (no scrolling, no hit test).
constexpr const char *kCentre = "return where(arguments[0], false);";

// A file input's files: the names it holds now and those it held at its last input or change event
// since Element Send Keys began (null: none came).
constexpr const char *kFilesHeld = R"JS(
var el = arguments[0], slot = Object.getOwnPropertyDescriptor(el, '__pkwd_files');
return {held: Array.prototype.map.call(el.files || [], function (f) { return f.name; }), heard: slot ? slot.value.v : null};
)JS";
constexpr const char *kOpenChooser = "arguments[0].click(); return {done: true};";

bool has(nb::handle v, const char *key) { return PyDict_Check(v.ptr()) && PyDict_GetItemString(v.ptr(), key); }

nb::dict element_ref(const std::string &ref) {
    nb::dict d;
    d[kElementKey] = nb::str(ref.c_str(), ref.size());
    return d;
}

// The per-session input: its state, the engine's sink for the view it was made for.
struct InputSession {
    std::string session;
    in::InputState state;
    std::unique_ptr<in::Sink> sink;
    nb::object view;
    // The GTK engine's file chooser: the files the next chooser is given, and who waits for it.
    nb::object chooser_files;  // list of str, or None
    std::function<void(bool)> chooser_done;
    bool chooser_connected = false;
};

InputSession &input_of(Driver &d) {
    auto *held = static_cast<InputSession *>(d.input.get());
    const std::string id = d.session() ? d.session()->id : std::string();
    if (!held || held->session != id) {
        auto fresh = std::make_shared<InputSession>();
        fresh->session = id;
        d.input = fresh;
        held = fresh.get();
    }
    return *held;
}

bool is_webkit_view(nb::handle v) { return nb::hasattr(v, "evaluate_javascript") && nb::hasattr(v, "get_window"); }

in::Sink *sink_of(Driver &d, InputSession &is) {
    nb::object v = d.engine().view();
    if (v.is_none()) return nullptr;
    if (!is.sink || !is.view.is(v)) {
        is.view = v;
        Engine &en = d.engine();
        is.sink = is_webkit_view(v) ? in::gtk_sink(v, [&en](nb::str script, std::function<void(nb::object)> done) {
            en.world_script(std::move(script), false, std::move(done));
        }) : in::webview2_sink(v);
    }
    return is.sink.get();
}

// A point of the session's browsing context as a point of the view, `origin` being where that
// context starts in it (Driver::frame_origin); nullopt when it falls outside the view.
std::optional<in::Point> in_view(nb::handle origin, double x, double y) {
    in::Point p{x + nb::cast<double>(origin["x"]), y + nb::cast<double>(origin["y"])};
    if (has(origin, "width") && (p.first < 0 || p.second < 0 || p.first >= nb::cast<double>(origin["width"]) ||
                                 p.second >= nb::cast<double>(origin["height"])))
        return std::nullopt;
    return p;
}

// The page as the actions need it: the top-level viewport's size, an element's centre point.
class SessionPage final : public in::Page {
public:
    explicit SessionPage(Driver &d) : d_(d) {}
    void viewport(std::function<void(std::optional<in::Failure>, in::Point)> done) override {
        d_.engine().script(nb::str("[window.innerWidth, window.innerHeight]"), [done](nb::object a) {
            // (the page's script can make the two anything: they are checked, not cast)
            nb::object v = PyDict_Check(a.ptr()) && pk::truthy(a.attr("get")("ok")) ? nb::object(a["value"]) : nb::none();
            if (!PyList_Check(v.ptr()) || PyList_GET_SIZE(v.ptr()) != 2 || !is_number(v[0]) || !is_number(v[1]))
                return done(in::Failure{"unknown error", "the viewport's size could not be read"}, {});
            done(std::nullopt, {nb::cast<double>(v[0]), nb::cast<double>(v[1])});
        });
    }
    void centre(nb::handle element, std::function<void(std::optional<in::Failure>, in::Point)> done) override {
        Driver &d = d_;
        nb::object ref = element_ref(nb::cast<std::string>(element));
        d.frame_origin([&d, ref, done](std::optional<Answer> err, nb::object origin) {
            if (err) return done(failure_of(*err), {});
            run_on(d, kCentre, nb::make_tuple(ref), [done, origin](std::optional<Answer> err, nb::object v) {
                if (err) return done(failure_of(*err), {});
                // Not in view: the pointer cannot get there.
                if (has(v, "error")) return done(in::Failure{"move target out of bounds", nb::cast<std::string>(v["error"][1])}, {});
                auto at = in_view(origin, nb::cast<double>(v["x"]), nb::cast<double>(v["y"]));
                if (!at) return done(in::Failure{"move target out of bounds", "the element's frame is not in view"}, {});
                done(std::nullopt, *at);
            });
        });
    }
    void later(double seconds, std::function<void()> fn) override { d_.engine().later(seconds, std::move(fn)); }

    // Runs `body` (with kWhere's helpers) on `args` in the session's browsing context.
    static void run_on(Driver &d, const char *body, nb::handle args,
                       std::function<void(std::optional<Answer>, nb::object)> done) {
        nb::dict a;
        std::string script = std::string(kWhere) + body;
        a["script"] = nb::str(script.c_str(), script.size());
        a["args"] = nb::list(args);
        // (The continuation guards itself: page_op needs no command to answer for it.)
        d.page_op("execute", a, [done](std::optional<Answer> err, nb::object v) {
            if (err) return done(err, nb::none());
            // The execute operation answers {"v": the script's value}.
            if (PyDict_Check(v.ptr()) && PyDict_Size(v.ptr()) == 1 && has(v, "v")) v = nb::borrow(v["v"]);
            if (!PyDict_Check(v.ptr())) return done(failure("unknown error", "the page answered nothing usable"), nb::none());
            answer_failures([done](Answer a) { done(std::move(a), nb::none()); }, [&] { done(std::nullopt, v); });
        }, nullptr);
    }
    static in::Failure failure_of(const Answer &a) {
        nb::object v = a.body["value"];
        return {nb::cast<std::string>(v["error"]), nb::cast<std::string>(v["message"])};
    }

private:
    Driver &d_;
};

Answer answer_of(std::optional<in::Failure> f) {
    return f ? failure(f->code, f->message) : success(nb::none());
}

// Runs `work` on the UI thread with the session's input, a dialog handled first; what it raises is
// answered as answer_failures says.
template <class F> void on_ui(Driver &d, Reply reply, F work) {
    bool posted = d.engine().post([&d, reply, work]() mutable {
        answer_failures(reply, [&] {
            if (!d.engine().ready()) return reply(failure("no such window", "the window has no browser view yet"));
            Answer prompt;
            if (d.handle_prompt(prompt)) return reply(prompt);
            InputSession &is = input_of(d);
            in::Sink *sink = sink_of(d, is);
            if (!sink) return reply(failure("no such window", "the window has no browser view yet"));
            // The session's input (and its sink) outlives every continuation of the command, which
            // all hold the reply, even when the session ends meanwhile.
            work(is, *sink, Reply([reply, keep = d.input](Answer a) { reply(std::move(a)); }));
        });
    });
    if (!posted) reply(failure("no such window", "the window has closed"));
}

// After a click: when it started a navigation, the answer waits for it as the page-load strategy
// says (up to the page-load time-out); otherwise it comes at once.
void after_click(Driver &d, in::Sink &sink, Reply reply, std::shared_ptr<bool> loaded, long asked, bool follows,
                 int looks = 0) {  // looks: how many times the engine was looked at after the click
    // The page has handled the click: a navigation it asked for at once is known (the engine hears
    // of it before the page's answer that the click was handled). A click on a link or a submit
    // button (`follows`) may ask a moment later: it is given up to a second for that.
    Session *s = d.session();
    if (!s || s->load == LoadStrategy::None) return reply(success(nb::none()));
    const bool asked_now = sink.navigation_requests() != asked;
    if (!*loaded && !d.engine().loading()) {
        if ((!follows && !asked_now) || looks > 100) return reply(success(nb::none()));
        return d.engine().later(0.01, [&d, &sink, reply, loaded, asked, follows, looks] {
            after_click(d, sink, reply, loaded, asked, follows, looks + 1);
        });
    }
    auto answered = std::make_shared<bool>(false);
    auto finish = [answered, reply](Answer a) {
        if (*answered) return;
        *answered = true;
        reply(a);
    };
    if (s->timeouts.page_load >= 0)
        d.engine().later(static_cast<double>(s->timeouts.page_load) / 1000.0,
                         [finish] { finish(failure("timeout", "the page did not load within the page-load time-out")); });
    // The wait armed before the click ends with the navigation; the engine's loading state covers
    // one that ended without the tracker's word.
    auto step = std::make_shared<std::function<void()>>();
    *step = [&d, finish, loaded, answered, weak = std::weak_ptr<std::function<void()>>(step)] {
        if (*answered) return;
        if (*loaded || !d.engine().loading()) return finish(success(nb::none()));
        if (auto again = weak.lock()) d.engine().later(0.02, [again] { (*again)(); });
    };
    d.engine().later(0.02, [step] { (*step)(); });
}

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Answers once the file input holds the files named `names` (their base names, in order), or
// heard them arrive: an input that has not got them within a few seconds (the engine gave them to
// another input, the page refused them) fails instead of passing for one that has.
void wait_for_files(Driver &d, const std::string &ref, nb::list names, Reply reply, double until) {
    SessionPage::run_on(d, kFilesHeld, nb::make_tuple(element_ref(ref)), [&d, ref, names, reply, until](std::optional<Answer> err, nb::object v) {
        if (err) return reply(*err);
        if (v["held"].equal(names) || v["heard"].equal(names)) return reply(success(nb::none()));
        if (steady_seconds() >= until)
            return reply(failure("unknown error", "the file input did not receive the files: its page did not take them"));
        d.engine().later(0.02, [&d, ref, names, reply, until] { wait_for_files(d, ref, names, reply, until); });
    });
}

// The base names of local files, as a file input's File objects name them.
nb::list base_names(nb::list files) {
    nb::list names;
    for (nb::handle f : files) {
        const std::string path = nb::cast<std::string>(f);
        const std::u8string name = std::filesystem::path(std::u8string(path.begin(), path.end())).filename().u8string();
        names.append(nb::str(reinterpret_cast<const char *>(name.data()), name.size()));
    }
    return names;
}
constexpr double kFilesArrive = 5.0;  // seconds a file input is given to receive its files

// An engine that gives a file input its files itself (WebView2): the element as the value of a
// script of the document the session's scripts run in (the top one, or the innermost frame of
// another origin on its path), the held page library's answer in the session's browsing context.
void give_files(Driver &d, in::Sink &sink, const std::string &ref, nb::list files, Reply reply) {
    Session *s = d.session();
    if (!s) return reply(failure("invalid session id", "the session has ended"));
    nb::dict args;
    args["el"] = nb::str(ref.c_str(), ref.size());
    std::string expression = "(function () { var r = " + nb::cast<std::string>(command_script("node", args, s->local(), false)) +
                             "; if (!r || !r.v) throw new Error(r && r.m || 'the element is not in the page'); return r.v; })()";
    nb::list names = base_names(files);
    sink.set_files(nb::str(expression.c_str(), expression.size()), !s->remote().is_none(), files, [&d, ref, names, reply](std::optional<in::Failure> f) {
        if (f) return reply(answer_of(f));
        // The answer waits until the page has them (the change is the page's to handle).
        wait_for_files(d, ref, names, reply, steady_seconds() + kFilesArrive);
    });
}

// The GTK engine's file chooser, answered with the files Element Send Keys named.
void choose_files(Driver &d, InputSession &is, const std::string &ref, nb::list files, Reply reply) {
    if (!is_webkit_view(is.view))
        return reply(failure("unsupported operation", "this engine does not take files for a file input"));
    if (!is.chooser_connected) {
        InputSession *held = &is;
        std::weak_ptr<void> alive = d.input;
        is.view.attr("connect")("run-file-chooser", nb::cpp_function([held, alive](nb::handle, nb::handle request) {
            if (alive.expired() || held->chooser_files.is_none() || !held->chooser_files.is_valid()) return false;
            request.attr("select_files")(held->chooser_files);
            held->chooser_files = nb::none();
            if (auto done = std::move(held->chooser_done)) done(true);
            return true;
        }));
        is.chooser_connected = true;
    }
    is.chooser_files = files;
    auto answered = std::make_shared<bool>(false);
    nb::list names = base_names(files);
    is.chooser_done = [&d, ref, names, reply, answered](bool ok) {
        if (*answered) return;
        *answered = true;
        if (!ok) return reply(failure("unknown error", "the page did not ask for the files"));
        // The answer waits until the page has the files (the engine hands them over on its own time).
        wait_for_files(d, ref, names, reply, steady_seconds() + kFilesArrive);
    };
    SessionPage::run_on(d, kOpenChooser, nb::make_tuple(element_ref(ref)), [&d, &is, reply, answered](std::optional<Answer> err, nb::object) {
        if (err && !*answered) {
            *answered = true;
            is.chooser_files = nb::none();
            return reply(*err);
        }
        d.engine().later(5.0, [&is, answered] {
            if (*answered) return;
            is.chooser_files = nb::none();
            if (auto done = std::move(is.chooser_done)) done(false);
        });
    });
}

std::optional<Answer> element_click(Driver &d, const std::string &ref, Reply reply) {
    on_ui(d, reply, [&d, ref](InputSession &, in::Sink &sink, Reply reply) {
        d.frame_origin([&d, &sink, ref, reply](std::optional<Answer> err, nb::object origin) {
            if (err) return reply(*err);
            SessionPage::run_on(d, kClick, nb::make_tuple(element_ref(ref)), [&d, &sink, reply, origin](std::optional<Answer> err, nb::object v) {
                if (err) return reply(*err);
                if (has(v, "error")) return reply(failure(nb::cast<std::string>(v["error"][0]), nb::cast<std::string>(v["error"][1])));
                if (has(v, "done")) return reply(success(nb::none()));
                auto at = in_view(origin, nb::cast<double>(v["x"]), nb::cast<double>(v["y"]));
                if (!at) return reply(failure("element not interactable", "the element's frame is not in view"));
                auto loaded = std::make_shared<bool>(false);
                Session *s = d.session();
                if (s && s->load != LoadStrategy::None) d.engine().arm_load([loaded] { *loaded = true; });
                const long asked = sink.navigation_requests();
                const bool follows = pk::truthy(v.attr("get")("follows", false));
                in::click_at(*at, sink, [&d, &sink, reply, loaded, asked, follows](std::optional<in::Failure> f) {
                    if (f) return reply(answer_of(f));
                    after_click(d, sink, reply, loaded, asked, follows);
                });
            });
        }, reply);
    });
    return std::nullopt;
}

std::optional<Answer> element_clear(Driver &d, const std::string &ref, Reply reply) {
    on_ui(d, reply, [&d, ref](InputSession &, in::Sink &, Reply reply) {
        SessionPage::run_on(d, kClear, nb::make_tuple(element_ref(ref)), [reply](std::optional<Answer> err, nb::object v) {
            if (err) return reply(*err);
            if (has(v, "error")) return reply(failure(nb::cast<std::string>(v["error"][0]), nb::cast<std::string>(v["error"][1])));
            reply(success(nb::none()));
        });
    });
    return std::nullopt;
}

std::optional<Answer> element_send_keys(Driver &d, const std::string &ref, nb::dict body, Reply reply) {
    nb::object text = body.contains("text") ? nb::object(body["text"]) : nb::object(nb::none());
    if (!PyUnicode_Check(text.ptr())) return failure("invalid argument", "text must be a string");
    std::string typed = nb::cast<std::string>(text);
    bool strict = d.session() && d.session()->strict_files;
    on_ui(d, reply, [&d, ref, typed, strict](InputSession &is, in::Sink &sink, Reply reply) {
        SessionPage::run_on(d, kSendKeys, nb::make_tuple(element_ref(ref), strict),
                            [&d, &is, &sink, ref, typed, reply](std::optional<Answer> err, nb::object v) {
            if (err) return reply(*err);
            if (has(v, "error")) return reply(failure(nb::cast<std::string>(v["error"][0]), nb::cast<std::string>(v["error"][1])));
            if (has(v, "file")) {
                // One local file per line: each must exist; several only for a `multiple` input.
                nb::list files;
                std::size_t start = 0;
                while (start <= typed.size()) {
                    std::size_t end = typed.find('\n', start);
                    if (end == std::string::npos) end = typed.size();
                    std::string path = typed.substr(start, end - start);
                    std::error_code ec;
                    const std::u8string u8(path.begin(), path.end());
                    if (path.empty() || !std::filesystem::is_regular_file(std::filesystem::path(u8), ec))
                        return reply(failure("invalid argument", "no such file: " + path));
                    files.append(nb::str(path.c_str(), path.size()));
                    start = end + 1;
                }
                if (nb::len(files) > 1 && !pk::truthy(v["multiple"]))
                    return reply(failure("invalid argument", "the file input takes one file"));
                if (!is_webkit_view(is.view)) return give_files(d, sink, ref, files, reply);
                return choose_files(d, is, ref, files, reply);
            }
            auto held = std::make_shared<SessionPage>(d);
            in::type_text(typed, *held, sink, [reply, held](std::optional<in::Failure> f) { reply(answer_of(f)); });
        });
    });
    return std::nullopt;
}

std::optional<Answer> perform_actions(Driver &d, nb::dict body, Reply reply) {
    nb::object actions = body.contains("actions") ? nb::object(body["actions"]) : nb::object();
    // Checked before anything runs: a bad body changes nothing.
    on_ui(d, reply, [&d, actions](InputSession &is, in::Sink &sink, Reply reply) {
        auto parsed = in::parse_actions(actions, is.state);
        if (auto *f = std::get_if<in::Failure>(&parsed)) return reply(failure(f->code, f->message));
        auto page = std::make_shared<SessionPage>(d);
        in::perform(std::move(std::get<std::vector<in::Tick>>(parsed)), is.state, *page, sink,
                    [reply, page](std::optional<in::Failure> f) { reply(answer_of(f)); });
    });
    return std::nullopt;
}

std::optional<Answer> release_actions(Driver &d, Reply reply) {
    on_ui(d, reply, [&d](InputSession &is, in::Sink &sink, Reply reply) {
        auto page = std::make_shared<SessionPage>(d);
        in::release(is.state, *page, sink, [reply, page](std::optional<in::Failure> f) { reply(answer_of(f)); });
    });
    return std::nullopt;
}

}  // namespace

std::optional<Answer> input_command(InputCommand which, Driver &d, const std::vector<std::string> &vars, nb::dict body,
                                    Reply reply) {
    switch (which) {
    case InputCommand::Click: return element_click(d, vars.at(0), std::move(reply));
    case InputCommand::Clear: return element_clear(d, vars.at(0), std::move(reply));
    case InputCommand::SendKeys: return element_send_keys(d, vars.at(0), body, std::move(reply));
    case InputCommand::Perform: return perform_actions(d, body, std::move(reply));
    case InputCommand::Release: return release_actions(d, std::move(reply));
    }
    return failure("unknown command", "no such input command");
}

void input_session_end(Driver &d) {
    auto *held = static_cast<InputSession *>(d.input.get());
    if (!held || (held->state.cancel.empty())) {
        d.input.reset();
        return;
    }
    // What the session holds is released on the UI thread; the input goes with it.
    std::shared_ptr<void> keep = d.input;
    d.input.reset();
    d.engine().post([&d, keep] {
        auto *is = static_cast<InputSession *>(keep.get());
        if (!is->sink) return;
        auto page = std::make_shared<SessionPage>(d);
        in::release(is->state, *page, *is->sink, [keep, page](std::optional<in::Failure>) {});
    });
}

}  // namespace pk::wd
