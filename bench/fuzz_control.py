"""A seeded, time-boxed fuzzer of the control port on the simulated platform: a framewell window
with the WebView2 stand-in (tests/simplatform) in a child process, and generated requests thrown
at it from this one: panekit's routes (every method, with and without the token, odd bodies and
queries) and every WebDriver command path with generated JSON (wrong types, huge and non-finite
numbers, deep nesting, NULs and lone surrogates, unknown keys, element and shadow ids that do not
exist, odd and percent-escaped segments), mixed with valid commands so that a session, found
elements, frames of another origin and an open dialog are reached. The stand-in page answers the
in-page library as the tests' page does, and now and then with what a hostile page could hand
back instead (any JSON, or none).

After every request it checks: an answer within the time limit; well-formed HTTP with a JSON body
of the route's shape ({"ok": ...} for panekit's routes, {"value": ...} for WebDriver's, its errors
a W3C code with that code's status, "unknown error" only where the page or the platform failed);
no token in an answer; nothing but expected lines in the window's output (no traceback, no
sanitizer report, no fault of the simulated platform); and the window's process alive.

    python bench/fuzz_control.py [--seed N] [--seconds S] [--asan] [--gtk] [--out DIR]

With --gtk the window is the GTK host on the real engine (run the fuzzer under `xvfb-run -a`),
showing pages this process serves itself on 127.0.0.1: elements, a form, a frame of the same
origin, a shadow root, and a dialog, a new frame, a frame's removal, a scroll or a history entry
when the fuzzer asks for one (the page polls for its next doing). A real page fails in ways of its
own, so there an "unknown error" is no finding by itself; one naming the client's bad input is,
as are a crash, a hang, a malformed answer, a token, and a traceback or a crash in the output.

With --asan the window runs in .venv-asan (built by `bash scripts/nox.sh -s asan`) with the
sanitizers' runtime preloaded. Each finding is written to DIR (default /tmp/panekit-fuzz) with the
requests that led to it; the exit status is 1 when there was any.
"""
import argparse
import json
import os
import queue
import random
import re
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TOKEN = "fuzz" + "k" * 39
EL = "element-6066-11e4-a52e-4f735466cecf"
SR = "shadow-6066-11e4-a52e-4f735466cecf"
START = "https://start.example/"
ANSWER_LIMIT = 20.0  # seconds: no request waits longer here (time-outs are kept short)
GTK = False  # --gtk: the real engine (set by main)
URLS = ["https://a.example/", "https://a.example/#x"]  # where Navigate To goes (the site's pages with --gtk)

# ---- the window (child process) --------------------------------------------------------------------


def serve(port, seed):
    sys.path.insert(0, str(ROOT / "tests"))
    os.environ["PANEKIT_CONTROL_TOKEN"] = TOKEN
    for name in ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT",
                 "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY", "PANEKIT_CONTROL_AUTH"):
        os.environ.pop(name, None)
    from hosts.test_webdriver_webview2 import DOC, fake_page, framed_page
    from simplatform.modules import install

    from panekit import framewell, helmwire

    rng = random.Random(seed ^ 0x5EED)
    plat = install(preload=True)
    plat.pretend_windows()
    plat.titles.update({START: "Start", "https://a.example/": "Page A"})
    runner = plat.start_ui_thread(framewell.run_toolbar_main, start_url=START, control_port_override=port,
                                  name="MainThread")
    plat.wait_until(lambda: helmwire.remote_ready(port=port).get("core"), what="the core")
    core = plat.wait_core()
    hostile = [0.0]

    def page(script, good):
        if rng.random() < hostile[0]:
            return rng.choice([
                "null", "", "not json", "[]", "1e999", '"text"', '{"v": null}', '{"e": 5, "m": []}',
                '{"e": "no such element"}', '{"e": "made up", "m": "x"}', '{"v": {"v": {"p": 7}}}',
                '{"v": [{"%s": 5}]}' % EL, '{"v": {"%s": "%s.1"}}' % (SR, DOC), '{"node": 3}',
                '{"v": {"x": "a", "y": null, "width": -1, "height": 1e308, "scale": 0}}',
                '{"v": {"ref": 5, "name": [], "only": "yes"}}', '{"v": {"v": {"held": 5, "heard": 7}}}',
                '{"v": {"v": {"file": true, "multiple": "x"}}}', '{"v": {"v": {"x": NaN, "y": Infinity}}}',
                "[" * 5000 + "]" * 5000, '{"v": "' + "\\ud800" * 3 + '\\u0000"}',
                json.dumps({"v": "x" * (1 << 20)})])
        return good(script)

    def whole_page(script):
        """The tests' stand-in page, with a plain answer to the operations it leaves out and to
        the input commands' scripts (a point in the view, the viewport's size)."""
        if script == "[window.innerWidth, window.innerHeight]":
            return "[800, 600]"
        if "function where(" in script:
            return json.dumps({"v": {"v": {"x": 5, "y": 6}}})
        answer = fake_page(script, core)
        if "the stand-in page has no " not in answer:
            return answer
        op = json.loads(answer)["m"].rpartition(" ")[2]
        value = {"rect": {"x": 1, "y": 2, "width": 3, "height": 4}, "shadow": {SR: DOC + ".2"},
                 "active": {EL: DOC + ".1"}, "selected": True, "enabled": True, "displayed": False,
                 "source": "<html></html>"}.get(op, "x")
        return json.dumps({"v": value})

    core.sim_script_handler = lambda script: page(script, whole_page)
    plat.wait_until(lambda: not helmwire.remote_state(port=port)["loading"], what="the first page")
    frames = []
    if os.environ.get("FUZZ_WHO_CLOSES"):
        import traceback
        from simplatform import forms
        closing = forms.Form._close

        def traced(self):
            traceback.print_stack(file=sys.stdout)
            return closing(self)
        forms.Form._close = traced
    print("READY", flush=True)
    seen = [0, 0]

    def report():
        while True:
            time.sleep(0.2)
            for k, items in enumerate((plat.faults, plat.unhandled)):
                while seen[k] < len(items):
                    print("FAULT %r" % (items[seen[k]],), flush=True)
                    seen[k] += 1

    threading.Thread(target=report, daemon=True).start()
    for line in sys.stdin:  # the page's own doings, asked for by the fuzzer
        word, _, arg = line.strip().partition(" ")
        try:
            if word == "dialog":
                core.sim_dialog(arg or "Alert", "fuzz?", "x")
            elif word == "frame":
                f = (frames[-1] if frames and rng.random() < 0.4 else core).sim_frame(arg or "ads")
                f.sim_script_handler = lambda script: page(script, framed_page(rng.choice(["ads", "inner"]), core))
                frames.append(f)
            elif word == "destroy" and frames:
                frames.pop(rng.randrange(len(frames))).sim_destroy()
            elif word == "hostile":
                hostile[0] = float(arg)
            elif word == "push":
                core.sim_push_state(arg)
            elif word == "scroll":
                core.sim_scroll = (rng.randint(-5, 5000), rng.randint(-5, 5000))
            print("DONE", word, flush=True)
        except Exception as e:  # a doing the page could not do now (a frame gone): not the product's
            print("DONE %s (%s: %s)" % (word, type(e).__name__, e), flush=True)
    plat.auto_complete = True
    core.sim_script_handler = None
    plat.forms[0].sim_close()
    print("EXIT", runner.join(), flush=True)


