"""The hand-kept .pyi stubs and panekit/__init__.py agree with the built package (mypy's stubtest)."""
import importlib.machinery
import pathlib
import subprocess
import sys

import panekit

PACKAGE = pathlib.Path(panekit.__file__).parent


def module_names():
    """Names of the importable modules among the package's files."""
    suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES + [".py"], key=len, reverse=True)
    for f in PACKAGE.iterdir():
        for suffix in suffixes:
            if f.name.endswith(suffix):
                yield f.name[: -len(suffix)]
                break


def test_every_public_module_is_listed_and_has_a_stub():
    public = {n for n in module_names() if not n.startswith(("_", "lib"))}
    assert public == set(panekit.__all__)
    for name in public:
        assert (PACKAGE / (name + ".pyi")).is_file(), name


def test_stubtest_finds_no_difference(tmp_path):
    # nanobind's core and the runtime are shared libraries the modules load; on Linux their file
    # names look like extension modules to stubtest, yet they are not Python modules.
    allow = sorted("panekit." + n for n in module_names() if n.startswith("lib"))
    # The command-line entry point is a script without stub: stubtest reads the .py file itself
    # as its stub and then mistakes the classes local to its functions for module attributes.
    allow.append(r"panekit\.__main__\..*")
    (tmp_path / "allowlist.txt").write_text("".join(a + "\n" for a in allow))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "panekit", "--allowlist", "allowlist.txt"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
