"""Where a WebDriver command's time goes in the GTK window: per command, the p50 of a raw request
(one connection per call, as bench_webdriver.py's request() sends it) and the CPU each thread of the
window's process (the UI thread "ui", the control server's thread "panekit") and of its web and
network processes spends per request, read from /proc before and after N requests. The sum of the
threads' CPU on a request's path is most of its latency: what one thread spends, the request waits for.

    xvfb-run -a python bench/cpu_webdriver.py [--requests N] [--commands exec,find,...]
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_webdriver as bw  # noqa: E402
from bench_webdriver import Panekit, Site, request, stop, wait_for  # noqa: E402

from panekit import helmwire  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def cpu_by_thread(pid):
    """{(process is the window's, thread name): CPU seconds} of the window and its child processes."""
    out = {}
    children = [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    for p in [pid, *children]:
        for t in os.listdir(f"/proc/{p}/task"):
            try:
                stat = Path(f"/proc/{p}/task/{t}/stat").read_text()
            except OSError:
                continue
            name = "ui" if t == str(pid) else stat[stat.index("(") + 1:stat.rindex(")")]
            fields = stat[stat.rindex(")") + 2:].split()
            key = name if p == pid else "web:" + name
            out[key] = out.get(key, 0) + (int(fields[11]) + int(fields[12])) / TICK
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=1000)
    ap.add_argument("--commands", default="exec,find,text,cookies,url,script")
    args = ap.parse_args()
    bw.end_on_signals()
    site = Site()
    pk = Panekit(site, Path(tempfile.mkdtemp(prefix="panekit-cpu-webdriver.")))
    window = pk.open(site.url("/b.html"), "cpu")
    try:
        wait_for(lambda: helmwire.remote_ready(port=pk.port).get("core"), "the panekit window")
        sid = request(pk.port, "POST", "/session", {"capabilities": {}}, token=pk.token)[1]["value"]["sessionId"]
        find = ("POST", f"/session/{sid}/element", {"using": "tag name", "value": "h1"})
        wait_for(lambda: request(pk.port, *find, token=pk.token)[0] == 200, "the page's heading")
        el = next(iter(request(pk.port, *find, token=pk.token)[1]["value"].values()))
        commands = {
            "exec": ("POST", f"/session/{sid}/execute/sync", {"script": "return document.title", "args": []}),
            "find": find,
            "text": ("GET", f"/session/{sid}/element/{el}/text", None),
            "cookies": ("GET", f"/session/{sid}/cookie", None),
            "url": ("GET", f"/session/{sid}/url", None),
            "script": ("POST", "/script", {"script": "document.title"}),  # panekit's own route
        }
        print(f"CPU microseconds per request by thread (1-minute load average {os.getloadavg()[0]:.1f})")
        for name in args.commands.split(","):
            method, path, body = commands[name]
            for _ in range(20):
                request(pk.port, method, path, body, token=pk.token)
            before, lat = cpu_by_thread(window.pid), []
            for _ in range(args.requests):
                t0 = time.perf_counter()
                status, _ = request(pk.port, method, path, body, token=pk.token)
                lat.append(time.perf_counter() - t0)
                assert status == 200, (name, status)
            after = cpu_by_thread(window.pid)
            spent = sorted(((k, v - before.get(k, 0)) for k, v in after.items()), key=lambda kv: -kv[1])
            print(f"{name:8s} p50 {statistics.median(lat) * 1e3:6.3f} ms | "
                  + ", ".join(f"{k} {v / args.requests * 1e6:.0f}" for k, v in spent[:5] if v > 0), flush=True)
    finally:
        stop(window)
        site.close()


if __name__ == "__main__":
    main()
