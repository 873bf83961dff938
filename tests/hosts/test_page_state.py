"""Page state and waited navigations on both Windows hosts (the simulated WebView2 raises
NavigationStarting / NavigationCompleted / DownloadStarting as the real one does), over real HTTP."""

import json
import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from ctlsupport import free_port, raw_request, split_answer
from panekit import framewell, glassport, helmwire
from simplatform import WebErrorStatus
from simplatform.pywebview_sim import edge_backend, pywebview_gui  # noqa: F401 - fixtures

START = "https://start.example/"


class Host:
    """A running host of either kind: its port, core, and a way to close its window."""

    def __init__(self, winsim, kind, gui):
        self.winsim, self.port = winsim, free_port()
        winsim.pretend_windows()
        winsim.titles.update({START: "Start", "https://a.example": "Page A"})  # the pages' <title>
        main = framewell.run_toolbar_main if kind == "framewell" else glassport.run_toolbar_main
        self.runner = winsim.start_ui_thread(main, start_url=START, control_port_override=self.port,
                                             name="MainThread")  # pywebview checks the name
        winsim.wait_until(lambda: helmwire.remote_ready(port=self.port).get("core"), what="the core")
        self.core = winsim.wait_core()
        self.close = (lambda: gui.form.sim_close()) if kind == "glassport" else (lambda: winsim.forms[0].sim_close())
        # The pywebview host's first page may load before its core is seen: one reload, waited for.
        winsim.wait_until(lambda: not self.state()["loading"], what="the first page")
        assert helmwire.remote_reload(port=self.port, wait=5) == {"ok": True, "url": START, "title": "Start"}

    def ui(self, fn):
        return self.core._ui.call(fn)

    def state(self):
        return helmwire.remote_state(port=self.port)


