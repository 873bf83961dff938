"""Requests addressed to a name that is not this machine's (DNS rebinding) are refused unserved."""
import json
import socket

import pytest

from ctlsupport import Core, Host, raw_request, split_answer

REQUESTS = [
    b"GET /ready HTTP/1.0\r\n%s\r\n",
    b"GET /url HTTP/1.0\r\n%s\r\n",
    b"GET / HTTP/1.0\r\n%s\r\n",
    b"POST /navigate HTTP/1.0\r\n%sContent-Length: 11\r\n\r\nexample.com",
    b"POST /back HTTP/1.0\r\n%s\r\n",
    b"OPTIONS /navigate HTTP/1.0\r\n%s\r\n",
]


def send(port, request, host_lines):
    head = b"".join(b"Host: " + h.encode("latin-1") + b"\r\n" for h in host_lines)
    return split_answer(raw_request(port, request % head))


@pytest.mark.parametrize("hosts", [
    ["evil.example"], ["evil.example:18765"], ["EVIL.example."], ["localhost.evil.example"],
    ["localhostx:18765"], ["127.0.0.1.evil.example"], ["127.0.0.1evil"], ["10.0.0.1.nip.io"],
    ["[evil.example]"], ["[::1x]:18765"], ["[::1"], ["localhost:x"], ["localhost.."],
    ["127.0.0.1", "evil.example"],  # every Host header counts
])
def test_foreign_host_is_refused_everywhere(host, hosts):
    host.core_obj = Core("https://secret.example/")
    for request in REQUESTS:
        status, headers, body = send(host.port, request, hosts)
        assert (status, body) == (403, b'{"ok": false, "error": "host not allowed"}'), request
        assert headers[2:] == [("Content-Type", "application/json; charset=utf-8"),
                               ("Content-Length", str(len(body))), ("Access-Control-Allow-Origin", "*")]
    assert host.calls == [] and host.ui_threads == set()
    assert host.log[-1] == '[panekit control] "OPTIONS /navigate HTTP/1.0" 403 -'


@pytest.mark.parametrize("hosts", [
    [], [""], ["127.0.0.1"], ["127.0.0.1:18765"], ["192.168.1.20:80"], ["[::1]"], ["[::1]:18765"],
    ["[fe80::1%25eth0]:1"], ["[::ffff:127.0.0.1]"], ["LOCALHOST"], ["localhost."], ["LocalHost.:18765"],
    ["localhost:"], ["127.0.0.1", "localhost"],
])
def test_loopback_names_and_ip_literals_are_served(host, hosts):
    host.core_obj = Core("https://a.example/")
    assert json.loads(send(host.port, REQUESTS[1], hosts)[2]) == {"ok": True, "url": "https://a.example/"}
    status, _, body = send(host.port, REQUESTS[3], hosts)
    assert (status, json.loads(body)) == (200, {"ok": True, "url": "https://example.com"})
    assert send(host.port, REQUESTS[5], hosts)[0] == 204
    assert host.calls == [("navigate", "https://example.com")]


def test_server_started_on_a_name_answers_to_that_name(ui):
    name = socket.gethostname()
    try:
        socket.getaddrinfo(name, 0, socket.AF_INET)
    except OSError:
        pytest.skip("this machine's name does not resolve")
    h = Host(ui)
    h.start(host=name)
    try:
        for hosts in ([name], [name.upper() + ".:%d" % h.port], ["localhost"]):
            assert send(h.port, REQUESTS[2], hosts)[0] == 200
        assert send(h.port, REQUESTS[2], [name + ".evil.example"])[0] == 403
    finally:
        h.srv.shutdown()
        h.srv.server_close()
