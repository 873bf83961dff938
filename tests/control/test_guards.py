"""What the control plane gives away and to whom: the token's destination, what /navigate opens
without it, the runtime file as written and as read, and the exact limit of a request head."""
import json
import os
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest

from ctlsupport import Core, Host, free_port, raw_request, split_answer
from panekit import helmwire

POSIX = os.name == "posix"


class Recorder:
    """A listener that records each request head it gets and answers {"ok": true, "url": ""}."""

    def __init__(self, host="127.0.0.1", port=0):
        self.sock = socket.socket()
        self.sock.bind((host, port))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.heads = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                self.heads.append(data.split(b"\r\n\r\n")[0].decode("latin-1"))
                body = b'{"ok": true, "url": ""}'
                conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    def close(self):
        self.sock.close()


def write_runtime_file(folder, port, token, host="127.0.0.1", mode=0o600):
    d = folder / "panekit"
    d.mkdir(mode=0o700, exist_ok=True)
    f = d / f"control-{port}.json"
    f.write_text(json.dumps({"url": f"http://{host}:{port}", "port": port, "token": token, "host": host}))
    os.chmod(f, mode)
    return f


# ---- the token goes only to the window that wrote it -----------------------------------------------

def test_token_stays_with_its_own_address(host, monkeypatch):
    other = Recorder("127.0.0.2", host.port)  # the same port on another address
    try:
        monkeypatch.setenv("PANEKIT_CONTROL_HOST", "127.0.0.2")
        assert helmwire.remote_get_url(port=host.port) == {"ok": True, "url": ""}
        assert other.heads and "authorization" not in other.heads[0].lower()
    finally:
        other.close()
    monkeypatch.delenv("PANEKIT_CONTROL_HOST")
    # To the window itself it goes: the script route answers past the token check.
    assert helmwire.remote_script("1", port=host.port) == {"ok": False, "error": "browser not ready"}


@pytest.mark.skipif(not POSIX, reason="owners and modes of files")
@pytest.mark.parametrize("case", ["readable by others", "a link", "header in the token", "spaces in it"])
def test_runtime_files_the_client_does_not_trust(_runtime_folder, tmp_path, case):
    rec = Recorder()
    try:
        token, mode = "good-token", 0o600
        if case == "readable by others":
            mode = 0o644
        elif case == "header in the token":
            token = "t\r\nX-Injected: yes\r\nContent-Length: 0"
        elif case == "spaces in it":
            token = "two words"
        f = write_runtime_file(_runtime_folder, rec.port, token, mode=mode)
        if case == "a link":
            real = tmp_path / "real.json"
            os.replace(f, real)
            f.symlink_to(real)
        helmwire.remote_get_url(port=rec.port)
        head = rec.heads[-1].lower()
        assert "authorization" not in head and "x-injected" not in head
        # The same file, sound, is used.
        if f.is_symlink():
            f.unlink()
        write_runtime_file(_runtime_folder, rec.port, "good-token")
        helmwire.remote_get_url(port=rec.port)
        assert "Authorization: Bearer good-token" in rec.heads[-1]
    finally:
        rec.close()


# ---- what /navigate opens without the token -----------------------------------------------------------

def navigate(port, url, token=None):
    body = json.dumps({"url": url}).encode()
    head = f"POST /navigate HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
    if token:
        head += f"Authorization: Bearer {token}\r\n"
    status, _, answer = split_answer(raw_request(port, head.encode() + b"\r\n" + body))
    return status, json.loads(answer)


@pytest.mark.parametrize("url, open_status, token_status", [
    ("https://example.com/", 200, 200),
    ("http://example.com/a", 200, 200),
    ("about:blank", 200, 200),
    ("ABOUT:Blank", 200, 200),
    ("file:///etc/passwd", 401, 200),
    ("FILE:///C:/Users/me/notes.html", 401, 200),
    ("view-source:https://example.com/", 401, 200),
    ("about:config", 401, 200),
    ("webkit://gpu", 401, 200),
    ("javascript:alert(1)", 400, 400),
    ("JaVaScRiPt://%0aalert(1)", 400, 400),
    ("  javascript:void(0)", 400, 400),
])
def test_navigate_opens_what_the_network_could(host, url, open_status, token_status):
    for token, status in ((None, open_status), (host.srv.control_token, token_status)):
        before = len(host.calls)
        code, answer = navigate(host.port, url, token)
        assert code == status, (url, token, answer)
        if status == 401:
            assert answer == {"ok": False, "error": "token required"}
        elif status == 400:
            assert answer == {"ok": False, "error": "invalid url"}
        assert len(host.calls) == before + (status == 200)