@pytest.fixture(params=["framewell", "glassport"])
def host(request, winsim, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    for name in ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT",
                 "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("Path", "C:\\base")
    gui = request.getfixturevalue("pywebview_gui") if request.param == "glassport" else None
    h = Host(winsim, request.param, gui)
    try:
        yield h
    finally:
        winsim.auto_complete = True
        h.close()
        assert h.runner.join() == 0


def held(h, call):
    """Starts `call` (a client call with wait) while navigations are held back, waits until its
    navigation has started, and returns the future of its answer."""
    h.winsim.auto_complete = False
    pool = ThreadPoolExecutor(1)
    future = pool.submit(call)
    pool.shutdown(wait=False)
    h.winsim.wait_until(lambda: h.state()["loading"], what="the navigation to start")
    return future


def loaded(h):
    return h.ui(lambda: {"ok": True, "url": h.core.Source, "title": h.core.DocumentTitle})


def case_loaded(h):
    return helmwire.remote_navigate("a.example", port=h.port, wait=5), \
        {"ok": True, "url": "https://a.example", "title": "Page A"}


def case_failed(h):
    h.winsim.nav_errors["https://bad.example"] = WebErrorStatus.HostNameNotResolved
    return helmwire.remote_navigate("bad.example", port=h.port, wait=5), \
        {"ok": False, "url": "https://bad.example", "error": "HostNameNotResolved"}


def case_history(h):
    answers = [helmwire.remote_go_back(port=h.port, wait=5), helmwire.remote_go_forward(port=h.port, wait=5)]
    helmwire.remote_navigate("a.example", port=h.port, wait=5)
    answers.append(helmwire.remote_go_back(port=h.port, wait=5))
    answers.append(helmwire.remote_reload(port=h.port, wait=5))
    answers.append(helmwire.remote_go_forward(port=h.port, wait=5))
    page = {"ok": True, "url": START, "title": "Start"}
    return answers, [{"ok": False, "error": "cannot go back"}, {"ok": False, "error": "cannot go forward"},
                     page, page, {"ok": True, "url": "https://a.example", "title": "Page A"}]


def case_timed_out_others_answered(h):
    future = held(h, lambda: helmwire.remote_navigate("slow.example", port=h.port, wait=0.5))
    # The waiting request holds nobody up: state and address are answered meanwhile.
    during = h.state()
    answer = future.result(10)
    h.ui(h.core.sim_complete_next)
    return (answer, during["loading"], during["url"]), ({"ok": False, "error": "timed out"}, True, START)


def case_download(h):
    # WebView2 ends such a navigation as aborted, and only then raises DownloadStarting.
    h.winsim.nav_errors["https://file.example"] = WebErrorStatus.ConnectionAborted
    future = held(h, lambda: helmwire.remote_navigate("file.example", port=h.port, wait=5))
    h.ui(h.core.sim_complete_next)
    h.core.sim_download()
    return future.result(10), {"ok": True, "url": h.ui(lambda: h.core.Source), "download": True}


def case_superseded(h):
    future = held(h, lambda: helmwire.remote_navigate("mine.example", port=h.port, wait=5))
    h.core.sim_page_navigate("https://theirs.example/")
    return future.result(10), {"ok": False, "error": "superseded by https://theirs.example/"}


def case_window_closed(h):
    future = held(h, lambda: helmwire.remote_reload(port=h.port, wait=10))
    h.close()
    return future.result(10), {"ok": False, "error": "window closed"}


@pytest.mark.parametrize("case", [case_loaded, case_failed, case_history, case_timed_out_others_answered,
                                  case_download, case_superseded, case_window_closed],
                         ids=lambda f: f.__name__[5:])
def test_waited_answers(host, case):
    got, expected = case(host)
    assert got == expected


def test_state_follows_the_page(host):
    h = host
    assert h.state() == {"ok": True, "core": True, "url": START, "title": "Start", "loading": False,
                         "can_go_back": False, "can_go_forward": False,
                         "last": {"url": START, "ok": True, "error": None}}
    h.winsim.nav_errors["https://bad.example"] = WebErrorStatus.CannotConnect
    helmwire.remote_navigate("bad.example", port=h.port, wait=5)
    helmwire.remote_go_back(port=h.port, wait=5)
    s = h.state()
    assert (s["url"], s["can_go_back"], s["can_go_forward"]) == (START, False, True)
    assert s["last"] == {"url": START, "ok": True, "error": None}
    helmwire.remote_go_forward(port=h.port, wait=5)
    assert h.state()["last"] == {"url": "https://bad.example", "ok": False, "error": "CannotConnect"}
    # Without "wait" the answers are as they always were.
    assert helmwire.remote_navigate("c.example", port=h.port) == {"ok": True, "url": "https://c.example"}
    assert helmwire.remote_reload(port=h.port) == {"ok": True}



def test_waits_are_bounded_and_hang_ups_end_them(host, monkeypatch):
    """Beyond _MAX_WAITING waiting requests one more answers 503 without acting; a waiter that
    hangs up ends its wait at once, making room."""
    h = host
    monkeypatch.setattr(helmwire, "_MAX_WAITING", 1)
    h.winsim.auto_complete = False
    body = b'{"wait": 60}'

    def waited(path):
        request = b"POST %s HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (path, len(body), body)
        status, _, answer = split_answer(raw_request(h.port, request, timeout=5))
        return status, json.loads(answer)

    first = socket.create_connection(("127.0.0.1", h.port), timeout=10)
    try:
        first.sendall(b"POST /reload HTTP/1.0\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        h.winsim.wait_until(lambda: h.state()["loading"], what="the reload to start")
        assert waited(b"/forward") == (503, {"ok": False, "error": "too many waiting requests"})
    finally:
        first.close()
    # Going back is refused at once when there is room to wait, so it tells when the hang-up
    # was noticed (long before the 60 s).
    h.winsim.wait_until(lambda: waited(b"/back") == (200, {"ok": False, "error": "cannot go back"}),
                        what="the hang-up to be noticed")
    assert h.ui(lambda: h.core.Source) == START and h.state()["loading"]
