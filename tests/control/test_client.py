import http.server
import json
import socket
import threading

import pytest

import ctlsupport
from ctlsupport import raw_request, split_answer
from panekit import helmwire


@pytest.fixture
def free_port():
    return ctlsupport.free_port()


class Canned:
    """A tiny server answering every request with a fixed status and body, recording requests."""

    def __init__(self, status=200, body=b"{}"):
        self.status, self.body, self.seen = status, body, []
        outer = self

        class H(http.server.BaseHTTPRequestHandler):
            def _answer(self):
                n = int(self.headers.get("Content-Length") or 0)
                outer.seen.append((self.command, self.path, dict(self.headers), self.rfile.read(n)))
                self.send_response(outer.status)
                self.send_header("Content-Length", str(len(outer.body)))
                self.end_headers()
                self.wfile.write(outer.body)

            do_GET = do_POST = _answer

            def log_message(self, *a):
                pass

        self.srv = http.server.HTTPServer(("127.0.0.1", 0), H)
        self.port = self.srv.server_address[1]
        # a short poll: shutdown() waits for the loop's next look at its flag
        self.th = threading.Thread(target=self.srv.serve_forever, args=(0.02,), daemon=True)
        self.th.start()

    def close(self):
        self.srv.shutdown()
        self.srv.server_close()


@pytest.fixture
def canned():
    made = []

    def make(status=200, body=b"{}"):
        c = Canned(status, body)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


ALL_CALLS = [
    lambda p: helmwire.remote_navigate("example.com", port=p),
    lambda p: helmwire.remote_go_back(port=p),
    lambda p: helmwire.remote_go_forward(port=p),
    lambda p: helmwire.remote_reload(port=p),
    lambda p: helmwire.remote_get_url(port=p),
    lambda p: helmwire.remote_ready(port=p),
    lambda p: helmwire._http_post_json("/x", port=p),
    lambda p: helmwire._http_get_json("/x", port=p),
]


@pytest.mark.parametrize("call", ALL_CALLS)
def test_no_server_gives_a_failure_object(call, free_port):
    r = call(free_port)
    assert list(r) == ["ok", "error"] and r["ok"] is False
    assert isinstance(r["error"], str) and r["error"]
    assert r.kind == "unreachable"  # what the command reads, instead of the text


def test_blank_navigate_is_refused_locally(canned):
    c = canned()
    for url in ("", "   ", "\t\n"):
        assert helmwire.remote_navigate(url, port=c.port) == {"ok": False, "error": "empty url"}
    assert c.seen == []


# Addresses that still hold what no engine loads as written after normalising: a control character
# (NUL included: the engine would cut the address there) or a lone surrogate.
UNUSABLE = ["http://127.0.0.1:1/p/evil\x00.trusted.example/", "a.example/\udcff", "a.example/x\ty",
            "a.example/\x7f", "a.example/\x85x"]


