// New Session's capabilities: validated, merged (alwaysMatch with each firstMatch) and matched
// against what the window offers, in the protocol's order, with its error for each refusal.
#include "webdriver.hpp"

#include <cmath>
#include <cstring>

namespace pk::wd {
namespace {

using Result = std::variant<nb::dict, Answer>;

Answer invalid(std::string message) { return failure("invalid argument", message); }

bool is_str(nb::handle v) { return PyUnicode_Check(v.ptr()); }
bool is_bool(nb::handle v) { return PyBool_Check(v.ptr()); }
std::string text(nb::handle v) { return nb::cast<std::string>(nb::str(v)); }

constexpr const char *kStrategies[] = {"none", "eager", "normal"};
constexpr const char *kPromptHandlers[] = {"dismiss", "accept", "dismiss and notify", "accept and notify", "ignore"};
constexpr const char *kPromptTypes[] = {"alert", "beforeUnload", "confirm", "default", "file", "prompt"};

template <std::size_t N> bool one_of(nb::handle v, const char *const (&list)[N]) {
    if (!is_str(v)) return false;
    std::string s = text(v);
    for (const char *item : list)
        if (s == item) return true;
    return false;
}

// A timeout value: null, or a whole number from 0 to the largest safe integer.
bool timeout_value(nb::handle v) {
    if (v.is_none()) return true;
    if (is_bool(v)) return false;
    if (PyLong_Check(v.ptr())) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        return !overflow && n >= 0 && n <= 9007199254740991LL;
    }
    if (PyFloat_Check(v.ptr())) {
        double d = PyFloat_AsDouble(v.ptr());
        return d >= 0 && d <= 9007199254740991.0 && std::floor(d) == d;
    }
    return false;
}

}  // namespace

// The timeouts object of the capabilities and of Set Timeouts: unknown keys are left alone.
std::optional<Answer> check_timeouts(nb::handle v) {
    if (!PyDict_Check(v.ptr())) return invalid("timeouts must be an object");
    for (auto [key, value] : nb::borrow<nb::dict>(v)) {
        if (!is_str(key)) continue;
        std::string k = text(key);
        if ((k == "script" || k == "pageLoad" || k == "implicit") && !timeout_value(value))
            return invalid("the timeout " + k + " must be null or a whole number of milliseconds from 0");
    }
    return std::nullopt;
}