# ---- values --------------------------------------------------------------------------------------


class Gen:
    def __init__(self, rng):
        self.r = rng

    def weird_string(self):
        r = self.r
        return r.choice(["", " ", "a", "\x00", "a\x00b", "\ud800", "\udfff", "x\ud83d", "\U0001F600", "é",
                         "../..", "%00", "%2F", "%", "%zz", "\r\n", "\\", '"', "<script>", "javascript:alert(1)",
                         "data:text/html,x", "file:///etc/passwd", "http://a.example/", "https://a.example/#f",
                         "about:blank", "view-source:http://a/", "x" * r.choice([1, 300, 70000]),
                         "css selector", "xpath", "link text", "tag name", "partial link text", "//*", "[[",
                         "#main", "none", "dismiss", "accept", "ignore", "accept and notify", "portrait",
                         "landscape", "pointer", "key", "wheel", "pause", "mouse", "pen", "touch", "pointerDown",
                         "keyDown", "\ue007", "\ue000", "ads", "inner", DOC_REF(), "1-", "-", "2-1", "0"])

    def weird_number(self):
        return self.r.choice([0, -0.0, 1, -1, 0.5, 2, 7, 65535, 65536, 2**31 - 1, 2**31, 2**53, 2**63, 2**64,
                              10**400, -10**400, 1e308, -1e308, 5e-324, float("nan"), float("inf"),
                              float("-inf"), 1.5, 1e9, 1e10, 120, 121, 300000, True, False])

    def value(self, depth=0):
        r = self.r
        k = r.randrange(10)
        if depth > 3 or k < 3:
            return r.choice([None, True, False, self.weird_number(), self.weird_string()])
        if k < 5:
            return self.weird_number()
        if k < 7:
            return self.weird_string()
        if k < 8:
            return [self.value(depth + 1) for _ in range(r.randrange(4))]
        if k < 9:
            return {self.weird_string() if r.random() < 0.3 else r.choice(KEYS): self.value(depth + 1)
                    for _ in range(r.randrange(4))}
        return r.choice([{EL: DOC_REF()}, {SR: DOC_REF()}, {EL: self.weird_string()}, {EL: 5},
                         deep(r.choice([50, 1000, 100000]))])


def DOC_REF():  # noqa: N802 - an element id the stand-in page knows, or one of a frame's
    return random.choice(["0123456789abcdef.1", "0123456789abcdef.5", "0123456789abcdef.6",
                          "0123456789abcdef.7", "0123456789abcdef.8", "0123456789abcdef.9", "ads.3", "inner.5",
                          "ffffffffffffffff.1", "0123456789abcdef"])


def deep(n):
    v = 1
    for _ in range(min(n, 900)):
        v = [v]
    return v if n <= 900 else {"deep": True, "_raw": n}  # json.dumps recurses: very deep ones are raw text


KEYS = ["url", "wait", "script", "timeout", "args", "using", "value", "id", "handle", "x", "y", "width", "height",
        "text", "cookie", "name", "domain", "path", "secure", "httpOnly", "expiry", "sameSite", "implicit",
        "pageLoad", "capabilities", "alwaysMatch", "firstMatch", "browserName", "acceptInsecureCerts",
        "pageLoadStrategy", "proxy", "proxyType", "timeouts", "unhandledPromptBehavior", "panekit:token",
        "panekit:controlPort", "strictFileInteractability", "setWindowRect", "orientation", "scale",
        "background", "page", "margin", "top", "bottom", "left", "right", "shrinkToFit", "pageRanges", "actions",
        "type", "parameters", "pointerType", "button", "duration", "origin", "deltaX", "deltaY", "key",
        "type", "platformName", "browserVersion", "webSocketUrl"]

