"""What the real-engine tier's tests and its bench share: the local test site, one window in a
process of its own, real X input, the clipboard, and closing a window as a window manager does."""

import ctypes
import ctypes.util
import http.server
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from contextlib import closing
from pathlib import Path

WAIT = 20.0  # seconds any one wait may take


def missing():
    if not os.environ.get("DISPLAY"):
        return "no X display (run through scripts/test-gtk.sh)"
    try:
        import gi

        gi.require_version("Gtk", "3.0")
        gi.require_version("WebKit2", "4.1")
        from gi.repository import WebKit2  # noqa: F401
    except (ImportError, ValueError) as e:
        return f"GTK 3 / WebKit2 4.1 bindings missing: {e}"
    for tool in ("xdotool", "xclip"):
        if not shutil.which(tool):
            return f"{tool} missing"
    return None


def wait_until(predicate, what, timeout=WAIT):
    """Polls `predicate` until it returns something true; fails naming `what` after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            import pytest  # only the tests have it: the benches use this module too

            pytest.fail(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.05)


def free_port():
    with closing(socket.socket()) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_is_free(port):
    """Whether a new control server could listen on the port (as it does, with SO_REUSEADDR:
    connections of the closed one may linger in TIME_WAIT)."""
    with closing(socket.socket()) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


# ---- the local test site --------------------------------------------------------------------------

PAGES = {
    "/a.html": "<title>A</title><h1>Page A</h1><a href='/b.html'>to B</a>",
    "/b.html": "<title>B</title><h1>Page B</h1><a href='/a.html'>to A</a>",
    "/c.html": "<title>C</title><h1>Page C</h1>",
    "/d.html": "<title>D</title><h1>Page D</h1>",
    # a link asking for a new window, covering most of the page so that a click anywhere hits it
    "/blank.html": "<title>Blank</title><a href='/c.html' target='_blank' "
                   "style='display:block;width:100%;height:600px;background:#cde'>new window</a>",
    # a page that opens a window from script, without any click
    "/popup.html": "<title>Popup</title><script>window.open('/d.html');</script>",
    # a page whose load event waits for a slow image and then reports its time (ms since the epoch)
    "/load.html": "<title>Load</title><img src='/slow.png'><script>addEventListener('load', () => "
                  "fetch('/beacon?t=' + Date.now()))</script>",
    # a page of one known colour, edge to edge
    "/paint.html": "<title>Paint</title><style>html,body{margin:0;height:100%;background:rgb(10,200,30)}</style>",
    "/home.html": "<!doctype html><title>panekit</title><style>body{font-family:sans-serif;margin:40px;"
                  "background:#fafafa}h1{color:#2a5db0}p{font-size:18px}</style><h1>panekit on Linux</h1>"
                  "<p>The toolbar above a real WebKit page, steered over the loopback control port.</p>"
                  "<ul><li><a href='/a.html'>Page A</a></li><li><a href='/b.html'>Page B</a></li></ul>",
}


SLOW_SECONDS = 0.3  # how long /slow.png takes
GIF = b"GIF89a\x01\x00\x01\x00\x00\x00\x00;"

# Paths whose gate holds back the body, not the answer: a download of them is in flight meanwhile.
# The engine looks at the first bytes of a body before it decides what to do with the response,
# so the part sent ahead is larger than that.
BODY_GATED = {"/report1"}
HEAD = 4096
REPORT1 = b"%PDF-1.4\n% one\n" + b"%" * 2 * HEAD + b"\n"
# An attachment whose name is longer than a file name may be (296 characters), and a body of a
# type the view cannot show, sent without asking to be saved.
LONG_NAME = "r" * 292 + ".pdf"
BLOB = bytes(range(256)) * 8


class Site:
    """A small site on 127.0.0.1: pages, pages held until released (`gates`), and two attachments
    that both ask to be saved as report.pdf (one PDF, one text: kinds WebKit would rather show);
    the first one's gate holds back the rest of its body, so that it stays in flight."""

    def __init__(self):
        self.hits = {}
        self.beacons = []  # the load times pages reported, in seconds since the epoch
        self.gates = {}  # path -> threading.Event holding its response until set
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?", 1)[0]
                site.hits[path] = site.hits.get(path, 0) + 1
                gate = site.gates.get(path)
                if gate is not None and path not in BODY_GATED:
                    gate.wait(WAIT)
                if path in PAGES:
                    self._send(200, "text/html; charset=utf-8", PAGES[path].encode())
                elif path == "/slow.png":
                    time.sleep(SLOW_SECONDS)
                    self._send(200, "image/gif", GIF)
                elif path == "/beacon":
                    site.beacons.append(float(self.path.split("t=", 1)[1]) / 1000)
                    self._send(200, "text/plain", b"")
                elif path.startswith("/held"):
                    self._send(200, "text/html; charset=utf-8", b"<title>Held</title><h1>Held page</h1>")
                elif path == "/report1":
                    self._send(200, "application/pdf", REPORT1,
                               {"Content-Disposition": 'attachment; filename="report.pdf"'})
                elif path == "/long":
                    self._send(200, "application/pdf", REPORT1,
                               {"Content-Disposition": f'attachment; filename="{LONG_NAME}"'})
                elif path.startswith("/files/"):
                    self._send(200, "application/octet-stream", BLOB)
                elif path == "/report2":
                    self._send(200, "text/plain", b"two\n",
                               {"Content-Disposition": 'attachment; filename="report.pdf"'})
                else:
                    self._send(404, "text/plain", b"not here")

            def _send(self, status, kind, body, headers=None):
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                for k, v in (headers or {}).items():
                    self.send_header(k, v)
                self.end_headers()
                gate = site.gates.get(self.path) if self.path in BODY_GATED else None
                if gate is not None:  # the download starts; the rest of it waits
                    self.wfile.write(body[:HEAD])
                    self.wfile.flush()
                    gate.wait(WAIT)
                    body = body[HEAD:]
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        # the view drops connections of loads it replaced: not the site's failure
        self.server.handle_error = lambda request, client_address: None
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path):
        return self.base + path

    def close(self):
        for gate in self.gates.values():
            gate.set()
        self.server.shutdown()
        self.server.server_close()


