"""How long a good client waits while hostile clients work on the control plane.

One row per hostile kind, each against a fresh server: a good client's GET /url is timed
--samples times while the hostile clients are at work, and the row gives its p50 and max, and the
max as a ratio of the p50 with no hostile client (measured first, in the same run). Kinds:
idle (64 connections that say nothing), trickle (a request a byte every 0.2 s), drain (20 bodies
over the limit, still being sent), stalled head (300 KiB of head, then nothing), hung-up waiters
(32 requests that ask to wait for their navigation and hang up; a server started with plain
callables refuses such waits at once, so this kind measures their hang-ups only).
Run it with each build to compare (another environment's python runs another build):

    python bench/bench_control_stalled.py [--samples 20] [--timeout 60]
"""
import argparse
import socket
import statistics
import threading
import time

from panekit import helmwire


class Core:
    Source = "https://example.com/"


def start():
    srv, th = helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: Core,
        do_navigate=lambda u: None, do_back=lambda: None, do_forward=lambda: None,
        do_reload=lambda: None, log=lambda line: None)
    return srv, th


def connect(port):
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=2)
    except OSError:
        return None


def idle(port, stop):
    return [connect(port) for _ in range(64)]


def trickle(port, stop):
    def run():
        request = b"POST /navigate HTTP/1.0\r\nContent-Length: 11\r\n\r\nexample.com"
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                    for i in range(len(request)):
                        if stop.wait(0.2):
                            return
                        s.sendall(request[i:i + 1])
                    s.recv(65536)
            except OSError:
                pass
    threading.Thread(target=run, daemon=True).start()
    return []


def drain(port, stop):
    socks = []
    for _ in range(20):
        s = connect(port)
        if s:
            s.setblocking(False)
            try:
                s.send(b"POST /navigate HTTP/1.0\r\nContent-Length: 999999999\r\n\r\n" + b"x" * 200000)
            except OSError:
                pass
            socks.append(s)
    return socks


def stalled_head(port, stop):
    s = connect(port)
    if s:
        s.sendall(b"GET /url HTTP/1.0\r\n" + (b"X-Pad: " + b"p" * 60000 + b"\r\n") * 5)
    return [s]


def hung_up_waiters(port, stop):
    body = b'{"wait": 120}'
    for _ in range(32):
        s = connect(port)
        if s:
            s.sendall(b"POST /reload HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
            s.close()
    return []


KINDS = [("idle x64", idle), ("trickle", trickle), ("drain x20", drain), ("300 KiB stalled head", stalled_head),
         ("32 hung-up waiters", hung_up_waiters)]


def good_request(port, timeout):
    t0 = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(b"GET /url HTTP/1.0\r\n\r\n")
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        ok = answer.startswith(b"HTTP/1.0 200")
    except OSError:
        ok = False
    return time.perf_counter() - t0, ok


def measure(port, samples, timeout):
    times, missed = [], 0
    for _ in range(samples):
        took, ok = good_request(port, timeout)
        times.append(took)
        missed += not ok
        if not ok and took >= timeout:
            break
    return times, missed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=20)
    ap.add_argument("--timeout", type=float, default=60.0)
    args = ap.parse_args()
    srv, _ = start()
    alone, _ = measure(srv.server_address[1], args.samples, args.timeout)
    srv.shutdown()
    srv.server_close()
    base = statistics.median(alone)
    print("%-22s p50 %8.1f ms   max %8.1f ms" % ("alone", base * 1e3, max(alone) * 1e3))
    for name, kind in KINDS:
        srv, _ = start()
        port = srv.server_address[1]
        stop = threading.Event()
        socks = kind(port, stop)
        time.sleep(0.3)
        times, missed = measure(port, args.samples, args.timeout)
        stop.set()
        for s in socks:
            if s:
                s.close()
        print("%-22s p50 %8.1f ms   max %8.1f ms   max/alone %7.1fx%s" % (
            name, statistics.median(times) * 1e3, max(times) * 1e3, max(times) / base,
            "   (%d unanswered)" % missed if missed else ""), flush=True)
        srv.shutdown()
        srv.server_close()


if __name__ == "__main__":
    main()
