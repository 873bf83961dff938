"""One-shot commands (`panekit url`, `navigate`, ...) against a real control server on loopback,
and against a port where nothing listens; the installed console script."""
import io
import json
import os
import re
import socket
import subprocess
import sys
import sysconfig
import threading

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
    (["state"], {"ok": True, "core": True, "url": "https://start.example/", "title": "", "loading": False,
                 "can_go_back": False, "can_go_forward": False}, None),
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


@pytest.mark.parametrize("answer, status, said", [
    ({"ok": True, "url": "https://a.example/", "title": "A"}, 0, ""),
    ({"ok": True, "url": "https://a.example/", "download": True}, 0, ""),  # as "ok" says
    ({"ok": False, "url": "https://a.example/", "error": "CannotConnect"}, 1, ""),
    ({"ok": False, "error": "timed out"}, 1, "panekit: the page did not finish loading within 2.5 s\n"),
    # A window's answer whose text reads like a client failure is still the window's answer.
    ({"ok": False, "error": "<urlopen error made by the page>"}, 1, ""),
])
@pytest.mark.parametrize("argv", [["navigate", "a.example"], ["back"], ["reload"]])
def test_waited_command_exits_0_when_the_answer_is_ok(capsys, monkeypatch, argv, answer, status, said):
    from panekit import helmwire

    seen = []

    def call(*args, **kw):
        seen.append(kw)
        return answer
    monkeypatch.setattr(helmwire, {"navigate": "remote_navigate", "back": "remote_go_back",
                                   "reload": "remote_reload"}[argv[0]], call)
    assert run(capsys, argv + ["--wait", "2.5"]) == (status, json.dumps(answer) + "\n", said)
    assert seen == [{"port": None, "timeout": 15.0, "wait": 2.5}]


def test_wait_beyond_the_limit_is_refused(capsys):
    with pytest.raises(SystemExit) as e:
        main(["navigate", "a.example", "--wait", "121"])
    assert e.value.code == 2 and "at most 120 seconds" in capsys.readouterr().err


def test_failure_answer_exits_1(window, capsys, monkeypatch):
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(window.port))
    window.calls.clear()
    assert run(capsys, ["navigate", "   "]) == (1, '{"ok": false, "error": "empty url"}\n', "")
    assert window.calls == []


class BrokenPipe(io.StringIO):
    """An output whose reader has gone."""

    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


LONG = "x.example/" + "a" * (1 << 20)
TIMED_OUT = (r"the panekit window at http://127.0.0.1:{silent} did not answer within 0.5 s \(time-out\); "
             r"it may be busy, try again\n")
TOO_LONG = r"the address is too long to send: its request is \d+ bytes, a panekit window takes at most 1048576"

# argv, REPL input, browser core ("yes", "no", "later"), output ("capture", "closed": None,
# "broken": a BrokenPipe), exit status, stdout and stderr as regular expressions ("" for nothing;
# None: not checked). {port} is the window's port, {silent} a port that never answers.
CASES = {
    "ready exits 1 while the browser is not ready": (
        ["ready"], None, "no", "capture", 1, r'\{"ok": true, "core": false, "url": ""\}\n', ""),
    "ready --wait gives up": (
        ["ready", "--wait", "0.3"], None, "no", "capture", 1, r'\{"ok": true, "core": false, "url": ""\}\n',
        r"panekit: the browser was not ready within 0.3 s\n"),
    "ready --wait until ready": (
        ["ready", "--wait", "30"], None, "later", "capture", 0, r'\{"ok": true, "core": true, .*\}\n', ""),
    "ready --wait, a window that never answers": (
        ["ready", "--wait", "0.3", "--port", "{silent}"], None, "yes", "capture", 1, "",
        TIMED_OUT),
    "a time-out is a time-out": (
        ["url", "--port", "{silent}"], None, "yes", "capture", 1, "",
        TIMED_OUT),
    "repl --host --port": (
        ["repl", "--host", "127.0.0.1"], "u\n", "yes", "capture", 0,
        r".*\{'ok': True, 'url': 'https://start.example/'\}\n.*", ""),
    "navigate over the body limit": (
        ["navigate", LONG], None, "yes", "capture", 1, "", "panekit: " + TOO_LONG + r"\n"),
    "repl n over the body limit": (
        ["repl"], "n " + LONG + "\n", "yes", "capture", 0, r".*\{'ok': False, 'error': '" + TOO_LONG + r"'\}\n.*", ""),
    "closed output": (["url"], None, "yes", "closed", 0, None, ""),
    "reader gone": (["url"], None, "yes", "broken", 0, None, ""),
    "reader gone, failed request": (["navigate", " "], None, "yes", "broken", 1, None, ""),
    "repl, closed output": (["repl"], "r\n", "yes", "closed", 0, None, ""),
    "repl, reader gone": (["repl"], "r\n", "yes", "broken", 0, None, ""),
}


