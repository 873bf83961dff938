"""Who may steer the window (Origin), and requests whose head cannot be read one way only."""
import json

import pytest

from ctlsupport import Core, Host, raw_request, split_answer

ORIGIN_REQUESTS = [
    b"GET /url HTTP/1.0\r\n%s\r\n",
    b"POST /navigate HTTP/1.0\r\n%sContent-Length: 11\r\n\r\nexample.com",
    b"POST /back HTTP/1.0\r\n%sContent-Type: application/x-www-form-urlencoded\r\n\r\n",
    b"OPTIONS /navigate HTTP/1.0\r\n%sAccess-Control-Request-Method: POST\r\n\r\n",
]


def send(port, request, origins):
    head = b"".join(b"Origin: " + o.encode("latin-1") + b"\r\n" for o in origins)
    return split_answer(raw_request(port, request % head))


@pytest.mark.parametrize("origins", [
    ["http://evil.example"], ["http://evil.example:18765"], ["null"], [""], ["http://192.168.1.20:8080"],
    ["http://localhost.evil.example"], ["http://127.0.0.1.nip.io"], ["http://[::2]:80"], ["localhost"],
    ["http://localhost:x"], ["http://localhost/path"], ["http://user@localhost"], ["file://"],
    ["http://localhost", "http://evil.example"],  # every Origin header counts
])
def test_foreign_origin_is_refused_before_any_work(host, origins):
    host.core_obj = Core("https://secret.example/?token=1")
    for request in ORIGIN_REQUESTS:
        status, headers, body = send(host.port, request, origins)
        assert (status, body) == (403, b'{"ok": false, "error": "origin not allowed"}'), request
        assert headers[2:] == [("Content-Type", "application/json; charset=utf-8"),
                               ("Content-Length", str(len(body))), ("Access-Control-Allow-Origin", "*")]
    assert host.calls == [] and host.ui_threads == set()
    assert host.log[-1] == '[panekit control] "OPTIONS /navigate HTTP/1.0" 403 -'


@pytest.mark.parametrize("origins", [
    [], ["http://127.0.0.1:3000"], ["https://127.8.9.10"], ["http://localhost"], ["HTTP://LocalHost.:8080"],
    ["http://[::1]:5173"], ["http://[::ffff:127.0.0.1]"], ["moz-extension://localhost"],
])
def test_pages_of_this_machine_are_served(host, origins):
    host.core_obj = Core("https://a.example/")
    assert json.loads(send(host.port, ORIGIN_REQUESTS[0], origins)[2]) == {"ok": True, "url": "https://a.example/"}
    status, _, body = send(host.port, ORIGIN_REQUESTS[1], origins)
    assert (status, json.loads(body)) == (200, {"ok": True, "url": "https://example.com"})
    assert send(host.port, ORIGIN_REQUESTS[3], origins)[0] == 204


@pytest.mark.parametrize("setting, origin, served", [
    ("http://app.example:8080", "http://app.example:8080", True),
    (" https://a.example , HTTP://App.Example:8080/ ", "http://app.example:8080", True),
    ("http://app.example:8080", "http://app.example:8081", False),
    ("http://app.example", "https://app.example", False),
    ("null", "null", True),
    ("*", "http://anything.example", True),
    ("", "http://app.example", False),
])
def test_origins_the_user_allows(host, monkeypatch, setting, origin, served):
    monkeypatch.setenv("PANEKIT_CONTROL_ORIGINS", setting)
    assert send(host.port, ORIGIN_REQUESTS[0], [origin])[0] == (200 if served else 403)


def test_server_started_on_a_name_serves_pages_of_that_name(ui):
    h = Host(ui)
    h.start(host="127.0.0.1")  # the own host text counts, here an address
    try:
        assert send(h.port, ORIGIN_REQUESTS[0], ["http://127.0.0.1:9"])[0] == 200
    finally:
        h.srv.shutdown()
        h.srv.server_close()


@pytest.mark.parametrize("head, error", [
    (b"Host : evil.example\r\n", "malformed header line"),          # space before the colon
    (b"X-A: 1\r\nno colon here\r\nHost: evil.example\r\n", "malformed header line"),
    (b" X-Folded: first line\r\n", "malformed header line"),
    (b"X-A: 1\r\n continued\r\n", "malformed header line"),         # obsolete line folding
    (b"X-A: 1\rHost: evil.example\r\n", "malformed header line"),   # a lone CR starts a header
    (b"\xffName: 1\r\n", "malformed header line"),
    (b"Content-Length: 11\r\nContent-Length: 5\r\n", "conflicting Content-Length"),
    (b"Content-Length: 11\r\ncontent-length: 011\r\n", "conflicting Content-Length"),
])
def test_unreadable_heads_are_refused(host, head, error):
    for method in (b"POST /navigate", b"GET /url"):
        raw = raw_request(host.port, method + b" HTTP/1.0\r\n" + head + b"\r\nexample.com")
        status, _, body = split_answer(raw)
        assert (status, json.loads(body)) == (400, {"ok": False, "error": error})
    assert host.calls == []


@pytest.mark.parametrize("head", [
    b"Content-Length: 11\r\nContent-Length: 11\r\n",
    b"Content-Length: 11\r\nContent-Length:  11 \r\n",
    b"X-Odd:\x00\xff value\r\nContent-Length: 11\n",
])
def test_repeated_equal_lengths_and_odd_values_are_read(host, head):
    status, _, body = split_answer(raw_request(host.port, b"POST /navigate HTTP/1.0\r\n" + head + b"\r\nexample.com"))
    assert (status, json.loads(body)) == (200, {"ok": True, "url": "https://example.com"})