# The body each command takes, as a template: fuzzed by replacing, dropping and adding members.
VALID = {
    "/timeouts": lambda: {"implicit": 0, "pageLoad": 3000, "script": 2000},
    "/url": lambda: {"url": random.choice(URLS + [START, "about:blank"])},
    "/window": lambda: {"handle": "x"},
    "/window/rect": lambda: {"x": 10, "y": 20, "width": 640, "height": 480},
    "/frame": lambda: {"id": random.choice([None, 0, 1, {EL: DOC_REF()}])},
    "/element": lambda: {"using": random.choice(["css selector", "xpath", "tag name", "link text"]),
                         "value": random.choice(["#main", "#none", "[[", "a"])},
    "/execute/sync": lambda: {"script": random.choice(["x", "throw", "return 1"]), "args": [1, {EL: DOC_REF()}]},
    "/execute/async": lambda: {"script": "x", "args": []},
    "/cookie": lambda: {"cookie": {"name": "a", "value": "1", "expiry": 2000000000, "path": "/",
                                   "secure": False, "httpOnly": False, "sameSite": "Lax"}},
    "/alert/text": lambda: {"text": "Ada"},
    "/print": lambda: {"orientation": "landscape", "scale": 1, "page": {"width": 21, "height": 29.7},
                       "margin": {"top": 1}, "pageRanges": ["2-", 1], "background": True},
    "/value": lambda: {"text": random.choice(["abc", "\ue007", "/nonexistent/file"])},
    "/actions": lambda: {"actions": [
        {"type": "pointer", "id": "p", "parameters": {"pointerType": "mouse"},
         "actions": [{"type": "pointerMove", "x": 5, "y": 5, "origin": random.choice(["viewport", "pointer",
                                                                                       {EL: DOC_REF()}])},
                     {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]},
        {"type": "key", "id": "k", "actions": [{"type": "keyDown", "value": "a"}, {"type": "keyUp", "value": "a"},
                                               {"type": "pause", "duration": 1}]},
        {"type": "wheel", "id": "w", "actions": [{"type": "scroll", "x": 1, "y": 1, "deltaX": 0, "deltaY": 5}]},
        {"type": "none", "id": "n", "actions": [{"type": "pause", "duration": 0}]}]},
}

COMMANDS = [  # (method, path with {s} the session, {e} an element, {r} a shadow root, {n} a name)
    ("GET", "/status"), ("POST", "/session"), ("DELETE", "{s}"), ("GET", "{s}/timeouts"), ("POST", "{s}/timeouts"),
    ("POST", "{s}/url"), ("GET", "{s}/url"), ("POST", "{s}/back"), ("POST", "{s}/forward"), ("POST", "{s}/refresh"),
    ("GET", "{s}/title"), ("GET", "{s}/window"), ("DELETE", "/session/{x}/window"), ("POST", "{s}/window"),
    ("GET", "{s}/window/handles"), ("POST", "{s}/window/new"), ("POST", "{s}/frame"), ("POST", "{s}/frame/parent"),
    ("GET", "{s}/window/rect"), ("POST", "{s}/window/rect"), ("POST", "{s}/window/maximize"),
    ("POST", "{s}/window/minimize"), ("POST", "{s}/window/fullscreen"), ("GET", "{s}/element/active"),
    ("GET", "{s}/element/{e}/shadow"), ("POST", "{s}/element"), ("POST", "{s}/elements"),
    ("POST", "{s}/element/{e}/element"), ("POST", "{s}/element/{e}/elements"), ("POST", "{s}/shadow/{r}/element"),
    ("POST", "{s}/shadow/{r}/elements"), ("GET", "{s}/element/{e}/selected"), ("GET", "{s}/element/{e}/attribute/{n}"),
    ("GET", "{s}/element/{e}/property/{n}"), ("GET", "{s}/element/{e}/css/{n}"), ("GET", "{s}/element/{e}/text"),
    ("GET", "{s}/element/{e}/name"), ("GET", "{s}/element/{e}/rect"), ("GET", "{s}/element/{e}/enabled"),
    ("GET", "{s}/element/{e}/displayed"), ("GET", "{s}/element/{e}/computedrole"),
    ("GET", "{s}/element/{e}/computedlabel"), ("GET", "{s}/source"), ("POST", "{s}/execute/sync"),
    ("POST", "{s}/execute/async"), ("GET", "{s}/cookie"), ("GET", "{s}/cookie/{n}"), ("POST", "{s}/cookie"),
    ("DELETE", "{s}/cookie/{n}"), ("DELETE", "{s}/cookie"), ("POST", "{s}/alert/dismiss"),
    ("POST", "{s}/alert/accept"), ("GET", "{s}/alert/text"), ("POST", "{s}/alert/text"), ("GET", "{s}/screenshot"),
    ("GET", "{s}/element/{e}/screenshot"), ("POST", "{s}/print"), ("POST", "{s}/element/{e}/click"),
    ("POST", "{s}/element/{e}/clear"), ("POST", "{s}/element/{e}/value"), ("POST", "{s}/actions"),
    ("DELETE", "{s}/actions"),
]
ROUTES = ["/ready", "/url", "/state", "/navigate", "/back", "/forward", "/reload", "/script", "/screenshot",
          "/events", "/", "/favicon.ico", "/nothing"]
W3C = {"element click intercepted": 400, "element not interactable": 400, "insecure certificate": 400,
       "invalid argument": 400, "invalid cookie domain": 400, "invalid element state": 400,
       "invalid selector": 400, "invalid session id": 404, "javascript error": 500,
       "move target out of bounds": 500, "no such alert": 404, "no such cookie": 404, "no such element": 404,
       "no such frame": 404, "no such window": 404, "no such shadow root": 404, "script timeout": 500,
       "session not created": 500, "stale element reference": 404, "detached shadow root": 404, "timeout": 500,
       "unable to set cookie": 500, "unable to capture screen": 500, "unexpected alert open": 500,
       "unknown command": 404, "unknown error": 500, "unknown method": 405, "unsupported operation": 500}


# ---- the fuzzer ------------------------------------------------------------------------------------


class Window:
    def __init__(self, args, seed):
        self.port = _free_port()
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        python = sys.executable
        if args.asan:
            python = str(ROOT / ".venv-asan" / "bin" / "python")
            libs = [subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True,
                                   check=True).stdout.strip() for lib in ("libasan.so", "libubsan.so")]
            env.update(LD_PRELOAD=":".join(libs), PYTHONMALLOC="malloc",
                       ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1",
                       UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        self.proc = subprocess.Popen([python, __file__, "--serve", str(self.port), "--seed", str(seed)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=env, text=True, errors="replace")
        self.lines = queue.Queue()
        self.done = queue.Queue()
        self.recent = []  # the window's last lines, for a finding
        self.history = []  # where the fuzzer keeps its requests
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.time() + 120
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=1)
            except queue.Empty:
                if self.proc.poll() is not None:
                    break
                continue
            if line.strip() == "READY":
                return
            print("window:", line.rstrip())
        raise SystemExit("the window did not start")

    def _read(self):
        for line in self.proc.stdout:
            (self.done if line.startswith("DONE ") else self.lines).put(line)

    def do(self, what):
        self.history.append(b"#do " + what.encode())
        self.proc.stdin.write(what + "\n")
        self.proc.stdin.flush()
        try:
            return self.done.get(timeout=ANSWER_LIMIT)
        except queue.Empty:
            return None

    def output(self):
        out = []
        while True:
            try:
                out.append(self.lines.get_nowait())
            except queue.Empty:
                self.recent = (self.recent + out)[-60:]
                return out

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(30)
        except Exception:
            self.proc.kill()
        return self.output()

FUZZ_PAGE = """<!doctype html><title>Fuzz</title>
<div id='main' class='box'>Hello <b>there</b> <a href='/fuzz.html?b'>again</a></div>
<form id='f' action='/fuzz.html'><input id='name' name='name' value='x'><input type='checkbox' id='c' checked>
<select id='s'><option>a<option selected>b</select><textarea id='t'>t</textarea><input type='file' id='file'>
<button id='go' type='button' onclick='this.textContent += 1'>go</button></form>
<p id='hidden' style='display:none'>secret</p><div id='host'></div>
<iframe id='fr' name='inner' src='/frame.html'></iframe><div style='height:3000px'></div>
<script>
document.getElementById('host').attachShadow({mode: 'open'}).innerHTML = "<span class='in'>shadow</span><input>";
function doing(word, arg) {
  if (word === 'dialog') { const k = (arg || 'Alert').toLowerCase();
    if (k === 'confirm') confirm('fuzz?'); else if (k === 'prompt') prompt('fuzz?', 'x'); else alert('fuzz?'); }
  else if (word === 'frame') { const f = document.createElement('iframe'); f.name = arg || 'ads';
    f.src = '/frame.html?' + f.name; document.body.appendChild(f); }
  else if (word === 'destroy') { const fs = document.querySelectorAll('iframe'); if (fs.length) fs[fs.length - 1].remove(); }
  else if (word === 'scroll') scrollTo(Math.random() * 3000, Math.random() * 3000);
  else if (word === 'push') history.pushState({}, '', '#' + (arg || 'p'));
}
setInterval(() => fetch('/next').then(r => r.text()).then(t => { if (t) doing(...t.split(' ')); }), 100);
</script>"""
FRAME_PAGE = "<!doctype html><title>Frame</title><p id='inframe'>inside</p><iframe srcdoc='<p>deeper</p>'></iframe>"


class Site:
    """The pages the GTK window shows, and the doings the fuzzer asks of them (queued until the
    page polls for them)."""

    def __init__(self):
        import http.server
        site = self
        self.doings = queue.Queue()

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?", 1)[0]
                if path == "/next":
                    try:
                        body = site.doings.get_nowait().encode()
                    except queue.Empty:
                        body = b""
                    kind = "text/plain"
                else:
                    body = {"/fuzz.html": FUZZ_PAGE, "/frame.html": FRAME_PAGE}.get(path, "<title>Other</title>")
                    body, kind = body.encode(), "text/html; charset=utf-8"
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.handle_error = lambda request, client_address: None
        self.base = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


class GtkWindow(Window):
    """`panekit open` on the GTK host, in a process of its own, showing the site's page."""

    site = None

    def __init__(self, args, seed):
        import tempfile
        if GtkWindow.site is None:
            GtkWindow.site = Site()
        self.port = _free_port()
        self.tmp = tempfile.mkdtemp(prefix="panekit-fuzz-gtk-")
        env = dict(os.environ, PYTHONUNBUFFERED="1", PANEKIT_HOST_BACKEND="gtk", PANEKIT_CONTROL_TOKEN=TOKEN)
        for name in ("PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT", "PANEKIT_CONTROL_AUTH"):
            env.pop(name, None)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "panekit", "open", START, "--title", "Fuzz%d" % self.port, "--control-port",
             str(self.port), "--user-data", self.tmp + "/profile", "--download-dir", self.tmp + "/dl"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True,
            errors="replace", cwd=self.tmp)
        self.lines = queue.Queue()
        self.done = queue.Queue()
        self.recent = []
        self.history = []
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.time() + 120
        while time.time() < deadline and self.proc.poll() is None:
            raw, _ = exchange(self.port, b"GET /ready HTTP/1.0\r\nAuthorization: Bearer %s\r\n\r\n" % TOKEN.encode())
            if raw and re.search(rb'"core": ?true', raw):
                return
            time.sleep(0.3)
        for line in self.output():
            print("window:", line.rstrip())
        raise SystemExit("the window did not start")

    def do(self, what):
        self.history.append(b"#do " + what.encode())
        word = what.split(" ", 1)[0]
        if word == "hostile":  # a real page answers as it is
            return "DONE hostile"
        self.site.doings.put(what)
        return "DONE " + word

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        return self.output()



