"""unique_download_target in its worst case (the plain name and all 4998 numbered names taken),
against the same search written in plain Python with ntpath and os.path.exists.

    python bench/bench_unique_target.py [--repeat N]

Prints the best time per call of each and the ratio baseline / panekit (goal: at least 2).
"""

import argparse
import ntpath
import os
import tempfile
import time

from panekit import fetchkeep

LAST = 4999


def python_unique_target(folder, suggested_name):
    name = ntpath.basename(suggested_name) or "download"
    name = name.replace("..", "_").replace("/", "_").replace("\\", "_")
    base, ext = ntpath.splitext(name)
    candidate = ntpath.join(folder, name)
    if not os.path.exists(candidate):
        return candidate
    for i in range(2, LAST + 1):
        candidate = ntpath.join(folder, f"{base}_{i}{ext}")
        if not os.path.exists(candidate):
            return candidate
    raise FileExistsError(f"no free file name for {name!r} in folder {folder!r}")


def best_of(fn, folder, name, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        try:
            fn(folder, name)
        except FileExistsError:
            pass
        else:
            raise SystemExit("benchmark folder is not full: %s returned" % fn.__name__)
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=30)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="pnk-bench-") as tmp:
        folder = tmp + os.sep  # candidates are files inside tmp on any OS
        name = "C:\\Users\\a\\report.pdf"
        open(folder + "report.pdf", "w").close()
        for i in range(2, LAST + 1):
            open(folder + "report_%d.pdf" % i, "w").close()
        # warm the directory cache and both code paths once
        best_of(python_unique_target, folder, name, 2)
        best_of(fetchkeep.unique_download_target, folder, name, 2)
        base = best_of(python_unique_target, folder, name, opts.repeat)
        ours = best_of(fetchkeep.unique_download_target, folder, name, opts.repeat)
    print("worst case, 4999 existence tests per call, best of %d" % opts.repeat)
    print("  python (ntpath + os.path.exists): %8.3f ms" % (base * 1e3))
    print("  panekit.fetchkeep               : %8.3f ms" % (ours * 1e3))
    print("  ratio baseline / panekit        : %8.2fx" % (base / ours))


if __name__ == "__main__":
    main()