namespace {

std::optional<Answer> check_proxy(nb::handle v) {
    if (!PyDict_Check(v.ptr())) return invalid("proxy must be an object");
    nb::dict d = nb::borrow<nb::dict>(v);
    for (auto [key, value] : d) {
        std::string k = is_str(key) ? text(key) : std::string();
        bool ok;
        if (k == "proxyType") {
            static constexpr const char *types[] = {"pac", "direct", "autodetect", "system", "manual"};
            ok = one_of(value, types);
        } else if (k == "proxyAutoconfigUrl" || k == "ftpProxy" || k == "httpProxy" || k == "sslProxy" ||
                   k == "socksProxy") {
            ok = is_str(value);
        } else if (k == "noProxy") {
            ok = PyList_Check(value.ptr());
            if (ok)
                for (nb::handle item : nb::borrow<nb::list>(value)) ok = ok && is_str(item);
        } else if (k == "socksVersion") {
            ok = PyLong_Check(value.ptr()) && !is_bool(value) && nb::cast<long long>(value) >= 0 &&
                 nb::cast<long long>(value) <= 255;
        } else {
            return invalid("unknown proxy setting " + k);
        }
        if (!ok) return invalid("invalid value for the proxy setting " + k);
    }
    if (!d.contains("proxyType")) return invalid("proxy needs a proxyType");
    if (text(d["proxyType"]) == "pac" && !d.contains("proxyAutoconfigUrl"))
        return invalid("a pac proxy needs a proxyAutoconfigUrl");
    if (d.contains("socksProxy") && !d.contains("socksVersion")) return invalid("socksProxy needs a socksVersion");
    return std::nullopt;
}

std::optional<Answer> check_prompt_behavior(nb::handle v) {
    if (is_str(v)) {
        if (!one_of(v, kPromptHandlers)) return invalid("unknown unhandledPromptBehavior " + text(v));
        return std::nullopt;
    }
    if (!PyDict_Check(v.ptr())) return invalid("unhandledPromptBehavior must be a string or an object");
    for (auto [key, value] : nb::borrow<nb::dict>(v)) {
        if (!one_of(key, kPromptTypes)) return invalid("unknown prompt type " + text(key));
        if (!one_of(value, kPromptHandlers)) return invalid("unknown prompt handler " + text(value));
    }
    return std::nullopt;
}

// Validates one capabilities object: its entries without the nulls, or the error.
Result validate(nb::handle caps) {
    if (!PyDict_Check(caps.ptr())) return invalid("capabilities must be an object");
    nb::dict out;
    for (auto [key, value] : nb::borrow<nb::dict>(caps)) {
        if (value.is_none()) continue;
        std::string name = text(key);
        std::optional<Answer> bad;
        if (name == "acceptInsecureCerts" || name == "strictFileInteractability" || name == "setWindowRect") {
            if (!is_bool(value)) bad = invalid(name + " must be a boolean");
        } else if (name == "browserName" || name == "browserVersion" || name == "platformName") {
            if (!is_str(value)) bad = invalid(name + " must be a string");
        } else if (name == "pageLoadStrategy") {
            if (!one_of(value, kStrategies)) bad = invalid("pageLoadStrategy must be none, eager or normal");
        } else if (name == "proxy") {
            bad = check_proxy(value);
        } else if (name == "timeouts") {
            bad = check_timeouts(value);
        } else if (name == "unhandledPromptBehavior") {
            bad = check_prompt_behavior(value);
        } else if (name == "panekit:token") {
            if (!is_str(value)) bad = invalid("panekit:token must be a string");
        } else if (name == "panekit:controlPort") {
            if (!PyLong_Check(value.ptr()) || is_bool(value)) bad = invalid("panekit:controlPort must be a port number");
        } else if (name.find(':') == std::string::npos) {
            bad = invalid("unknown capability " + name);
        }
        if (bad) return *bad;
        out[key] = value;
    }
    return out;
}

// alwaysMatch merged with one firstMatch; a name in both is an error.
Result merge(const nb::dict &primary, const nb::dict &secondary) {
    nb::dict out = nb::borrow<nb::dict>(PyDict_Copy(primary.ptr()));
    for (auto [key, value] : secondary) {
        if (primary.contains(key)) return invalid("the capability " + text(key) + " is in alwaysMatch and firstMatch");
        out[key] = value;
    }
    return out;
}

// The capabilities the window answers with for `caps`, or None when it cannot match them.
nb::object match(const nb::dict &caps, const Offer &offer) {
    nb::dict m;
    m["browserName"] = "panekit";
    m["browserVersion"] = offer.version;
    m["platformName"] = offer.platform;
    m["acceptInsecureCerts"] = false;
    m["pageLoadStrategy"] = "normal";
    m["proxy"] = nb::dict();
    m["setWindowRect"] = true;
    nb::dict timeouts;
    timeouts["implicit"] = 0;
    timeouts["pageLoad"] = 300000;
    timeouts["script"] = 30000;
    m["timeouts"] = timeouts;
    m["strictFileInteractability"] = false;
    m["unhandledPromptBehavior"] = "dismiss and notify";
    m["panekit:controlPort"] = offer.port;
    for (auto [key, value] : caps) {
        std::string name = text(key);
        if (name == "browserName") {
            if (text(value) != "panekit") return nb::none();
        } else if (name == "browserVersion") {
            std::string v = text(value);
            // Only the exact version, or a bound on the major version (">=2", "<3").
            if (v != offer.version) {
                std::size_t op = v.find_first_not_of("<>=");
                std::string how = v.substr(0, op);
                if (how.empty()) return nb::none();
                double want = std::atof(v.c_str() + op), have = std::atof(offer.version.c_str());
                bool ok = how == ">=" ? have >= want : how == ">" ? have > want : how == "<=" ? have <= want
                        : how == "<" ? have < want : false;
                if (!ok) return nb::none();
            }
        } else if (name == "platformName") {
            if (text(value) != offer.platform) return nb::none();
        } else if (name == "acceptInsecureCerts") {
            if (pk::truthy(value)) return nb::none();
        } else if (name == "setWindowRect") {
            if (!pk::truthy(value)) return nb::none();
        } else if (name == "proxy") {
            // No proxy of its own: the engine's network settings (the system's) are what it uses.
            std::string type = text(nb::borrow<nb::dict>(value)["proxyType"]);
            if (type != "direct" && type != "system") return nb::none();
            m[key] = value;
        } else if (name == "panekit:controlPort") {
            if (!nb::handle(value).equal(offer.port)) return nb::none();
        } else if (name == "panekit:token") {
            continue;  // a credential, never answered back
        } else {
            m[key] = value;
        }
    }
    if (caps.contains("timeouts")) {
        nb::dict merged = nb::borrow<nb::dict>(PyDict_Copy(timeouts.ptr()));
        for (auto [k, v] : nb::borrow<nb::dict>(caps["timeouts"]))
            if (is_str(k) && (text(k) == "implicit" || text(k) == "pageLoad" || text(k) == "script")) merged[k] = v;
        m["timeouts"] = merged;
    }
    return m;
}

}  // namespace

Result process_capabilities(nb::handle parameters, const Offer &offer) {
    if (!PyDict_Check(parameters.ptr())) return invalid("the body must be a JSON object");
    nb::dict params = nb::borrow<nb::dict>(parameters);
    if (!params.contains("capabilities")) return invalid("capabilities missing");
    nb::object request = params["capabilities"];
    if (!PyDict_Check(request.ptr())) return invalid("capabilities must be an object");
    nb::dict req = nb::borrow<nb::dict>(request);
    nb::object always = req.contains("alwaysMatch") ? nb::object(req["alwaysMatch"]) : nb::object(nb::dict());
    Result required = validate(always);
    if (auto *a = std::get_if<Answer>(&required)) return *a;
    nb::object firsts = req.contains("firstMatch") ? nb::object(req["firstMatch"]) : nb::object();
    if (!firsts.is_valid()) {
        nb::list one;
        one.append(nb::dict());
        firsts = one;
    }
    if (!PyList_Check(firsts.ptr()) || nb::len(firsts) == 0) return invalid("firstMatch must be a list of one or more objects");
    std::vector<nb::dict> validated;
    for (nb::handle first : nb::borrow<nb::list>(firsts)) {
        Result v = validate(first);
        if (auto *a = std::get_if<Answer>(&v)) return *a;
        validated.push_back(std::get<nb::dict>(v));
    }
    std::vector<nb::dict> merged;
    for (const nb::dict &first : validated) {
        Result m = merge(std::get<nb::dict>(required), first);
        if (auto *a = std::get_if<Answer>(&m)) return *a;
        merged.push_back(std::get<nb::dict>(m));
    }
    for (const nb::dict &caps : merged) {
        nb::object m = match(caps, offer);
        if (!m.is_none()) return nb::borrow<nb::dict>(m);
    }
    return failure("session not created", "no capabilities of the request can be matched by this window");
}

}  // namespace pk::wd
