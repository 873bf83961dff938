import json
import socket
import threading
import time

import pytest

from panekit import helmwire
from ctlsupport import Core, Host, raw_request, split_answer

HINT = "GET /ready  |  GET /url  |  POST /navigate /back /forward /reload"


def get(port, target):
    return split_answer(raw_request(port, b"GET " + target.encode() + b" HTTP/1.0\r\n\r\n"))


def post(port, target, body=b"", headers=None):
    head = "POST %s HTTP/1.0\r\n" % target
    hdrs = {"Content-Length": str(len(body))} if headers is None else headers
    head += "".join("%s: %s\r\n" % kv for kv in hdrs.items())
    return split_answer(raw_request(port, head.encode() + b"\r\n" + body))


def test_json_answer_bytes_and_header_order(host):
    host.core_obj = Core("https://пример.рф/ü")
    status, headers, body = get(host.port, "/url")
    assert status == 200
    assert [k for k, _ in headers] == ["Server", "Date", "Content-Type", "Content-Length",
                                       "Access-Control-Allow-Origin"]
    assert dict(headers)["Content-Type"] == "application/json; charset=utf-8"
    assert dict(headers)["Access-Control-Allow-Origin"] == "*"
    assert body == '{"ok": true, "url": "https://пример.рф/ü"}'.encode("utf-8")
    assert int(dict(headers)["Content-Length"]) == len(body) > len(body.decode())


def test_get_routes(host):
    assert get(host.port, "/ready")[2] == b'{"ok": true, "core": false, "url": ""}'
    assert get(host.port, "/url")[2] == b'{"ok": true, "url": ""}'
    host.core_obj = Core(None)
    for target in ("/ready?x=1", "/ready/", "/readyness"):
        assert json.loads(get(host.port, target)[2]) == {"ok": True, "core": True, "url": ""}
    host.core_obj = Core("https://a.example/")
    assert json.loads(get(host.port, "/urlx")[2]) == {"ok": True, "url": "https://a.example/"}
    for target in ("/", "/other", "/x/ready"):
        assert get(host.port, target)[:3:2] == (200, json.dumps({"ok": True, "hint": HINT}).encode())
    assert host.ui_threads == {"test-ui"}


def test_source_that_fails_is_swallowed(host):
    class Broken:
        @property
        def Source(self):
            raise RuntimeError("gone")

    host.core_obj = Broken()
    assert json.loads(get(host.port, "/ready")[2]) == {"ok": True, "core": True, "url": ""}
    assert json.loads(get(host.port, "/url")[2]) == {"ok": True, "url": ""}


@pytest.mark.parametrize("target, body, status, answer, navigated", [
    ("/navigate", b'{"url": " example.com "}', 200, {"ok": True, "url": "https://example.com"}, True),
    ("/navigate", b"example.com", 200, {"ok": True, "url": "https://example.com"}, True),
    ("/navigate?x=1", b"example.com", 200, {"ok": True, "url": "https://example.com"}, True),
    ("/navigate//", b"example.com", 200, {"ok": True, "url": "https://example.com"}, True),
    ("/api/navigate", b"example.com", 200, {"ok": True, "url": "https://example.com"}, True),
    ("/navigate", b"\xffexample.com", 200, {"ok": True, "url": "https://example.com"}, True),
    ("/navigate", b'{"url": "ABOUT:blank", "x": 1}', 200, {"ok": True, "url": "ABOUT:blank"}, True),
    ("/navigate", b"", 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b"   ", 400, {"ok": False, "error": "missing url"}, False),
    # JSON that names no usable "url" never becomes an address of its own text
    ("/navigate", b'{"foo": 1}', 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b'{"url": ""}', 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b'{"url": null}', 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b'["example.com"]', 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b'"example.com"', 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b"42", 400, {"ok": False, "error": "missing url"}, False),
    ("/navigate", b"null", 400, {"ok": False, "error": "missing url"}, False),
    # a body meant as a JSON object that does not parse is refused, never taken as an address
    # (Windows PowerShell strips the inner quotes of -d '{"url": "example.org"}')
    ("/navigate", b"{url: example.org}", 400, {"ok": False, "error": "invalid JSON"}, False),
    ("/navigate", b' \r\n{"url": "example.org"', 400, {"ok": False, "error": "invalid JSON"}, False),
    ("/navigate", b'{"url": "\xff.example"}', 400, {"ok": False, "error": "invalid JSON"}, False),
    ("/navigate", b"example.org/{x}", 200, {"ok": True, "url": "https://example.org/{x}"}, True),
    ("/navigatex", b"example.com", 404, {"ok": False, "error": "unknown path"}, False),
    ("/", b"example.com", 404, {"ok": False, "error": "unknown path"}, False),
])
def test_post_navigate(host, target, body, status, answer, navigated):
    got = post(host.port, target, body)
    assert got[0] == status
    assert json.loads(got[2]) == answer
    assert host.calls == ([("navigate", answer["url"])] if navigated else [])


