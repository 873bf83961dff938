"""The client calls against the standard library's URL opener on the same server.

One control server runs in this process on loopback; the same requests (GET /url, POST /navigate)
are made alternately through helmwire's client (one connection and one deadline per call) and
through urllib.request with a proxy-free opener, the way the client worked before. Prints calls per
second of each and the ratio (above 1: the client is faster).

    python bench/bench_client.py [--calls N]
"""
import argparse
import json
import time
import urllib.request

from panekit import helmwire


class Core:
    Source = "https://example.com/"


def start_server():
    return helmwire.start_control_server(
        host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: Core,
        do_navigate=lambda u: None, do_back=lambda: None, do_forward=lambda: None,
        do_reload=lambda: None, log=lambda line: None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=2000)
    n = parser.parse_args().calls
    srv, _ = start_server()
    port = srv.server_address[1]
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    base = f"http://127.0.0.1:{port}"

    def ours_get():
        assert helmwire.remote_get_url(port=port)["ok"]

    def ours_post():
        assert helmwire.remote_navigate("example.org", port=port)["ok"]

    def stdlib_get():
        with opener.open(base + "/url", timeout=15) as r:
            assert json.loads(r.read())["ok"]

    def stdlib_post():
        req = urllib.request.Request(base + "/navigate", data=b'{"url": "https://example.org"}', method="POST",
                                     headers={"Content-Type": "application/json; charset=utf-8"})
        with opener.open(req, timeout=15) as r:
            assert json.loads(r.read())["ok"]

    for name, ours, stdlib in (("GET /url", ours_get, stdlib_get), ("POST /navigate", ours_post, stdlib_post)):
        spent = {ours: 0.0, stdlib: 0.0}
        for _ in range(n // 100):  # alternating rounds, so both see the same machine load
            for fn in (ours, stdlib):
                t0 = time.perf_counter()
                for _ in range(100):
                    fn()
                spent[fn] += time.perf_counter() - t0
        done = (n // 100) * 100
        print(f"{name}: client {done / spent[ours]:.0f} calls/s, urllib {done / spent[stdlib]:.0f} calls/s, "
              f"ratio {spent[stdlib] / spent[ours]:.2f}")
    srv.shutdown()
    srv.server_close()


if __name__ == "__main__":
    main()
