"""Instructions the control server's serving thread spends per request, ours against the trivial
standard-library handler of bench_control.py, counted by callgrind (not timed: a shared machine's
clock says little, the instruction count is the same on every run).

Each server is run alone under callgrind twice, for a small and a large number of requests from a
client process outside valgrind; the serving thread's difference divided by the difference in
requests is what one request costs, start-up and warm-up cancelled out.

    python bench/callgrind_control.py [--requests 200,1200]
"""
import argparse
import glob
import os
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))

SERVE = r"""
import socket, subprocess, sys, threading
sys.path.insert(0, sys.argv[1])
import bench_control as b
which, route, n = sys.argv[2], sys.argv[3], int(sys.argv[4])
srv, th = b.start_ours() if which == "panekit" else b.start_baseline()
data = b.REQUESTS[route]
client = b.CLIENT.replace("print(json.dumps([lat[p] for p in ports]))", "")
subprocess.run([sys.argv[5], "-c", client, str(srv.server_address[1]), data.hex(), str(n)], check=True)
srv.shutdown()
"""


def serving_thread_instructions(which, route, n, python):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--separate-threads=yes", "--trace-children=no",
                        "--callgrind-out-file=" + out, python, "-c", SERVE, HERE, which, route, str(n),
                        python], check=True, capture_output=True)
        per_thread = []
        for f in glob.glob(out + "-*"):
            if f.endswith("-01"):  # the main thread: it starts the server and waits for the client
                continue
            with open(f) as fh:
                for line in fh:
                    if line.startswith(("summary:", "totals:")):
                        per_thread.append(int(line.split()[1]))
                        break
        return max(per_thread)  # the serving thread is the busiest of the others


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", default="200,1200")
    ap.add_argument("--python", default=sys.executable, help="the interpreter whose panekit is measured")
    args = ap.parse_args()
    small, large = (int(x) for x in args.requests.split(","))
    for route in ("GET /url", "POST /navigate"):
        per = {}
        for which in ("panekit", "baseline"):
            a = serving_thread_instructions(which, route, small, args.python)
            b = serving_thread_instructions(which, route, large, args.python)
            per[which] = (b - a) / (large - small)
        print("%-15s instructions per request: panekit %9.0f  baseline %9.0f  ratio %.3f" % (
            route, per["panekit"], per["baseline"], per["baseline"] / per["panekit"]))


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main()
