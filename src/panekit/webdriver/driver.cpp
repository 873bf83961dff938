// The protocol's errors, the one session, and the command table with every command's steps.
#include "page_library.hpp"
#include "webdriver.hpp"
#include "helmwire.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <typeinfo>

namespace pk::wd {

std::optional<Answer> check_timeouts(nb::handle v);  // capabilities.cpp

namespace {

pk::Lazy g_loads{"json", "loads"};
pk::Lazy g_dumps{"json", "dumps"};
pk::Lazy g_token_hex{"secrets", "token_hex"};
pk::Lazy g_b64encode{"base64", "b64encode"};

struct ErrorRow {
    const char *code;
    int status;
};
// The protocol's error codes and their HTTP statuses.
constexpr ErrorRow kErrors[] = {
    {"element click intercepted", 400}, {"element not interactable", 400}, {"insecure certificate", 400},
    {"invalid argument", 400},          {"invalid cookie domain", 400},    {"invalid element state", 400},
    {"invalid selector", 400},          {"invalid session id", 404},       {"javascript error", 500},
    {"move target out of bounds", 500}, {"no such alert", 404},            {"no such cookie", 404},
    {"no such element", 404},           {"no such frame", 404},            {"no such window", 404},
    {"no such shadow root", 404},       {"script timeout", 500},           {"session not created", 500},
    {"stale element reference", 404},   {"detached shadow root", 404},     {"timeout", 500},
    {"unable to set cookie", 500},      {"unable to capture screen", 500}, {"unexpected alert open", 500},
    {"unknown command", 404},           {"unknown error", 500},            {"unknown method", 405},
    {"unsupported operation", 500},
};

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

nb::dict obj() { return nb::dict(); }

}  // namespace

int error_status(std::string_view code) {
    for (const ErrorRow &r : kErrors)
        if (code == r.code) return r.status;
    return 500;
}

bool is_error_code(std::string_view code) {
    return std::any_of(std::begin(kErrors), std::end(kErrors), [code](const ErrorRow &r) { return code == r.code; });
}

Answer success(nb::handle value) {
    nb::dict body;
    body["value"] = value;
    return {200, body};
}

Answer failure(std::string_view code, std::string_view message) {
    nb::dict value;
    value["error"] = nb::str(code.data(), code.size());
    value["message"] = nb::str(message.data(), message.size());
    value["stacktrace"] = "";
    nb::dict body;
    body["value"] = value;
    return {error_status(code), body};
}

bool unicode_only(nb::handle v);  // below

namespace {
std::string json_text(nb::handle v) { return nb::cast<std::string>(nb::handle(g_dumps.get())(v)); }
nb::list frame_list(const std::vector<std::string> &frames) {
    nb::list fr;
    for (const std::string &f : frames) fr.append(nb::str(f.c_str()));
    return fr;
}
}  // namespace

nb::str command_script(const char *op, nb::handle args, const std::vector<std::string> &frames, bool library,
                       std::string_view bridge) {
    // Without the library: a call of the one the window object holds already, or {"missing": 1}.
    // The arguments are JSON texts, which are script literals as they stand.
    std::string s = library ? page_library() : std::string(kLibraryHeld);
    s += "()(\"";
    s += op;
    s += "\",";
    s += json_text(args);
    s += ",";
    s += json_text(frame_list(frames));
    if (!bridge.empty()) {
        s += ",\"";
        s += bridge;  // hex digits after a fixed prefix: nothing to escape
        s += "\"";
    }
    s += ")";
    return nb::str(s.c_str(), s.size());
}

double Driver::deadline(long long ms) const { return ms < 0 ? 1e300 : now() + static_cast<double>(ms) / 1000.0; }

// ---- running page operations -----------------------------------------------------------------------

void Driver::page_op(const char *op, nb::handle args, std::function<void(std::optional<Answer>, nb::object)> then,
                     Reply fallback) {
    if (!session_) return run_op(op, args, {}, nb::none(), std::move(then), std::move(fallback));
    run_op(op, args, session_->local(), session_->remote(), std::move(then), std::move(fallback));
}

void Driver::frame_origin(std::function<void(std::optional<Answer>, nb::object)> done, Reply fallback) {
    if (session_ && !session_->remotes.empty())
        return origin_from(0, session_->remotes, session_->frames, nb::dict(), std::move(done), std::move(fallback));
    nb::dict top;
    top["x"] = 0;
    top["y"] = 0;
    done(std::nullopt, top);
}

// Each frame of another origin starts where its element's content box is in the document around
// it (the top one, or the frame of another origin it is entered from: a frame of another origin
// is entered only from one of those, so its element is at the top of that document's path).
void Driver::origin_from(std::size_t k, std::vector<Session::Remote> remotes, std::vector<std::string> frames, nb::dict sum,
                         std::function<void(std::optional<Answer>, nb::object)> done, Reply fallback) {
    if (k == remotes.size()) return done(std::nullopt, sum);
    nb::dict a;
    a["el"] = nb::str(frames[remotes[k].at].c_str());
    nb::object around = k ? remotes[k - 1].frame : nb::object(nb::none());
    run_op("origin", a, {}, around, [this, k, remotes, frames, sum, done, fallback](std::optional<Answer> error, nb::object origin) {
        if (error) return done(std::move(error), nb::none());
        if (k == 0) {  // the view's size comes with the top document's answer
            nb::dict first = nb::borrow<nb::dict>(origin);
            return origin_from(1, remotes, frames, first, done, fallback);
        }
        for (const char *c : {"x", "y"}) sum[c] = nb::cast<double>(sum[c]) + nb::cast<double>(origin[c]);
        origin_from(k + 1, remotes, frames, sum, done, fallback);
    }, fallback);
}

void Driver::run_op(const char *op, nb::handle args, std::vector<std::string> frames, nb::object remote,
                    std::function<void(std::optional<Answer>, nb::object)> then, Reply fallback) {
    // What a step raises answers the command (a value of the page's that is not what the step
    // takes: a wrong type is a failed cast, a missing member a KeyError).
    auto done = [then, fallback](std::optional<Answer> error, nb::object value) {
        if (!fallback) return then(std::move(error), std::move(value));
        answer_failures(fallback, [&] { then(std::move(error), std::move(value)); });
    };
    // In a frame of another origin the scripts run in the engine's frame, over the rest of the path.
    if (!remote.is_none() && !engine_->frame_alive(remote))
        return done(failure("no such frame", "the frame has gone"), nb::none());
    auto run = [this, remote](nb::str source, Done then) {
        if (remote.is_none()) engine_->script(std::move(source), std::move(then));
        else engine_->frame_script(remote, std::move(source), std::move(then));
    };
    // A dialog the page opens meanwhile holds the page's script: the operation then ends (a script
    // with no value, anything else "unexpected alert open") and its late answer is dropped.
    auto answered = std::make_shared<bool>(false);
    auto once = [answered, done](std::optional<Answer> error, nb::object value) {
        if (*answered) return;
        *answered = true;
        done(std::move(error), std::move(value));
    };
    const std::string_view name(op);
    const bool script = name == "script";
    every_tenth(answered, [this, once, runs_script = script || name == "execute" || name == "poll"] {
        if (engine_->dialog().is_none()) return false;
        if (runs_script) {
            nb::dict none;
            none["v"] = nb::none();
            once(std::nullopt, none);
        } else {
            once(failure("unexpected alert open", "a dialog opened while the command ran"), nb::none());
        }
        return true;
    });
    // Reads an answer, any Exception of that answering the operation ("unknown error").
    auto reading = [done = once](nb::object res) {
        answer_failures([done](Answer a) { done(std::move(a), nb::none()); }, [&] { read_answer(res, done); });
    };
    // Whether the answer is the library's absence (a new document): the operation has not run.
    auto missing = [](nb::handle res) {
        if (!PyDict_Check(res.ptr()) || !pk::truthy(res.attr("get")("ok"))) return false;
        nb::object v = res["value"];
        return PyDict_Check(v.ptr()) && PyDict_GetItemString(v.ptr(), "missing") != nullptr;
    };
    if (engine_->own_world() && remote.is_none()) {
        if (bridge_.empty()) bridge_ = "pkwd" + nb::cast<std::string>(nb::handle(g_token_hex.get())(16));
        // The library in WebDriver's own world; Execute Script's scripts in the page's, which the
        // library hands them to (its op "script"), asked for nodes and references over the bridge.
        // A new document has no library yet (its text is sent then) and, for Execute Script, no
        // page half (installed first).
        std::string bridge = bridge_;
        auto whole = [this, reading, missing, op = std::string(op), args = nb::borrow(args), frames, bridge](nb::object) {
            engine_->world_script(command_script(op.c_str(), args, frames, true, bridge), true,
                                  [reading, missing](nb::object again) {
                if (!missing(again)) return reading(again);
                nb::dict failed;
                failed["ok"] = false;
                failed["error"] = "the document does not take the WebDriver library";
                reading(failed);
            });
        };
        engine_->world_script(command_script(op, args, frames, false, bridge), true,
                              [this, reading, missing, whole, script, bridge](nb::object res) {
            if (!missing(res)) return reading(res);
            if (!script) return whole(nb::none());
            engine_->world_script(page_world_source(bridge), false, whole);
        });
        return;
    }
    // The library in the page's world: it is sent only to a window object that does not hold it
    // yet (a new document).
    std::string lib_op = script ? "execute" : op;
    run(command_script(lib_op.c_str(), args, frames, false),
        [run, reading, missing, lib_op, args = nb::borrow(args), frames](nb::object res) {
            if (!missing(res)) return reading(res);
            run(command_script(lib_op.c_str(), args, frames, true), reading);
        });
}

// The page library's answer to one operation, as page_op hands it on.
void Driver::read_answer(nb::handle res, const std::function<void(std::optional<Answer>, nb::object)> &done) {
    {
        if (!PyDict_Check(res.ptr()) || !pk::truthy(res.attr("get")("ok"))) {
            nb::object err = PyDict_Check(res.ptr()) ? nb::object(res.attr("get")("error", "")) : nb::object(nb::str(""));
            return done(failure("javascript error", nb::cast<std::string>(nb::str(err))), nb::none());
        }
        nb::object v = res["value"];
        if (!PyDict_Check(v.ptr())) return done(failure("unknown error", "the page answered nothing usable"), nb::none());
        nb::dict d = nb::borrow<nb::dict>(v);
        if (d.contains("e")) {
            // The library's errors are the protocol's; anything else a page put in its place is not.
            nb::object code = d["e"], message = d.get("m", nb::str(""));
            const std::string text = PyUnicode_Check(message.ptr()) ? nb::cast<std::string>(message) : "";
            if (PyUnicode_Check(code.ptr()) && is_error_code(nb::cast<std::string>(code)))
                return done(failure(nb::cast<std::string>(code), text), nb::none());
            return done(failure("unknown error", "the page answered an error that is none of the protocol's"), nb::none());
        }
        done(std::nullopt, d["v"]);  // for execute and poll: {"v": value} or {"p": token}
    }
}

void Driver::every_tenth(std::shared_ptr<bool> answered, std::function<bool()> tick) {
    watches_.push_back({std::move(answered), std::move(tick)});
    if (!ticking_) tick_later();
}

// One timer for every watch: commands that follow one another close enough share its ticks
// instead of each starting a timer of its own.
void Driver::tick_later() {
    engine_->later(0.1, [this] {
        ticking_ = false;
        std::vector<Watch> due;
        due.swap(watches_);
        for (Watch &w : due) {
            if (*w.answered) continue;
            bool ended = false;
            pk::guarded([&] { ended = w.tick(); });
            if (!ended && !*w.answered) watches_.push_back(std::move(w));
        }
        if (!watches_.empty() && !ticking_) tick_later();
    });
    ticking_ = true;
}

bool Driver::handle_prompt(Answer &out) {
    nb::object dialog = engine_->dialog();
    if (dialog.is_none()) return false;
    const std::string &how = session_ ? session_->prompt : std::string("dismiss and notify");
    if (how == "ignore") {
        out = failure("unexpected alert open", "a dialog is open: " + nb::cast<std::string>(nb::str(dialog["text"])));
        return true;
    }
    const bool accept = how.rfind("accept", 0) == 0;
    nb::object text = dialog["text"];
    engine_->close_dialog(accept, nb::none());
    if (how.find("notify") == std::string::npos) return false;
    out = failure("unexpected alert open", "a dialog was open: " + nb::cast<std::string>(nb::str(text)));
    nb::dict data;
    data["text"] = text;
    nb::borrow<nb::dict>(out.body["value"])["data"] = data;
    return true;
}

void Driver::page_command(const char *op, nb::handle args, Reply reply, std::function<nb::object(nb::object)> shape) {
    Answer prompt;
    if (handle_prompt(prompt)) return reply(prompt);
    page_op(op, args, [reply, shape](std::optional<Answer> error, nb::object value) {
        if (error) return reply(*error);
        reply(success(shape ? shape(value) : value));
    }, reply);
}

// ---- the commands --------------------------------------------------------------------------------

struct Req {
    Driver &d;
    std::vector<std::string> vars;  // the path's variables after the session id
    nb::dict body;
    bool bearer;
    Reply reply;
};

// A command: answered now (a value) or later through the request's reply (nullopt).
using Handler = std::optional<Answer> (*)(Req &);

struct Commands {
    static Session &s(Req &r) { return *r.d.session_; }
    static Engine &e(Req &r) { return *r.d.engine_; }

