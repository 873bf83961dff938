"""Control plane throughput and latency against the floor that http.server allows.

Both servers run in this process on loopback and are driven alternately by the same raw-socket
client in a second process, as a real control client would be: ours through start_control_server (invoke_sync runs the work at once, so only the
server itself is measured) and a minimal BaseHTTPRequestHandler in Python answering the same
JSON. Prints requests per second, p50 and p99 latency, and the throughput ratio.

    python bench/bench_control.py [--requests N] [--rounds R]
"""
import argparse
import http.server
import json
import socket
import statistics
import subprocess
import sys
import threading
import time

from panekit import helmwire


class Baseline(http.server.BaseHTTPRequestHandler):
    source = "https://example.com/"

    def log_message(self, fmt, *args):
        pass

    def _json(self, code, obj):
        body = json.dumps(obj, ensure_ascii=False).encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self._json(200, {"ok": True, "url": self.source})

    def do_POST(self):
        n = int(self.headers.get("Content-Length") or 0)
        data = json.loads(self.rfile.read(n).decode("utf-8"))
        self._json(200, {"ok": True, "url": data["url"]})


class Core:
    Source = "https://example.com/"


def start_ours():
    srv, th = helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: Core,
        do_navigate=lambda u: None, do_back=lambda: None, do_forward=lambda: None,
        do_reload=lambda: None, log=lambda line: None)
    return srv


def start_baseline():
    srv = http.server.HTTPServer(("127.0.0.1", 0), Baseline)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    return srv


REQUESTS = {
    "GET /url": b"GET /url HTTP/1.0\r\n\r\n",
    "POST /navigate": (b"POST /navigate HTTP/1.0\r\nContent-Type: application/json\r\n"
                       b"Content-Length: 31\r\n\r\n{\"url\": \"https://example.com/\"}"),
}


CLIENT = r"""
import json, socket, sys, time
port, data, n = int(sys.argv[1]), bytes.fromhex(sys.argv[2]), int(sys.argv[3])
lat = []
for _ in range(n):
    t0 = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(data)
        while s.recv(65536):
            pass
    lat.append(time.perf_counter() - t0)
print(json.dumps(lat))
"""


def measure(port, data, n):
    """Latencies of n sequential requests, sent from a separate client process."""
    out = subprocess.run([sys.executable, "-c", CLIENT, str(port), data.hex(), str(n)],
                         capture_output=True, text=True, check=True, timeout=600).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    ours, base = start_ours(), start_baseline()
    ports = {"panekit": ours.server_address[1], "baseline": base.server_address[1]}
    for name, data in REQUESTS.items():
        lat = {"panekit": [], "baseline": []}
        for who in lat:  # warm-up
            measure(ports[who], data, 100)
        for _ in range(args.rounds):
            for who in lat:
                lat[who] += measure(ports[who], data, args.requests)
        rps = {}
        for who, xs in lat.items():
            xs.sort()
            rps[who] = len(xs) / sum(xs)
            print("%-15s %-9s %8.0f req/s  p50 %6.0f us  p99 %6.0f us" % (
                name, who, rps[who], statistics.median(xs) * 1e6, xs[int(len(xs) * 0.99)] * 1e6))
        print("%-15s throughput ratio panekit/baseline: %.3f" % (name, rps["panekit"] / rps["baseline"]))


if __name__ == "__main__":
    main()
