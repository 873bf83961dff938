"""One-shot commands (`panekit url`, `navigate`, ...) against a real control server on loopback,
and against a port where nothing listens; the installed console script."""
import io
import json
import os
import socket
import subprocess
import sys
import sysconfig

import pytest

from ctlsupport import Core, Host, UIThread
from panekit import __version__
from panekit.__main__ import main


@pytest.fixture(scope="module")
def window():
    ui = UIThread()
    host = Host(ui)
    host.core_obj = Core("https://start.example/")
    srv, th = host.start()
    try:
        yield host
    finally:
        srv.shutdown()
        srv.server_close()
        th.join(10)
        ui.stop()


@pytest.fixture
def closed_port():
    with socket.socket() as s:  # bound, never listening, then released
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(capsys, argv):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("argv, answer, call", [
    (["ready"], {"ok": True, "core": True, "url": "https://start.example/"}, None),
    (["url"], {"ok": True, "url": "https://start.example/"}, None),
    (["navigate", "例子.example/路径 a"], {"ok": True, "url": "https://例子.example/路径 a"},
     ("navigate", "https://例子.example/路径 a")),
    (["back"], {"ok": True}, ("back",)),
    (["forward"], {"ok": True}, ("forward",)),
    (["reload"], {"ok": True}, ("reload",)),
])
def test_command_prints_the_answer(window, capsys, monkeypatch, argv, answer, call):
    # --host names the server, whatever PANEKIT_CONTROL_HOST says, and only for this call.
    monkeypatch.setenv("PANEKIT_CONTROL_HOST", "nowhere.invalid")
    window.calls.clear()
    status, out, err = run(capsys, argv + ["--port", str(window.port), "--host", "127.0.0.1"])
    assert (status, err) == (0, "")
    assert out == json.dumps(answer, ensure_ascii=False) + "\n"
    assert window.calls == ([call] if call else [])
    assert os.environ["PANEKIT_CONTROL_HOST"] == "nowhere.invalid"


def test_failure_answer_exits_1(window, capsys, monkeypatch):
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(window.port))
    window.calls.clear()
    assert run(capsys, ["navigate", "   "]) == (1, '{"ok": false, "error": "empty url"}\n', "")
    window.core_obj = None  # browser not ready yet: still an answer, ok true
    try:
        assert run(capsys, ["ready"]) == (0, '{"ok": true, "core": false, "url": ""}\n', "")
    finally:
        window.core_obj = Core("https://start.example/")
    assert window.calls == []


@pytest.mark.parametrize("argv", [["ready"], ["url"], ["navigate", "example.com"], ["back"],
                                  ["forward"], ["reload"]])
def test_no_window_hint(capsys, monkeypatch, closed_port, argv):
    monkeypatch.delenv("PANEKIT_CONTROL_HOST", raising=False)
    status, out, err = run(capsys, argv + ["--port", str(closed_port)])
    assert (status, out) == (1, "")
    assert err == (f"no panekit window answers at http://127.0.0.1:{closed_port}; "
                   f"start one with: panekit open [URL] --control-port {closed_port}\n")


def test_no_window_hint_uses_the_environment(capsys, monkeypatch, closed_port):
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(closed_port))
    monkeypatch.setenv("PANEKIT_CONTROL_HOST", "127.0.0.1")
    assert run(capsys, ["url"]) == (1, "", f"no panekit window answers at "
                                    f"http://127.0.0.1:{closed_port}; start one with: "
                                    "panekit open [URL]\n")


def test_repl_gives_the_hint(capsys, monkeypatch, closed_port, window):
    monkeypatch.delenv("PANEKIT_CONTROL_HOST", raising=False)
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(closed_port))
    monkeypatch.setattr(sys, "stdin", io.StringIO("r\nq\n"))
    assert main(["repl"]) == 0
    lines = capsys.readouterr().out.split("webview2> ")
    assert lines[1] == (f"no panekit window answers at http://127.0.0.1:{closed_port}; "
                        "start one with: panekit open [URL]\n")
    # A window that answers is printed as before.
    monkeypatch.setattr(sys, "stdin", io.StringIO("u\n"))
    assert main(["repl", "--port", str(window.port)]) == 0
    assert str({"ok": True, "url": "https://start.example/"}) in capsys.readouterr().out


@pytest.mark.parametrize("port", ["0", "65536", "-1", "1e3"])
def test_ports_are_checked(capsys, port):
    with pytest.raises(SystemExit) as info:
        main(["url", "--port", port])
    assert info.value.code == 2
    assert "argument --port" in capsys.readouterr().err


def test_installed_console_script(tmp_path):
    """`pip install .` put a `panekit` command beside the interpreter that runs the launcher."""
    script = os.path.join(sysconfig.get_path("scripts"), "panekit")
    if sys.platform == "win32":
        script += ".exe"
    assert os.path.exists(script), "pip install . did not install the panekit command"
    version = subprocess.run([script, "--version"], capture_output=True, text=True,
                             timeout=60, cwd=tmp_path)
    assert (version.returncode, version.stdout) == (0, f"panekit {__version__}\n")
    usage = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60,
                           cwd=tmp_path)
    assert usage.returncode == 0
    for command in ("open", "ready", "url", "navigate", "back", "forward", "reload", "repl"):
        assert command in usage.stdout