    // ---- sessions ----
    static std::optional<Answer> status(Req &r) {
        nb::dict v;
        v["ready"] = !r.d.session_.has_value();
        v["message"] = r.d.session_ ? "a session is open" : "ready for a new session";
        return success(v);
    }

    static std::string platform_name() {
        std::string p = nb::cast<std::string>(nb::str(pk::import("sys").attr("platform")));
        return p == "win32" ? "windows" : p == "darwin" ? "mac" : p.rfind("linux", 0) == 0 ? "linux" : p;
    }

    // Whether a New Session body carries the window's token as "panekit:token" (in alwaysMatch or
    // in a firstMatch entry).
    static bool token_capability(Req &r) {
        nb::object caps = r.body.contains("capabilities") ? nb::object(r.body["capabilities"]) : nb::object(nb::none());
        if (!PyDict_Check(caps.ptr()) || !PyUnicode_Check(r.d.token_.ptr())) return false;
        std::string secret = nb::cast<std::string>(r.d.token_);
        auto holds = [&](nb::handle c) {
            if (!PyDict_Check(c.ptr())) return false;
            PyObject *t = PyDict_GetItemString(c.ptr(), "panekit:token");
            return t && PyUnicode_Check(t) && same_secret(nb::cast<std::string>(nb::handle(t)), secret);
        };
        nb::dict d = nb::borrow<nb::dict>(caps);
        if (d.contains("alwaysMatch") && holds(d["alwaysMatch"])) return true;
        if (d.contains("firstMatch") && PyList_Check(nb::object(d["firstMatch"]).ptr()))
            for (nb::handle f : nb::borrow<nb::list>(d["firstMatch"]))
                if (holds(f)) return true;
        return false;
    }

