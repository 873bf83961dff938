"""Exits of a program that ends while its threads are inside client calls.

Each run is a child process holding a heap of --heap objects (so that its end takes a while) with
8 threads in client calls: four against a slow peer (it answers 1.6 s after each request), four
against a window (`remote_get_url`, and `remote_events(wait=20)` that only the window's end or the
wait ends). Its main thread then returns. A good exit has status 0, nothing on standard error and
comes within --limit seconds of main returning (a hang: none within 15 s). The "logging" kind adds a thread that logs through
a handler whose emit() makes a client call: logging.shutdown() at exit must get that handler's lock
(its exits wait for that call; only crashes and hangs count).
The same children with the standard library's URL opener in place of the client are the baseline.

    python bench/bench_exit_clients.py [--runs 100] [--heap 3000000] [--window gtk|server]

--window gtk opens a real window (`panekit open`, GTK host; needs a display), the default a control
server in a process of its own. tests/control/test_exit_clients.py runs a short form.
"""
import argparse
import http.server
import json
import os
import subprocess
import sys
import threading
import time
import urllib.request

HERE = os.path.abspath(__file__)
PEER_DELAY = 1.6


# ---- the slow peer and the window --------------------------------------------------------------------

def serve_slow_peer():
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            time.sleep(PEER_DELAY)
            body = b'{"ok": true, "url": "", "events": [], "next": 0, "dropped": 0}'
            try:
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            except OSError:
                pass

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    srv.daemon_threads = True
    print(srv.server_address[1], flush=True)
    srv.serve_forever()


def serve_window_stand_in():
    from panekit import helmwire

    class Core:
        Source = "https://example.com/"

    srv, th = helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: Core, do_navigate=lambda u: None,
        do_back=lambda: None, do_forward=lambda: None, do_reload=lambda: None, log=lambda line: None)
    print(srv.server_address[1], flush=True)
    th.join()


class Peers:
    """The slow peer and the window, each a process of its own, for all runs."""

    def __init__(self, window="server"):
        self.procs = []
        self.slow = self._start([sys.executable, HERE, "--serve", "peer"])
        if window == "gtk":
            from socket import socket
            with socket() as s:
                s.bind(("127.0.0.1", 0))
                self.window = s.getsockname()[1]
            env = dict(os.environ, PANEKIT_HOST_BACKEND="gtk")
            self.procs.append(subprocess.Popen(
                [sys.executable, "-m", "panekit", "open", "about:blank", "--control-port", str(self.window)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env))
            from panekit import helmwire
            deadline = time.monotonic() + 30
            while not helmwire.remote_ready(port=self.window, timeout=2).get("core"):
                if time.monotonic() > deadline or self.procs[-1].poll() is not None:
                    raise RuntimeError("the window did not start")
                time.sleep(0.2)
        else:
            self.window = self._start([sys.executable, HERE, "--serve", "window"])

    def _start(self, cmd):
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.procs.append(p)
        return int(p.stdout.readline())

    def close(self):
        for p in self.procs:
            p.kill()
            p.wait()


# ---- the child: threads in calls, a large heap, main returns -------------------------------------------

def child(slow, window, heap, kind, client):
    from panekit import helmwire

    global HEAP
    HEAP = [(i, str(i)) for i in range(heap)]  # freed while the interpreter ends

    def get_url(port):
        if client == "urllib":
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/url", timeout=15) as r:
                    return r.read()
            except Exception:
                return None
        return helmwire.remote_get_url(port=port)

    def events(port):
        if client == "urllib":
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/events?after=0&wait=20", timeout=30) as r:
                    return r.read()
            except Exception:
                return None
        return helmwire.remote_events(wait=20, port=port)

    def loop(port, i):
        while True:
            (get_url if i % 2 else events)(port)
            i += 1

    for i in range(8):
        threading.Thread(target=loop, args=(slow if i < 4 else window, i), daemon=True).start()
    if kind == "logging":
        import logging

        class Handler(logging.Handler):
            def emit(self, record):
                get_url(slow)

        log = logging.getLogger("bench-exit")
        log.addHandler(Handler())
        log.setLevel(logging.INFO)

        def logger():
            while True:
                log.info("a line")
        threading.Thread(target=logger, daemon=True).start()
    time.sleep(0.3 + (os.getpid() % 10) * 0.1)  # threads at every stage of their calls
    print(json.dumps({"returns": time.time()}), flush=True)


def run(peers, kind, client, runs, heap, limit, hang=15.0):
    """Runs the child `runs` times; returns counts of bad exits, hangs and the slowest exit."""
    bad, hangs, slowest, seen = 0, 0, 0.0, {}
    for _ in range(runs):
        cmd = [sys.executable, HERE, "--child", str(peers.slow), str(peers.window), str(heap), kind, client]
        try:
            done = subprocess.run(cmd, capture_output=True, timeout=hang + 30)
            ended = time.time()
        except subprocess.TimeoutExpired:
            hangs += 1
            continue
        try:
            took = ended - json.loads(done.stdout.decode().splitlines()[-1])["returns"]
        except (ValueError, IndexError, KeyError):
            took = float("inf")
        slowest = max(slowest, took)
        if took > hang:
            hangs += 1
        elif done.returncode != 0 or done.stderr or (kind == "plain" and took > limit):
            bad += 1
            first = done.stderr.decode(errors="replace").strip().splitlines()[:1]
            key = f"status {done.returncode}" + (f": {first[0][:70]}" if first else "") + (
                f", {took:.1f} s" if took > limit else "")
            seen[key] = seen.get(key, 0) + 1
    return {"bad": bad, "hangs": hangs, "slowest": slowest, "seen": seen}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--heap", type=int, default=3_000_000)
    ap.add_argument("--limit", type=float, default=2.0, help="seconds an exit may take after main returns")
    ap.add_argument("--window", choices=["server", "gtk"], default="server")
    ap.add_argument("--kinds", default="plain,logging")
    ap.add_argument("--clients", default="urllib,panekit")
    args = ap.parse_args()
    peers = Peers(args.window)
    try:
        for kind in args.kinds.split(","):
            for client in args.clients.split(","):
                r = run(peers, kind, client, args.runs, args.heap, args.limit)
                print(f"{kind:8s} {client:8s} bad exits {r['bad']:3d}  hangs {r['hangs']:3d}  of {args.runs}  "
                      f"slowest exit {r['slowest']:.2f} s  {r['seen'] or ''}", flush=True)
    finally:
        peers.close()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve_slow_peer() if sys.argv[2] == "peer" else serve_window_stand_in()
    elif sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6])
    else:
        main()
