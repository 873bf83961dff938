"""The source distribution holds what the repository holds: the build backend, given the checkout
itself (environments, builds and the Windows tier's folders beside the sources), takes exactly
the files git would commit."""
import pathlib
import subprocess
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _git_files() -> set[str]:
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                cwd=ROOT, capture_output=True, check=True, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        pytest.skip("not a git checkout (an installed wheel's or the Windows interpreter's test run)")
    names = filter(None, listed.decode("utf-8", "surrogateescape").split("\0"))
    return {n for n in names if (ROOT / n).is_file()}


def test_the_sdist_holds_the_files_git_would_commit(monkeypatch, tmp_path):
    expected = _git_files()
    build = pytest.importorskip("scikit_build_core.build")
    monkeypatch.chdir(ROOT)  # the backend's hooks run in the project's folder
    name = build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as sdist:
        top = name.removesuffix(".tar.gz") + "/"
        packed = {m.name.removeprefix(top) for m in sdist.getmembers() if m.isfile()}
    assert packed - {"PKG-INFO"} == expected