    static std::optional<Answer> new_session(Req &r) {
        if (!r.bearer && !token_capability(r))
            return failure("session not created", "New Session needs the window's token (Authorization: Bearer, "
                                                  "or the capability panekit:token)");
        if (r.d.session_) return failure("session not created", "a session is open already; this window has one at a time");
        nb::object caps = r.body.contains("capabilities") ? nb::object(r.body["capabilities"]) : nb::object(nb::none());
        (void)caps;
        Offer offer{e(r).version(), platform_name(), r.d.port_};
        auto result = process_capabilities(r.body, offer);
        if (auto *a = std::get_if<Answer>(&result)) return *a;
        nb::dict matched = std::get<nb::dict>(result);
        Session session;
        session.id = nb::cast<std::string>(nb::handle(g_token_hex.get())(20));
        nb::dict t = nb::borrow<nb::dict>(matched["timeouts"]);
        auto ms = [](nb::handle v) { return v.is_none() ? -1LL : static_cast<long long>(nb::cast<double>(v)); };
        session.timeouts = {ms(t["script"]), ms(t["pageLoad"]), ms(t["implicit"])};
        std::string load = nb::cast<std::string>(matched["pageLoadStrategy"]);
        session.load = load == "eager" ? LoadStrategy::Eager : load == "none" ? LoadStrategy::None : LoadStrategy::Normal;
        nb::object prompt = matched["unhandledPromptBehavior"];
        if (PyUnicode_Check(prompt.ptr())) session.prompt = nb::cast<std::string>(prompt);
        else if (PyDict_Check(prompt.ptr()) && nb::borrow<nb::dict>(prompt).contains("default"))
            session.prompt = nb::cast<std::string>(nb::str(prompt["default"]));
        session.strict_files = pk::truthy(matched["strictFileInteractability"]);
        r.d.session_ = session;
        r.d.bridge_.clear();
        hold_dialogs(r, true);
        nb::dict v;
        v["sessionId"] = session.id;
        v["capabilities"] = matched;
        return success(v);
    }

    static std::optional<Answer> delete_session(Req &r) {
        input_session_end(r.d);
        r.d.session_.reset();
        hold_dialogs(r, false);
        return success(nb::none());
    }
    // The engine's dialogs wait for the session while it is open (on the UI thread).
    static void hold_dialogs(Req &r, bool hold) {
        Engine &en = e(r);
        pk::guarded([&] { en.post([&en, hold] { pk::guarded([&] { en.hold_dialogs(hold); }); }); });
    }

    static nb::dict timeouts_value(const Timeouts &t) {
        nb::dict v;
        auto put = [&](const char *k, long long ms) { v[k] = ms < 0 ? nb::object(nb::none()) : nb::object(nb::int_(ms)); };
        put("script", t.script);
        put("pageLoad", t.page_load);
        put("implicit", t.implicit);
        return v;
    }
    static std::optional<Answer> get_timeouts(Req &r) { return success(timeouts_value(s(r).timeouts)); }
    static std::optional<Answer> set_timeouts(Req &r) {
        if (auto bad = check_timeouts(r.body)) return *bad;
        Timeouts t = s(r).timeouts;
        auto take = [&](const char *k, long long &slot) {
            if (!r.body.contains(k)) return;
            nb::object v = r.body[k];
            slot = v.is_none() ? -1 : static_cast<long long>(nb::cast<double>(v));
        };
        take("script", t.script);
        take("pageLoad", t.page_load);
        take("implicit", t.implicit);
        s(r).timeouts = t;
        return success(nb::none());
    }

    // ---- navigation ----
    // Waits for the page as the page-load strategy says, up to the page-load time-out.
    // Arms the wait for the navigation about to start: the answer once it has loaded (the
    // strategy "none": at once), or "timeout" at the page-load time-out.
    static void await_navigation(Req &r) {
        Driver &d = r.d;
        Reply reply = r.reply;
        if (s(r).load == LoadStrategy::None) return;
        auto answered = std::make_shared<bool>(false);
        const double until = d.deadline(s(r).timeouts.page_load);
        // (checked while the load is awaited: no timer outlives its command)
        d.every_tenth(answered, [answered, reply, until] {
            if (now() < until) return false;
            *answered = true;
            reply(failure("timeout", "the page did not load within the page-load time-out"));
            return true;
        });
        d.engine_->arm_load([answered, reply] {
            if (*answered) return;
            *answered = true;
            reply(success(nb::none()));
        });
    }

    template <int What> static std::optional<Answer> history(Req &r) {
        nb::object url = nb::none();
        if (What == 0) {
            url = r.body.contains("url") ? nb::object(r.body["url"]) : nb::object(nb::none());
            if (!PyUnicode_Check(url.ptr())) return failure("invalid argument", "url must be a string");
            nb::object parts = pk::import("urllib.parse").attr("urlsplit")(url);
            if (!pk::truthy(parts.attr("scheme")) || pk::unusable_address(url))
                return failure("invalid argument", "url must be an absolute URL");
            // No route navigates to a script address, in whatever spelling.
            if (helmwire::scheme_of(url) == helmwire::Scheme::Script)
                return failure("invalid argument", "url must not be a javascript: address");
        }
        Req copy = r;
        run_on_ui(r, [copy, url]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            Engine &en = e(copy);
            if ((What == 1 && !en.can_go_back()) || (What == 2 && !en.can_go_forward()))
                return copy.reply(success(nb::none()));
            s(copy).to_top();
            await_navigation(copy);
            if (What == 0) en.navigate(nb::str(url));
            else if (What == 1) en.back();
            else if (What == 2) en.forward();
            else en.reload();
            if (s(copy).load == LoadStrategy::None) copy.reply(success(nb::none()));
        });
        return std::nullopt;
    }

    static std::optional<Answer> url(Req &r) {
        return on_ui_value(r, [](Req &q) { return nb::object(e(q).url()); });
    }
    static std::optional<Answer> title(Req &r) {
        return on_ui_value(r, [](Req &q) { return nb::object(e(q).title()); });
    }
    static std::optional<Answer> source(Req &r) { return page(r, "source", obj()); }

