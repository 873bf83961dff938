"""Exits of a program that ends while its threads are inside client calls.

The program and its children are tests/control/exit_clients.py (the suite runs a short form of it,
and an installed-wheel run has no bench/); this runs it whole, with the same options:

    python bench/bench_exit_clients.py [--runs 100] [--heap 3000000] [--window gtk|server]
        [--kinds plain,logging] [--clients urllib,panekit]
"""
import os
import runpy
import sys

PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "control", "exit_clients.py")

if __name__ == "__main__":
    sys.argv[0] = PROGRAM
    runpy.run_path(PROGRAM, run_name="__main__")