def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, data, keep=False):
    """Sends one request; returns (raw answer, seconds) or (None, seconds) when none came in time."""
    t0 = time.time()
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=ANSWER_LIMIT)
    except ConnectionRefusedError:
        return b"", 0.0
    with s:
        try:
            s.sendall(data)
        except (ConnectionResetError, BrokenPipeError):
            pass
        chunks = []
        while True:
            try:
                b = s.recv(1 << 16)
            except ConnectionResetError:
                break
            except socket.timeout:
                return None, time.time() - t0
            if not b:
                break
            chunks.append(b)
            if keep and _complete(b"".join(chunks)):
                break
    return b"".join(chunks), time.time() - t0


def _complete(raw):
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        return False
    m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    return bool(m) and len(body) >= int(m.group(1))


def parse(raw, head_only=False):
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        return None, None, "no end of head"
    lines = head.decode("latin-1").split("\r\n")
    m = re.fullmatch(r"HTTP/1\.[01] (\d{3}) .*", lines[0])
    if not m:
        return None, None, "bad status line %r" % lines[0]
    headers = {}
    for line in lines[1:]:
        if ": " not in line:
            return None, None, "bad header line %r" % line
        k, v = line.split(": ", 1)
        headers[k.lower()] = v
    n = headers.get("content-length")
    if n is not None and int(n) != len(body) and not head_only:
        return None, None, "Content-Length %s but %d bytes" % (n, len(body))
    return int(m.group(1)), headers, body