    // ---- the window ----
    static std::optional<Answer> window_handle(Req &) { return success(nb::str(kWindowHandle)); }
    static std::optional<Answer> window_handles(Req &) {
        nb::list l;
        l.append(nb::str(kWindowHandle));
        return success(l);
    }
    static std::optional<Answer> switch_window(Req &r) {
        nb::object h = r.body.contains("handle") ? nb::object(r.body["handle"]) : nb::object(nb::none());
        if (!PyUnicode_Check(h.ptr())) return failure("invalid argument", "handle must be a string");
        if (nb::cast<std::string>(h) != kWindowHandle) return failure("no such window", "this window has one handle");
        s(r).to_top();
        return success(nb::none());
    }
    static std::optional<Answer> close_window(Req &r) {
        Req copy = r;
        run_on_ui(r, [copy]() mutable {
            // The answer first: closing the window ends its control server. No handle is left.
            copy.d.session_.reset();
            copy.reply(success(nb::list()));
            Engine &en = e(copy);
            en.later(0.1, [&en] { pk::guarded([&] { en.close(); }); });
        });
        return std::nullopt;
    }
    static std::optional<Answer> new_window(Req &) {
        return failure("unsupported operation", "this window shows one page: it opens no other windows or tabs");
    }
    static std::optional<Answer> window_rect(Req &r) {
        return on_ui_value(r, [](Req &q) { return nb::object(e(q).window_rect()); });
    }
    static std::optional<Answer> set_window_rect(Req &r) {
        nb::object v[4];
        const char *names[4] = {"x", "y", "width", "height"};
        for (int i = 0; i < 4; ++i) {
            v[i] = r.body.contains(names[i]) ? nb::object(r.body[names[i]]) : nb::object(nb::none());
            if (v[i].is_none()) continue;
            if (!is_number(v[i])) return failure("invalid argument", std::string(names[i]) + " must be a number");
            double n = nb::cast<double>(v[i]);
            const double lo = i < 2 ? -2147483648.0 : 0.0;
            if (!(n >= lo && n <= 2147483647.0)) return failure("invalid argument", std::string(names[i]) + " is out of range");
            v[i] = nb::int_(static_cast<long long>(n));
        }
        Req copy = r;
        nb::object x = v[0], y = v[1], w = v[2], h = v[3];
        run_on_ui(r, [copy, x, y, w, h]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).set_window_rect(x, y, w, h);
            // The window manager applies a move or a resize a moment later.
            e(copy).later(0.2, [copy]() mutable { copy.reply(success(e(copy).window_rect())); });
        });
        return std::nullopt;
    }
    template <Engine::Show How> static std::optional<Answer> show(Req &r) {
        Req copy = r;
        run_on_ui(r, [copy]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).show(How);
            e(copy).later(0.2, [copy]() mutable { copy.reply(success(e(copy).window_rect())); });
        });
        return std::nullopt;
    }

    // ---- frames ----
    static std::optional<Answer> switch_frame(Req &r) {
        nb::object id = r.body.contains("id") ? nb::object(r.body["id"]) : nb::object();
        if (!id.is_valid()) return failure("invalid argument", "id missing");
        if (id.is_none()) {
            s(r).to_top();
            return success(nb::none());
        }
        nb::dict args;
        if (PyLong_Check(id.ptr()) && !PyBool_Check(id.ptr())) {
            long long n = nb::cast<long long>(id);
            if (n < 0 || n > 65535) return failure("invalid argument", "a frame index is from 0 to 65535");
            args["index"] = id;
        } else if (PyDict_Check(id.ptr()) && nb::borrow<nb::dict>(id).contains(kElementKey)) {
            args["el"] = id[kElementKey];
        } else {
            return failure("invalid argument", "id must be null, a frame index or an element");
        }
        Req copy = r;
        run_on_ui(r, [copy, args]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            copy.d.page_op("frame", args, [copy](std::optional<Answer> error, nb::object ref) mutable {
                if (error) return copy.reply(*error);
                Session *s = copy.d.session();
                if (!s) return copy.reply(failure("invalid session id", "the session has ended"));
                nb::object frame = nb::none();
                if (PyDict_Check(ref.ptr())) {
                    // A frame of another origin: the engine's own frame for the element, when the
                    // element is one of the top document's or of a frame of another origin entered
                    // so, and it is that document's one frame or exactly one frame has its name.
                    if (!s->local().empty())
                        return copy.reply(failure("no such frame", "a frame of another origin is reached only from the top document or from a frame of another origin"));
                    const bool only = pk::truthy(ref.attr("get")("only"));
                    nb::object name = only ? nb::object(nb::none()) : nb::object(ref["name"]);
                    if (!only && (!PyUnicode_Check(name.ptr()) || !pk::truthy(name)))
                        return copy.reply(failure("no such frame", "a frame of another origin, one of several, is found by its name attribute; this one has none"));
                    std::string why;
                    frame = e(copy).named_frame(s->remote(), name, why);
                    if (frame.is_none()) return copy.reply(failure("no such frame", why));
                    ref = ref.attr("get")("ref");
                }
                // The path changes whole or not at all: its frame of another origin and its element.
                if (!PyUnicode_Check(ref.ptr()) || !unicode_only(ref))
                    return copy.reply(failure("no such frame", "the page gave no reference for the frame"));
                if (!frame.is_none()) s->remotes.push_back({s->frames.size(), frame});
                s->frames.push_back(nb::cast<std::string>(ref));
                copy.reply(success(nb::none()));
            }, copy.reply);
        });
        return std::nullopt;
    }
    static std::optional<Answer> parent_frame(Req &r) {
        s(r).to_parent();
        return success(nb::none());
    }

    // ---- elements ----
    static nb::object from_var(Req &r, std::size_t i) { return nb::str(r.vars.at(i).c_str()); }

    // Find Element(s): from the document (no variable), an element or a shadow root; the implicit
    // wait polls the page until something matches or the time is up.
    template <bool One, int From> static std::optional<Answer> find(Req &r) {
        nb::object using_ = r.body.contains("using") ? nb::object(r.body["using"]) : nb::object(nb::none());
        nb::object value = r.body.contains("value") ? nb::object(r.body["value"]) : nb::object(nb::none());
        if (!PyUnicode_Check(using_.ptr())) return failure("invalid argument", "using must be a string");
        std::string how = nb::cast<std::string>(using_);
        if (how != "css selector" && how != "link text" && how != "partial link text" && how != "tag name" &&
            how != "xpath")
            return failure("invalid argument", "unknown location strategy " + how);
        if (!PyUnicode_Check(value.ptr())) return failure("invalid argument", "value must be a string");
        nb::dict args;
        args["using"] = using_;
        args["value"] = value;
        args["one"] = false;
        if (From != 0) args["from"] = from_var(r, 0);
        if (From == 2) args["shadow"] = true;
        Req copy = r;
        const double until = r.d.deadline(s(r).timeouts.implicit);
        run_on_ui(r, [copy, args, until]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            find_attempt<One>(copy, args, until);
        });
        return std::nullopt;
    }
    template <bool One> static void find_attempt(Req r, nb::dict args, double until) {
        r.d.page_op("find", args, [r, args, until](std::optional<Answer> error, nb::object found) mutable {
            if (error) return r.reply(*error);
            if (nb::len(found) == 0 && now() < until) {
                r.d.engine_->later(0.05, [r, args, until]() mutable { find_attempt<One>(r, args, until); });
                return;
            }
            if (!One) return r.reply(success(found));
            if (nb::len(found) == 0) {
                return r.reply(failure("no such element", "no element matches " +
                                                              nb::cast<std::string>(nb::str(args["using"])) + " " +
                                                              nb::cast<std::string>(nb::str(args["value"]))));
            }
            r.reply(success(found[0]));
        }, r.reply);
    }

    static nb::dict element_args(Req &r) {
        nb::dict a;
        a["el"] = from_var(r, 0);
        if (r.vars.size() > 1) a["name"] = from_var(r, 1);
        return a;
    }
    template <const char *Op> static std::optional<Answer> element(Req &r) { return page(r, Op, element_args(r)); }
    // Get Element Property reads the property where the page's own script sees it (Execute
    // Script's world: a property the page or a script set is there, not in WebDriver's own world),
    // its value cloned as a script's is. The value comes back in an array so that a promise is
    // cloned as the object it is rather than awaited.
    static std::optional<Answer> property(Req &r) {
        nb::dict el;
        el[kElementKey] = from_var(r, 0);
        nb::dict a;
        a["script"] = "return [arguments[0][arguments[1]]];";
        nb::list args;
        args.append(el);
        args.append(from_var(r, 1));
        a["args"] = args;
        a["async"] = false;
        return page(r, "script", a, [](nb::object v) {
            nb::object got = PyDict_Check(v.ptr()) ? nb::object(v.attr("get")("v")) : nb::object(nb::none());
            const bool one = PyList_Check(got.ptr()) && PyList_GET_SIZE(got.ptr()) == 1;
            return one ? nb::object(got[0]) : nb::object(nb::none());
        });
    }
    static std::optional<Answer> active(Req &r) { return page(r, "active", obj()); }

    // ---- script ----
    template <bool Async> static std::optional<Answer> execute(Req &r) {
        nb::object script = r.body.contains("script") ? nb::object(r.body["script"]) : nb::object(nb::none());
        nb::object args = r.body.contains("args") ? nb::object(r.body["args"]) : nb::object(nb::none());
        if (!PyUnicode_Check(script.ptr())) return failure("invalid argument", "script must be a string");
        if (!PyList_Check(args.ptr())) return failure("invalid argument", "args must be a list");
        nb::dict a;
        a["script"] = script;
        a["args"] = args;
        a["async"] = Async;
        Req copy = r;
        const long long limit = s(r).timeouts.script;
        run_on_ui(r, [copy, a, limit]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            auto answered = std::make_shared<bool>(false);
            Reply once = [answered, reply = copy.reply](Answer an) {
                if (*answered) return;
                *answered = true;
                reply(an);
            };
            copy.reply = once;
            const double until = copy.d.deadline(limit);
            copy.d.every_tenth(answered, [once, until] {
                if (now() < until) return false;
                once(failure("script timeout", "the script did not finish within the script time-out"));
                return true;
            });
            copy.d.page_op("script", a, [copy, answered](std::optional<Answer> error, nb::object v) mutable {
                if (error) return copy.reply(*error);
                settle(copy, v, answered, 0.002);
            }, copy.reply);
        });
        return std::nullopt;
    }
    // The answer of a script: its value, or the promise it returned polled until it settles.
    static void settle(Req r, nb::object v, std::shared_ptr<bool> answered, double pause) {
        if (*answered) return;
        nb::dict d = nb::borrow<nb::dict>(v);
        if (d.contains("v")) return r.reply(success(d["v"]));
        nb::dict a;
        a["token"] = d["p"];
        r.d.engine_->later(pause, [r, a, answered, pause]() mutable {
            if (*answered) {
                r.d.page_op("forget", a, [](std::optional<Answer>, nb::object) {}, Reply());
                return;
            }
            r.d.page_op("poll", a, [r, answered, pause](std::optional<Answer> error, nb::object v) mutable {
                if (error) return r.reply(*error);
                settle(r, v, answered, std::min(pause * 2, 0.05));
            }, r.reply);
        });
    }

    // ---- pictures ----
    // The engine's bytes (a picture, a PDF) as the protocol's Base64 text; a failure as `code` with
    // the engine's text, or, where `unsupported` names what it lacks, its unsupported answer as
    // "unsupported operation".
    static Answer base64_answer(nb::handle bytes, const char *code, const char *unsupported = nullptr) {
        if (PyBytes_Check(bytes.ptr())) return success(nb::handle(g_b64encode.get())(bytes).attr("decode")("ascii"));
        if (unsupported && PyDict_Check(bytes.ptr()) && pk::truthy(bytes.attr("get")("unsupported")))
            return failure("unsupported operation", unsupported);
        return failure(code, nb::cast<std::string>(nb::str(bytes.attr("get")("error", ""))));
    }
    static std::optional<Answer> screenshot(Req &r) {
        Req copy = r;
        run_on_ui(r, [copy]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).capture(nb::none(), [copy](nb::object png) mutable {
                copy.reply(base64_answer(png, "unable to capture screen"));
            });
        });
        return std::nullopt;
    }
    static std::optional<Answer> element_screenshot(Req &r) {
        Req copy = r;
        nb::dict args = element_args(r);
        run_on_ui(r, [copy, args]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            // (In a frame of another origin its page places the element in the frame only: the
            // frame's own place in the view is added.)
            copy.d.frame_origin([copy, args](std::optional<Answer> error, nb::object origin) mutable {
                if (error) return copy.reply(*error);
                copy.d.page_op("view_rect", args, [copy, origin](std::optional<Answer> error, nb::object rect) mutable {
                    if (error) return copy.reply(*error);
                    for (const char *k : {"x", "y"}) rect[k] = nb::cast<double>(rect[k]) + nb::cast<double>(origin[k]);
                    element_picture(copy, rect);
                }, copy.reply);
            }, copy.reply);
        });
        return std::nullopt;
    }
    // The picture of the rectangle `rect` of the view.
    static void element_picture(Req &r, nb::object rect) {
        for (const char *k : {"x", "y", "width", "height"})
            if (!std::isfinite(nb::cast<double>(rect[k])))
                return r.reply(failure("unknown error", "the page gave the element no rectangle"));
        if (nb::cast<double>(rect["width"]) < 1 || nb::cast<double>(rect["height"]) < 1)
            return r.reply(failure("unable to capture screen", "the element has no area to show"));
        Req copy = r;
        e(r).capture(rect, [copy](nb::object png) mutable {
            copy.reply(base64_answer(png, "unable to capture screen", "this engine's picture has no rectangle"));
        });
    }

    // Print Page: the parameters checked as the protocol says, then the engine's PDF in Base64.
    static std::optional<Answer> print(Req &r) {
        nb::dict settings;
        if (auto bad = print_settings(r.body, settings)) return bad;
        Req copy = r;
        run_on_ui(r, [copy, settings]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).print(settings, [copy](nb::object pdf) mutable {
                copy.reply(base64_answer(pdf, "unknown error", "this engine does not print pages to PDF"));
            });
        });
        return std::nullopt;
    }
    // `key` of `obj` (a dict), `fallback` when missing; false when present and not a number >= `min`.
    static bool number_at(nb::handle obj, const char *key, double fallback, double min, double max, double &out) {
        nb::dict d = nb::borrow<nb::dict>(obj);
        if (!d.contains(key)) return out = fallback, true;
        nb::object v = d[key];
        if (!is_number(v)) return false;
        out = nb::cast<double>(v);
        return out >= min && out <= max;
    }
    static bool bool_at(nb::dict d, const char *key, bool fallback, bool &out) {
        if (!d.contains(key)) return out = fallback, true;
        nb::object v = d[key];
        if (!PyBool_Check(v.ptr())) return false;
        out = v.is(Py_True);
        return true;
    }
    // A page number of a range: digits only, whitespace around them allowed.
    static std::optional<long long> page_number(std::string_view text) {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
        if (text.empty() || text.size() > 9) return std::nullopt;
        long long n = 0;
        for (char ch : text) {
            if (ch < '0' || ch > '9') return std::nullopt;
            n = n * 10 + (ch - '0');
        }
        return n;
    }
    static bool blank(std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); });
    }
    // pageRanges as [first, last] pairs (last -1: to the end), sorted and merged; page 0 dropped.
    static std::optional<Answer> page_ranges(nb::handle list, std::vector<std::pair<long long, long long>> &out) {
        const char *bad = "pageRanges holds page numbers and ranges such as \"2-4\"";
        for (nb::handle item : list) {
            long long lo, hi;
            if (is_number(item)) {
                double v = nb::cast<double>(item);
                if (!is_integer(item) || v < 0 || v > 1e9) return failure("invalid argument", bad);
                lo = hi = static_cast<long long>(v);
            } else if (PyUnicode_Check(item.ptr())) {
                std::string text = nb::cast<std::string>(item);
                std::string_view t = text;
                std::size_t dash = t.find('-');
                if (dash == std::string_view::npos) {
                    auto n = page_number(t);
                    if (!n) return failure("invalid argument", bad);
                    lo = hi = *n;
                } else {
                    std::string_view a = t.substr(0, dash), b = t.substr(dash + 1);
                    if (b.find('-') != std::string_view::npos) return failure("invalid argument", bad);
                    auto first = blank(a) ? std::optional<long long>(1) : page_number(a);
                    auto last = blank(b) ? std::optional<long long>(-1) : page_number(b);
                    if (!first || !last || (*last != -1 && *first > *last)) return failure("invalid argument", bad);
                    lo = *first;
                    hi = *last;
                }
            } else {
                return failure("invalid argument", bad);
            }
            if (lo == 0 && hi == 0) continue;
            out.emplace_back(std::max(lo, 1LL), hi);
        }
        auto end = [](long long hi) { return hi == -1 ? LLONG_MAX : hi; };
        std::sort(out.begin(), out.end());
        std::vector<std::pair<long long, long long>> merged;
        for (auto [lo, hi] : out) {
            if (!merged.empty() && lo <= end(merged.back().second) + 1) {
                if (end(hi) > end(merged.back().second)) merged.back().second = hi;
            } else {
                merged.emplace_back(lo, hi);
            }
        }
        out = std::move(merged);
        return std::nullopt;
    }
    static std::optional<Answer> print_settings(nb::dict body, nb::dict &settings) {
        nb::object orientation = body.contains("orientation") ? nb::object(body["orientation"]) : nb::object(nb::str("portrait"));
        if (!PyUnicode_Check(orientation.ptr()) || !(orientation.equal(nb::str("portrait")) || orientation.equal(nb::str("landscape"))))
            return failure("invalid argument", "orientation is \"portrait\" or \"landscape\"");
        double scale, width, height, margins[4];
        bool background, shrink;
        if (!number_at(body, "scale", 1, 0.1, 2, scale)) return failure("invalid argument", "scale is a number from 0.1 to 2");
        if (!bool_at(body, "background", false, background)) return failure("invalid argument", "background is a boolean");
        if (!bool_at(body, "shrinkToFit", true, shrink)) return failure("invalid argument", "shrinkToFit is a boolean");
        nb::object page = body.contains("page") ? nb::object(body["page"]) : nb::object(nb::dict());
        nb::object margin = body.contains("margin") ? nb::object(body["margin"]) : nb::object(nb::dict());
        if (!PyDict_Check(page.ptr()) || !PyDict_Check(margin.ptr()))
            return failure("invalid argument", "page and margin are objects");
        constexpr double kPoint = 2.54 / 72, kHuge = 1e6;
        if (!number_at(page, "width", 21.59, kPoint, kHuge, width) || !number_at(page, "height", 27.94, kPoint, kHuge, height))
            return failure("invalid argument", "the page's width and height are numbers of at least 1 point (cm)");
        const char *sides[] = {"top", "bottom", "left", "right"};
        for (int i = 0; i < 4; ++i)
            if (!number_at(margin, sides[i], 1, 0, kHuge, margins[i]))
                return failure("invalid argument", "margins are numbers of at least 0 (cm)");
        nb::object ranges = body.contains("pageRanges") ? nb::object(body["pageRanges"]) : nb::object(nb::list());
        if (!PyList_Check(ranges.ptr())) return failure("invalid argument", "pageRanges is an array");
        std::vector<std::pair<long long, long long>> pages;
        if (auto bad = page_ranges(ranges, pages)) return bad;
        if (pages.empty() && nb::len(ranges) > 0)
            return failure("invalid argument", "pageRanges names no page (pages are numbered from 1)");
        settings["landscape"] = orientation.equal(nb::str("landscape"));
        settings["scale"] = scale;
        settings["background"] = background;
        settings["shrink"] = shrink;
        settings["width"] = width;
        settings["height"] = height;
        for (int i = 0; i < 4; ++i) settings[sides[i]] = margins[i];
        nb::list out;
        for (auto [lo, hi] : pages) out.append(nb::make_tuple(lo, hi == -1 ? nb::object(nb::none()) : nb::object(nb::int_(hi))));
        settings["ranges"] = out;
        return std::nullopt;
    }

    // ---- cookies ----
    static std::optional<Answer> cookies(Req &r) {
        Req copy = r;
        run_on_ui(r, [copy]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).cookies([copy](nb::object list) mutable { copy.reply(cookie_answer(list)); });
        });
        return std::nullopt;
    }
    static Answer cookie_answer(nb::handle list) {
        if (PyDict_Check(list.ptr())) return failure("unknown error", nb::cast<std::string>(nb::str(list.attr("get")("error", ""))));
        return success(list);
    }
    static std::optional<Answer> cookie(Req &r) {
        Req copy = r;
        std::string name = r.vars.at(0);
        run_on_ui(r, [copy, name]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).cookies([copy, name](nb::object list) mutable {
                if (PyDict_Check(list.ptr())) return copy.reply(cookie_answer(list));
                for (nb::handle c : list)
                    if (nb::cast<std::string>(nb::str(c["name"])) == name) return copy.reply(success(c));
                copy.reply(failure("no such cookie", "the page has no cookie named " + name));
            });
        });
        return std::nullopt;
    }
    static std::optional<Answer> add_cookie(Req &r) {
        nb::object c = r.body.contains("cookie") ? nb::object(r.body["cookie"]) : nb::object(nb::none());
        if (!PyDict_Check(c.ptr())) return failure("invalid argument", "cookie must be an object");
        nb::dict cookie = nb::borrow<nb::dict>(PyDict_Copy(c.ptr()));
        for (const char *k : {"name", "value"})
            if (!cookie.contains(k) || !PyUnicode_Check(nb::object(cookie[k]).ptr()))
                return failure("invalid argument", std::string("the cookie's ") + k + " must be a string");
        for (const char *k : {"secure", "httpOnly"})
            if (cookie.contains(k) && !PyBool_Check(nb::object(cookie[k]).ptr()))
                return failure("invalid argument", std::string("the cookie's ") + k + " must be a boolean");
        for (const char *k : {"path", "domain"})
            if (cookie.contains(k) && !PyUnicode_Check(nb::object(cookie[k]).ptr()) && !nb::object(cookie[k]).is_none())
                return failure("invalid argument", std::string("the cookie's ") + k + " must be a string");
        if (cookie.contains("expiry")) {
            nb::object x = cookie["expiry"];
            if (PyBool_Check(x.ptr()) || !PyLong_Check(x.ptr()) || nb::cast<double>(x) < 0 ||
                nb::cast<double>(x) > 9007199254740991.0)
                return failure("invalid argument", "the cookie's expiry must be a whole number of seconds");
        }
        if (cookie.contains("sameSite")) {
            nb::object ss = cookie["sameSite"];
            std::string v = PyUnicode_Check(ss.ptr()) ? nb::cast<std::string>(ss) : "";
            if (v != "Lax" && v != "Strict" && v != "None")
                return failure("invalid argument", "the cookie's sameSite must be Lax, Strict or None");
        }
        Req copy = r;
        run_on_ui(r, [copy, cookie]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            // (an address the reading refuses, as one with a bracket in its host, has no cookies)
            std::string scheme;
            nb::object host = pk::guarded_or(nb::object(nb::none()), [&] {
                nb::object parts = pk::import("urllib.parse").attr("urlsplit")(e(copy).url());
                scheme = nb::cast<std::string>(nb::str(parts.attr("scheme")));
                return nb::object(parts.attr("hostname"));
            });
            if ((scheme != "http" && scheme != "https") || host.is_none())
                return copy.reply(failure("invalid cookie domain", "the page shown cannot have cookies"));
            std::string own = nb::cast<std::string>(nb::str(host));
            if (cookie.contains("domain") && !nb::object(cookie["domain"]).is_none()) {
                std::string dom = nb::cast<std::string>(nb::str(cookie["domain"]));
                std::string bare = !dom.empty() && dom[0] == '.' ? dom.substr(1) : dom;
                const bool same = bare == own ||
                                  (own.size() > bare.size() && own.compare(own.size() - bare.size(), bare.size(), bare) == 0 &&
                                   own[own.size() - bare.size() - 1] == '.');
                if (!same) return copy.reply(failure("invalid cookie domain", "the cookie's domain is not the page's: " + dom));
            } else {
                cookie["domain"] = nb::str(own.c_str());
            }
            if (!cookie.contains("path") || nb::object(cookie["path"]).is_none()) cookie["path"] = "/";
            e(copy).add_cookie(cookie, [copy](nb::object res) mutable {
                if (PyDict_Check(res.ptr()))
                    return copy.reply(failure("unable to set cookie", nb::cast<std::string>(nb::str(res.attr("get")("error", "")))));
                copy.reply(success(nb::none()));
            });
        });
        return std::nullopt;
    }
    template <bool All> static std::optional<Answer> delete_cookies(Req &r) {
        Req copy = r;
        nb::object name = All ? nb::object(nb::none()) : from_var(r, 0);
        run_on_ui(r, [copy, name]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            e(copy).delete_cookies(name, [copy](nb::object res) mutable {
                if (PyDict_Check(res.ptr()))
                    return copy.reply(failure("unknown error", nb::cast<std::string>(nb::str(res.attr("get")("error", "")))));
                copy.reply(success(nb::none()));
            });
        });
        return std::nullopt;
    }

    // ---- dialogs ----
    template <int What> static std::optional<Answer> alert(Req &r) {
        nb::object text;
        if (What == 3) {
            text = r.body.contains("text") ? nb::object(r.body["text"]) : nb::object(nb::none());
            if (!PyUnicode_Check(text.ptr())) return failure("invalid argument", "text must be a string");
        }
        Req copy = r;
        run_on_ui(r, [copy, text]() mutable {
            nb::object dialog = e(copy).dialog();
            if (dialog.is_none()) return copy.reply(failure("no such alert", "no dialog is open"));
            if (What == 0) {
                copy.d.prompt_text_ = nb::object();
                e(copy).close_dialog(false, nb::none());
                return copy.reply(success(nb::none()));
            }
            if (What == 1) {
                nb::object typed = copy.d.prompt_text_.is_valid() ? copy.d.prompt_text_ : nb::object(nb::none());
                copy.d.prompt_text_ = nb::object();
                e(copy).close_dialog(true, typed);
                return copy.reply(success(nb::none()));
            }
            if (What == 2) return copy.reply(success(dialog["text"]));
            std::string type = nb::cast<std::string>(nb::str(dialog["type"]));
            if (type == "alert" || type == "confirm")
                return copy.reply(failure("element not interactable", "this dialog takes no text"));
            if (type != "prompt") return copy.reply(failure("unsupported operation", "this dialog takes no text"));
            copy.d.prompt_text_ = text;  // Accept Alert ends the prompt with it
            copy.reply(success(nb::none()));
        });
        return std::nullopt;
    }

    // ---- input (input_commands.cpp) ----
    template <InputCommand W> static std::optional<Answer> input(Req &r) {
        return input_command(W, r.d, r.vars, r.body, r.reply);
    }

    // ---- helpers ----
    // Runs `work` on the UI thread; a window that has gone answers "no such window".
    template <class F> static void run_on_ui(Req &r, F work) {
        Reply reply = r.reply;
        Engine &en = e(r);
        bool posted = en.post([work, reply, &en]() mutable {
            answer_failures(reply, [&] {
                if (!en.ready()) return reply(failure("no such window", "the window has no browser view yet"));
                work();
            });
        });
        if (!posted) reply(failure("no such window", "the window has closed"));
    }
    template <class F> static std::optional<Answer> on_ui_value(Req &r, F read) {
        Req copy = r;
        run_on_ui(r, [copy, read]() mutable {
            Answer prompt;
            if (copy.d.handle_prompt(prompt)) return copy.reply(prompt);
            copy.reply(success(read(copy)));
        });
        return std::nullopt;
    }
    static std::optional<Answer> page(Req &r, const char *op, nb::dict args,
                                      std::function<nb::object(nb::object)> shape = nullptr) {
        Req copy = r;
        run_on_ui(r, [copy, op, args, shape]() mutable { copy.d.page_command(op, args, copy.reply, shape); });
        return std::nullopt;
    }
};

