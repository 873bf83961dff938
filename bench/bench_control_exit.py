"""Clean exits of a program that starts the control server and ends while clients talk to it.

Each run is a child process that starts the server, starts four client threads (two speaking raw
HTTP, two through the package's own client calls) that send requests without pause, and returns
from its main module after a moment. A clean exit has status 0 and nothing on standard error.
The same child with the standard library's own server is the baseline.

    python bench/bench_control_exit.py [--runs 100]
    python bench/bench_control_exit.py --child SECONDS [--stdlib]   (one run, as the test does)
"""
import argparse
import socket
import subprocess
import sys
import threading
import time

REQUESTS = [b"GET /ready HTTP/1.0\r\n\r\n", b"POST /navigate HTTP/1.0\r\nContent-Length: 11\r\n\r\nexample.com",
            b"GET /url HTTP/1.0\r\n\r\n", b"POST /reload HTTP/1.0\r\nContent-Length: 5\r\n\r\n{}"]


def child(seconds, stdlib):
    from panekit import helmwire
    if stdlib:
        import http.server

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                body = b'{"ok": true}'
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            do_POST = do_GET

        srv = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=srv.serve_forever, daemon=True).start()
    else:
        srv, _ = helmwire.start_control_server(
            host="127.0.0.1", port=0, invoke_sync=lambda fn: fn(), core=lambda: None,
            do_navigate=lambda u: None, do_back=lambda: None, do_forward=lambda: None,
            do_reload=lambda: None, log=lambda line: None)
    port = srv.server_address[1]

    def raw(i):
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    s.sendall(REQUESTS[i % len(REQUESTS)])
                    while s.recv(65536):
                        pass
            except OSError:
                pass
            i += 1

    def client(i):
        calls = [helmwire.remote_ready, helmwire.remote_get_url, helmwire.remote_reload, helmwire.remote_go_back]
        while True:
            calls[i % len(calls)](port=port)
            i += 1

    for i, target in enumerate([raw, raw, client, client]):
        threading.Thread(target=target, args=(i,), daemon=True).start()
    time.sleep(seconds)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--child", type=float)
    ap.add_argument("--stdlib", action="store_true")
    args = ap.parse_args()
    if args.child is not None:
        return child(args.child, args.stdlib)
    for label, extra in (("standard library server", ["--stdlib"]), ("control server", [])):
        clean, seen = 0, {}
        for i in range(args.runs):
            done = subprocess.run([sys.executable, __file__, "--child", str(0.05 + 0.01 * (i % 10))] + extra,
                                  capture_output=True, timeout=120)
            if done.returncode == 0 and not done.stderr:
                clean += 1
            else:
                seen[done.returncode] = seen.get(done.returncode, 0) + 1
        print("%-24s clean exits: %3d of %d  %s" % (label, clean, args.runs, seen or ""), flush=True)


if __name__ == "__main__":
    main()
