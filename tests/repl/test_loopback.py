import io
import socket
import sys
import threading

import pytest

from panekit import helmwire
from panekit.promptdeck import Webview2ControlReplBase


@pytest.fixture
def server():
    """A real control server on a free loopback port; host callables run on a fake UI thread."""
    host = {"navigated": [], "backs": 0, "log": [], "ui_threads": set()}

    def invoke_sync(fn):
        t = threading.Thread(target=fn, name="fake-ui")
        t.start()
        t.join(10)
        assert not t.is_alive()

    class Core:
        Source = "https://start.example/"

    def do_navigate(url):
        host["ui_threads"].add(threading.current_thread().name)
        host["navigated"].append(url)
        Core.Source = url

    def do_back():
        host["backs"] += 1

    srv, th = helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=invoke_sync, core=lambda: Core,
        do_navigate=do_navigate, do_back=do_back, do_forward=lambda: None,
        do_reload=lambda: None, log=host["log"].append)
    host["port"] = srv.server_address[1]
    try:
        yield host
    finally:
        srv.shutdown()
        srv.server_close()
        th.join(10)


def test_repl_drives_a_real_server(server, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("n  Example.COM/路径 a\nb\nu\nq\n"))
    Webview2ControlReplBase.run_on_port(server["port"], prompt="")
    out = capsys.readouterr().out.splitlines()
    url = "https://Example.COM/路径 a"
    assert server["navigated"] == [url] and server["ui_threads"] == {"fake-ui"}
    assert server["backs"] == 1
    assert out[1:] == [str({"ok": True, "url": url}), str({"ok": True}),
                       str({"ok": True, "url": url})]


def test_unreachable_host_is_printed_and_loop_goes_on(capsys, monkeypatch):
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.delenv("PANEKIT_CONTROL_HOST", raising=False)
    monkeypatch.setattr(sys, "stdin", io.StringIO("r\nn   \nn x\nq\n"))
    Webview2ControlReplBase.run_on_port(port, prompt="")
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 4
    for line in (out[1], out[3]):
        assert line.startswith("{'ok': False, 'error': ") and len(line) > 30
    assert out[2].startswith("  请提供 URL")
