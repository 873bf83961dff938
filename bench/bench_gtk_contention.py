"""A waited navigation while other windows are busy: the GTK window's `remote_navigate(URL,
wait=10)` against a bare PyGObject window (one WebKit view, no toolbar, no control server) that
loads a URL read from a pipe and answers on a pipe when WebKit reports the load finished, both
while three other windows load a page back to back (a page that reloads itself as soon as it has
loaded). Each is a process of its own on the same local site; the sides are timed in interleaved
rounds (each round in a turned order), ms from the request to the answer. Also, for the diagnosis, the same window
started with sys.setswitchinterval(0.0002): a thread that waits for the interpreter's lock then
gets it after 0.2 ms instead of 5 ms. `--also LABEL=DIR` adds a window of another build of the
package (DIR holds its `panekit` folder, put first on the import path), timed in the same rounds:
before and after a change, measured under one and the same load.

Needs a display: run it through the tier's script, or under Xvfb.

    python bench/bench_gtk_contention.py [--loads N] [--busy N] [--also LABEL=DIR ...]
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
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from bench_webdriver import end_on_signals, spawn, stop_all, wait_for  # noqa: E402
from gtktier import PAGES, Site, free_port, missing  # noqa: E402

from panekit import helmwire  # noqa: E402

PAGES["/spin.html"] = ("<title>Spin</title>" + "<p>" + "text to lay out and paint " * 40 + "</p>") * 30 + (
    "<script>addEventListener('load', () => setTimeout(() => location.reload(), 0))</script>")

# The bare window: a URL per line on standard input, "done" on standard output when it has loaded.
BARE = r"""
import os, sys
import gi
gi.require_version("Gtk", "3.0"); gi.require_version("WebKit2", "4.1")
from gi.repository import GLib, Gtk, WebKit2
view = WebKit2.WebView()
win = Gtk.Window(title="bare"); win.set_default_size(1280, 860); win.add(view); win.show_all()
def finished(v, event):
    if event == WebKit2.LoadEvent.FINISHED:
        os.write(1, b"done\n")
view.connect("load-changed", finished)
def line(fd, cond):
    url = os.read(fd, 4096).decode().strip()
    if not url:
        Gtk.main_quit(); return False
    view.load_uri(url); return True
GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, 0, GLib.IOCondition.IN, line)
view.load_uri(sys.argv[1])
Gtk.main()
"""

# The window with the diagnosis's switch interval.
FAST_SWITCH = ("import sys, pathlib; sys.setswitchinterval(0.0002); import panekit; "
               "sys.exit(panekit.open_window(start_url=sys.argv[1], control_port_override=int(sys.argv[2]), "
               "user_data_folder=pathlib.Path(sys.argv[3]), form_title='fast-switch'))")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--loads", type=int, default=30, help="waited navigations per side")
    ap.add_argument("--busy", type=int, default=3, help="other windows loading meanwhile")
    ap.add_argument("--also", action="append", default=[], metavar="LABEL=DIR",
                    help="a window of the package in DIR (its panekit folder) as one more side")
    args = ap.parse_args()
    others = dict(item.split("=", 1) for item in args.also)
    reason = missing()
    if reason:
        sys.exit(f"bench_gtk_contention: {reason}")
    end_on_signals()
    site = Site()
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-contention."))
    env = dict(os.environ, PANEKIT_HOST_BACKEND="gtk")
    log = open(tmp / "windows.log", "w")
    times = {"panekit": [], "bare PyGObject": [], "panekit, switch interval 0.2 ms": []}
    times.update((label, []) for label in others)
    load_before = os.getloadavg()[0]
    try:
        for i in range(args.busy):
            spawn([sys.executable, "-m", "panekit", "open", site.url("/spin.html"), "--no-control-server",
                   "--user-data", str(tmp / f"busy{i}"), "--title", f"busy{i}"], stdout=log, stderr=log, env=env)
        ports = {"panekit": free_port(), "panekit, switch interval 0.2 ms": free_port()}
        spawn([sys.executable, "-m", "panekit", "open", site.url("/a.html"), "--control-port",
               str(ports["panekit"]), "--user-data", str(tmp / "window")], stdout=log, stderr=log, env=env)
        spawn([sys.executable, "-c", FAST_SWITCH, site.url("/a.html"), str(ports["panekit, switch interval 0.2 ms"]),
               str(tmp / "fast")], stdout=log, stderr=log, env=env)
        for n, (label, folder) in enumerate(others.items()):
            ports[label] = free_port()
            path = os.pathsep.join(p for p in (folder, env.get("PYTHONPATH")) if p)
            spawn([sys.executable, "-m", "panekit", "open", site.url("/a.html"), "--control-port", str(ports[label]),
                   "--user-data", str(tmp / f"also{n}")], stdout=log, stderr=log, env=dict(env, PYTHONPATH=path))
        bare = spawn([sys.executable, "-c", BARE, site.url("/a.html")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                     stderr=log, env=env)
        for port in ports.values():
            wait_for(lambda: helmwire.remote_ready(port=port).get("core"), "a window")
        assert bare.stdout.readline() == b"done\n"
        time.sleep(2.0)  # the busy windows are loading by now

        def bare_load(url):
            bare.stdin.write(url.encode() + b"\n")
            bare.stdin.flush()
            assert bare.stdout.readline() == b"done\n"

        names = list(times)
        for i in range(args.loads + 3):  # the first three rounds warm up
            # The order turns each round, so that no side always follows the same other one (a
            # window still painting the page it has just loaded slows the next side down).
            k = i % len(names)
            for name in names[k:] + names[:k]:
                url = site.url(f"/c.html?{i}{name[0]}{len(name)}")
                t0 = time.perf_counter()
                if name == "bare PyGObject":
                    bare_load(url)
                else:
                    answer = helmwire.remote_navigate(url, port=ports[name], wait=10)
                    assert answer.get("ok") and answer.get("url") == url, answer
                if i >= 3:
                    times[name].append((time.perf_counter() - t0) * 1e3)
        spins = site.hits.get("/spin.html", 0)
    finally:
        stop_all()
        site.close()

    base = times["bare PyGObject"]
    print("A waited navigation with %d other windows loading pages back to back (ms, %d loads per side, "
          "interleaved)" % (args.busy, args.loads))
    print("%-36s %8s %8s %8s %9s" % ("side", "median", "p90", "mean", "median x"))
    for name, v in times.items():
        print("%-36s %8.2f %8.2f %8.2f %9.2f" % (name, statistics.median(v), sorted(v)[int(len(v) * 0.9)],
                                                 statistics.mean(v), statistics.median(v) / statistics.median(base)))
    print("(the busy windows loaded their page %d times meanwhile; load average %.1f before, %.1f after)"
          % (spins, load_before, os.getloadavg()[0]))


if __name__ == "__main__":
    main()
