"""The UI hop of the GTK host against its floor, in one process and one main loop: a worker thread
asks the UI thread to run a no-op and waits until it has run.

  floor  a bare GTK program's hop: GLib.idle_add(callback) where the callback writes a byte to a
         pipe, and the worker blocks reading the pipe (the least Python can do per hop);
  window the window's own _invoke_sync(no-op), as the control server calls it;
  event  the earlier way, for comparison: per hop the modules looked up, a threading.Event and a
         callable made, GLib.idle_add, and Event.wait, which is set while the UI thread holds the
         GIL.

Both run in interleaved rounds on the same main loop of a real window, after the loop was idle for
a moment (the case of a control request), and again while the view loads pages back to back (a
page that reloads itself as soon as it has loaded), where the floor is also measured at each of
GLib's source priorities: that is what the window's priority is chosen by. Prints p50 and p99 in
microseconds and the window's ratios to the floor at its own priority. Needs a display: run it
through the tier's script (bench_gtk.py runs it), or under Xvfb.

    python bench/bench_gtk_hop.py [--hops N] [--rounds N]
"""
import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests_gtk"))

from gtktier import PAGES, Site, free_port, missing  # noqa: E402

# A page that loads again as soon as it has loaded, with enough of a document to lay out and paint.
PAGES["/spin.html"] = ("<title>Spin</title>" + "<p>" + "text to lay out and paint " * 40 + "</p>" * 1
                       ) * 30 + "<script>addEventListener('load', () => setTimeout(() => location.reload(), 0))</script>"

PRIORITIES = ("PRIORITY_HIGH", "PRIORITY_DEFAULT", "PRIORITY_HIGH_IDLE", "PRIORITY_DEFAULT_IDLE")
# The priority the window's own marshalling uses (its source's priority in the host layer).
WINDOW_PRIORITY = "PRIORITY_DEFAULT"


def pct(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))]


class Hops:
    """The two ways of hopping, run from a worker thread."""

    def __init__(self, invoke_sync):
        from gi.repository import GLib

        self.glib = GLib
        self.invoke_sync = invoke_sync
        self.r, self.w = os.pipe()

    def floor(self, priority):
        w, glib = self.w, self.glib

        def callback():
            os.write(w, b"\1")
            return False

        t0 = time.perf_counter()
        glib.idle_add(callback, priority=getattr(glib, priority))
        os.read(self.r, 1)
        return time.perf_counter() - t0

    def event(self):
        t0 = time.perf_counter()
        import threading

        from gi.repository import GLib

        done = threading.Event()

        def step():
            noop()
            done.set()
            return False

        GLib.idle_add(step, priority=GLib.PRIORITY_DEFAULT)
        while not done.wait(0.05):
            pass
        return time.perf_counter() - t0

    def window(self):
        t0 = time.perf_counter()
        self.invoke_sync(noop)
        return time.perf_counter() - t0


def noop():
    pass


def measure(hops, n, rounds, gap, kinds):
    """{kind: [seconds]}: `rounds` rounds of n hops of each kind in turn, `gap` seconds apart."""
    out = {k: [] for k in kinds}
    for _ in range(rounds):
        for kind in kinds:
            for _ in range(n):
                time.sleep(gap)
                way = getattr(hops, kind) if kind in ("window", "event") else lambda: hops.floor(kind)
                out[kind].append(way())
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hops", type=int, default=200, help="hops of each kind per round")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    reason = missing()
    if reason:
        sys.exit(f"bench_gtk_hop: {reason}")

    from panekit import gtkhost

    site = Site()
    captured = {}
    real_start = gtkhost.start_control_server

    def start_control_server(**kw):  # the window hands its callables to its control server
        captured.update(kw)
        return real_start(**kw, log=lambda line: None)

    gtkhost.start_control_server = start_control_server
    results = {}
    failure = []

    def worker():
        try:
            from gi.repository import GLib, Gtk

            deadline = time.monotonic() + 20
            while "invoke_sync" not in captured or captured["core"]() is None:
                if time.monotonic() > deadline:
                    raise RuntimeError("the window did not get ready")
                time.sleep(0.05)
            hops = Hops(captured["invoke_sync"])
            measure(hops, 20, 1, 0.001, ("window", WINDOW_PRIORITY, "event"))  # warm-up
            results["idle"] = measure(hops, args.hops, args.rounds, 0.002, ("window", WINDOW_PRIORITY, "event"))
            hops.invoke_sync(lambda: captured["do_navigate"](site.url("/spin.html")))
            time.sleep(0.5)
            results["loading"] = measure(hops, args.hops // 2, args.rounds, 0.002, ("window", *PRIORITIES))
            loads = site.hits.get("/spin.html", 0)
            results["loads"] = loads
            GLib.idle_add(Gtk.main_quit)
        except BaseException as e:  # noqa: BLE001 - reported after the loop has ended
            failure.append(e)
            from gi.repository import GLib, Gtk

            GLib.idle_add(Gtk.main_quit)

    threading.Thread(target=worker, daemon=True).start()
    tmp = Path(tempfile.mkdtemp(prefix="panekit-bench-hop."))
    try:
        rc = gtkhost.run_toolbar_main(start_url=site.url("/a.html"), user_data_folder=tmp,
                                      control_port_override=free_port(), form_title="panekit-bench-hop")
    finally:
        site.close()
    if failure:
        raise failure[0]
    if rc != 0:
        sys.exit(f"bench_gtk_hop: the window ended with {rc}")

    print("UI hop of a no-op, worker thread to the GTK main loop and back (us), %d rounds of %d hops"
          % (args.rounds, args.hops))
    print("%-10s %-44s %9s %9s %8s %8s" % ("loop", "way", "p50", "p99", "p50 x", "p99 x"))
    for phase in ("idle", "loading"):
        data = results[phase]
        base = data[WINDOW_PRIORITY]
        for kind, values in data.items():
            name = {"window": "window _invoke_sync", "event": "Event per hop (the earlier way)"}.get(
                kind, "floor: idle_add + pipe at " + kind)
            r50, r99 = pct(values, 0.5) / pct(base, 0.5), pct(values, 0.99) / pct(base, 0.99)
            print("%-10s %-44s %9.1f %9.1f %8.2f %8.2f" % (phase, name, pct(values, 0.5) * 1e6,
                                                         pct(values, 0.99) * 1e6, r50, r99))
    print("(loading: the view loaded the self-reloading page %d times meanwhile; ratios are to the floor "
          "at %s, the window's own priority)" % (results["loads"], WINDOW_PRIORITY))


if __name__ == "__main__":
    main()
