"""The GTK host on a real WebKit view: GET /url and POST /navigate answered through the window's
GLib marshalling, beside the same control server answering with no UI hop (in a process of its own,
logging every request to a file as the window does; the two are driven in interleaved rounds and
compared by their latencies' p50 and p99); the UI hop itself against a bare GTK program's
(bench_gtk_hop.py); the time from starting
`panekit open` to a ready view showing its first page; how long after the page's load event
`panekit navigate URL --wait 10` returns, beside the old way (POST /navigate, then GET /url every
100 ms until it shows the address); and the wall time of the real-engine tier, all in one run.

The window runs in a process of its own (`panekit open`, as a user starts it) on a local site; a
client in another process sends one request per connection over loopback with raw sockets, as a
control client would. Needs a display: run it through the tier's script, which provides one.

    bash scripts/test.sh --gtk --bench          (or: scripts/test-gtk.sh PYTHON --bench)
    python bench/bench_gtk.py [--requests N] [--starts N] [--loads N] [--no-hop] [--no-tier]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from gtktier import Site, Window, free_port, missing  # noqa: E402

from panekit import helmwire  # noqa: E402
from roundtrip import interleaved, percentile, start_plain_process  # noqa: E402


def loads(w, site, n):
    """(waited, polled): for each way, the times in ms from the page's load event (a page whose
    load waits for a slow image) to the way's return; negative when it returned before the load."""
    waited, direct, polled = [], [], []

    def load_time(seen):
        deadline = time.monotonic() + 20
        while len(site.beacons) <= seen:
            if time.monotonic() > deadline:
                sys.exit("bench_gtk: the page never reported its load event")
            time.sleep(0.01)
        return site.beacons[seen]

    for i in range(n):
        url = site.url(f"/load.html?w{i}")
        seen = len(site.beacons)
        run = subprocess.run([sys.executable, "-m", "panekit", "navigate", url, "--wait", "10", "--port",
                              str(w.port)], capture_output=True, text=True, timeout=60)
        returned = time.time()
        assert run.returncode == 0, run
        waited.append((returned - load_time(seen)) * 1e3)

        url = site.url(f"/load.html?d{i}")
        seen = len(site.beacons)
        assert helmwire.remote_navigate(url, port=w.port, wait=10)["ok"]
        direct.append((time.time() - load_time(seen)) * 1e3)

        url = site.url(f"/load.html?p{i}")
        seen = len(site.beacons)
        assert helmwire.remote_navigate(url, port=w.port)["ok"]
        while helmwire.remote_get_url(port=w.port).get("url") != url:
            time.sleep(0.1)
        returned = time.time()
        polled.append((returned - load_time(seen)) * 1e3)
    return waited, direct, polled


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=300)
    ap.add_argument("--starts", type=int, default=3, help="window starts timed to a ready view")
    ap.add_argument("--loads", type=int, default=7, help="page loads timed for each way of waiting")
    ap.add_argument("--no-hop", action="store_true", help="do not time the UI hop (bench_gtk_hop.py)")
    ap.add_argument("--no-tier", action="store_true", help="do not time a run of the tier")
    args = ap.parse_args()
    reason = missing()
    if reason:
        sys.exit(f"bench_gtk: {reason}")

    site = Site()
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-gtk."))
    a = site.url("/a.html")
    starts, rows = [], []
    waited = direct = polled = None
    plain_port = free_port()
    plain = start_plain_process(plain_port, a, tmp / "plain.log")
    try:
        for i in range(args.starts):
            w = Window(tmp / f"start{i}", site, f"panekit-bench-{os.getpid()}-{i}")
            try:
                w.wait_ready(a)
                starts.append(w.ready_after)
                if i == args.starts - 1:  # the last window serves the round trips
                    ports = {"no UI hop": plain_port, "real window (GLib)": w.port}
                    for kind in ("url", "navigate"):
                        interleaved(ports, 30, kind, a, rounds=1)  # warm-up
                        lat = interleaved(ports, args.requests, kind, a)
                        base = lat["no UI hop"]
                        for name, values in lat.items():
                            rows.append((kind, name, [percentile(v, q) * 1e3 for v in (values, base) for q in (0.5, 0.99)]))
                    waited, direct, polled = loads(w, site, args.loads)
            finally:
                rc = w.close()
                if rc != 0:
                    print(w.output(), file=sys.stderr)
                    sys.exit(f"bench_gtk: the window ended with {rc}")
    finally:
        plain.kill()
        plain.wait()
        site.close()

    hop = None
    if not args.no_hop:
        run = subprocess.run([sys.executable, str(HERE / "bench_gtk_hop.py")], capture_output=True, text=True,
                             timeout=600)
        hop = [line for line in run.stdout.splitlines() if not line.startswith("[panekit]")] + \
            ([f"bench_gtk_hop failed ({run.returncode}): {run.stderr.strip()[-500:]}"] if run.returncode else [])

    tier = None
    if not args.no_tier:
        t0 = time.monotonic()
        run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests_gtk"],
                             cwd=HERE.parent, capture_output=True, text=True, timeout=900)
        tier = (time.monotonic() - t0, run.returncode, run.stdout.strip().splitlines()[-1:])

    path = {"url": "GET /url", "navigate": "POST /navigate"}
    print("%d requests per case, one connection each, client in a third process, 10 interleaved rounds; "
          "both servers log every request to a file" % args.requests)
    print("%-15s %-22s %9s %9s %8s %8s" % ("request", "server", "p50 ms", "p99 ms", "p50 x", "p99 x"))
    for kind, name, (p50, p99, b50, b99) in rows:
        print("%-15s %-22s %9.3f %9.3f %8.2f %8.2f" % (path[kind], name, p50, p99, p50 / b50, p99 / b99))
    print("start to ready view (panekit open to /ready with the first page), %d starts: median %.2f s, "
          "min %.2f s, max %.2f s" % (len(starts), statistics.median(starts), min(starts), max(starts)))
    if waited:
        from gtktier import SLOW_SECONDS

        print("page load (its load event waits %.0f ms for an image), %d loads each way; ms from the load "
              "event to the return (negative: returned before the page had loaded):" % (SLOW_SECONDS * 1e3, len(waited)))
        for name, ms in (("panekit navigate URL --wait 10", waited),
                         ("remote_navigate(URL, wait=10) in-process", direct),
                         ("POST /navigate, GET /url every 100 ms", polled)):
            early = sum(1 for v in ms if v < 0)
            print("  %-41s median %7.1f  min %7.1f  max %7.1f  returned before the load: %d of %d"
                  % (name, statistics.median(ms), min(ms), max(ms), early, len(ms)))
    if hop:
        print("\n".join(hop))
    if tier:
        print("real-engine tier (pytest tests_gtk): %.1f s wall, exit %d, %s" % (tier[0], tier[1], " ".join(tier[2])))


if __name__ == "__main__":
    main()