namespace {

constexpr char kSelected[] = "selected", kAttribute[] = "attribute", kCss[] = "css",
               kText[] = "text", kName[] = "name", kRect[] = "rect", kEnabled[] = "enabled",
               kDisplayed[] = "displayed", kRole[] = "role", kLabel[] = "label", kShadow[] = "shadow";

enum class Scope { Open, Session };

struct Row {
    const char *method;
    const char *path;  // "*" is a variable
    Handler fn;
    Scope scope = Scope::Session;
};

using C = Commands;
// The scripts' commands, whose arguments may hold any text a script's string can.
constexpr Handler kExecute[] = {C::execute<false>, C::execute<true>};

}  // namespace

// Whether every text in a JSON value (keys included) is Unicode: no half of a surrogate pair alone.
bool unicode_only(nb::handle v) {
    PyObject *o = v.ptr();
    if (PyUnicode_Check(o)) {
        if (PyUnicode_KIND(o) == PyUnicode_1BYTE_KIND) return true;
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(o); i < n; ++i) {
            const Py_UCS4 ch = PyUnicode_READ_CHAR(o, i);
            if (ch >= 0xD800 && ch <= 0xDFFF) return false;
        }
        return true;
    }
    if (PyList_Check(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i)
            if (!unicode_only(PyList_GET_ITEM(o, i))) return false;
        return true;
    }
    if (PyDict_Check(o)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(o, &pos, &key, &value))
            if (!unicode_only(key) || !unicode_only(value)) return false;
    }
    return true;
}

