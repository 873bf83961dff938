"""panekit beside the W3C WebDriver on the same engine: the GTK window (WebKitGTK) against
WebKitWebDriver driving WebKitGTK's own MiniBrowser, and against chromedriver driving Chromium
where both are installed. Every comparison runs the two sides in interleaved rounds in one run:

  * per call, one connection per request from this process, p50 and p99: a request answered from
    the page (GET /url against WebDriver's GET /session/{id}/url); the page's title through
    script (POST /script of `document.title` against WebDriver's synchronous script execution,
    POST /session/{id}/execute/sync); a picture of the page (GET /screenshot against WebDriver's
    GET /session/{id}/screenshot: the PNG itself against JSON carrying it in base64, the JSON
    parsed in the timed call, the base64 decoded outside it), the browser windows sized so that
    both views are as large;
    each side's result (the address, the title, the picture's size) is checked to be the same;
  * a waited navigation: ms from the page's load event (the page reports it) to the return of
    remote_navigate(URL, wait=10) against WebDriver's POST /session/{id}/url, which waits for the
    load by default;
  * start-up: seconds from starting `panekit open URL` (the console command) against starting
    MiniBrowser URL to the page's load event, and the browser side's memory a second later (the
    PSS of the process and every process it started: web, network, GPU).

Ratios are panekit / the other (below 1: panekit is faster or smaller). Needs a display, the GTK
host's bindings and WebKitWebDriver: the tier's script provides all three.

    bash scripts/test.sh --gtk --webdriver      (or: scripts/test-gtk.sh PYTHON --webdriver)
    python bench/bench_webdriver.py [--calls N] [--loads N] [--starts N]

With --baseline DIR (another build installed by `pip install --no-deps --target DIR CHECKOUT`), that
build's window is one more side of the Selenium rows, in the same interleaved rounds: a before and
after of a change, measured in one run.
"""
import argparse
import atexit
import base64
import json
import os
import secrets
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from gtktier import PAGES, SLOW_SECONDS, Site, free_port, missing  # noqa: E402

from panekit import helmwire  # noqa: E402

MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"
# A page that reports its load event (ms since the epoch) at once.
# A page to act on: a button that counts its clicks, a field to type into.
PAGES["/act.html"] = ("<title>Act</title><button id='b' onclick='n++'>count</button><input id='f'>"
                      "<script>var n = 0;</script>")
PAGES["/first.html"] = ("<title>First</title><h1>First page</h1><script>addEventListener('load', () => "
                        "fetch('/beacon?t=' + Date.now()))</script>")



def png_size(data):
    """(width, height) of a PNG image, None for anything else."""
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def picture(body):
    """The size of the PNG an answer carries: panekit's is the image itself, WebDriver's is JSON
    with the image in base64."""
    return png_size(body if isinstance(body, bytes) else base64.b64decode(body["value"]))


# The per-call comparisons: (row, panekit's request, WebDriver's request, result), a request being
# (method, path, JSON body or None); "{sid}" is the WebDriver session; result(side's name, answer
# body) is what a call gave, the same on every side for the row to count. Each row is timed the
# same way on every side; a result is read only outside the timed calls.
CALLS = [
    ("GET /url", ("GET", "/url", None), ("GET", "/session/{sid}/url", None),
     lambda name, r: r["url"] if name == "panekit" else r["value"]),
    ("POST /script document.title", ("POST", "/script", {"script": "document.title"}),
     ("POST", "/session/{sid}/execute/sync", {"script": "return document.title", "args": []}),
     lambda name, r: r["value"]),
    ("GET /screenshot", ("GET", "/screenshot", None), ("GET", "/session/{sid}/screenshot", None),
     lambda name, r: picture(r)),
]