class Fuzzer:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        random.seed(args.seed)  # the templates' choices too
        self.g = Gen(self.rng)
        self.findings = []
        self.history = []
        self.sid = None
        self.elements = []
        self.counts = {}
        self.win = None

    # -- requests

    def raw_request(self, method, path, body=None, token=None, version="1.0", close=True):
        data = b"" if body is None else encode(body)
        head = "%s %s HTTP/%s\r\nHost: 127.0.0.1:%d\r\n" % (method, path, version, self.win.port)
        if token:
            head += "Authorization: Bearer %s\r\n" % token
        if data or method == "POST":
            head += "Content-Type: application/json\r\nContent-Length: %d\r\n" % len(data)
        if version == "1.1" and close:
            head += "Connection: close\r\n"
        return head.encode("utf-8", "surrogatepass") + b"\r\n" + data

    def request(self, method, path, body=None, token=None, version="1.0"):
        raw = self.raw_request(method, path, body, token, version)
        self.history.append(raw[:2000])
        del self.history[:-60]
        return exchange(self.win.port, raw)

    def pipelined(self):
        """Two to four WebDriver commands sent at once on one kept HTTP/1.1 connection (the last
        one closing it): faults when they are not all answered, each well-formed, in order."""
        asks = [self.wd_command() for _ in range(self.rng.randint(2, 4))]
        asks = [(m, p, b, t) for m, p, b, t in asks if m in ("GET", "POST", "DELETE") and " " not in p]
        if not asks:
            return [], None
        raw = b"".join(self.raw_request(m, p, b, t, "1.1", close=i == len(asks) - 1) for i, (m, p, b, t) in enumerate(asks))
        self.history.append(b"#pipelined " + raw[:4000])
        del self.history[:-60]
        answer, _ = exchange(self.win.port, raw)
        if answer is None:
            return ["pipelined: no answer within %.0f s" % ANSWER_LIMIT], None
        n = len(re.findall(rb"(?m)^HTTP/1\.[01] \d{3} ", answer))
        # A command the server refuses to read stops the connection (its later ones unanswered).
        if n == 0 or n > len(asks):
            return ["pipelined: %d answers to %d commands" % (n, len(asks))], answer
        return [], answer

    def check(self, kind, method, path, raw, took, token_sent):
        """Faults of one answer (a list of texts); kind is "wd" or "pk"."""
        if raw is None:
            return ["no answer within %.0f s" % ANSWER_LIMIT]
        if raw == b"":
            return ["connection closed without an answer"]
        status, headers, body = parse(raw, method == "HEAD")
        if status is None:
            return [body]
        if TOKEN.encode() in raw:
            return ["the token in the answer"]
        key = (kind, status)
        self.counts[key] = self.counts.get(key, 0) + 1
        if status == 204 or method == "HEAD":
            return []
        ctype = headers.get("content-type", "")
        if ctype.startswith("text/html") and status in (400, 414, 431, 501, 505):
            return []  # a request line or head the server cannot read: the standard handler's page
        if ctype.startswith("image/png"):
            return [] if body.startswith(b"\x89PNG") else ["image/png that is no PNG"]
        try:
            value = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            return ["no JSON body (%s): %r" % (e, body[:200])]
        if not ctype.startswith("application/json"):
            return ["JSON under Content-Type %r" % ctype]
        if kind == "pk":
            if not isinstance(value, dict) or "ok" not in value:
                return ["no \"ok\" in %r" % (body[:200],)]
            if status >= 500 and status not in (503, 504) and status != 500:
                return ["status %d" % status]
            if status == 500:
                return ["500 on panekit's route: %r" % value.get("error")]
            return []
        if not isinstance(value, dict) or "value" not in value:
            return ["no \"value\" in %r" % (body[:200],)]
        if status == 200:
            return []
        v = value["value"]
        if not isinstance(v, dict) or not {"error", "message", "stacktrace"} <= v.keys():
            return ["an error without error/message/stacktrace: %r" % (body[:200],)]
        if v["error"] not in W3C:
            return ["unknown error code %r" % v["error"]]
        if W3C[v["error"]] != status:
            return ["%r with status %d" % (v["error"], status)]
        if v["error"] == "unknown error" and GTK:  # the engine may fail; the client's fault may not be one
            if re.search(r"(?i)invalid|expected|must be|argument|not a |out of range|malformed", v["message"]):
                return ["unknown error for the client's input: %r" % v["message"][:300]]
        elif v["error"] == "unknown error" and not self.page_hostile:
            return ["unknown error: %r" % v["message"][:300]]
        if "Traceback" in v["message"] or "Error:" in v["message"] and v["error"] != "javascript error":
            return ["a Python error in the message: %r" % v["message"][:300]]
        return []

    # -- generated requests

    def mutate(self, body):
        r = self.rng
        k = r.randrange(12)
        if k == 0:
            return self.g.value()
        if k == 1:
            return r.choice([b"", b"null", b"{", b"\xff\xfe", b"\xef\xbb\xbf{}", b"NaN", b"[]", b"{}" * 3,
                             b"{\"a\": 1, \"a\": 2}", ("[" * 100000 + "]" * 100000).encode(),
                             b"{\"url\": \"\\ud800\"}", b"{\"script\": \"\\u0000\"}", b"1e99999",
                             b"{\"value\": \"\\udfff\\ud800\"}", b'{"x": ' + b"9" * 5000 + b"}"])
        if not isinstance(body, dict):
            return body
        body = json.loads(json.dumps(body))
        for _ in range(r.randrange(1, 4)):
            target = body
            while isinstance(target, dict) and target and r.random() < 0.5:
                inner = r.choice(list(target))
                if isinstance(target[inner], (dict, list)):
                    target = target[inner]
                    if isinstance(target, list):
                        target = r.choice(target) if target and isinstance(target[0], dict) else {}
                else:
                    break
            if not isinstance(target, dict):
                continue
            op = r.randrange(4)
            if op == 0 and target:
                target[r.choice(list(target))] = self.g.value()
            elif op == 1 and target:
                del target[r.choice(list(target))]
            elif op == 2:
                target[r.choice(KEYS)] = self.g.value()
            else:
                target[self.g.weird_string()] = self.g.value()
        return body

    def segment(self):
        r = self.rng
        return r.choice([DOC_REF(), DOC_REF(), DOC_REF(), "", ".", "..", "%2E%2E", "%00", "%2F", "a%2Fb", "%ff",
                         "%", "%g1", "x" * 3000, "\u00e9", "%F0%9F%98%80", "%ED%A0%80", "?", "a b", "*",
                         "0123456789abcdef%2E1", "../session", "id;x", "ads.3", "inner.5", "%20"])

    def wd_path(self, template):
        r = self.rng
        s = self.sid if self.sid and r.random() < 0.9 else r.choice(["00ff", "", "%00", self.sid or "x"])
        el = r.choice(self.elements) if self.elements and r.random() < 0.6 else self.segment()
        name = r.choice(["a", "id", "value", "class", "", "%00", "x%20y", "\u00e9", "%2F", "a.b"])
        path = template.replace("{s}", "/session/" + s).replace("{e}", el).replace("{r}", el).replace("{n}", name).replace("{x}", self.segment())
        k = r.randrange(20)
        if k == 0:
            path += "/"
        elif k == 1:
            path += "?" + r.choice(["a=1", "%00", "x=%ff&&", "=" * 10])
        elif k == 2:
            path = path.replace("/", "//", 1)
        elif k == 3:
            path += "/" + self.segment()
        elif k == 4:
            path = path.upper()
        return path

    def wd_command(self):
        r = self.rng
        method, template = r.choice(COMMANDS)
        if r.random() < 0.08:
            method = r.choice(["GET", "POST", "DELETE", "PUT", "HEAD", "OPTIONS", "PATCH", "G\x00T"])
        if method == "DELETE" and template == "{s}/window":
            method = "GET"  # Close Window: the window would be gone
        path = self.wd_path(template)
        tail = template.split("{e}")[-1] if "{e}" in template else template.replace("{s}", "")
        base = VALID.get(tail) or VALID.get("/" + tail.rsplit("/", 1)[-1]) or (lambda: {})
        body = None
        if method == "POST":
            body = base() if template != "/session" else self.caps()
            if r.random() < 0.7:
                body = self.mutate(body)
        token = TOKEN if template == "/session" and r.random() < 0.8 else None
        return method, path, body, token

    def caps(self):
        caps = {"alwaysMatch": {"timeouts": {"implicit": 0, "pageLoad": 3000, "script": 2000}}}
        if self.rng.random() < 0.3:
            caps["firstMatch"] = [{"browserName": "panekit"}, {"unhandledPromptBehavior": "accept"}]
        return {"capabilities": caps}

    def pk_route(self):
        r = self.rng
        method = r.choice(["GET", "POST"] * 6 + ["OPTIONS", "DELETE", "PUT", "HEAD"])
        path = r.choice(ROUTES)
        k = r.randrange(10)
        if k == 0:
            path += "?" + r.choice(["after=1&wait=0", "after=-1", "after=1e3", "wait=121", "wait=nan",
                                    "wait=inf", "after=99999999999999999999999", "wait=0.001&after=%00",
                                    "after=" + "9" * 400, "wait=-0", "after=&wait=", "after=1&after=2",
                                    "wait=1e-9", "after=0x10", "after=%31"])
        elif k == 1:
            path += r.choice(["/", "//", "/x", "%00", "%2F", "/..", "?"])
        body = None
        if method == "POST":
            body = r.choice([
                {"url": self.g.weird_string()}, {"url": "https://a.example/", "wait": self.g.weird_number()},
                {"script": self.g.weird_string(), "timeout": self.g.weird_number()}, {"wait": self.g.value()},
                self.g.value(), self.g.weird_string().encode("utf-8", "surrogatepass"),
                {"script": "1", "timeout": 0.01}, {"url": self.g.value()}])
            body = self.mutate(body) if r.random() < 0.3 else body
        token = TOKEN if r.random() < 0.5 else r.choice([None, None, "wrong", "", TOKEN + "x", TOKEN.upper()])
        return method, path, body, token

    # -- state reached by valid commands

    def ensure_state(self):
        r = self.rng
        if not self.sid or r.random() < 0.02:
            raw, _ = self.request("POST", "/session", self.caps(), token=TOKEN)
            if raw:
                st, _, body = parse(raw)
                if st == 200:
                    self.sid = json.loads(body)["value"]["sessionId"]
                    self.elements = []
                elif st == 500 and self.sid:
                    pass  # one session at a time: keep the one there is
        if r.random() < 0.1:
            raw, _ = self.request("POST", "/session/%s/element" % self.sid, {"using": "css selector", "value": "#main"})
            if raw:
                st, _, body = parse(raw)
                value = json.loads(body)["value"] if st == 200 else None
                ref = value.get(EL) if isinstance(value, dict) else None
                if isinstance(ref, str) and "/" not in ref and " " not in ref:
                    if ref not in self.elements:
                        self.elements.append(ref)
        k = r.randrange(40)
        if k == 0:
            self.win.do("dialog " + r.choice(["Alert", "Confirm", "Prompt", "Beforeunload"]))
        elif k == 1:
            self.win.do("frame " + r.choice(["ads", "inner", "", "ads"]))
        elif k == 2:
            self.win.do("destroy")
        elif k == 3 and GTK:
            raw, _ = self.request("POST", "/session/%s/element" % self.sid, {"using": "css selector", "value": "iframe"})
            found = re.search(rb'"%s": "([^"]+)"' % EL.encode(), raw or b"")
            self.request("POST", "/session/%s/frame" % self.sid, {"id": {EL: found.group(1).decode() if found else "x"}})
        elif k == 3:
            self.request("POST", "/session/%s/frame" % self.sid, {"id": {EL: r.choice(["0123456789abcdef.7",
                                                                                        "0123456789abcdef.6"])}})
        elif k == 4:
            self.request("POST", "/session/%s/frame" % self.sid, {"id": None})
        elif k == 5:
            self.win.do("scroll")
        elif k == 6:
            self.request("POST", "/session/%s/timeouts" % self.sid, {"implicit": 0, "pageLoad": 3000, "script": 2000})

    def run(self):
        args = self.args
        self.win = self.window(args.seed)
        self.win.history = self.history
        self.page_hostile = False
        end = time.time() + args.seconds
        n = 0
        try:
            while time.time() < end:
                self.ensure_state()
                if n % 500 == 0:
                    self.page_hostile = self.rng.random() < 0.3
                    self.win.do("hostile %s" % (0.3 if self.page_hostile else 0))
                if self.rng.random() < 0.03:
                    problems, raw = self.pipelined()
                    if problems:
                        self.found(problems, raw)
                    n += 1
                    continue
                method, path, body, token = self.wd_command() if self.rng.random() < 0.75 else self.pk_route()
                kind = "wd" if webdriver_path(method, path) else "pk"
                version = "1.1" if self.rng.random() < 0.3 else "1.0"
                raw, took = self.request(method, path, body, token, version=version)
                problems = self.check(kind, method, path, raw, took, token)
                if self.sid and self.sid in path and raw and b'"invalid session id"' in raw:
                    self.sid = None  # the session was ended: open another
                opened = re.search(rb'"sessionId": "(\w+)"', raw or b"")
                if opened and method == "POST":  # a generated New Session that was served
                    self.sid, self.elements = opened.group(1).decode(), []
                if (kind == "wd" and method == "POST" and path.split("?")[0].rstrip("/").endswith("/timeouts") and raw
                        and parse(raw)[0] == 200):  # keep waits short
                    self.request("POST", "/session/%s/timeouts" % self.sid, {"implicit": 0, "pageLoad": 3000,
                                                                              "script": 2000})
                out = self.win.output()
                problems += ["window: " + line.rstrip() for line in out if not expected_line(line)]
                ended = self.win.proc.poll() is not None
                if ended:
                    time.sleep(0.5)
                    problems += ["window: " + line.rstrip() for line in self.win.output()]
                    problems.append("the window's process ended (%s)" % self.win.proc.returncode)
                elif raw == b"" and exchange(self.win.port, b"GET /ready HTTP/1.0\r\n\r\n")[0] == b"":
                    problems.append("the window no longer answers")
                    self.win.proc.stdin.close()
                    self.win.proc.wait(30)
                    ended = True
                if problems:
                    self.found(problems, raw)
                    if ended:
                        self.win = self.window(self.rng.randrange(1 << 30))
                        self.win.history = self.history
                        self.sid, self.elements = None, []
                n += 1
        finally:
            rest = self.win.close()
            bad = [line for line in rest if not expected_line(line) and not line.startswith("EXIT 0")]
            if bad:
                self.found(["window at its end: " + line.rstrip() for line in bad], None)
        print("%d requests in %.0f s, %d findings; answers by (side, status): %s" % (
            n, args.seconds, len(self.findings), sorted(self.counts.items())))
        return 1 if self.findings else 0

    def window(self, seed):
        return (GtkWindow if GTK else Window)(self.args, seed)

    def found(self, problems, raw):
        out = Path(self.args.out)
        out.mkdir(parents=True, exist_ok=True)
        i = len(self.findings)
        self.findings.append(problems)
        with open(out / ("finding-%d-%03d.txt" % (self.args.seed, i)), "wb") as f:
            f.write(("\n".join(problems) + "\n\n-- answer:\n").encode("utf-8", "replace"))
            f.write((raw or b"")[:4000] + b"\n\n-- the last requests, oldest first:\n")
            for req in self.history:
                f.write(req + b"\n----\n")
            f.write(b"\n-- the window's last lines:\n" + "".join(self.win.recent).encode("utf-8", "replace"))
        print("FINDING %d: %s" % (i, "; ".join(problems)[:400]), flush=True)


