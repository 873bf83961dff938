"""One program that starts the control server (or, with --stdlib, the standard library's own), starts
four client threads that talk to it without pause (two in raw HTTP, two through the package's client
calls), and returns from its main module after SECONDS. A clean exit is status 0 and nothing on
standard error.

    python exit_child.py SECONDS [--stdlib]
"""
import socket
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


if __name__ == "__main__":
    child(float(sys.argv[1]), "--stdlib" in sys.argv[2:])
