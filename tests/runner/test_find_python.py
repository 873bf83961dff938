"""The runner (noxfile.py) when no CPython 3.13 or no C++ compiler can be found: one line for the
system it runs on, saying where to get one. Loaded beside a stand-in of nox, which the suite's environment lacks."""
import importlib.util
import os
import pathlib
import sys
import types

import pytest

NOXFILE = pathlib.Path(__file__).resolve().parents[2] / "noxfile.py"


@pytest.fixture
def runner(monkeypatch, tmp_path):
    if not NOXFILE.is_file():
        pytest.skip("the runner is not in this tree (an installed wheel's test run)")
    nox = types.ModuleType("nox")
    nox.options = types.SimpleNamespace()
    nox.session = lambda func=None, **kw: func if func is not None else (lambda f: f)
    monkeypatch.setitem(sys.modules, "nox", nox)
    spec = importlib.util.spec_from_file_location("panekit_noxfile", NOXFILE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    monkeypatch.delenv("PANEKIT_PYTHON", raising=False)
    monkeypatch.setattr(module, "CACHE", tmp_path / "python313.json")
    monkeypatch.setattr(module, "_candidates", lambda: [[str(tmp_path / "python3.13")]])
    monkeypatch.setattr(module.os, "geteuid", lambda: 1000, raising=False)
    return module


@pytest.mark.parametrize("windows, apt_has_it, line", [
    (True, False, "no CPython 3.13 found; install CPython 3.13 with the installer from "
     "https://www.python.org/downloads/windows/ or the Python install manager (py install 3.13), "
     "then run this again (or set PANEKIT_PYTHON to one)"),
    # Debian 13: the system's own package
    (False, True, "no CPython 3.13 found; install it with: sudo apt-get install --no-install-recommends "
     "python3.13-dev python3.13-venv, then run this again (or set PANEKIT_PYTHON to one)"),
    # Debian 12, Ubuntu 24.04: none in the archive
    (False, False, "no CPython 3.13 found; this system has no python3.13 package; install one with "
     "uv (pipx install uv, then uv python install 3.13) or pyenv (pyenv install 3.13), then run "
     "this again (or set PANEKIT_PYTHON to one)"),
])
def test_no_interpreter_is_one_line_for_the_system(runner, monkeypatch, windows, apt_has_it, line):
    monkeypatch.setattr(runner, "WINDOWS", windows)
    monkeypatch.setattr(runner, "_apt_has", lambda package: apt_has_it and package == "python3.13")
    with pytest.raises(RuntimeError) as e:
        runner.python313()
    assert str(e.value) == line
    # A session ends with that line as its reason (nox prints it; no traceback).
    with pytest.raises(SessionQuit) as q:
        runner.session_python(Session())
    assert q.value.args == (line,)


class SessionQuit(Exception):
    pass


class Session:
    """What session_python uses of a nox session: error() ends it with a reason."""

    def error(self, *args):
        raise SessionQuit(*args)


@pytest.mark.parametrize("system, cxx, on_path, line", [
    # CXX names a compiler that cannot build C++20 (here: one that fails everything)
    ("linux", "false", {"apt-get"}, "building panekit needs a C++20 compiler and false cannot compile "
     "C++20; install one with: sudo apt-get install --no-install-recommends g++, then run this again"),
    ("linux", "/nowhere/g++", {"apt-get"}, "building panekit needs a C++ compiler and CXX names /nowhere/g++, "
     "which is not there; install one with: sudo apt-get install --no-install-recommends g++, then run this again"),
    ("linux", None, set(), "building panekit needs a C++ compiler and none was found; install g++ "
     "(GCC 10 or newer) or clang++ (Clang 13 or newer), then run this again"),
    ("windows", None, set(), "building panekit needs a C++ compiler and none was found; install the "
     'Visual Studio 2022 Build Tools with the "Desktop development with C++" workload (winget install '
     '--id Microsoft.VisualStudio.2022.BuildTools -e --override "--quiet --wait --add '
     'Microsoft.VisualStudio.Workload.VCTools --includeRecommended"), then run this again'),
    ("windows", None, {"cl"}, None),  # a developer prompt's MSVC
])
def test_missing_compiler_is_one_line_before_building(runner, monkeypatch, tmp_path, system, cxx, on_path, line):
    if cxx == "false" and os.name == "nt":
        pytest.skip("the compiler that fails everything is the Unix `false`")
    monkeypatch.setattr(runner, "WINDOWS", system == "windows")
    monkeypatch.setenv("ProgramFiles(x86)", str(tmp_path))  # no vswhere there
    if cxx is None:
        monkeypatch.delenv("CXX", raising=False)
    else:
        monkeypatch.setenv("CXX", cxx)
    monkeypatch.setattr(runner.shutil, "which", lambda name: "/bin/" + name if name in on_path else None)
    assert runner.compiler_problem() == line


def test_the_systems_compiler_passes_the_check(runner, monkeypatch):
    """The probe compiles with the compiler this machine builds panekit with."""
    import shutil

    if os.name == "nt" or not (os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")):
        pytest.skip("no Unix C++ compiler here")
    assert runner.compiler_problem() is None


@pytest.mark.skipif(os.name == "nt", reason="links to interpreters are a Unix matter here")
def test_an_interpreter_found_through_a_link_is_used_by_its_own_path(runner, tmp_path):
    real = os.path.realpath(sys._base_executable)
    (tmp_path / "python3.13").symlink_to(real)  # as uv links ~/.local/bin/python3.13
    assert runner.python313() == real
