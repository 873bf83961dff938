// The settings every host reads the same way: its entry point's parameters, the home and start
// addresses, the control server's host and port, the user-data folder.
#pragma once

#include "pk.hpp"

#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

namespace pk::host {
namespace nb = nanobind;

// The entry point both hosts share: run_toolbar_main(*, start_url, ...) -> int.
inline constexpr Param kRunParams[] = {
    {.name = "start_url", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly},
    {.name = "home_url", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "form_title", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = "panekit"},
    {.name = "user_data_folder", .annotation = "Optional[Path]", .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "with_control_server", .annotation = "bool", .check = Check::Truth, .kind = Kind::KeywordOnly, .def = Def::True},
    {.name = "control_host", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "control_port_override", .annotation = "Optional[int]", .check = Check::OptInt, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "browser_download_directory", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "browser_download_prompt", .annotation = "Optional[bool]", .check = Check::OptBool, .kind = Kind::KeywordOnly, .def = Def::None},
};

// ---- settings -----------------------------------------------------------------------------------
// Environment variables are read at call time from `env_vars` (the host module's os.environ, so a
// host whose `os` is rebound reads the new one); an empty value counts as unset. Errors propagate.

// Whether `sys_module.platform == "win32"` (the host's own `sys`, read at call time).
bool on_windows(nb::handle sys_module);

// The first non-empty of home_url, PANEKIT_HOME, default_home, normalised; default_home as it is
// when that normalises to empty.
nb::object home(nb::handle env_vars, nb::handle home_url, nb::handle default_home, nb::handle norm);

// norm(start_url), or home when that is empty.
nb::object start(nb::handle start_url, nb::handle home, nb::handle norm);

// The first non-empty of control_host, PANEKIT_CONTROL_HOST, "127.0.0.1", stripped; "127.0.0.1"
// when stripping leaves nothing.
nb::object control_host(nb::handle env_vars, nb::handle control_host);

// int(override) unless it is None, else int(control_port_fn()) (0 is a port like any other).
nb::object control_port(nb::handle override_port, nb::handle control_port_fn);

// The user-data folder, created with missing parents. A truthy `folder` is used as given (a
// relative folder stays relative), made a path_type(folder) first when it is text or os.PathLike
// without a mkdir of its own; otherwise PANEKIT_USER_DATA, else cwd/"runtime_data"/"panekit",
// as path_type(...).resolve(). `path_type` is the host's pathlib.Path (its module global).
nb::object user_data_folder(nb::handle env_vars, nb::handle folder, nb::handle path_type);

}  // namespace pk::host

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