# The window's own lines: the access log ("[panekit control] "GET / HTTP/1.0" 200 -") and the
# server's refusal of a method it does not serve.
EXPECTED = re.compile(r'^\[panekit control\] ("[^"]*" \d{3} -|code \d{3}, message )|^EXIT 0|^\s*$')


# What is a finding among the real window's lines (the engine and GTK warn about much that is not).
GTK_BAD = re.compile(r"Traceback|Fatal Python|Segmentation|Aborted|core dumped|terminate called|Sanitizer|"
                     r"CRITICAL|assertion|Error: |Exception")


def expected_line(line):
    if GTK:
        return not GTK_BAD.search(line)
    return bool(EXPECTED.match(line))


def replay(args):
    """Sends a finding's requests again, in order, to a new window (a session opened first; the
    session ids they name are replaced by the new window's), and prints each answer."""
    data = Path(args.replay).read_bytes().split(b"-- the last requests, oldest first:\n", 1)[1]
    data = data.split(b"\n-- the window's last lines:", 1)[0]
    win = (GtkWindow if GTK else Window)(args, args.seed)
    body = encode({"capabilities": {}})
    opened, _ = exchange(win.port, b"POST /session HTTP/1.0\r\nAuthorization: Bearer %s\r\nContent-Length: %d\r\n\r\n%s"
                         % (TOKEN.encode(), len(body), body))
    sid = re.search(rb'"sessionId": "(\w+)"', opened).group(1)
    for raw in data.split(b"\n----\n"):
        if not raw.strip():
            continue
        if raw.startswith(b"#do "):
            print(raw.decode(), "->", (win.do(raw[4:].decode()) or "").strip())
            continue
        raw = raw.removeprefix(b"#pipelined ")
        raw = re.sub(rb"Host: 127\.0\.0\.1:\d+", b"Host: 127.0.0.1:%d" % win.port, raw)
        raw = re.sub(rb"/session/[0-9a-f]{40}", b"/session/" + sid, raw)
        answer, _ = exchange(win.port, raw)
        found = re.search(rb'"sessionId": "(\w+)"', answer or b"")
        if found:
            sid = found.group(1)
        print(raw.split(b"\r\n", 1)[0].decode("latin-1")[:200], "->",
              (answer or b"(none)").split(b"\r\n", 1)[0].decode("latin-1"), (answer or b"").rpartition(b"\r\n\r\n")[2][:200])
    for line in win.close():
        print("window:", line.rstrip()[:300])
    return 0