def request(port, method, path, body=None, timeout=30, token=None):
    """One HTTP/1.1 request on a connection of its own: (status, body), the body parsed when it
    is JSON, else its bytes. The answer is read as far as its head says (Content-Length, or the
    chunks of a chunked one): a server may keep the connection open after it."""
    data = b"" if body is None else json.dumps(body).encode()
    auth = f"Authorization: Bearer {token}\r\n" if token else ""
    head = (f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n{auth}"
            f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n\r\n").encode()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as c:
        c.sendall(head + data)
        reader = c.makefile("rb")
        status = int(reader.readline().split(b" ", 2)[1])
        fields = {}
        while (line := reader.readline()) not in (b"\r\n", b"\n", b""):
            name, _, value = line.decode("latin-1").partition(":")
            fields[name.strip().lower()] = value.strip()
        if "chunked" in fields.get("transfer-encoding", "").lower():
            payload = dechunk(reader)
        elif "content-length" in fields:
            payload = reader.read(int(fields["content-length"]))
        else:
            payload = reader.read()
    if fields.get("content-type", "").startswith("image/"):
        return status, payload
    return status, json.loads(payload) if payload.strip() else None


def dechunk(reader):
    out = b""
    while n := int(reader.readline().split(b";")[0], 16):
        out += reader.read(n)
        reader.readline()
    while reader.readline() not in (b"\r\n", b"\n", b""):  # trailer
        pass
    return out


def wait_for(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            sys.exit(f"bench_webdriver: timed out waiting for {what}")
        time.sleep(0.01)
    return value


def new_beacon(site, seen, timeout=30):
    """The load time the next page reports after `seen` beacons, in seconds since the epoch."""
    wait_for(lambda: len(site.beacons) > seen, "the page's load event", timeout)
    return site.beacons[seen]


def pss_tree(pid):
    """PSS in MiB of `pid` and every process descending from it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = open(f"/proc/{entry}/stat").read()
                parents[int(entry)] = int(stat.rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    tree, grew = {pid}, True
    while grew:
        more = {p for p, parent in parents.items() if parent in tree} - tree
        grew = bool(more)
        tree |= more
    total = 0
    for p in tree:
        try:
            for line in open(f"/proc/{p}/smaps_rollup"):
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


# Every process the bench starts, ended on every way out (stop_all): at exit, and on SIGTERM,
# SIGHUP and Ctrl-C, which end the bench through SystemExit / KeyboardInterrupt.
STARTED = []


def spawn(*args, **kw):
    proc = subprocess.Popen(*args, start_new_session=True, **kw)
    STARTED.append(proc)
    return proc


def stop_all(*_):
    while STARTED:
        stop(STARTED.pop())


def end_on_signals():
    atexit.register(stop_all)
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda signum, frame: sys.exit(128 + signum))


def stop(proc):
    """Ends a process started in a session of its own, and everything it started."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(10)


class Panekit:
    name = "panekit"

    def __init__(self, site, tmp, name="panekit", path=None):
        self.site, self.tmp, self.name = site, tmp, name
        # `path`: where another build of panekit is installed (pip install --target), put first on
        # the window's PYTHONPATH
        self.extra = {"PYTHONPATH": path} if path else {}
        # The token the script and screenshot routes ask for, given to the window as scripts do
        # (sent with every request, as panekit's own client does).
        self.token = secrets.token_urlsafe(32)
        self.command = shutil.which("panekit", path=sysconfig.get_path("scripts")) or "panekit"

    def open(self, url, tag):
        self.port = free_port()
        log = open(self.tmp / f"panekit-{tag}.log", "w")
        env = dict(os.environ, PANEKIT_HOST_BACKEND="gtk", PANEKIT_CONTROL_TOKEN=self.token, **self.extra)
        return spawn([self.command, "open", url, "--control-port", str(self.port), "--user-data",
                      str(self.tmp / f"profile-{tag}"), "--title", f"panekit-{tag}"],
                     stdout=log, stderr=subprocess.STDOUT, env=env)

    def call(self, req):
        method, path, body = req
        return request(self.port, method, path, body, token=self.token)

    def navigate(self, url):
        return helmwire.remote_navigate(url, port=self.port, wait=10)["ok"]

    def script(self, expression):
        return self.call(("POST", "/script", {"script": expression}))[1]["value"]


class WebDriver:
    """A W3C WebDriver server (WebKitWebDriver or chromedriver) with one session."""

    def __init__(self, name, command, capabilities, tmp):
        self.name = name
        self.port = free_port()
        self.proc = spawn([*command, f"--port={self.port}"], stdout=open(tmp / f"{name}.log", "w"),
                          stderr=subprocess.STDOUT)
        wait_for(lambda: self._up(), f"{name} to listen")
        status, r = request(self.port, "POST", "/session", {"capabilities": {"alwaysMatch": capabilities}}, 60)
        if status != 200:
            stop(self.proc)
            sys.exit(f"bench_webdriver: {name} refused the session: {r}")
        self.sid = r["value"]["sessionId"]

    def _up(self):
        try:
            return request(self.port, "GET", "/status")[0] == 200
        except OSError:
            return False

    def call(self, req):
        method, path, body = req
        return request(self.port, method, path.format(sid=self.sid), body)

    def navigate(self, url):
        return self.call(("POST", "/session/{sid}/url", {"url": url}))[0] == 200

    def script(self, expression):
        body = {"script": f"return {expression}", "args": []}
        return self.call(("POST", "/session/{sid}/execute/sync", body))[1]["value"]

    def fit_view(self, size):
        """Resizes the browser window until the page's view has `size` (what a screenshot takes)."""
        for _ in range(4):
            view = self.script("[innerWidth, innerHeight]")
            if view == size:
                return
            rect = self.call(("GET", "/session/{sid}/window/rect", None))[1]["value"]
            self.call(("POST", "/session/{sid}/window/rect", {"width": rect["width"] + size[0] - view[0],
                                                              "height": rect["height"] + size[1] - view[1]}))
            time.sleep(0.2)
        sys.exit(f"bench_webdriver: {self.name}'s view stays {view}, panekit's is {size}")

    def close(self):
        try:
            self.call(("DELETE", "/session/{sid}", None))
        except OSError:
            pass
        stop(self.proc)


def drivers(tmp):
    """The WebDriver sides this machine has."""
    out = []
    if shutil.which("WebKitWebDriver") and os.path.exists(MINIBROWSER):
        out.append(("WebKitWebDriver", ["WebKitWebDriver"],
                    {"webkitgtk:browserOptions": {"binary": MINIBROWSER, "args": ["--automation"]}}))
    else:
        print("WebKitWebDriver or MiniBrowser missing: apt-get install webkit2gtk-driver (the tier's script "
              "installs it)")
    chrome = shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")
    if shutil.which("chromedriver") and chrome:
        out.append(("chromedriver", ["chromedriver"], {"goog:chromeOptions": {"binary": chrome, "args": [
            "--no-sandbox", f"--user-data-dir={tmp / 'chromium'}"]}}))
    return out


def selenium_rows(site, tmp, pk, rounds, new_sessions, baseline=None):
    """Selenium's own Python client on panekit's WebDriver (the window's control port) against the
    same client on WebKitWebDriver driving MiniBrowser: per command, interleaved in rounds of 10,
    each side's result checked equal first. `baseline`: where another build of panekit is
    installed; its window is one more side ("baseline"). Returns the rows and the results."""
    try:
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.options import ArgOptions
        from selenium.webdriver.remote.client_config import AuthType, ClientConfig
    except ImportError:
        print("selenium missing: pip install -r scripts/requirements-dev.txt")
        return [], []
    if not (shutil.which("WebKitWebDriver") and os.path.exists(MINIBROWSER)):
        return [], []
    port = free_port()
    server = subprocess.Popen(["WebKitWebDriver", f"--port={port}"], stdout=open(tmp / "selenium-wkwd.log", "w"),
                              stderr=subprocess.STDOUT, start_new_session=True)
    ours = theirs = before = base_window = None
    try:
        wait_for(lambda: _listening(port), "WebKitWebDriver to listen")
        base = None
        if baseline:
            base = Panekit(site, tmp, "baseline", baseline)
            base_window = base.open(site.url("/a.html"), "baseline")
            wait_for(lambda: helmwire.remote_ready(port=base.port).get("core"), "the baseline's window")

        def open_panekit(p=pk):
            config = ClientConfig(remote_server_addr=f"http://127.0.0.1:{p.port}", auth_type=AuthType.BEARER,
                                  token=p.token)
            return webdriver.Remote(command_executor=f"http://127.0.0.1:{p.port}", options=ArgOptions(),
                                    client_config=config)

        def open_webkit():
            options = ArgOptions()
            options.set_capability("webkitgtk:browserOptions", {"binary": MINIBROWSER, "args": ["--automation"]})
            return webdriver.Remote(command_executor=f"http://127.0.0.1:{port}", options=options)

        rows, notes = [], []
        # New Session (each side ends its session again), fewer rounds: the other side starts a browser
        openers = [("panekit", open_panekit), ("WebKitWebDriver", open_webkit)]
        if base:
            openers.append(("baseline", lambda: open_panekit(base)))
        lat = {name: [] for name, _ in openers}
        for _ in range(new_sessions):
            for name, opener in openers:
                t0 = time.perf_counter()
                d = opener()
                lat[name].append(time.perf_counter() - t0)
                d.quit()
        rows.append(("Selenium New Session, median ms", {n: statistics.median(v) * 1e3 for n, v in lat.items()}))

        ours, theirs = open_panekit(), open_webkit()
        before = open_panekit(base) if base else None
        for d in (ours, theirs, before) if base else (ours, theirs):
            d.get(site.url("/b.html"))
            d.add_cookie({"name": "bench", "value": "1"})
        # both views as large, so that both pictures are
        size = ours.execute_script("return [innerWidth, innerHeight]")
        for _ in range(4):
            view = theirs.execute_script("return [innerWidth, innerHeight]")
            if view == size:
                break
            rect = theirs.get_window_rect()
            theirs.set_window_rect(width=rect["width"] + size[0] - view[0], height=rect["height"] + size[1] - view[1])
            time.sleep(0.2)
        commands = [
            ("Navigate To", lambda d: (d.get(site.url("/b.html")), d.title)[1]),
            ("Find Element", lambda d: d.find_element(By.TAG_NAME, "h1").tag_name),
            ("Get Element Text", lambda d, el={}: el.setdefault(id(d), d.find_element(By.TAG_NAME, "h1")).text),
            ("Execute Script", lambda d: d.execute_script("return document.title")),
            ("Take Screenshot", lambda d: png_size(d.get_screenshot_as_png())),
            ("Get All Cookies", lambda d: sorted((c["name"], c["value"]) for c in d.get_cookies())),
            # on /act.html (opened, and the element found, by the first call, which is not timed)
            ("Element Click", lambda d: on_act(d, "b").click()),
            ("Element Send Keys (10 characters)", lambda d: on_act(d, "f").send_keys("abcdefghij")),
        ]
        acting = {}

        def on_act(d, key):
            if (id(d), key) not in acting:
                if not d.current_url.endswith("/act.html"):
                    d.get(site.url("/act.html"))
                acting[(id(d), key)] = d.find_element(By.ID, key)
            return acting[(id(d), key)]
        sides = (("panekit", ours), ("WebKitWebDriver", theirs)) + ((("baseline", before),) if base else ())
        for row, command in commands:
            results = {name: command(d) for name, d in sides}
            if len(set(map(repr, results.values()))) > 1:
                sys.exit(f"bench_webdriver: Selenium {row} gives different results: {results}")
            notes.append(f"Selenium {row}: {results['panekit']!r}")
            lat = {name: [] for name, _ in sides}
            for _ in range(max(1, rounds // 10)):
                for name, d in sides:
                    for _ in range(10):
                        t0 = time.perf_counter()
                        command(d)
                        lat[name].append(time.perf_counter() - t0)
            for q, label in ((0.5, "p50"), (0.99, "p99")):
                rows.append((f"Selenium {row}, {label} ms", {n: pct(v, q) * 1e3 for n, v in lat.items()}))
        # every click and every key reached each page: the same counts on both sides
        acted = {name: d.execute_script("return [n, document.getElementById('f').value.length]") for name, d in sides}
        if len(set(map(repr, acted.values()))) > 1:
            sys.exit(f"bench_webdriver: Selenium's clicks and keys reached the pages differently: {acted}")
        notes.append(f"Selenium clicks and characters that reached the page: {acted['panekit']}")
        return rows, notes
    finally:
        for d in (ours, theirs, before):
            if d is not None:
                try:
                    d.quit()
                except Exception:  # noqa: BLE001 - ending the bench whatever state the session is in
                    pass
        stop(server)
        if base_window is not None:
            stop(base_window)


def _listening(port):
    try:
        return request(port, "GET", "/status")[0] == 200
    except OSError:
        return False


def pct(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=300, help="requests of each per-call row on each side")
    ap.add_argument("--loads", type=int, default=10, help="waited navigations on each side")
    ap.add_argument("--starts", type=int, default=8, help="starts of panekit and of MiniBrowser")
    ap.add_argument("--selenium", type=int, default=100, help="calls of each Selenium row on each side")
    ap.add_argument("--sessions", type=int, default=5, help="Selenium New Sessions on each side")
    ap.add_argument("--baseline", metavar="DIR", help="another build of panekit, installed with pip install "
                    "--target DIR: its window is one more side of the Selenium rows")
    args = ap.parse_args()
    reason = missing()
    if reason:
        sys.exit(f"bench_webdriver: {reason}")
    end_on_signals()
    load_before = os.getloadavg()[0]
    site = Site()
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-webdriver."))
    pk = Panekit(site, tmp)
    rows, notes = [], []
    window = pk.open(site.url("/a.html"), "calls")
    sides = []
    try:
        wait_for(lambda: helmwire.remote_ready(port=pk.port).get("core"), "the panekit window")
        sides = [WebDriver(name, cmd, caps, tmp) for name, cmd, caps in drivers(tmp)]
        view = pk.script("[innerWidth, innerHeight]")
        for side in sides:
            assert side.navigate(site.url("/a.html"))
            side.fit_view(view)
        everyone = [pk, *sides]

        # per call, interleaved in rounds of 10
        for row, pk_req, other_req, result in CALLS:
            lat = {s.name: [] for s in everyone}
            reqs = [pk_req] + [other_req] * len(sides)
            results = {}
            for side, req in zip(everyone, reqs):
                for _ in range(10):  # warm-up
                    status, answer = side.call(req)
                    assert status == 200, (side.name, row, answer)
                results[side.name] = result(side.name, answer)
            if len(set(map(repr, results.values()))) > 1:
                sys.exit(f"bench_webdriver: {row} gives different results: {results}")
            notes.append(f"{row}: {results['panekit']!r}")
            for _ in range(max(1, args.calls // 10)):
                for side, req in zip(everyone, reqs):
                    for _ in range(10):
                        t0 = time.perf_counter()
                        status, _ = side.call(req)
                        lat[side.name].append(time.perf_counter() - t0)
                        assert status == 200, (side.name, row)
            for q, label in ((0.5, "p50"), (0.99, "p99")):
                rows.append((f"{row}, {label} ms", {n: pct(v, q) * 1e3 for n, v in lat.items()}))

        # a waited navigation: from the page's load event to the return
        after = {s.name: [] for s in everyone}
        for i in range(args.loads):
            for side in everyone:
                seen = len(site.beacons)
                assert side.navigate(site.url(f"/load.html?{side.name}{i}"))
                returned = time.time()
                after[side.name].append((returned - new_beacon(site, seen)) * 1e3)
        rows.append(("load event to the waited navigation's return, median ms",
                     {n: statistics.median(v) for n, v in after.items()}))
        for side in sides:
            side.close()
        sides = []
        if args.selenium > 0:
            more, said = selenium_rows(site, tmp, pk, args.selenium, args.sessions, args.baseline)
            rows += more
            notes += said
    finally:
        for side in sides:
            side.close()
        stop(window)

    # start-up and memory: panekit open against MiniBrowser alone, in turn
    if os.path.exists(MINIBROWSER) and args.starts > 0:
        started = {"panekit": [], "MiniBrowser": []}
        memory = {"panekit": [], "MiniBrowser": []}
        for i in range(args.starts):
            for name in ("panekit", "MiniBrowser"):
                seen = len(site.beacons)
                t0 = time.time()
                if name == "panekit":
                    proc = pk.open(site.url("/first.html"), f"start{i}")
                else:
                    home = tmp / f"minibrowser-{i}"
                    env = dict(os.environ, XDG_DATA_HOME=str(home / "data"), XDG_CACHE_HOME=str(home / "cache"),
                               XDG_CONFIG_HOME=str(home / "config"))
                    proc = spawn([MINIBROWSER, site.url("/first.html")], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    started[name].append(new_beacon(site, seen) - t0)
                    time.sleep(1.0)
                    memory[name].append(pss_tree(proc.pid))
                finally:
                    stop(proc)
        rows.append(("start to the page's load event, median s", {
            "panekit": statistics.median(started["panekit"]), "MiniBrowser": statistics.median(started["MiniBrowser"])}))
        rows.append(("browser side's PSS 1 s after the load, median MiB", {
            "panekit": statistics.median(memory["panekit"]), "MiniBrowser": statistics.median(memory["MiniBrowser"])}))
    site.close()

    others = []
    for _, values in rows:
        others += [n for n in values if n != "panekit" and n not in others]
    print("panekit against WebDriver on the same engine (WebKitGTK %s), interleaved rounds; ratio = panekit / other"
          % webkit_version())
    print("%-54s %10s" % ("", "panekit") + "".join(" %15s %7s" % (o, "ratio") for o in others))
    for label, values in rows:
        line = "%-54s %10.3f" % (label, values["panekit"])
        for o in others:
            line += (" %15.3f %7.2f" % (values[o], values["panekit"] / values[o])) if o in values else " %15s %7s" % ("", "")
        print(line)
    print("(%d calls per row and side, %d waited loads (the load event waits %.0f ms for an image), %d starts)"
          % (args.calls, args.loads, SLOW_SECONDS * 1e3, args.starts))
    print("(every side's result: %s)" % "; ".join(notes))
    print("(1-minute load average at the start and at the end: %.1f, %.1f)" % (load_before, os.getloadavg()[0]))


def webkit_version():
    try:
        import gi

        gi.require_version("WebKit2", "4.1")
        from gi.repository import WebKit2

        return "%d.%d.%d" % (WebKit2.get_major_version(), WebKit2.get_minor_version(), WebKit2.get_micro_version())
    except (ImportError, ValueError):
        return "?"


if __name__ == "__main__":
    main()