@pytest.mark.parametrize("argv, stdin, core, output, status, out, err", CASES.values(), ids=CASES)
def test_command_line_and_repl(window, capsys, monkeypatch, argv, stdin, core, output, status, out, err):
    from ctlsupport import busy_port
    from panekit import __main__ as cli

    monkeypatch.setattr(cli, "_REQUEST_SECONDS", 0.5)
    if "--host" in argv:  # the option names the address, whatever the variable says
        monkeypatch.setenv("PANEKIT_CONTROL_HOST", "nowhere.invalid")
    if "--port" not in argv:
        argv = argv + ["--port", str(window.port)]
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    window.calls.clear()
    window.core_obj = None if core in ("no", "later") else Core("https://start.example/")
    if core == "later":
        timer = threading.Timer(0.3, lambda: setattr(window, "core_obj", Core("https://start.example/")))
        timer.start()
    try:
        with busy_port() as silent:  # accepts connections, never answers
            argv = [a.replace("{silent}", str(silent)) for a in argv]
            if output != "capture":
                monkeypatch.setattr(sys, "stdout", None if output == "closed" else BrokenPipe())
            got = main(argv)
            monkeypatch.undo()
    finally:
        window.core_obj = Core("https://start.example/")
    got_out, got_err = capsys.readouterr()
    assert got == status
    for pattern, text in ((out, got_out), (err, got_err)):
        if pattern is not None:
            assert re.fullmatch(pattern.replace("{silent}", str(silent)), text, re.DOTALL), text[:300]
    if stdin == "r\n":  # the REPL's request was made, whatever became of its output
        assert window.calls == [("reload",)]


