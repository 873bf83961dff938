"""Control plane throughput and latency against the floor that http.server allows.

Both servers run in this process on loopback and are driven alternately by the same raw-socket
client in a second process, as a real control client would be: ours through start_control_server (invoke_sync runs the work at once, so only the
server itself is measured) and a minimal BaseHTTPRequestHandler in Python answering the same
JSON. Prints requests per second, p50 and p99 latency, and the throughput ratio.

    python bench/bench_control.py [--requests N]
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


def sink(line):
    pass


class Baseline(http.server.BaseHTTPRequestHandler):
    """The same answers and the same access-log lines, written the plain way."""

    source = "https://example.com/"

    def log_message(self, fmt, *args):
        msg = fmt % args if args else fmt
        if "GET /ready" not in msg:
            sink("[panekit control] " + msg)

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
        do_reload=lambda: None, log=sink)
    return srv, th


def start_baseline():
    srv = http.server.HTTPServer(("127.0.0.1", 0), Baseline)
    th = threading.Thread(target=srv.serve_forever, daemon=True)
    th.start()
    return srv, th


def cpu_seconds(thread):
    """CPU time the serving thread has used (Linux); wall-clock latency on a shared VM is noisy,
    the serving thread's CPU time per request is what bounds a one-at-a-time server."""
    try:
        return time.clock_gettime(time.pthread_getcpuclockid(thread.ident))
    except (AttributeError, OSError):
        return float("nan")


REQUESTS = {
    "GET /url": b"GET /url HTTP/1.0\r\n\r\n",
    "POST /navigate": (b"POST /navigate HTTP/1.0\r\nContent-Type: application/json\r\n"
                       b"Content-Length: 31\r\n\r\n{\"url\": \"https://example.com/\"}"),
}


CLIENT = r"""
import json, socket, sys, time
ports, data, n = [int(p) for p in sys.argv[1].split(",")], bytes.fromhex(sys.argv[2]), int(sys.argv[3])
lat = {p: [] for p in ports}
for i in range(n):
    for port in (ports if i % 2 else ports[::-1]):  # alternate, so both see the same conditions
        t0 = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port)) as s:
            s.sendall(data)
            while s.recv(65536):
                pass
        lat[port].append(time.perf_counter() - t0)
print(json.dumps([lat[p] for p in ports]))
"""


def measure(ports, data, n):
    """Latencies of n requests to each port, interleaved, from a separate client process."""
    out = subprocess.run([sys.executable, "-c", CLIENT, ",".join(map(str, ports)), data.hex(), str(n)],
                         capture_output=True, text=True, check=True, timeout=600).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=1000, help="requests per server per round")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    servers = {"panekit": start_ours(), "baseline": start_baseline()}
    ports = [srv.server_address[1] for srv, _ in servers.values()]
    for name, data in REQUESTS.items():
        measure(ports, data, 200)  # warm-up
        lat = {who: [] for who in servers}
        cpu = {who: [] for who in servers}
        ratios = []
        for _ in range(args.rounds):  # a shared machine drifts: compare within each round
            cpu0 = {who: cpu_seconds(th) for who, (_, th) in servers.items()}
            got = dict(zip(servers, measure(ports, data, args.requests)))
            for who, (_, th) in servers.items():
                lat[who] += got[who]
                cpu[who].append((cpu_seconds(th) - cpu0[who]) / args.requests)
            ratios.append(sum(got["baseline"]) / sum(got["panekit"]))
        for who, xs in lat.items():
            xs.sort()
            print("%-15s %-9s %8.0f req/s  p50 %6.0f us  p99 %6.0f us  server CPU %5.1f us/req" % (
                name, who, len(xs) / sum(xs), statistics.median(xs) * 1e6,
                xs[int(len(xs) * 0.99)] * 1e6, statistics.median(cpu[who]) * 1e6))
        cpu_ratio = statistics.median(b / p for b, p in zip(cpu["baseline"], cpu["panekit"]))
        print("%-15s panekit/baseline (median of %d rounds): throughput %.3f, requests per server "
              "CPU second %.3f" % (name, args.rounds, statistics.median(ratios), cpu_ratio))


if __name__ == "__main__":
    main()