def webdriver_path(method, path):
    """Whether the server gives the request to WebDriver: GET by the target's start, POST and DELETE
    by the path without its query and trailing slashes."""
    path = "/" + path.lstrip("/") if path.startswith("//") else path  # as the server reads it
    if method == "GET":
        return path.startswith(("/status", "/session"))
    return method in ("POST", "DELETE") and path.split("?", 1)[0].startswith("/session")


def encode(body):
    if isinstance(body, dict) and body.get("deep") is True and type(body.get("_raw")) is int:
        n = min(body["_raw"], 200000)
        return ("[" * n + "1" + "]" * n).encode()
    if isinstance(body, (bytes, bytearray)):
        return bytes(body)
    return json.dumps(body).encode()  # NaN and Infinity as Python writes them, surrogates escaped


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--asan", action="store_true")
    p.add_argument("--gtk", action="store_true", help="the GTK host on the real engine (under xvfb-run -a)")
    p.add_argument("--out", default="/tmp/panekit-fuzz")
    p.add_argument("--replay", help="a finding's file: its requests again, against a new window")
    p.add_argument("--serve", type=int)
    args = p.parse_args()
    if args.gtk:
        global GTK, START
        GTK = True
        GtkWindow.site = Site()
        START = GtkWindow.site.base + "/fuzz.html"
        URLS[:] = [START + "#x", GtkWindow.site.base + "/frame.html", GtkWindow.site.base + "/other.html"]
    if args.serve:
        return serve(args.serve, args.seed)
    if args.replay:
        return replay(args)
    return Fuzzer(args).run()


if __name__ == "__main__":
    sys.exit(main())
