"""Many clients at once: the GTK window's control server against WebKitWebDriver (Debian's
webkit2gtk-driver, driving WebKitGTK's MiniBrowser) on the same engine, both answering the page's
address (GET /url against GET /session/{id}/url), each call on a connection of its own made with
urllib (as a script would), from 1, 4 and 16 threads at once, the two sides in interleaved rounds.

Prints per side and thread count: calls per second, p50, p99 and the slowest call in ms, calls
over 0.2 s, failed calls (resets, refusals) and the connection attempts the kernel dropped from a
full listen queue meanwhile (ListenOverflows of /proc/net/netstat, the whole machine's). The
ratio is panekit's throughput over WebKitWebDriver's. Needs a display and the driver: run it
through the tier's script, or under Xvfb.

    python bench/bench_clients.py [--calls N] [--rounds N]
"""
import argparse
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from bench_webdriver import Panekit, WebDriver, drivers, end_on_signals, pct, stop_all, wait_for  # noqa: E402
from gtktier import Site, missing  # noqa: E402

from panekit import helmwire  # noqa: E402

THREADS = (1, 4, 16)
SLOW = 0.2

# Straight to the loopback port: no proxy from the environment.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def listen_overflows():
    try:
        lines = Path("/proc/net/netstat").read_text().splitlines()
    except OSError:
        return 0
    for names, values in zip(lines[::2], lines[1::2]):
        if names.startswith("TcpExt:"):
            table = dict(zip(names.split()[1:], values.split()[1:]))
            return int(table.get("ListenOverflows", 0))
    return 0


def burst(url, headers, threads, calls):
    """`threads` threads making `calls` calls each at once: (seconds, latencies, failures)."""
    lat, failures = [], []
    start = threading.Barrier(threads + 1)

    def client():
        start.wait()
        for _ in range(calls):
            t0 = time.perf_counter()
            try:
                with OPENER.open(urllib.request.Request(url, headers=headers), timeout=10) as r:
                    r.read()
                lat.append(time.perf_counter() - t0)
            except OSError as e:
                failures.append(repr(e))

    workers = [threading.Thread(target=client) for _ in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - t0, lat, failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=60, help="calls per thread in one round")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    reason = missing()
    if reason:
        sys.exit(f"bench_clients: {reason}")
    end_on_signals()
    site = Site()
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-clients."))
    pk = Panekit(site, tmp)
    found = [d for d in drivers(tmp) if d[0] == "WebKitWebDriver"]
    if not found:
        sys.exit("bench_clients: WebKitWebDriver is needed (apt-get install webkit2gtk-driver)")
    try:
        pk.open(site.url("/a.html"), "clients")
        wait_for(lambda: helmwire.remote_ready(port=pk.port).get("core"), "the panekit window")
        wd = WebDriver(*found[0], tmp)
        assert wd.navigate(site.url("/a.html"))
        sides = {
            "panekit": (f"http://127.0.0.1:{pk.port}/url", {}),
            "WebKitWebDriver": (f"http://127.0.0.1:{wd.port}/session/{wd.sid}/url", {}),
        }
        stats = {(n, t): {"seconds": 0.0, "lat": [], "fail": [], "overflows": 0} for n in sides for t in THREADS}
        for _ in range(args.rounds):
            for threads in THREADS:
                for name, (url, headers) in sides.items():
                    before = listen_overflows()
                    seconds, lat, fail = burst(url, headers, threads, args.calls)
                    s = stats[(name, threads)]
                    s["seconds"] += seconds
                    s["lat"] += lat
                    s["fail"] += fail
                    s["overflows"] += listen_overflows() - before
        wd.close()
    finally:
        stop_all()
        site.close()

    print("GET the page's address from N threads at once, one urllib connection per call; %d rounds of %d calls "
          "per thread" % (args.rounds, args.calls))
    print("%-16s %7s %9s %8s %8s %8s %7s %7s %9s %7s" % ("side", "threads", "calls/s", "p50 ms", "p99 ms", "max ms",
                                                        ">0.2s", "failed", "overflow", "ratio"))
    for threads in THREADS:
        rate = {}
        for name in sides:
            s = stats[(name, threads)]
            rate[name] = len(s["lat"]) / s["seconds"]
        for name in sides:
            s = stats[(name, threads)]
            lat = s["lat"] or [0.0]
            print("%-16s %7d %9.0f %8.2f %8.2f %8.1f %7d %7d %9d %7s" % (
                name, threads, rate[name], pct(lat, 0.5) * 1e3, pct(lat, 0.99) * 1e3, max(lat) * 1e3,
                sum(v > SLOW for v in lat), len(s["fail"]), s["overflows"],
                "%.2f" % (rate["panekit"] / rate["WebKitWebDriver"]) if name == "panekit" else ""))
    failures = sorted({f for s in stats.values() for f in s["fail"]})
    if failures:
        print("failures seen:", "; ".join(failures[:5]))
    one, four = (len(stats[("panekit", t)]["lat"]) / stats[("panekit", t)]["seconds"] for t in (1, 4))
    print("panekit: 4 threads give %.2fx one thread's calls per second" % (four / one))


if __name__ == "__main__":
    main()
