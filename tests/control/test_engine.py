"""The connection engine under hostile input: no bytes end the serving thread, no client holds up
the others, cut-short requests are never acted on, hang-ups are quiet, and exit is clean."""
import json
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

from panekit import helmwire
from ctlsupport import Core, raw_request, split_answer

HERE = os.path.dirname(os.path.abspath(__file__))


def ready(port, timeout=5):
    status, _, body = split_answer(raw_request(port, b"GET /ready HTTP/1.0\r\n\r\n", timeout=timeout))
    assert status == 200 and json.loads(body)["ok"] is True


@pytest.mark.parametrize("where", ["name", "value", "length"])
def test_no_byte_in_a_head_ends_the_serving_thread(host, where, capfd):
    for b in range(256):
        byte = bytes([b])
        if where == "name":
            head = b"X-N" + byte + b"ame: 1\r\nContent-Length: 2\r\n"
        elif where == "value":
            head = b"X-Value: a" + byte + b"b\r\nContent-Length: 2\r\n"
        else:
            head = b"Content-Length: 2" + byte + b"\r\n"
        answer = raw_request(host.port, b"POST /back HTTP/1.0\r\n" + head + b"\r\n{}", shut_write=True, timeout=5)
        assert answer == b"" or answer.startswith(b"HTTP/1.0 "), (where, b)
        ready(host.port)
    assert host.th.is_alive()
    assert not [line for line in host.log if "request failed" in line]
    assert "Traceback" not in capfd.readouterr().err


@pytest.mark.parametrize("route", ["/navigate", "/back", "/forward", "/reload", "/elsewhere"])
@pytest.mark.parametrize("cut", [
    b"Content-Length: 20\r\n\r\n{}",   # the body ends before its declared length
    b"Content-Length: 2\r\n",          # the head itself never ends
])
def test_cut_short_request_is_never_acted_on(host, route, cut):
    request = b"POST " + route.encode() + b" HTTP/1.0\r\n" + cut
    status, _, body = split_answer(raw_request(host.port, request, shut_write=True))
    assert (status, json.loads(body)) == (400, {"ok": False, "error": "incomplete body"})
    assert host.calls == []


def hostile_idle(port):
    return [socket.create_connection(("127.0.0.1", port)) for _ in range(64)]


def hostile_trickle(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"POST /navigate HTTP/1.0\r\nContent-Length: 11\r\n\r\nexa")
    return [s]


def hostile_drain(port):
    # Bodies over the limit, still being sent: each is refused and drained beside the others.
    socks = []
    for _ in range(12):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"POST /navigate HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n" + b"x" * 65536)
        socks.append(s)
    return socks


def hostile_stalled_head(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET /url HTTP/1.0\r\n" + (b"X-Pad: " + b"p" * 60000 + b"\r\n") * 5)  # 300 KiB, then nothing
    return [s]


def hostile_deaf(port):
    # Asks for a large answer and never reads it.
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /url HTTP/1.0\r\n\r\n")
    return [s]


@pytest.mark.parametrize("hostile", [hostile_idle, hostile_trickle, hostile_drain, hostile_stalled_head,
                                     hostile_deaf], ids=lambda f: f.__name__[8:])
def test_hostile_clients_hold_up_nobody(host, monkeypatch, hostile):
    monkeypatch.setattr(helmwire, "_MAX_CONNECTIONS", 80)
    host.core_obj = Core("https://a.example/" + "\x01" * 300000)  # a large answer (JSON escapes)
    socks = hostile(host.port)
    try:
        time.sleep(0.2)
        for _ in range(3):  # each would time out if it queued behind a hostile client's 10 s
            status, _, body = split_answer(raw_request(host.port, b"GET /url HTTP/1.0\r\n\r\n", timeout=3))
            assert status == 200 and json.loads(body)["url"] == host.core_obj.Source
    finally:
        for s in socks:
            s.close()


def test_hang_ups_and_resets_are_quiet(host, capfd):
    import struct
    for _ in range(20):
        s = socket.create_connection(("127.0.0.1", host.port))
        s.sendall(b"POST /navigate HTTP/1.0\r\nContent-Length: 11\r\n\r\nexa")
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()  # a reset in the middle of the body
        s = socket.create_connection(("127.0.0.1", host.port))
        s.sendall(b"GET /url HTTP/1.0\r\n\r\n")
        s.close()  # gone before its answer
    ready(host.port)
    assert "Traceback" not in capfd.readouterr().err
    assert host.calls == [] and host.th.is_alive()
    assert not [line for line in host.log if "failed" in line]


def test_running_out_of_descriptors_does_not_spin(host):
    resource = pytest.importorskip("resource")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    connected = socket.create_connection(("127.0.0.1", host.port))
    hold = []
    resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 40, hard))
    try:
        try:
            while True:
                hold.append(socket.socket())
        except OSError:
            pass
        for s in hold[-20:]:  # room for the clients' own sockets, none for the server's accept
            s.close()
        del hold[-20:]
        waiting = [socket.create_connection(("127.0.0.1", host.port)) for _ in range(3)]
        cpu0 = time.process_time()
        time.sleep(1.0)
        spent = time.process_time() - cpu0
        connected.sendall(b"GET /url HTTP/1.0\r\n\r\n")
        answer = connected.makefile("rb").read()
        assert answer.startswith(b"HTTP/1.0 200")
        assert spent < 0.5  # a spinning loop would burn the whole second
    finally:
        for s in hold:
            s.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        connected.close()
    for s in waiting:
        s.close()
    ready(host.port)


# Twenty processes, each bounded by its own time-out: the test as a whole gets the time they may
# take (under wine on a loaded machine a child takes seconds to start), not the default per-test one.
@pytest.mark.timeout(20 * 60 + 60)
def test_exit_while_clients_talk_is_clean():
    script = os.path.join(HERE, "exit_child.py")
    for i in range(20):
        done = subprocess.run([sys.executable, script, str(0.05 + 0.01 * (i % 10))],
                              capture_output=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, b"")
