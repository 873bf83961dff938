"""`panekit open`: which host runs, what it is given, and its exit status. The hosts are
replaced by stand-in modules that record the call."""
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

from panekit.__main__ import main


class StandInHost(types.ModuleType):
    def __init__(self, name, status):
        super().__init__(name)
        self.status = status
        self.calls = []

    def run_toolbar_main(self, **keywords):
        self.calls.append(keywords)
        return self.status


@pytest.fixture
def hosts(monkeypatch):
    made = {"winforms": StandInHost("panekit.framewell", 0),
            "pywebview": StandInHost("panekit.glassport", 0)}
    for module in made.values():
        monkeypatch.setitem(sys.modules, module.__name__, module)
    monkeypatch.delenv("PANEKIT_HOST_BACKEND", raising=False)
    return made


@pytest.mark.parametrize("option, variable, chosen", [
    (None, None, "pywebview"),
    (None, "winforms", "winforms"),
    (None, "pywebview", "pywebview"),
    (None, "WinForms ", "pywebview"),   # only the exact value selects WinForms
    (None, "", "pywebview"),
    ("winforms", None, "winforms"),
    ("winforms", "pywebview", "winforms"),
    ("pywebview", "winforms", "pywebview"),
])
def test_host_choice(hosts, monkeypatch, option, variable, chosen):
    if variable is not None:
        monkeypatch.setenv("PANEKIT_HOST_BACKEND", variable)
    argv = ["open", "example.com"] + (["--host", option] if option else [])
    assert main(argv) == 0
    other = "winforms" if chosen == "pywebview" else "pywebview"
    assert hosts[chosen].calls == [{"start_url": "example.com"}]
    assert hosts[other].calls == []


def test_options_become_keywords(hosts):
    argv = ["open", "https://start.example/", "--home", "home.example", "--title", "标题",
            "--user-data", "profile", "--no-control-server", "--control-host", "0.0.0.0",
            "--control-port", "8080", "--download-dir", "dl", "--download-prompt"]
    assert main(argv) == 0
    assert hosts["pywebview"].calls == [dict(
        start_url="https://start.example/", home_url="home.example", form_title="标题",
        user_data_folder=Path("profile"), with_control_server=False, control_host="0.0.0.0",
        control_port_override=8080, browser_download_directory="dl",
        browser_download_prompt=True)]
    assert isinstance(hosts["pywebview"].calls[0]["user_data_folder"], Path)


def test_unset_options_leave_the_host_defaults(hosts):
    assert main(["open", "--no-download-prompt"]) == 0
    assert hosts["pywebview"].calls == [{"start_url": "", "browser_download_prompt": False}]


@pytest.mark.parametrize("status", [1, 7])
def test_exit_status_is_the_hosts(hosts, status):
    hosts["winforms"].status = status
    assert main(["open", "--host", "winforms"]) == status


@pytest.mark.parametrize("port", ["0", "65536", "x"])
def test_control_port_is_checked(hosts, capsys, port):
    with pytest.raises(SystemExit) as info:
        main(["open", "--control-port", port])
    assert info.value.code == 2
    assert "--control-port" in capsys.readouterr().err
    assert hosts["pywebview"].calls == []


def test_host_that_cannot_be_loaded(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "panekit.framewell", None)  # import raises ImportError
    assert main(["open", "--host", "winforms"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("panekit: the winforms host (panekit.framewell) cannot be loaded: ")
    assert err.count("\n") == 1


@pytest.mark.skipif(sys.platform == "win32", reason="needs a system other than Windows (there the real window opens)")
@pytest.mark.parametrize("host, module", [("winforms", "framewell"), ("pywebview", "glassport")])
def test_real_host_refuses_other_systems(tmp_path, host, module):
    pytest.importorskip(f"panekit.{module}")
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    run = subprocess.run([sys.executable, "-m", "panekit", "open", "--host", host],
                         capture_output=True, text=True, encoding="utf-8", timeout=60,
                         env=env, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (1, "[panekit] 仅支持 Windows。\n")
