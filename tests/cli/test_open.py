"""`panekit open`: which host runs, what it is given, and its exit status. The hosts are
replaced by stand-in modules that record the call."""
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

from ctlsupport import free_port
from panekit.__main__ import main


class StandInHost(types.ModuleType):
    def __init__(self, name, status):
        super().__init__(name)
        self.status = status
        self.calls = []
        self.titles = []  # PANEKIT_WINDOW_TITLE as each call found it

    def run_toolbar_main(self, **keywords):
        self.calls.append(keywords)
        self.titles.append(os.environ.get("PANEKIT_WINDOW_TITLE"))
        return self.status


@pytest.fixture
def hosts(monkeypatch):
    made = {"winforms": StandInHost("panekit.framewell", 0),
            "pywebview": StandInHost("panekit.glassport", 0),
            "gtk": StandInHost("panekit.gtkhost", 0)}
    for module in made.values():
        monkeypatch.setitem(sys.modules, module.__name__, module)
    monkeypatch.delenv("PANEKIT_HOST_BACKEND", raising=False)
    monkeypatch.delenv("PANEKIT_CONTROL_HOST", raising=False)
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(free_port()))
    monkeypatch.setattr(sys, "platform", "win32")  # the default backend is the system's
    return made


DEPRECATED = "panekit: open --host is deprecated and goes in the next release; use --backend %s\n"


@pytest.mark.parametrize("argv, variable, chosen, err", [
    ([], None, "pywebview", ""),
    ([], "winforms", "winforms", ""),
    ([], "pywebview", "pywebview", ""),
    ([], "WinForms ", "pywebview", ""),   # only an exact name selects a backend
    ([], "", "pywebview", ""),
    (["--backend", "winforms"], None, "winforms", ""),
    (["--backend", "winforms"], "pywebview", "winforms", ""),
    (["--backend", "pywebview"], "winforms", "pywebview", ""),
    # the old spelling still works for this release, with a line saying so
    (["--host", "winforms"], "pywebview", "winforms", DEPRECATED % "winforms"),
    (["--host", "winforms", "--backend", "pywebview"], None, "pywebview", DEPRECATED % "winforms"),
    ([], "gtk", "gtk", ""),
    (["--backend", "gtk"], "winforms", "gtk", ""),
    (["linux"], None, "gtk", ""),          # Linux opens the GTK window unless told otherwise
    (["linux"], "pywebview", "pywebview", ""),
    (["linux", "--backend", "winforms"], None, "winforms", ""),
])
def test_backend_choice(hosts, monkeypatch, capsys, argv, variable, chosen, err):
    if argv[:1] == ["linux"]:
        monkeypatch.setattr(sys, "platform", "linux")
        argv = argv[1:]
    if variable is not None:
        monkeypatch.setenv("PANEKIT_HOST_BACKEND", variable)
    assert main(["open", "example.com"] + argv) == 0
    assert {name: host.calls for name, host in hosts.items()} == {
        name: [{"start_url": "example.com"}] if name == chosen else [] for name in hosts}
    assert capsys.readouterr().err == err


def test_host_address_given_to_open_is_explained(hosts, capsys):
    assert main(["open", "--host", "127.0.0.1"]) == 2
    assert capsys.readouterr().err == (
        "panekit: open --host 127.0.0.1: on open, --host named the window backend (deprecated; use "
        "--backend winforms|pywebview|gtk); the control server's address is --control-host\n")
    assert hosts["pywebview"].calls == hosts["winforms"].calls == []


def test_busy_control_port_is_said_before_any_window(hosts, capsys, monkeypatch):
    from ctlsupport import busy_port

    with busy_port() as port:
        monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(port))
        assert main(["open"]) == 1
        assert capsys.readouterr().err == (
            f"panekit: the control port {port} on 127.0.0.1 is taken (another panekit window or "
            "program listens there); choose another with --control-port N, or open the window "
            "without one with --no-control-server\n")
        assert hosts["pywebview"].calls == []
        # Without a control server the port does not matter; another port is another matter.
        assert main(["open", "--no-control-server"]) == 0
        assert main(["open", "--control-port", str(free_port())]) == 0
        assert len(hosts["pywebview"].calls) == 2
    assert main(["open", "--control-host", "192.0.2.1"]) == 1
    assert capsys.readouterr().err.startswith("panekit: the control server cannot listen on 192.0.2.1:")


def test_an_option_beats_its_variable(hosts, monkeypatch):
    monkeypatch.setenv("PANEKIT_WINDOW_TITLE", "from the variable")
    assert main(["open"]) == main(["open", "--title", "from the option"]) == 0
    assert hosts["pywebview"].titles == ["from the variable", None]


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
    assert main(["open", "--backend", "winforms"]) == status


@pytest.mark.parametrize("port", ["0", "65536", "x"])
def test_control_port_is_checked(hosts, capsys, port):
    with pytest.raises(SystemExit) as info:
        main(["open", "--control-port", port])
    assert info.value.code == 2
    assert "--control-port" in capsys.readouterr().err
    assert hosts["pywebview"].calls == []


def test_host_that_cannot_be_loaded(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "panekit.framewell", None)  # import raises ImportError
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(free_port()))
    assert main(["open", "--backend", "winforms"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("panekit: the winforms host (panekit.framewell) cannot be loaded: ")
    assert err.count("\n") == 1


@pytest.mark.skipif(sys.platform == "win32", reason="needs a system other than Windows (there the real window opens)")
@pytest.mark.parametrize("host, module", [("winforms", "framewell"), ("pywebview", "glassport")])
def test_real_host_refuses_other_systems(tmp_path, host, module):
    pytest.importorskip(f"panekit.{module}")
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    run = subprocess.run([sys.executable, "-m", "panekit", "open", "--backend", host,
                          "--control-port", str(free_port())],
                         capture_output=True, text=True, encoding="utf-8", timeout=60,
                         env=env, cwd=tmp_path)
    assert (run.returncode, run.stdout) == (1, "[panekit] 仅支持 Windows。\n")