namespace {

constexpr Row kTable[] = {
    {"GET", "/status", C::status, Scope::Open},
    {"POST", "/session", C::new_session, Scope::Open},
    {"DELETE", "/session/*", C::delete_session},
    {"GET", "/session/*/timeouts", C::get_timeouts},
    {"POST", "/session/*/timeouts", C::set_timeouts},
    {"POST", "/session/*/url", C::history<0>},
    {"GET", "/session/*/url", C::url},
    {"POST", "/session/*/back", C::history<1>},
    {"POST", "/session/*/forward", C::history<2>},
    {"POST", "/session/*/refresh", C::history<3>},
    {"GET", "/session/*/title", C::title},
    {"GET", "/session/*/window", C::window_handle},
    {"DELETE", "/session/*/window", C::close_window},
    {"POST", "/session/*/window", C::switch_window},
    {"GET", "/session/*/window/handles", C::window_handles},
    {"POST", "/session/*/window/new", C::new_window},
    {"POST", "/session/*/frame", C::switch_frame},
    {"POST", "/session/*/frame/parent", C::parent_frame},
    {"GET", "/session/*/window/rect", C::window_rect},
    {"POST", "/session/*/window/rect", C::set_window_rect},
    {"POST", "/session/*/window/maximize", C::show<Engine::Show::Maximized>},
    {"POST", "/session/*/window/minimize", C::show<Engine::Show::Minimized>},
    {"POST", "/session/*/window/fullscreen", C::show<Engine::Show::Fullscreen>},
    {"GET", "/session/*/element/active", C::active},
    {"GET", "/session/*/element/*/shadow", C::element<kShadow>},
    {"POST", "/session/*/element", C::find<true, 0>},
    {"POST", "/session/*/elements", C::find<false, 0>},
    {"POST", "/session/*/element/*/element", C::find<true, 1>},
    {"POST", "/session/*/element/*/elements", C::find<false, 1>},
    {"POST", "/session/*/shadow/*/element", C::find<true, 2>},
    {"POST", "/session/*/shadow/*/elements", C::find<false, 2>},
    {"GET", "/session/*/element/*/selected", C::element<kSelected>},
    {"GET", "/session/*/element/*/attribute/*", C::element<kAttribute>},
    {"GET", "/session/*/element/*/property/*", C::property},
    {"GET", "/session/*/element/*/css/*", C::element<kCss>},
    {"GET", "/session/*/element/*/text", C::element<kText>},
    {"GET", "/session/*/element/*/name", C::element<kName>},
    {"GET", "/session/*/element/*/rect", C::element<kRect>},
    {"GET", "/session/*/element/*/enabled", C::element<kEnabled>},
    {"GET", "/session/*/element/*/displayed", C::element<kDisplayed>},
    {"GET", "/session/*/element/*/computedrole", C::element<kRole>},
    {"GET", "/session/*/element/*/computedlabel", C::element<kLabel>},
    {"GET", "/session/*/source", C::source},
    {"POST", "/session/*/execute/sync", C::execute<false>},
    {"POST", "/session/*/execute/async", C::execute<true>},
    {"GET", "/session/*/cookie", C::cookies},
    {"GET", "/session/*/cookie/*", C::cookie},
    {"POST", "/session/*/cookie", C::add_cookie},
    {"DELETE", "/session/*/cookie/*", C::delete_cookies<false>},
    {"DELETE", "/session/*/cookie", C::delete_cookies<true>},
    {"POST", "/session/*/alert/dismiss", C::alert<0>},
    {"POST", "/session/*/alert/accept", C::alert<1>},
    {"GET", "/session/*/alert/text", C::alert<2>},
    {"POST", "/session/*/alert/text", C::alert<3>},
    {"GET", "/session/*/screenshot", C::screenshot},
    {"GET", "/session/*/element/*/screenshot", C::element_screenshot},
    {"POST", "/session/*/print", C::print},
    {"POST", "/session/*/element/*/click", C::input<InputCommand::Click>},
    {"POST", "/session/*/element/*/clear", C::input<InputCommand::Clear>},
    {"POST", "/session/*/element/*/value", C::input<InputCommand::SendKeys>},
    {"POST", "/session/*/actions", C::input<InputCommand::Perform>},
    {"DELETE", "/session/*/actions", C::input<InputCommand::Release>},
};

std::vector<std::string_view> segments(std::string_view path) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    if (!path.empty() && path[0] == '/') i = 1;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    while (!out.empty() && out.back().empty()) out.pop_back();  // a trailing slash
    return out;
}