def test_client_refuses_script_addresses_itself(host):
    for url in ("javascript:alert(1)", "JavaScript://%0Aalert(1)"):
        assert helmwire.remote_navigate(url, port=host.port) == {"ok": False, "error": "invalid url"}
    assert host.calls == []


def test_state_tells_a_caller_without_the_token_nothing_of_a_local_page(host):
    host.core_obj = Core("file:///home/me/private.html")
    state = json.loads(split_answer(raw_request(host.port, b"GET /state HTTP/1.0\r\n\r\n"))[2])
    assert state["url"] == ""
    with_token = f"GET /state HTTP/1.0\r\nAuthorization: Bearer {host.srv.control_token}\r\n\r\n".encode()
    assert json.loads(split_answer(raw_request(host.port, with_token))[2])["url"] == "file:///home/me/private.html"
    host.core_obj = Core("https://example.com/")
    state = json.loads(split_answer(raw_request(host.port, b"GET /state HTTP/1.0\r\n\r\n"))[2])
    assert state["url"] == "https://example.com/"


# ---- the runtime file as the window writes it ------------------------------------------------------------

@pytest.mark.skipif(not POSIX, reason="links, FIFOs and modes")
def test_a_linked_runtime_folder_is_refused_untouched(ui, _runtime_folder, tmp_path):
    target = tmp_path / "home"
    target.mkdir(mode=0o755)
    os.chmod(target, 0o755)
    (_runtime_folder / "panekit").symlink_to(target)
    h = Host(ui)
    h.start()
    try:
        assert [line for line in h.log if "token file not written" in line and "symbolic link" in line]
        assert stat.S_IMODE(target.stat().st_mode) == 0o755 and not list(target.iterdir())
    finally:
        h.srv.shutdown()
        h.srv.server_close()


@pytest.mark.skipif(not POSIX, reason="links, FIFOs and modes")
@pytest.mark.parametrize("plant", ["link", "fifo"])
def test_planted_names_in_the_runtime_folder_are_never_followed(ui, _runtime_folder, tmp_path, plant):
    port = free_port()
    folder = _runtime_folder / "panekit"
    folder.mkdir(mode=0o700)
    victim = tmp_path / "notes.txt"
    victim.write_text("mine")
    # The names a start would have written through, planted before it.
    names = [folder / f"control-{port}.json.{os.getpid()}.tmp", folder / f"control-{port}.json"]
    for name in names:
        if plant == "link":
            name.symlink_to(victim)
        else:
            os.mkfifo(name)
    h = Host(ui)
    started = time.monotonic()
    h.start(port=port)
    try:
        assert time.monotonic() - started < 5
        assert victim.read_text() == "mine"
        written = folder / f"control-{port}.json"
        assert not written.is_symlink() and json.loads(written.read_text())["token"] == h.srv.control_token
    finally:
        h.srv.shutdown()
        h.srv.server_close()


# ---- the head limit, exactly ---------------------------------------------------------------------------

LIMIT = 1 << 20


def head_of(size):
    """A GET /url head of exactly `size` bytes (its blank line included)."""
    start, end = b"GET /url HTTP/1.0\r\n", b"\r\n"
    filler = size - len(start) - len(end)
    lines, n = [], 0
    while filler - n > 0:
        take = min(60000, filler - n)
        line = b"X-Fill-%d: " % len(lines)
        line += b"a" * max(take - len(line) - 2, 0) + b"\r\n"
        lines.append(line)
        n += len(line)
    data = start + b"".join(lines) + end
    assert len(data) == size
    return data


@pytest.mark.parametrize("trickled", [False, True])
def test_head_limit_is_exact(host, trickled):
    for size, status in ((LIMIT, 200), (LIMIT + 1, 431)):
        data = head_of(size)
        with socket.create_connection(("127.0.0.1", host.port), timeout=10) as s:
            if trickled:
                for i in range(0, len(data), 40000):
                    s.sendall(data[i:i + 40000])
                    time.sleep(0.002)
            else:
                s.sendall(data)
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        assert split_answer(answer)[0] == status, (size, trickled)
