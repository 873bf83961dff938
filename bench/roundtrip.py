"""What the control-plane benchmarks of the hosts share: a client in a second process that sends
one request per connection over loopback with raw sockets, as a control client would, and the
control server answering with no UI hop (invoke_sync runs the work at once), the baseline."""
import json
import subprocess
import sys

from panekit import helmwire

CLIENT = r"""
import json, socket, sys, time
port, n, kind, target = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
if kind == "url":
    req = b"GET /url HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
else:
    body = json.dumps({"url": target}).encode()
    req = (b"POST /navigate HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)) + body
lat = []
t0 = time.perf_counter()
for _ in range(n):
    s0 = time.perf_counter()
    c = socket.create_connection(("127.0.0.1", port))
    c.sendall(req)
    data = b""
    while chunk := c.recv(65536):
        data += chunk
    c.close()
    assert b" 200 " in data.split(b"\r\n", 1)[0], data[:200]
    lat.append(time.perf_counter() - s0)
print(json.dumps({"total": time.perf_counter() - t0, "lat": lat}))
"""


def latencies(port, n, kind, target):
    """n requests of `kind` ("url": GET /url, else POST /navigate to `target`) one after another:
    (their latencies in seconds, the seconds all of them took)."""
    out = subprocess.run([sys.executable, "-c", CLIENT, str(port), str(n), kind, target], capture_output=True,
                         text=True, timeout=600, check=True).stdout
    r = json.loads(out)
    return r["lat"], r["total"]


def percentile(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))]


def drive(port, n, kind, target):
    """n requests as `latencies` sends them: (requests per second, p50 ms, p99 ms)."""
    lat, total = latencies(port, n, kind, target)
    return n / total, percentile(lat, 0.5) * 1e3, percentile(lat, 0.99) * 1e3


def interleaved(ports, n, kind, target, rounds=10):
    """n requests to each of `ports` (name -> port), sent in `rounds` rounds that take the servers
    in turn, so that a change of the machine's speed meanwhile falls on every one alike:
    name -> latencies in seconds."""
    out = {name: [] for name in ports}
    per_round = max(1, n // rounds)
    for _ in range(rounds):
        for name, port in ports.items():
            out[name] += latencies(port, per_round, kind, target)[0]
    return out


PLAIN = r"""
import sys, time
from panekit import helmwire
core = type("Core", (), {"Source": sys.argv[2]})
helmwire.start_control_server(
    host="127.0.0.1", port=int(sys.argv[1]), invoke_sync=lambda act: act(), core=lambda: core,
    do_navigate=lambda url: None, do_back=lambda: None, do_forward=lambda: None, do_reload=lambda: None)
print("ready", flush=True)
while True:
    time.sleep(3600)
"""


def start_plain_process(port, source, log):
    """The control server with no UI hop in a process of its own, logging every request to `log`
    (a file) as a window's server logs to its output: the Popen, once it listens."""
    out = open(log, "w")
    proc = subprocess.Popen([sys.executable, "-u", "-c", PLAIN, str(port), source], stdout=out,
                            stderr=subprocess.STDOUT)
    import time

    deadline = time.monotonic() + 20
    while "ready" not in open(log).read():
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("the plain control server did not start: " + open(log).read())
        time.sleep(0.05)
    return proc


def start_plain(port, source):
    """The control server on `port` over a core showing `source`, answering without marshalling."""
    core = type("Core", (), {"Source": source})
    srv, _ = helmwire.start_control_server(
        host="127.0.0.1", port=port, invoke_sync=lambda act: act(), core=lambda: core,
        do_navigate=lambda url: None, do_back=lambda: None, do_forward=lambda: None,
        do_reload=lambda: None, log=lambda line: None)
    return srv