def test_closed_pipe_in_a_real_process(window, tmp_path):
    """`panekit url | head -c0`: the reader is gone before the answer is written."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        run = subprocess.run([sys.executable, "-m", "panekit", "url", "--port", str(window.port)],
                             stdout=write_end, stderr=subprocess.PIPE, timeout=60, cwd=tmp_path)
    finally:
        os.close(write_end)
    assert (run.returncode, run.stderr) == (0, b"")


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


AT_CAP = "a.example/" + "a" * ((1 << 20) - len('{"url": "https://a.example/"}'))  # its body is exactly the cap

# argv, variables, exit status, stderr (a regular expression; {closed} is a port nothing listens on).
INPUTS = {
    "a path in --host": (["url", "--host", "127.0.0.1/x?"], {}, 2,
                         r"panekit: --host '127\.0\.0\.1/x\?' is not a host name or IP address .*\n"),
    "a port in --host": (["url", "--host", "127.0.0.1:9"], {}, 2, r"panekit: --host '127\.0\.0\.1:9' is not .*\n"),
    "junk in the host variable": (["back"], {"PANEKIT_CONTROL_HOST": "a b"}, 2,
                                  r"panekit: PANEKIT_CONTROL_HOST 'a b' is not .*\n"),
    "a port variable below 0": (["url"], {"PANEKIT_CONTROL_PORT": "-5"}, 2,
                                r"panekit: PANEKIT_CONTROL_PORT=-5 is not a port \(0-65535\)\n"),
    "a port variable above 65535": (["repl"], {"PANEKIT_CONTROL_PORT": "70000"}, 2, r"panekit: PANEKIT_CONTROL_PORT=70000 .*\n"),
    "open, a path in --control-host": (["open", "--backend", "gtk", "--control-host", "h/x"], {}, 2,
                                       r"panekit: --control-host 'h/x' is not .*\n"),
    "an IPv6 literal is bracketed in the hint": (
        ["url", "--host", "::1", "--port", "{closed}"], {}, 1,
        r"no panekit window answers at http://\[::1\]:{closed}; start one with: panekit open \[URL\] "
        r"--control-host ::1 --control-port {closed}\n"),
    "a host name is taken": (["url", "--host", "localhost", "--port", "{closed}"], {}, 1,
                             r"no panekit window answers at http://localhost:{closed}; .*\n"),
    "the wait counts in the length check": (["navigate", AT_CAP, "--wait", "10"], {}, 1,
                                            "panekit: " + TOO_LONG + r"\n"),
}


@pytest.mark.parametrize("argv, variables, status, err", INPUTS.values(), ids=INPUTS)
def test_inputs_are_checked_before_anything_is_sent(capsys, monkeypatch, closed_port, argv, variables, status, err):
    for name in ("PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT"):
        monkeypatch.delenv(name, raising=False)
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    argv = [a.replace("{closed}", str(closed_port)) for a in argv]
    got, out, got_err = run(capsys, argv)
    assert (got, out) == (status, "")
    assert re.fullmatch(err.replace("{closed}", str(closed_port)), got_err), got_err


@pytest.mark.skipif(sys.platform == "win32", reason="closes a descriptor of the child through sh")
@pytest.mark.parametrize("redirect, stdin, env", [
    ("2>&-", b"u\n", {}),                                  # input() needs standard error
    ("<&-", None, {}),                                     # nothing to read commands from
    ("", "n é.example\n".encode(), {"PYTHONIOENCODING": "ascii"}),  # a line the input cannot decode
])
def test_repl_meets_unusable_streams_with_one_line(closed_port, redirect, stdin, env):
    run = subprocess.run(["sh", "-c", f'exec "$0" -m panekit repl --port {closed_port} {redirect}', sys.executable],
                         input=stdin, capture_output=True, timeout=60, env=dict(os.environ, **env))
    said = [ln for ln in (run.stdout + run.stderr).decode("ascii", "replace").splitlines() if "[panekit]" in ln]
    assert run.returncode == 1 and len(said) == 1, run.stdout + run.stderr
    assert b"Traceback" not in run.stderr


def test_token_command(capsys, monkeypatch, tmp_path, closed_port):
    """`panekit token` prints the token of the window on the port, wherever a window of this user
    wrote it: here one started without XDG_RUNTIME_DIR (su, cron, a container) is asked from a
    shell that has one. None there: one line and 1; PANEKIT_CONTROL_TOKEN wins over the file."""
    from panekit import helmwire

    monkeypatch.delenv("XDG_RUNTIME_DIR")
    ui = UIThread()
    host = Host(ui)
    srv, th = host.start()
    try:
        monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path / "session"))
        assert run(capsys, ["token", "--port", str(host.port)]) == (0, srv.control_token + "\n", "")
        assert helmwire.control_token(port=host.port) == srv.control_token
        # ... and the client calls send it: the page routes answer past the token check.
        assert helmwire.remote_script("1", port=host.port) == {"ok": False, "error": "browser not ready"}
        monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(host.port))
        monkeypatch.setenv("PANEKIT_CONTROL_TOKEN", " given ")
        assert run(capsys, ["token"]) == (0, "given\n", "")
        monkeypatch.delenv("PANEKIT_CONTROL_TOKEN")
        assert run(capsys, ["token", "--port", str(closed_port)]) == (
            1, "", f"no token for port {closed_port}: no panekit window of this user listens there and "
            f"PANEKIT_CONTROL_TOKEN is not set; start one with: panekit open [URL] --control-port {closed_port}\n")
        assert helmwire.control_token(port=closed_port) is None
        monkeypatch.setenv("PANEKIT_CONTROL_PORT", "70000")
        assert run(capsys, ["token"]) == (2, "", "panekit: PANEKIT_CONTROL_PORT=70000 is not a port (0-65535)\n")
    finally:
        srv.shutdown()
        srv.server_close()
        th.join(10)
        ui.stop()