@pytest.mark.parametrize("target, call", [("/back", "back"), ("/x/forward/", "forward"),
                                          ("/reload?y", "reload")])
def test_post_history(host, target, call):
    status, _, body = post(host.port, target, b"not json at all")
    assert (status, body) == (200, b'{"ok": true}')
    assert host.calls == [(call,)]


@pytest.mark.parametrize("length", ["abc", "-5", "", "1.5"])
def test_unusable_content_length_means_empty_body(host, length):
    status, _, body = post(host.port, "/navigate", b"example.com", {"Content-Length": length})
    assert (status, json.loads(body)) == (400, {"ok": False, "error": "missing url"})


@pytest.mark.parametrize("length", [str((1 << 20) + 1), "9" * 30, "9" * 5000, "+" + "9" * 5000])
def test_oversized_body_is_refused_unread(host, length):
    status, _, body = post(host.port, "/navigate", b"example.com", {"Content-Length": length})
    assert (status, json.loads(body)) == (413, {"ok": False, "error": "body too large"})
    assert host.calls == []


def test_options_preflight(host):
    status, headers, body = split_answer(raw_request(host.port, b"OPTIONS /anything HTTP/1.0\r\n\r\n"))
    assert status == 204 and body == b""
    assert headers[2:] == [("Access-Control-Allow-Origin", "*"),
                           ("Access-Control-Allow-Methods", "GET, POST, OPTIONS"),
                           ("Access-Control-Allow-Headers", "Content-Type")]
    assert host.calls == []


def test_log_lines(host):
    get(host.port, "/ready")
    get(host.port, "/url")
    raw_request(host.port, b"HEAD /ready HTTP/1.0\r\n\r\n")
    post(host.port, "/back")
    assert host.log == [
        '[panekit control] "GET /url HTTP/1.0" 200 -',
        "[panekit control] code 501, message Unsupported method ('HEAD')",
        '[panekit control] "HEAD /ready HTTP/1.0" 501 -',
        '[panekit control] "POST /back HTTP/1.0" 200 -',
    ]


def test_log_lines_escape_what_the_client_sent(host):
    """Control characters (ESC and C1 CSI sequences, BEL, DEL) and backslashes never reach the console raw."""
    raw_request(host.port, b"GET /\x1b[2J\x07\x7f\\x\x9b31m\xe9 HTTP/1.0\r\n\r\n")
    assert host.log == ['[panekit control] "GET /\\x1b[2J\\x07\\x7f\\\\x\\x9b31m\xe9 HTTP/1.0" 200 -']


@pytest.mark.parametrize("text", [
    "plain \xe9 \u4e2d \U0001f600 \u2028",          # nothing to escape, in each width of text
    "tab\there \U0001f600", "back\\slash \u4e2d", "next\x85line \xe9", "del\x7f", "\x00",
])
def test_log_lines_escape_as_the_standard_handler_does(ui, text):
    def refuse(*args):
        raise Refused(text)

    h = Host(ui)
    h.core = refuse
    h.start()
    try:
        assert get(h.port, "/url")[0] == 500
    finally:
        h.srv.shutdown()
        h.srv.server_close()
    table = {c: "\\x%02x" % c for c in [*range(0x20), *range(0x7f, 0xa0)]} | {ord("\\"): "\\\\"}
    assert [line for line in h.log if "failed" in line] == [
        "[panekit control] url failed: Refused: " + text.translate(table)]


