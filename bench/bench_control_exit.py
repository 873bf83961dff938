"""Clean exits of a program that starts the control server and ends while clients talk to it.

Each run is a child process that starts the server, starts four client threads (two speaking raw
HTTP, two through the package's own client calls) that send requests without pause, and returns
from its main module after a moment. A clean exit has status 0 and nothing on standard error.
The same child with the standard library's own server is the baseline.

    python bench/bench_control_exit.py [--runs 100]

The child is tests/control/exit_child.py, the program the suite runs 20 times.
"""
import argparse
import os
import subprocess
import sys

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "control", "exit_child.py")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=100)
    args = ap.parse_args()
    for label, extra in (("standard library server", ["--stdlib"]), ("control server", [])):
        clean, seen = 0, {}
        for i in range(args.runs):
            done = subprocess.run([sys.executable, CHILD, str(0.05 + 0.01 * (i % 10))] + extra,
                                  capture_output=True, timeout=120)
            if done.returncode == 0 and not done.stderr:
                clean += 1
            else:
                seen[done.returncode] = seen.get(done.returncode, 0) + 1
        print("%-24s clean exits: %3d of %d  %s" % (label, clean, args.runs, seen or ""), flush=True)


if __name__ == "__main__":
    main()
