"""How work of other threads reaches the window's UI thread (the GTK main loop), seen from a worker
thread of the window's own process: the window runs in a child process whose control server is
handed the window's callables, and a worker there reports what happened as one JSON line."""

import json
import subprocess
import sys

CHILD = r"""
import json, os, sys, threading, time
sys.path.insert(0, sys.argv[1])
from gtktier import Site, free_port
from panekit import gtkhost

site = Site()
fns = {}
real_start = gtkhost.start_control_server

def start_control_server(**kw):
    fns.update(kw)
    return real_start(**kw, log=lambda line: None)

gtkhost.start_control_server = start_control_server
ui = threading.get_ident()
report = {}

def worker():
    try:
        deadline = time.monotonic() + 20
        while "invoke_sync" not in fns or fns["core"]() is None:
            assert time.monotonic() < deadline, "the window did not get ready"
            time.sleep(0.02)
        invoke_sync = fns["invoke_sync"]
        seen = []

        def on_ui(tag):
            return lambda: seen.append((tag, threading.get_ident() == ui))

        invoke_sync(on_ui("sync"))
        report["ran_on_ui_and_waited"] = seen == [("sync", True)]

        def boom():
            raise ValueError("dropped")
        invoke_sync(boom)
        invoke_sync(on_ui("after error"))
        report["an_error_is_dropped"] = seen[-1] == ("after error", True)

        def nested():
            invoke_sync(on_ui("inner"))  # on the UI thread itself: runs at once
            seen.append(("outer end", True))
        invoke_sync(nested)
        report["inline_on_the_ui_thread"] = seen[-2:] == [("inner", True), ("outer end", True)]

        many = []
        threads = [threading.Thread(target=lambda i=i: invoke_sync(lambda: many.append(i))) for i in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        report["many_threads_all_served"] = sorted(many) == list(range(20))

        def close_window():
            from gi.repository import Gtk
            for w in Gtk.Window.list_toplevels():
                if w.get_title() == "panekit-marshal":
                    w.destroy()

        # The window goes while work waits behind the piece that closes it: that work is dropped
        # and its waiter returns.
        gate, started = threading.Event(), threading.Event()
        ran_after_close = []
        queue_close = threading.Thread(
            target=lambda: invoke_sync(lambda: (started.set(), gate.wait(10), close_window())))
        queue_close.start()
        started.wait(10)  # the UI thread is held in the closing piece until the gate opens
        threading.Timer(0.5, gate.set).start()
        invoke_sync(lambda: ran_after_close.append(1))  # queued behind it: returns once the window goes
        queue_close.join(10)
        report["waiter_returned"] = not queue_close.is_alive()
        report["dropped_with_the_window"] = ran_after_close == []
    except BaseException as e:
        report["error"] = repr(e)
        from gi.repository import GLib, Gtk
        GLib.idle_add(Gtk.main_quit)

threading.Thread(target=worker, daemon=True).start()
rc = gtkhost.run_toolbar_main(start_url=site.url("/a.html"), user_data_folder=sys.argv[2],
                              control_port_override=free_port(), form_title="panekit-marshal")
site.close()
report["rc"] = rc
print(json.dumps(report))
"""


def test_work_reaches_the_ui_thread_in_order_and_waiters_end_with_the_window(tmp_path):
    from pathlib import Path

    here = str(Path(__file__).resolve().parent)
    run = subprocess.run([sys.executable, "-c", CHILD, here, str(tmp_path / "profile")], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    report = json.loads(run.stdout.strip().splitlines()[-1])
    assert "error" not in report, report
    assert report["rc"] == 0
    for check in ("ran_on_ui_and_waited", "an_error_is_dropped", "inline_on_the_ui_thread",
                  "many_threads_all_served", "waiter_returned", "dropped_with_the_window"):
        assert report[check], (check, report)
