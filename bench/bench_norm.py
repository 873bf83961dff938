"""norm_browser_url against the same algorithm written in plain Python, timed in one run.

    python bench/bench_norm.py [--loops N]
"""
import argparse
import timeit

from panekit.trailbar import norm_browser_url

_KEEP = ("about:", "file:", "edge:", "chrome:")


def plain_norm(raw):
    s = (raw or "").strip()
    if not s:
        return ""
    low = s.lower()
    if low.startswith(_KEEP):
        return s
    if "://" not in s:
        return "https://" + s
    return s


INPUTS = [
    "example.com", "  https://example.com/path?q=1  ", "", "   ", "about:blank", "EDGE://settings",
    "localhost:8080/x", "file:///C:/data/report.html", "ftp://files.example.org/a",
    "пример.рф/страница", "two words here", "x.example/?next=https://y.example/",
    "  \t" + "a" * 300 + ".example  ", "chrome://version",
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--loops", type=int, default=20000)
    args = ap.parse_args()
    for s in INPUTS:
        assert norm_browser_url(s) == plain_norm(s), s
    results = {}
    for name, fn in (("panekit", norm_browser_url), ("plain Python", plain_norm)):
        best = min(timeit.repeat(lambda: [fn(s) for s in INPUTS], number=args.loops, repeat=5))
        results[name] = best / (args.loops * len(INPUTS))
        print("%-13s %7.1f ns per call" % (name, results[name] * 1e9))
    print("speed-up over plain Python: %.2fx" % (results["plain Python"] / results["panekit"]))


if __name__ == "__main__":
    main()
