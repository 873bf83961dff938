"""Helpers for tests that talk to a real control server: a stand-in UI thread, a recording host
and raw HTTP over loopback."""
import contextlib
import queue
import socket
import threading
import time

from panekit import helmwire


def free_port():
    """A loopback port that was free a moment ago."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def busy_port():
    """A loopback port with a listener on it for the block (exclusive on Windows, where a server
    that asks to reuse addresses could otherwise share it)."""
    with socket.socket() as s:
        if hasattr(socket, "SO_EXCLUSIVEADDRUSE"):
            s.setsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE, 1)
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


class UIThread:
    """A stand-in UI thread: a worker with a queue; invoke_sync posts work and waits for it."""

    def __init__(self):
        self._q = queue.Queue()
        self._t = threading.Thread(target=self._loop, name="test-ui", daemon=True)
        self._t.start()

    def _loop(self):
        while True:
            fn = self._q.get()
            if fn is None:
                return
            fn()

    def invoke_sync(self, fn):
        done = threading.Event()
        err = []

        def run():
            try:
                fn()
            except Exception as e:  # the hosts drop exceptions of the work item
                err.append(e)
            finally:
                done.set()

        self._q.put(run)
        assert done.wait(10), "UI thread did not run the work item"

    def stop(self):
        self._q.put(None)
        self._t.join(5)


class Core:
    def __init__(self, source="about:blank"):
        self.Source = source


class Host:
    """The host side of the control plane: records what the server asked the UI thread to do."""

    def __init__(self, ui):
        self.ui = ui
        self.core_obj = None
        self.calls = []
        self.ui_threads = set()
        self.log = []

    def core(self):
        self.ui_threads.add(threading.current_thread().name)
        return self.core_obj

    def do_navigate(self, url):
        self.ui_threads.add(threading.current_thread().name)
        self.calls.append(("navigate", url))

    def do_back(self):
        self.calls.append(("back",))

    def do_forward(self):
        self.calls.append(("forward",))

    def do_reload(self):
        self.calls.append(("reload",))

    def start(self, **extra):
        kwargs = dict(host="127.0.0.1", port=0, invoke_sync=self.ui and self.ui.invoke_sync, core=self.core,
                      do_navigate=self.do_navigate, do_back=self.do_back,
                      do_forward=self.do_forward, do_reload=self.do_reload, log=self.log.append)
        kwargs.update(extra)
        srv, th = helmwire.start_control_server(**kwargs)
        self.srv, self.th = srv, th
        self.port = srv.server_address[1]
        return srv, th


def raw_request(port, data, *, shut_write=False, timeout=10.0, read_after=0.0):
    """Sends raw bytes and returns everything the server answered until it closed.

    read_after: seconds to wait before reading, so the server has answered and closed first."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
        except ConnectionResetError:
            pass
        if shut_write:
            s.shutdown(socket.SHUT_WR)
        time.sleep(read_after)
        chunks = []
        while True:
            try:
                b = s.recv(65536)
            except ConnectionResetError:
                break
            if not b:
                break
            chunks.append(b)
    return b"".join(chunks)


def split_answer(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
    return status, headers, body
