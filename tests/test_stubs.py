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
    public = {n for n in module_names() if not n.startswith("_")}
    assert public == set(panekit.__all__)
    for name in public:
        assert (PACKAGE / (name + ".pyi")).is_file(), name


def test_stubtest_finds_no_difference(tmp_path):
    # Plain, as a user would run it: no allowlist. The runtime's shared libraries are no names of
    # the package (they live in a folder that is no identifier, or are .dll files beside the
    # modules), and __main__ has nothing a stub would have to hide.
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "panekit"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


def test_runtime_libraries_are_not_modules_of_the_package():
    import pkgutil
    names = {m.name for m in pkgutil.iter_modules(panekit.__path__)}
    assert names == set(panekit.__all__) | {"__main__"} | ({"_pk_testing"} & names)