// Whether `path` (its segments) fits `row`'s template; its variables (percent-decoded) in `vars`
// when it does.
bool fits(const Row &row, const std::vector<std::string_view> &seg, std::vector<std::string> &vars) {
    std::string_view pat(row.path);
    pat.remove_prefix(1);
    std::size_t i = 0;
    for (;; ++i) {
        const std::size_t j = pat.find('/');
        const std::string_view p = pat.substr(0, j);
        if (i >= seg.size() || (p == "*" ? seg[i].empty() : p != seg[i])) return false;
        if (j == std::string_view::npos) break;
        pat.remove_prefix(j + 1);
    }
    if (i + 1 != seg.size()) return false;
    vars.clear();
    pat = std::string_view(row.path).substr(1);
    for (std::size_t k = 0; k < seg.size(); ++k) {
        if (pat.substr(0, pat.find('/')) == "*") {
            if (seg[k].find('%') == std::string_view::npos) {
                vars.emplace_back(seg[k]);
            } else {
                nb::object text = pk::import("urllib.parse").attr("unquote")(nb::str(seg[k].data(), seg[k].size()));
                vars.push_back(nb::cast<std::string>(text));
            }
        }
        const std::size_t j = pat.find('/');
        pat = j == std::string_view::npos ? std::string_view() : pat.substr(j + 1);
    }
    return true;
}

}  // namespace

