"""/state and "wait" on a server started with plain callables (no page tracker), and the checks
made before any work."""

import json

import pytest

from ctlsupport import Core, raw_request, split_answer
from panekit import helmwire


def post(port, path, body):
    data = json.dumps(body).encode() if not isinstance(body, bytes) else body
    head = "POST %s HTTP/1.0\r\nContent-Length: %d\r\n\r\n" % (path, len(data))
    status, _, answer = split_answer(raw_request(port, head.encode() + data))
    return status, json.loads(answer)


def test_state_from_the_core_alone(host):
    assert helmwire.remote_state(port=host.port) == {
        "ok": True, "core": False, "url": "", "title": "", "loading": False, "can_go_back": False,
        "can_go_forward": False}
    host.core_obj = Core("https://x.example/")
    host.core_obj.DocumentTitle, host.core_obj.CanGoBack = "X", True  # no CanGoForward: stays false
    assert helmwire.remote_state(port=host.port) == {
        "ok": True, "core": True, "url": "https://x.example/", "title": "X", "loading": False,
        "can_go_back": True, "can_go_forward": False}


@pytest.mark.parametrize("path, body, status, error", [
    ("/navigate", {"url": "a.example", "wait": 5}, 501, "this window cannot report page loads"),
    ("/back", {"wait": 0}, 501, "this window cannot report page loads"),
    ("/navigate", {"url": "a.example", "wait": -1}, 400, "wait must be a number of seconds from 0 to 120"),
    ("/reload", {"wait": 121}, 400, "wait must be a number of seconds from 0 to 120"),
    ("/forward", {"wait": "5"}, 400, "wait must be a number of seconds from 0 to 120"),
    ("/forward", {"wait": True}, 400, "wait must be a number of seconds from 0 to 120"),
])
def test_wait_refused_without_acting(host, path, body, status, error):
    assert post(host.port, path, body) == (status, {"ok": False, "error": error})
    assert host.calls == []


@pytest.mark.parametrize("path, body, call", [
    ("/navigate", {"url": "a.example", "wait": None}, ("navigate", "https://a.example")),
    ("/back", b"not json", ("back",)),
    ("/reload", {"wait": None}, ("reload",)),
])
def test_no_wait_is_as_before(host, path, body, call):
    status, answer = post(host.port, path, body)
    assert status == 200 and answer == ({"ok": True, "url": call[1]} if len(call) > 1 else {"ok": True})
    assert host.calls == [call]


@pytest.mark.parametrize("wait", [-0.5, 120.5, "1", True, float("nan")])
def test_client_refuses_a_bad_wait_without_a_request(wait):
    bad = {"ok": False, "error": "wait must be a number of seconds from 0 to 120"}
    port = 9  # nothing is sent: a request would fail with another error
    assert helmwire.remote_navigate("a.example", port=port, wait=wait) == bad
    assert helmwire.remote_reload(port=port, wait=wait) == bad
