"""The control server under the attacks it must shrug off, with a good client's wait beside each.

One server in this process; each row runs one attack from this process's threads and times a good
client's GET /url (--samples times, p50 and max) while it is at work, against the same client with
no attack measured first in the same run (the ratio column). Rows: a non-ASCII byte in a header
(its own answer time), 3,000 connections reset mid-request (log lines they caused), 10,000
connections opened and closed (--connections), and 300 idle sockets with 100 slowloris senders and 40
clients that send a request and never read. Run it with each build to compare (another
environment's python runs another build):

    python bench/bench_control_defences.py [--samples 20] [--connections 10000]
"""
import argparse
import socket
import statistics
import struct
import sys
import threading
import time

from panekit import helmwire


class Core:
    Source = "https://example.com/"


def start():
    log = []
    srv, th = helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: Core, do_navigate=lambda u: None,
        do_back=lambda: None, do_forward=lambda: None, do_reload=lambda: None, log=log.append)
    return srv, th, log


def good_client(port, samples):
    times = []
    for _ in range(samples):
        t = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET /url HTTP/1.0\r\n\r\n")
            while s.recv(65536):
                pass
        times.append((time.perf_counter() - t) * 1000)
        time.sleep(0.01)
    return statistics.median(times), max(times)


def non_ascii_header(port):
    t = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET /url HTTP/1.0\r\nX-Name: caf\xe9\r\n\r\n")
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return (time.perf_counter() - t) * 1000, answer.split(b"\r\n", 1)[0].decode()


def resets(port, n):
    for i in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.sendall(b"POST /navigate HTTP/1.0\r\nContent-Length: 100\r\n\r\nexam" if i % 2 else b"GET /u")
        s.close()


def connect_close(port, n):
    for _ in range(n):
        socket.create_connection(("127.0.0.1", port), timeout=10).close()


def crowd(port, stop):
    """300 idle sockets, 100 slowloris senders (a byte every 0.5 s), 40 clients that never read."""
    socks = []
    for _ in range(300):
        socks.append(socket.create_connection(("127.0.0.1", port), timeout=10))
    slow = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(100)]
    deaf = []
    for _ in range(40):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        s.sendall(b"GET /url HTTP/1.0\r\n\r\n")
        deaf.append(s)
    request = b"GET /url HTTP/1.0\r\nX-Slow: " + b"a" * 1000
    i = 0
    while not stop.is_set():
        for s in slow:
            try:
                s.send(request[i % len(request):i % len(request) + 1])
            except OSError:
                pass
        i += 1
        stop.wait(0.5)
    for s in socks + slow + deaf:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=20)
    ap.add_argument("--connections", type=int, default=10000, help="connections opened and closed")
    args = ap.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    srv, th, log = start()
    port = srv.server_address[1]
    base = good_client(port, args.samples)
    print(f"{'row':34s} {'p50 ms':>8s} {'max ms':>8s} {'max/base':>8s}  note")
    print(f"{'no attack':34s} {base[0]:8.2f} {base[1]:8.2f} {1.0:8.2f}")
    took, line = non_ascii_header(port)
    print(f"{'non-ASCII byte in a header':34s} {took:8.2f} {'':8s} {'':8s}  {line}; serving: {th.is_alive()}")

    before = len(log)
    resets(port, 3000)
    time.sleep(0.5)
    lines = [x for x in log[before:] if "GET /url" not in x]
    p = good_client(port, args.samples)
    print(f"{'after 3,000 resets':34s} {p[0]:8.2f} {p[1]:8.2f} {p[1] / base[0]:8.2f}  log lines: {len(lines)}")

    t = time.perf_counter()
    connect_close(port, args.connections)
    cc = time.perf_counter() - t
    p = good_client(port, args.samples)
    print(f"{f'after {args.connections:,} connect/close':34s} {p[0]:8.2f} {p[1]:8.2f} {p[1] / base[0]:8.2f}  "
          f"({cc:.1f} s; serving: {th.is_alive()})")

    stop = threading.Event()
    attack = threading.Thread(target=crowd, args=(port, stop), daemon=True)
    attack.start()
    time.sleep(1.5)
    p = good_client(port, args.samples)
    stop.set()
    attack.join(30)
    print(f"{'300 idle, 100 slowloris, 40 deaf':34s} {p[0]:8.2f} {p[1]:8.2f} {p[1] / base[0]:8.2f}  "
          f"serving: {th.is_alive()}")
    srv.shutdown()
    srv.server_close()


if __name__ == "__main__":
    main()