def test_log_defaults_to_stdout(ui, capfd):
    h = Host(ui)
    h.start(log=None)
    try:
        get(h.port, "/x")
    finally:
        h.srv.shutdown()
        h.srv.server_close()
    assert capfd.readouterr().out == '[panekit control] "GET /x HTTP/1.0" 200 -\n'


def test_lone_surrogate_still_gets_a_whole_answer(host):
    host.core_obj = Core("https://a.example/\ud800x")
    status, headers, body = get(host.port, "/url")
    assert status == 200 and int(dict(headers)["Content-Length"]) == len(body)
    assert json.loads(body) == {"ok": True, "url": "https://a.example/\ud800x"}
    # No engine can load an address holding one: refused before anything navigates.
    status, _, body = post(host.port, "/navigate", b'{"url": "b.example/\\udc00"}')
    assert (status, json.loads(body)) == (400, {"ok": False, "error": "invalid url"})


class Refused(Exception):
    pass


def _raise(*args):
    raise Refused("no such address \x1b[2J")


@pytest.mark.parametrize("how", ["work raises, host drops it", "work raises, host passes it on",
                                 "invoke_sync itself fails"])
@pytest.mark.parametrize("request_bytes, route", [
    (b"GET /ready HTTP/1.0\r\n\r\n", "ready"),
    (b"GET /url HTTP/1.0\r\n\r\n", "url"),
    (b"POST /navigate HTTP/1.0\r\nContent-Length: 11\r\n\r\nexample.com", "navigate"),
    (b"POST /back HTTP/1.0\r\n\r\n", "back"),
    (b"POST /forward HTTP/1.0\r\n\r\n", "forward"),
    (b"POST /reload HTTP/1.0\r\n\r\n", "reload"),
])
def test_failed_ui_work_is_answered_500_and_logged_once(ui, how, request_bytes, route):
    h = Host(ui)
    h.core = h.do_navigate = h.do_back = h.do_forward = h.do_reload = _raise
    invoke = {"work raises, host drops it": ui.invoke_sync,
              "work raises, host passes it on": lambda fn: fn(),
              "invoke_sync itself fails": _raise}[how]
    h.start(invoke_sync=invoke)
    try:
        status, headers, body = split_answer(raw_request(h.port, request_bytes))
        assert (status, json.loads(body)) == (500, {"ok": False, "error": "Refused: no such address \x1b[2J"})
        assert dict(headers)["Content-Type"] == "application/json; charset=utf-8"
        assert get(h.port, "/x")[0] == 200  # the server goes on
    finally:
        h.srv.shutdown()
        h.srv.server_close()
    assert [line for line in h.log if "Refused" in line] == [
        "[panekit control] %s failed: Refused: no such address \\x1b[2J" % route]


def test_server_object_and_thread(host):
    assert type(host.srv).__name__ == "HTTPServer"
    assert host.th.name == "panekit-control" and host.th.daemon and host.th.is_alive()
    handler = host.srv.RequestHandlerClass
    assert handler.__qualname__ == "start_control_server.<locals>._Handler"
    assert handler.__module__ == "panekit.helmwire"
    own = [k for k in vars(handler) if k not in ("__module__", "__qualname__", "__doc__")]
    assert own == ["log_message", "_read_body", "_json", "do_OPTIONS", "do_GET", "do_POST", "do_DELETE"]


def test_handle_request_outside_the_loop(host):
    """The standard one-request call still works once the serving loop has stopped."""
    host.srv.shutdown()
    host.th.join(5)
    t = threading.Thread(target=host.srv.handle_request, daemon=True)
    t.start()
    status, _, body = post(host.port, "/navigate", b"example.com")
    t.join(5)
    assert (status, json.loads(body)) == (200, {"ok": True, "url": "https://example.com"})
    host.th = t


def test_port_in_use_raises_and_starts_nothing(host):
    before = threading.active_count()
    with pytest.raises(OSError):
        Host(host.ui).start(port=host.port)
    assert threading.active_count() == before