# ---- real X: input, clipboard, closing a window as a window manager does --------------------------

def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=WAIT)


def clipboard():
    run = subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, text=True,
                         timeout=WAIT)
    return run.stdout if run.returncode == 0 else None


def close_window(xid):
    """Asks the window to close with WM_DELETE_WINDOW, as a window manager's close button does."""

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(None)
    assert dpy, "cannot open the X display"
    try:
        ev = Event()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = xid
        ev.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(dpy, xid, 0, 0, ctypes.byref(ev))
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


# ---- one window in a process of its own -----------------------------------------------------------

class Window:
    """`panekit open` on the GTK host in a process of its own; with `script`, the Python code
    that script(url, title, port, profile folder, download folder) returns runs instead."""

    def __init__(self, tmp, site, title, start="/a.html", extra=(), env=None, script=None, downloads=None):
        self.port = free_port()
        self.title = title
        self.downloads = downloads or tmp / "dl"
        self.log = tmp / "window.log"
        environ = {**os.environ, "PANEKIT_HOST_BACKEND": "gtk", "PYTHONUNBUFFERED": "1", **(env or {})}
        tmp.mkdir(parents=True, exist_ok=True)
        cmd = [sys.executable, "-m", "panekit", "open", site.url(start), "--title", title,
               "--control-port", str(self.port), "--user-data", str(tmp / "profile"),
               "--download-dir", str(self.downloads), *extra]
        if script is not None:
            cmd = [sys.executable, "-c", script(site.url(start), title, self.port, tmp / "profile",
                                                self.downloads)]
        self._out = open(self.log, "w")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, stdout=self._out, stderr=subprocess.STDOUT, env=environ, cwd=tmp)
        self.ready_after = None
        self.xid = None

    def wait_ready(self, url):
        from panekit import helmwire

        def ready():
            assert self.proc.poll() is None, self.output()
            r = helmwire.remote_ready(port=self.port)
            return r.get("core") and r.get("url") == url
        wait_until(ready, f"the window to show {url}")
        self.ready_after = time.monotonic() - self.started
        found = wait_until(lambda: xdotool("search", "--onlyvisible", "--name", f"^{self.title}$").stdout.split(),
                           "the window on the display")
        self.xid = int(found[0])
        return self

    def url(self):
        from panekit import helmwire

        return helmwire.remote_get_url(port=self.port).get("url")

    def wait_url(self, url):
        return wait_until(lambda: self.url() == url, f"the window to show {url} (it shows {self.url()})")

    def command(self, *args):
        """`panekit <args> --port P`: one request through the command, as a user types it."""
        run = subprocess.run([sys.executable, "-m", "panekit", *args, "--port", str(self.port)],
                             capture_output=True, text=True, timeout=WAIT)
        return run.returncode, run.stdout.strip()

    def windows_shown(self):
        return len(xdotool("search", "--onlyvisible", "--name", f"^{self.title}$").stdout.split())

    def output(self):
        self._out.flush()
        return self.log.read_text(encoding="utf-8", errors="replace")

    def close(self):
        """Closes the window as its user does; the call must end with 0 and free the port."""
        if self.proc.poll() is None and self.xid is not None:
            close_window(self.xid)
        try:
            rc = self.proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(WAIT)
            rc = "killed after not closing"
        finally:
            self._out.close()
        return rc