@pytest.mark.parametrize("url", UNUSABLE)
def test_unusable_address_refused_by_client_and_server(canned, host, url):
    c = canned()
    assert helmwire.remote_navigate(url, port=c.port) == {"ok": False, "error": "invalid url"}
    assert c.seen == []
    body = json.dumps({"url": url}).encode()  # as a foreign client sends it: JSON escapes
    answer = raw_request(host.port, b"POST /navigate HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
    status, _, text = split_answer(answer)
    assert (status, json.loads(text)) == (400, {"ok": False, "error": "invalid url"})
    assert host.calls == []


def test_request_bytes(canned):
    c = canned(body=b'{"ok": true}')
    assert helmwire.remote_go_back(port=c.port) == {"ok": True}
    helmwire.remote_navigate("  пример.рф/ä ", port=c.port)
    helmwire._http_post_json("/p", port=c.port)
    helmwire.remote_get_url(port=c.port)
    (m1, p1, h1, b1), (m2, p2, h2, b2), (m3, p3, h3, b3), (m4, p4, h4, b4) = c.seen
    assert (m1, p1, b1) == ("POST", "/back", b"{}")
    assert h1["Content-Type"] == "application/json; charset=utf-8"
    assert (p2, b2) == ("/navigate", '{"url": "https://пример.рф/ä"}'.encode("utf-8"))
    assert (p3, b3, h3["Content-Type"]) == ("/p", b"", "application/json; charset=utf-8")
    assert (m4, p4, b4) == ("GET", "/url", b"")
    assert "Content-Type" not in h4


@pytest.mark.parametrize("status, body, post, get", [
    (200, b'[1, 2]', "Expected dict, got list", "Expected dict, got list"),
    (200, b'"text"', "Expected dict, got str", "Expected dict, got str"),
    (404, b'{"ok": false, "error": "unknown path"}', None, "HTTP Error 404: Not Found"),
    (400, b"<html>no</html>", "HTTP Error 400: Bad Request", "HTTP Error 400: Bad Request"),
    (500, b"[1]", "HTTP Error 500: Internal Server Error", "HTTP Error 500: Internal Server Error"),
])
def test_answers_that_are_not_objects(canned, status, body, post, get):
    c = canned(status, body)
    r = helmwire._http_post_json("/x", {"a": 1}, port=c.port)
    if post is None:
        assert r == json.loads(body)
    else:
        assert r == {"ok": False, "error": post}
    assert helmwire._http_get_json("/x", port=c.port) == {"ok": False, "error": get}


def test_null_answer_and_bad_utf8(canned):
    assert helmwire._http_get_json("/x", port=canned(200, b"null").port) is None
    r = helmwire._http_get_json("/x", port=canned(200, b'{"a": "\xff"}').port)
    assert r["ok"] is False and "utf-8" in r["error"]


def test_port_resolution(canned, monkeypatch):
    c = canned(body=b'{"ok": true, "url": ""}')
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", str(c.port))
    assert helmwire.remote_get_url() == {"ok": True, "url": ""}
    monkeypatch.setenv("PANEKIT_CONTROL_PORT", "1")
    assert helmwire.remote_get_url(port=float(c.port)) == {"ok": True, "url": ""}
    assert helmwire.remote_get_url()["ok"] is False


def test_against_a_running_control_server(host):
    assert helmwire.remote_ready(port=host.port) == {"ok": True, "core": False, "url": ""}
    assert list(helmwire.remote_ready(port=host.port)) == ["ok", "core", "url"]
    assert helmwire.remote_navigate("例え.jp", port=host.port) == {"ok": True, "url": "https://例え.jp"}
    assert helmwire._http_post_json("/nope", port=host.port) == {"ok": False, "error": "unknown path"}
    assert helmwire.remote_reload(port=host.port) == {"ok": True}
    assert host.calls == [("navigate", "https://例え.jp"), ("reload",)]


def test_client_never_uses_a_proxy(host, canned, monkeypatch):
    """A proxy from the environment (or the system) would see the address and could forge the answer."""
    proxy = canned(body=b'{"ok": true, "url": "https://forged.example/"}')
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy"):
        monkeypatch.setenv(name, "http://127.0.0.1:%d" % proxy.port)
    monkeypatch.delenv("no_proxy", raising=False)
    monkeypatch.delenv("NO_PROXY", raising=False)
    host.core_obj = ctlsupport.Core("https://real.example/")
    assert helmwire.remote_get_url(port=host.port) == {"ok": True, "url": "https://real.example/"}
    assert helmwire.remote_navigate("b.example", port=host.port) == {"ok": True, "url": "https://b.example"}
    assert proxy.seen == []


@pytest.mark.parametrize("listen", ["::1", "[::1]"])
def test_ipv6_literal_host(ui, monkeypatch, listen):
    try:
        socket.create_server(("::1", 0), family=socket.AF_INET6).close()
    except OSError:
        pytest.skip("no IPv6 loopback here")
    h = ctlsupport.Host(ui)
    h.start(host=listen)
    try:
        monkeypatch.setenv("PANEKIT_CONTROL_HOST", "::1")
        assert helmwire.control_base_url(port=h.port) == "http://::1:%d" % h.port  # the text stays bare
        h.core_obj = ctlsupport.Core("https://six.example/")
        assert helmwire.remote_get_url(port=h.port) == {"ok": True, "url": "https://six.example/"}
        assert helmwire.remote_go_back(port=h.port) == {"ok": True}
        monkeypatch.setenv("PANEKIT_CONTROL_HOST", "[::1]")
        assert helmwire.remote_ready(port=h.port)["ok"] is True
    finally:
        h.srv.shutdown()
        h.srv.server_close()
        h.th.join(5)
    assert h.calls == [("back",)] and not h.th.is_alive()


@pytest.mark.parametrize("call", [lambda p: helmwire.remote_get_url(port=p, timeout=0.5),
                                  lambda p: helmwire.remote_navigate("a.example", port=p, timeout=0.5)])
def test_one_deadline_for_the_whole_call(call):
    """A peer that answers a byte at a time never lets a single read wait for the time-out; the
    call still ends at it, instead of after the whole (valid) answer has trickled in."""
    answer = b'HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n{"ok": true}'
    stop = threading.Event()
    with socket.socket() as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen()

        def trickle():
            conn, _ = srv.accept()
            with conn:
                for i in range(len(answer)):
                    if stop.wait(0.05):
                        return
                    conn.sendall(answer[i:i + 1])

        t = threading.Thread(target=trickle, daemon=True)
        t.start()
        try:
            r = call(srv.getsockname()[1])
            assert r == {"ok": False, "error": "timed out"} and r.kind == "time-out"
            assert t.is_alive()  # the peer was still sending
        finally:
            stop.set()
            t.join(5)
