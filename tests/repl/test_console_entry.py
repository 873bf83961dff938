import io
import os
import subprocess
import sys

import pytest

import panekit.helmwire
from panekit.__main__ import main

SUMMARY = "命令: n <url> 跳转 | b 后退 | f 前进 | r 刷新 | u 当前URL | h 帮助 | q 退出"


@pytest.mark.parametrize("argv, env_port, port", [
    (["repl", "--port", "4321"], "1111", 4321),
    (["repl", "--port=65535"], None, 65535),
    (["repl"], "5555", 5555),
    (["repl"], None, 18765),
])
def test_repl_port(client, monkeypatch, capsys, argv, env_port, port):
    if env_port is None:
        monkeypatch.delenv("PANEKIT_CONTROL_PORT", raising=False)
    else:
        monkeypatch.setenv("PANEKIT_CONTROL_PORT", env_port)
    monkeypatch.setattr(sys, "stdin", io.StringIO("u\nq\n"))
    assert main(argv) == 0
    assert client.calls == [("remote_get_url", (), {"port": port})]
    assert capsys.readouterr().out.startswith(SUMMARY + "\nwebview2> ")


def test_port_from_control_port_at_run_time(client, monkeypatch):
    monkeypatch.setattr(panekit.helmwire, "control_port", lambda: 2468)
    monkeypatch.setattr(sys, "stdin", io.StringIO("b\n"))
    assert main(["repl"]) == 0
    assert client.calls == [("remote_go_back", (), {"port": 2468})]


def test_ctrl_c_during_a_command(client, monkeypatch, capsys):
    def interrupted(**kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(panekit.helmwire, "remote_reload", interrupted)
    monkeypatch.setattr(sys, "stdin", io.StringIO("r\n"))
    assert main(["repl", "--port", "1"]) == 130


@pytest.mark.parametrize("argv, code, stream, needle", [
    (["--help"], 0, "out", "repl"),
    (["repl", "--help"], 0, "out", "--port N"),
    ([], 2, "err", "required"),
    (["repl", "--port", "abc"], 2, "err", "not a port number"),
    (["repl", "extra"], 2, "err", "unrecognized arguments"),
    (["windoww"], 2, "err", "invalid choice"),
])
def test_argument_handling(capsys, argv, code, stream, needle):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == code
    assert needle in getattr(capsys.readouterr(), stream)


def test_python_dash_m(tmp_path):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    run = subprocess.run([sys.executable, "-m", "panekit", "repl", "--port", "9"], input="",
                         capture_output=True, text=True, encoding="utf-8", timeout=60,
                         env=env, cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (0, SUMMARY + "\nwebview2> \n", "")
    usage = subprocess.run([sys.executable, "-m", "panekit", "--help"], capture_output=True,
                           text=True, timeout=60, cwd=tmp_path)
    assert usage.returncode == 0 and usage.stdout.startswith("usage: panekit")
