"""Reading a real WebKit page over the control port: POST /script of `document.title` and
GET /screenshot, each beside GET /url answered by the same window in the same run (the baseline:
one request, one hop to the window's UI thread, no engine work), with the time the token adds
to a request (GET /url with and without its Authorization header).

The window runs in a process of its own (`panekit open`) on the tier's local site; the client is
this process, one request per connection. Needs a display: under the tier's script or xvfb-run.

    xvfb-run -a .venv/bin/python bench/bench_page_reads.py [--requests N]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from gtktier import Site, Window, missing  # noqa: E402

from panekit import helmwire  # noqa: E402


def timed(call, n):
    """Milliseconds of `n` calls, each checked."""
    ms = []
    for _ in range(n):
        t0 = time.perf_counter()
        answer = call()
        ms.append((time.perf_counter() - t0) * 1e3)
        assert answer.get("ok") is True, answer
    return ms


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=200)
    args = ap.parse_args()
    reason = missing()
    if reason:
        sys.exit(f"bench_page_reads: {reason}")
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-reads."))
    os.environ["XDG_RUNTIME_DIR"] = str(tmp)
    os.chmod(tmp, 0o700)
    site = Site()
    w = Window(tmp / "w", site, f"panekit-bench-reads-{os.getpid()}", "/paint.html")
    try:
        w.wait_ready(site.url("/paint.html"))
        port, n = w.port, args.requests
        cases = {
            "GET /url (baseline)": lambda: helmwire.remote_get_url(port=port),
            "GET /url with the token": lambda: helmwire._http_get_json("/url", port=port),
            "POST /script document.title": lambda: helmwire.remote_script("document.title", port=port),
            "GET /screenshot": lambda: helmwire.remote_screenshot(port=port),
        }
        os.environ.pop("PANEKIT_CONTROL_TOKEN", None)  # the token comes from the window's file
        results = {}
        for call in cases.values():
            timed(call, 10)  # warm-up
        # The baseline without the token: no runtime file is read, no header is sent.
        saved = os.environ["XDG_RUNTIME_DIR"]
        os.environ["XDG_RUNTIME_DIR"] = str(tmp / "none")
        results["GET /url (baseline)"] = timed(cases["GET /url (baseline)"], n)
        os.environ["XDG_RUNTIME_DIR"] = saved
        for name in list(cases)[1:]:
            results[name] = timed(cases[name], n // 4 if "screenshot" in name else n)
    finally:
        rc = w.close()
        site.close()
    if rc != 0:
        sys.exit(f"bench_page_reads: the window ended with {rc}")
    base = statistics.median(results["GET /url (baseline)"])
    print("one window (WebKitGTK, %s), client in this process, one connection per request" % "Xvfb")
    print("%-30s %6s %9s %9s %7s" % ("request", "n", "p50 ms", "p90 ms", "ratio"))
    for name, ms in results.items():
        ms = sorted(ms)
        p50, p90 = statistics.median(ms), ms[int(len(ms) * 0.9) - 1]
        print("%-30s %6d %9.3f %9.3f %7.2f" % (name, len(ms), p50, p90, p50 / base))


if __name__ == "__main__":
    main()
