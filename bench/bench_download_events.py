"""5,000 successive silent download events of one name whose files never land, through
fetchkeep.handle_download_starting, against the earlier handler that kept every name it handed
out until it saw that file on disk (re-checking each kept path on disk at every event).

    python bench/bench_download_events.py [--events N] [--before-module PATH]

Runs, each in a fresh empty folder:

  before      the earlier handler, emulated here in Python around unique_download_target (or,
              with --before-module, that build's fetchkeep extension file itself);
  after/op    the handler today, each download reporting Interrupted right after it started
              (a download that fails: its name is given back);
  after/bare  the handler today with event arguments offering no download operation: every name
              stays held for the bound, as before, so the names pile up the same way.

Prints the total time of each and the ratios before / after. Console lines go to /dev/null.
"""

import argparse
import contextlib
import importlib.machinery
import importlib.util
import os
import tempfile
import time

from panekit import fetchkeep

NAME = "C:\\Users\\a\\Downloads\\report.pdf"
SILENT = "[panekit] 静默下载保存到: %s"
FAILED = "[panekit] 处理下载失败，回退为取消: %s"


class Event:
    def __init__(self):
        self.handlers = []

    def __iadd__(self, handler):
        self.handlers.append(handler)
        return self

    def __isub__(self, handler):
        self.handlers.remove(handler)
        return self


class Operation:
    """A download operation: State 0 in progress, 1 interrupted, 2 completed."""

    def __init__(self):
        self.State, self.StateChanged = 0, Event()

    def end(self, state):
        self.State = state
        for h in list(self.StateChanged.handlers):
            h(self, None)


class BareArgs:
    def __init__(self):
        self.ResultFilePath, self.Cancel, self.Handled = NAME, False, False


class OpArgs(BareArgs):
    def __init__(self):
        super().__init__()
        self.DownloadOperation = Operation()


def emulated_before(folder, events):
    """The earlier silent handler: a set of every name handed out, pruned only of paths that exist."""
    handed_out = set()
    for _ in range(events):
        stale = [p for p in handed_out if os.path.exists(p)]
        handed_out.difference_update(stale)
        try:
            target = fetchkeep.unique_download_target(folder, "report.pdf")
            if target in handed_out:
                target = None
                for i in range(1, 5000):
                    c = folder + ("report.pdf" if i == 1 else "report_%d.pdf" % i)
                    if not os.path.exists(c) and c not in handed_out:
                        target = c
                        break
                if target is None:
                    raise FileExistsError("no free file name for 'report.pdf'")
            handed_out.add(target)
            print(SILENT % target, flush=True)
        except Exception as e:  # noqa: BLE001 - as the handler did
            print(FAILED % e, flush=True)


def handler_run(handler, make_args, end_state):
    def run(folder, events):
        for _ in range(events):
            args = make_args()
            handler(None, None, args, folder, False)
            if end_state is not None:
                args.DownloadOperation.end(end_state)
    return run


def load_before_module(path):
    loader = importlib.machinery.ExtensionFileLoader("fetchkeep", path)
    spec = importlib.util.spec_from_file_location("fetchkeep", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def timed(run, events):
    with tempfile.TemporaryDirectory(prefix="pnk-bench-") as tmp, open(os.devnull, "w") as sink:
        folder = tmp + os.sep
        with contextlib.redirect_stdout(sink):
            t0 = time.perf_counter()
            run(folder, events)
            return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=5000)
    ap.add_argument("--before-module", help="the earlier build's fetchkeep extension file")
    opts = ap.parse_args()
    n = opts.events

    if opts.before_module:
        before_label = "before (earlier build)"
        before = handler_run(load_before_module(opts.before_module).handle_download_starting, BareArgs, None)
    else:
        before_label = "before (emulated)"
        before = emulated_before
    runs = [
        (before_label, before),
        ("after/op (interrupted)", handler_run(fetchkeep.handle_download_starting, OpArgs, 1)),
        ("after/bare (held, bound)", handler_run(fetchkeep.handle_download_starting, BareArgs, None)),
    ]
    times = {label: timed(run, n) for label, run in runs}
    base = times[before_label]
    print("%d silent download events of one name whose files never land" % n)
    for label, t in times.items():
        print("  %-26s %10.3f s   before / this: %8.1fx" % (label, t, base / t))


if __name__ == "__main__":
    main()
