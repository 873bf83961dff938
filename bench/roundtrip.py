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


def drive(port, n, kind, target):
    """n requests of `kind` ("url": GET /url, else POST /navigate to `target`) one after another:
    (requests per second, p50 ms, p99 ms)."""
    out = subprocess.run([sys.executable, "-c", CLIENT, str(port), str(n), kind, target], capture_output=True,
                         text=True, timeout=600, check=True).stdout
    r = json.loads(out)
    lat = sorted(r["lat"])
    return n / r["total"], lat[len(lat) // 2] * 1e3, lat[min(len(lat) - 1, int(len(lat) * 0.99))] * 1e3


def start_plain(port, source):
    """The control server on `port` over a core showing `source`, answering without marshalling."""
    core = type("Core", (), {"Source": source})
    srv, _ = helmwire.start_control_server(
        host="127.0.0.1", port=port, invoke_sync=lambda act: act(), core=lambda: core,
        do_navigate=lambda url: None, do_back=lambda: None, do_forward=lambda: None,
        do_reload=lambda: None, log=lambda line: None)
    return srv
