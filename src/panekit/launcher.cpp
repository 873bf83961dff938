// panekit.launcher: the window on any system. open_window opens it with the host that
// `panekit open` would choose (the backend named, else PANEKIT_HOST_BACKEND when it names one, else
// the system's own: gtk on Linux, pywebview elsewhere) and hands it the common settings; the hosts
// keep their own run_toolbar_main. The choice itself is host_backend, which the command uses too.
//
// `os`, `sys` and `BACKENDS` are read from the module dict at call time, so callers and tests can
// rebind them.
#include "pk.hpp"
#include "settings.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

const char *const kVariable = "PANEKIT_HOST_BACKEND";

// Backend name -> the module whose run_toolbar_main opens the window, in the order help lists them.
struct Backend {
    const char *name;
    const char *module;
};
constexpr Backend kBackends[] = {
    {"winforms", "panekit.framewell"}, {"pywebview", "panekit.glassport"}, {"gtk", "panekit.gtkhost"}};

bool names_backend(nb::handle backends, nb::handle name) {
    return PyUnicode_Check(name.ptr()) && pk::check(PySequence_Contains(backends.ptr(), name.ptr())) == 1;
}

constexpr pk::Param backend_params[] = {
    {.name = "backend", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None}};
constexpr pk::Spec backend_spec{
    .name = "host_backend",
    .params = backend_params,
    .returns = "str",
    .doc = "The window backend to use: `backend` when given (one of BACKENDS), else "
           "PANEKIT_HOST_BACKEND when it names one, else the system's own (gtk on Linux, pywebview "
           "elsewhere)."};
nb::object host_backend(const pk::Call &c, nb::handle backend) {
    nb::object backends = c.global("BACKENDS");
    if (pk::truthy(backend)) {
        if (names_backend(backends, backend)) return nb::borrow(backend);
        nb::object names = nb::str(", ").attr("join")(backends);
        pk::raise(PyExc_ValueError, "unknown window backend %R (one of: %U)", backend.ptr(), names.ptr());
    }
    nb::object variable = c.global("os").attr("environ").attr("get")(kVariable);
    if (names_backend(backends, variable)) return variable;
    const bool linux = pk::truthy(nb::object(c.global("sys").attr("platform")).attr("startswith")("linux"));
    return nb::str(linux ? "gtk" : "pywebview");
}

// open_window's settings: the hosts' own, with the backend after the first page.
constexpr pk::Param open_params[] = {
    {.name = "start_url", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = ""},
    {.name = "backend", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    pk::host::kRunParams[1], pk::host::kRunParams[2], pk::host::kRunParams[3], pk::host::kRunParams[4],
    pk::host::kRunParams[5], pk::host::kRunParams[6], pk::host::kRunParams[7], pk::host::kRunParams[8],
};
constexpr pk::Spec open_spec{
    .name = "open_window",
    .params = open_params,
    .returns = "int",
    .doc = "Open the browser window with the host host_backend(backend=backend) names and run it on "
           "this thread until it is closed; the host's exit status (0 after the window closed, 1 when "
           "it could not start). start_url \"\" opens the home page; the other settings are the "
           "hosts' run_toolbar_main keywords, handed on when they differ from their defaults."};
nb::object open_window(const pk::Call &c, nb::str start_url, nb::handle backend, nb::handle home_url,
                       nb::str form_title, nb::handle user_data_folder, bool with_control_server,
                       nb::handle control_host, nb::handle control_port_override,
                       nb::handle browser_download_directory, nb::handle browser_download_prompt) {
    nb::object name = c.global("host_backend")("backend"_a = backend);
    nb::object host = pk::import_from("importlib", "import_module")(c.global("BACKENDS")[name]);
    nb::dict kw;
    kw["start_url"] = start_url;
    // A setting at its default is left out, so the host's own default (and its variable) applies.
    auto given = [&](const char *key, nb::handle value) {
        if (!value.is_none()) kw[key] = value;
    };
    given("home_url", home_url);
    if (form_title.not_equal(nb::str("panekit"))) kw["form_title"] = form_title;
    given("user_data_folder", user_data_folder);
    if (!with_control_server) kw["with_control_server"] = false;
    given("control_host", control_host);
    given("control_port_override", control_port_override);
    given("browser_download_directory", browser_download_directory);
    given("browser_download_prompt", browser_download_prompt);
    return host.attr("run_toolbar_main")(**kw);
}

}  // namespace

NB_MODULE(launcher, m) {
    pk::Module mod(m, "panekit.launcher",
                   "The window on any system: open_window with the host `panekit open` would choose.");
    mod.set("os", pk::import("os"));
    mod.set("sys", pk::import("sys"));
    // What the annotations name, imported when first used: every command loads this module.
    mod.defer_names("pathlib", {"Path"});
    mod.defer_names("typing", {"Dict", "Optional"});
    nb::dict backends;
    for (const Backend &b : kBackends) backends[b.name] = b.module;
    mod.set("BACKENDS", backends);
    mod.def<backend_spec>(host_backend);
    mod.def<open_spec>(open_window);
}
