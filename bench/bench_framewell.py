"""The WinForms host's control plane end to end: GET /url and POST /navigate answered through the
host's _invoke_sync on the (simulated) UI thread, idle and while the UI thread is busy with other
posted work, beside the same control server answering without marshalling (invoke_sync runs the
work at once), all in one run.

The host runs on the simulated platform of tests/ (Application.Run with a real message loop,
Invoke that posts and waits). A client in a second process sends one request per connection over
loopback with raw sockets, as a control client would. Prints requests per second, p50 and p99
latency per case and the throughput ratio against the unmarshalled server.

    python bench/bench_framewell.py [--requests N] [--busy-ms MS]
"""
import argparse
import contextlib
import io
import os
import socket
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import webview.util  # noqa: E402,F401 - imported before the platform reads "win32"

from panekit import framewell  # noqa: E402
from simplatform import Action  # noqa: E402
from simplatform.modules import install, uninstall  # noqa: E402
from roundtrip import drive, start_plain  # noqa: E402

# Where the navigation requests go.
TARGET = "https://bench.example/"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_host(plat, port):
    """run_toolbar_main on a UI thread of its own; returns (runner, form) once the core exists."""
    with contextlib.redirect_stdout(io.StringIO()):
        runner = plat.start_ui_thread(framewell.run_toolbar_main, start_url="example.com",
                                      control_port_override=port)
        form = plat.wait_form()
        plat.wait_core()
    return runner, form


class Busy:
    """Keeps the UI thread busy: a stream of posted work items of `ms` milliseconds each, at most
    a few waiting at any time."""

    def __init__(self, form, ms):
        self.form, self.ms, self.stop = form, ms, threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def work(self):
        end = time.perf_counter() + self.ms / 1e3
        while time.perf_counter() < end:
            pass

    def run(self):
        while not self.stop.is_set():
            results = [self.form.BeginInvoke(Action(self.work)) for _ in range(4)]
            for r in results:
                r.sim_wait()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--busy-ms", type=float, default=2.0)
    args = ap.parse_args()

    # The client's opener is made before the platform reads "win32" (see the host tests).
    urllib.request.install_opener(urllib.request.build_opener())
    plat = install(preload=True)
    plat.pretend_windows()
    plain_port, host_port = free_port(), free_port()
    plain = start_plain(plain_port, "https://example.com/")
    runner, form = start_host(plat, host_port)
    rows = []
    quiet = contextlib.redirect_stdout(io.StringIO())  # the host's server logs every request
    try:
        quiet.__enter__()
        for kind in ("url", "navigate"):
            drive(plain_port, 50, kind, TARGET)  # warm-up
            drive(host_port, 50, kind, TARGET)
            base = drive(plain_port, args.requests, kind, TARGET)
            idle = drive(host_port, args.requests, kind, TARGET)
            with Busy(form, args.busy_ms):
                busy = drive(host_port, args.requests, kind, TARGET)
            rows += [(kind, "no marshalling", base, 1.0), (kind, "host, UI idle", idle, idle[0] / base[0]),
                     (kind, "host, UI busy (%.1f ms items)" % args.busy_ms, busy, busy[0] / base[0])]
    finally:
        quiet.__exit__(None, None, None)
        form.sim_close()
        runner.join()
        plain.shutdown()
        plain.server_close()
        uninstall(plat)
    path = {"url": "GET /url", "navigate": "POST /navigate"}
    print("%d requests per case, one connection each, client in a second process" % args.requests)
    print("%-15s %-30s %10s %9s %9s %7s" % ("request", "server", "req/s", "p50 ms", "p99 ms", "ratio"))
    for kind, name, (rps, p50, p99), ratio in rows:
        print("%-15s %-30s %10.0f %9.3f %9.3f %7.2f" % (path[kind], name, rps, p50, p99, ratio))


if __name__ == "__main__":
    main()
