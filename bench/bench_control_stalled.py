"""How long a good client waits while other clients stall the control plane.

Opens N idle connections (a browser's keep-alive pool does this), one slow sender that trickles
its request a byte every 0.2 s and one client that never reads its answer, then times a good
client's GET /url, several times.
Run it with the build to compare (another environment's python runs another build):

    python bench/bench_control_stalled.py [--idle 8] [--samples 5] [--timeout 100]

Prints each latency and the median; a request that gets no answer within --timeout is reported
as such.
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


def trickle(port, stop):
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--idle", type=int, default=8)
    ap.add_argument("--samples", type=int, default=5)
    ap.add_argument("--timeout", type=float, default=100.0)
    args = ap.parse_args()
    srv, th = start()
    port = srv.server_address[1]
    base, _ = good_request(port, 10)
    stop = threading.Event()
    idle = []
    for _ in range(args.idle):  # a server that serves one connection at a time lets few connect
        try:
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        except OSError:
            pass
    print("idle sockets connected: %d of %d" % (len(idle), args.idle), flush=True)
    slow = threading.Thread(target=trickle, args=(port, stop), daemon=True)
    slow.start()
    deaf = socket.create_connection(("127.0.0.1", port), timeout=2)  # asks, never reads its answer
    deaf.sendall(b"GET /url HTTP/1.0\r\n\r\n")
    idle.append(deaf)
    time.sleep(0.3)
    times = []
    for _ in range(args.samples):
        took, ok = good_request(port, args.timeout)
        print("good client GET /url: %8.1f ms%s" % (took * 1e3, "" if ok else "  (no answer)"), flush=True)
        times.append(took)
        if not ok:
            break
    stop.set()
    for s in idle:
        s.close()
    print("alone: %.1f ms; with %d idle sockets, a slow sender and a client that never reads: median %.1f ms over %d requests" % (
        base * 1e3, args.idle, statistics.median(times) * 1e3, len(times)))
    srv.shutdown()
    srv.server_close()


if __name__ == "__main__":
    main()
