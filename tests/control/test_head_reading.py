"""The serving loop reads a request head as the standard request handling does: each head below
gets the same answer and the same log lines from the loop as from the standard handling of the
same handler class (srv.handle_request once the loop has stopped)."""
import re
import threading

import pytest

from ctlsupport import Host, raw_request

GET = b"GET /url HTTP/1.0\r\n"
NAV = b"POST /navigate HTTP/1.0\r\n"

HEADS = [
    pytest.param(GET + b"\r\n", id="plain"),
    pytest.param(b"GET //url HTTP/1.0\r\n\r\n", id="double-slash"),
    pytest.param(b"GET /url\r\n\r\n", id="http-0.9"),
    pytest.param(b"POST /navigate\r\n\r\n", id="http-0.9-post"),
    pytest.param(b"GET /url HTTP/2.0\r\n\r\n", id="version-2"),
    pytest.param(b"GET /url HTTP/1.x\r\n\r\n", id="version-letters"),
    pytest.param(b"GET /url HTTP/1.00000000000\r\n\r\n", id="version-long"),
    pytest.param(b"GET\x0b/url\x85HTTP/1.0\r\n\r\n", id="split-white-space"),
    pytest.param(b"GET /url HTTP/1.0 more\r\n\r\n", id="four-words"),
    pytest.param(b" \t\r\n\r\n", id="blank-line"),
    pytest.param(b"BREW /pot HTTP/1.0\r\n\r\n", id="unknown-method"),
    pytest.param(GET + b"X: 1\r\n" * 99 + b"\r\n", id="99-fields"),
    pytest.param(GET + b"X: 1\r\n" * 100 + b"\r\n", id="100-fields"),
    pytest.param(GET + b"From someone\r\nHost: evil.example\r\n\r\n", id="envelope-first"),
    pytest.param(GET + b"Host: evil.example\r\nFrom someone\r\n\r\n", id="envelope-last"),
    pytest.param(GET + b"X: 1\r\nFrom someone\r\nHost: a\r\n\r\n", id="envelope-inside"),
    pytest.param(GET + b"Host: \xe9.example\r\n\r\n", id="latin-1-host"),
    pytest.param(GET + b"Host:localhost:99\t \r\n\r\n", id="host-tight"),
    pytest.param(NAV + b"Content-Length: 1_1\r\n\r\nexample.com", id="length-underscore"),
    pytest.param(NAV + b"Content-Length: \x0c11\xa0\r\n\r\nexample.com", id="length-white-space"),
    pytest.param(NAV + b"Content-Length: +11\r\n\r\nexample.com", id="length-plus"),
    pytest.param(NAV + b"Content-Length: 11\r\ncontent-length: 11 \r\n\r\nexample.com", id="length-twice"),
    pytest.param(NAV + b"Content-Length: 11\r\nContent-Length: 011\r\n\r\nexample.com", id="length-differs"),
    pytest.param(NAV + b"Content-Length: -1\r\n\r\nexample.com", id="length-negative"),
    pytest.param(NAV + b"Content-Length: 11\r\n", id="cut-before-blank-line"),
    pytest.param(GET + b"Host: evil.example", id="cut-inside-a-line"),
]


@pytest.fixture(scope="module")
def pair():
    """A server answered by its loop, and one answered by the standard handling."""
    from ctlsupport import UIThread

    ui = UIThread()
    looped, standard = Host(ui), Host(ui)
    looped.start()
    standard.start()
    standard.srv.shutdown()
    standard.th.join(5)
    yield looped, standard
    for h in (looped, standard):
        h.srv.server_close()
    looped.srv.shutdown()
    ui.stop()


def answer(host, data, standard):
    before = len(host.log)
    if standard:
        t = threading.Thread(target=host.srv.handle_request, daemon=True)
        t.start()
    raw = raw_request(host.port, data, shut_write=True)
    if standard:
        t.join(10)
    return re.sub(rb"\r\nDate: [^\r]*", b"", raw), host.log[before:]


@pytest.mark.parametrize("data", HEADS)
def test_loop_reads_a_head_as_the_standard_handling(pair, data):
    looped, standard = pair
    assert answer(looped, data, False) == answer(standard, data, True)