bool same_secret(std::string_view given, std::string_view secret) {
    unsigned diff = given.size() != secret.size();
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % (secret.size() ? secret.size() : 1)]);
    return diff == 0 && !secret.empty();
}

std::optional<Answer> Driver::serve(std::string_view method, std::string_view path, nb::bytes body, bool bearer,
                                    Reply reply) {
    std::size_t q = path.find('?');
    if (q != std::string_view::npos) path = path.substr(0, q);
    std::vector<std::string_view> seg = segments(path);
    std::vector<std::string> vars;
    const Row *row = nullptr;
    bool other_method = false;
    for (const Row &r : kTable) {
        if (!fits(r, seg, vars)) continue;
        if (method == r.method) {
            row = &r;
            break;
        }
        other_method = true;
    }
    if (!row) {
        if (other_method) return failure("unknown method", std::string(method) + " is not a method of " + std::string(path));
        return failure("unknown command", "no command has the path " + std::string(path));
    }
    nb::dict params;
    if (std::string_view(row->method) == "POST") {
        nb::object data = pk::guarded_or(nb::object(), [&] {
            return nb::object(nb::handle(g_loads.get())(
                pk::check(PyUnicode_DecodeUTF8(body.c_str(), static_cast<Py_ssize_t>(body.size()), "strict"))));
        });
        if (!data.is_valid() || !PyDict_Check(data.ptr()))
            return failure("invalid argument", "the body must be a JSON object");
        // JSON may escape half of a surrogate pair on its own: no text of Unicode, refused for every
        // command but the scripts', whose arguments go to the page as JSON as they came.
        if (row->fn != kExecute[0] && row->fn != kExecute[1] && !unicode_only(data))
            return failure("invalid argument", "the body holds text that is not Unicode (a lone surrogate)");
        params = nb::borrow<nb::dict>(data);
    }
    if (row->scope == Scope::Session) {
        // The session id is the command's credential: only the open session's own id is served.
        if (!session_ || vars.empty() || !same_secret(vars[0], session_->id))
            return failure("invalid session id", "no open session has this id");
        vars.erase(vars.begin());
    }
    // Every command answers once: a late second answer (a time-out raced by the page) is dropped.
    auto answered = std::make_shared<bool>(false);
    Reply once = [answered, reply = std::move(reply)](Answer a) {
        if (*answered) return;
        *answered = true;
        reply(std::move(a));
    };
    Req req{*this, std::move(vars), params, bearer, std::move(once)};
    // What the command raises before it answers is its answer: a value of the request it cannot
    // take (a failed conversion: a wrong type, text that is not Unicode) is the client's, anything
    // else as answer_failures says.
    std::optional<Answer> out;
    const Reply failed = req.reply;
    answer_failures(failed, [&] {
        try {
            out = row->fn(req);
        } catch (const std::bad_cast &) {
            out = failure("invalid argument", "a value of the request is not one this command takes");
        }
    });
    return out;
}

}  // namespace pk::wd
