"""The control server's token: which routes ask for it, how it is sent, where it is kept."""
import json
import os
import stat

import pytest

from ctlsupport import raw_request, split_answer
from panekit import helmwire

REFUSED = (401, {"ok": False, "error": "token required"})


def ask(port, method, path, headers=(), body=b""):
    head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
    head += "".join(f"{k}: {v}\r\n" for k, v in headers)
    status, _, answer = split_answer(raw_request(port, head.encode() + b"\r\n" + body))
    return status, json.loads(answer) if answer else None


SCRIPT = b'{"script": "document.title"}'


@pytest.mark.parametrize("auth, sent, expected", [
    (None, [], REFUSED),
    (None, [("Authorization", "Bearer wrong")], REFUSED),
    (None, [("Authorization", "Bearer {t}x")], REFUSED),
    (None, [("Authorization", "Basic {t}")], REFUSED),
    (None, [("Authorization", "Bearer")], REFUSED),
    (None, [("Authorization", "Bearer {t}"), ("Authorization", "Bearer {t}")], REFUSED),  # one only
    (None, [("Authorization", "Bearer {t}")], (503, {"ok": False, "error": "browser not ready"})),
    (None, [("Authorization", "bEaReR   {t} ")], (503, {"ok": False, "error": "browser not ready"})),
    ("all", [("Authorization", "Bearer {t}")], (503, {"ok": False, "error": "browser not ready"})),
])
def test_script_route_asks_for_the_token(host, monkeypatch, auth, sent, expected):
    if auth:
        monkeypatch.setenv("PANEKIT_CONTROL_AUTH", auth)
    headers = [(k, v.format(t=host.srv.control_token)) for k, v in sent]
    assert ask(host.port, "POST", "/script", headers, SCRIPT) == expected
    assert ask(host.port, "GET", "/screenshot", headers)[0] == expected[0]


@pytest.mark.parametrize("auth, method, path, status", [
    (None, "GET", "/url", 200), (None, "GET", "/ready", 200), (None, "GET", "/state", 200),
    (None, "POST", "/reload", 200), (None, "GET", "/", 200),
    ("all", "GET", "/url", 401), ("ALL", "GET", "/ready", 401), ("all", "POST", "/navigate", 401),
    ("all", "GET", "/", 401), ("all", "OPTIONS", "/url", 204), ("some", "GET", "/url", 200),
])
def test_other_routes_are_open_unless_all(host, monkeypatch, auth, method, path, status):
    if auth:
        monkeypatch.setenv("PANEKIT_CONTROL_AUTH", auth)
    assert ask(host.port, method, path, body=b"{}" if method == "POST" else b"")[0] == status


def test_runtime_file_holds_address_and_token_for_the_user_only(ui, _runtime_folder):
    from ctlsupport import Host

    h = Host(ui)
    h.start()
    file = _runtime_folder / "panekit" / f"control-{h.port}.json"
    content = json.loads(file.read_text(encoding="utf-8"))
    assert content == {"url": f"http://127.0.0.1:{h.port}", "port": h.port, "token": h.srv.control_token,
                       "pid": os.getpid(), "host": "127.0.0.1"}
    assert len(h.srv.control_token) >= 22  # 128 bits and more, URL-safe base64
    if os.name == "posix":
        assert stat.S_IMODE(file.stat().st_mode) == 0o600
        assert stat.S_IMODE(file.parent.stat().st_mode) == 0o700
    # The clients find it by the port: the script route answers past the token check.
    assert helmwire.remote_script("1", port=h.port) == {"ok": False, "error": "browser not ready"}
    h.srv.shutdown()
    h.srv.server_close()
    assert not file.exists()


def test_a_file_another_server_rewrote_stays(ui, _runtime_folder):
    from ctlsupport import Host

    h = Host(ui)
    h.start()
    file = _runtime_folder / "panekit" / f"control-{h.port}.json"
    file.write_text(json.dumps({"token": "the next window's"}), encoding="utf-8")
    h.srv.shutdown()
    h.srv.server_close()
    assert file.exists()


def test_token_from_the_environment(host, monkeypatch):
    monkeypatch.setenv("PANEKIT_CONTROL_TOKEN", "  shared-secret ")
    from ctlsupport import Host

    h = Host(host.ui)
    h.start()
    try:
        assert h.srv.control_token == "shared-secret"
        assert ask(h.port, "POST", "/script", [("Authorization", "Bearer shared-secret")], SCRIPT)[0] == 503
        assert helmwire.remote_script("1", port=h.port) == {"ok": False, "error": "browser not ready"}
        # The other server's own token is not the one the client now sends.
        assert helmwire.remote_script("1", port=host.port) == REFUSED[1]
    finally:
        h.srv.shutdown()
        h.srv.server_close()


def test_unwritable_runtime_folder_is_said_and_the_server_runs(ui, monkeypatch, tmp_path):
    from ctlsupport import Host

    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(blocker))  # a file: no folder can be made in it
    monkeypatch.setenv("LOCALAPPDATA", str(blocker))
    h = Host(ui)
    h.start()
    try:
        assert [line for line in h.log if "token file not written" in line]
        assert helmwire.remote_get_url(port=h.port) == {"ok": True, "url": ""}
    finally:
        h.srv.shutdown()
        h.srv.server_close()


@pytest.mark.parametrize("call", [
    lambda port: helmwire.remote_script("1", port=port),
    lambda port: helmwire.remote_screenshot(port=port),
    lambda port: helmwire.remote_events(port=port),
    lambda port: helmwire.remote_events(wait=1, port=port),
])
def test_client_calls_never_raise_without_a_window(call):
    from ctlsupport import free_port

    answer = call(free_port())
    assert answer["ok"] is False and answer["error"]


@pytest.mark.parametrize("call, error", [
    (lambda: helmwire.remote_script("1", script_timeout=121), "script_timeout must be a number of seconds from 0 to 120"),
    (lambda: helmwire.remote_script("1", script_timeout=True), "script_timeout must be a number of seconds from 0 to 120"),
    (lambda: helmwire.remote_events(wait=-1), "wait must be a number of seconds from 0 to 120"),
])
def test_bad_waits_are_refused_without_a_request(call, error):
    assert call() == {"ok": False, "error": error}
