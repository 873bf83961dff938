"""Page state and waited navigations on both Windows hosts (the simulated WebView2 raises
NavigationStarting / NavigationCompleted / DownloadStarting as the real one does), over real HTTP."""

import http.client
import json
import os
import socket
import stat
import struct
import threading
import zlib
from concurrent.futures import ThreadPoolExecutor

import pytest

from ctlsupport import Host as CtlHost
from ctlsupport import free_port, raw_request, split_answer
from panekit import framewell, glassport, helmwire
from simplatform import CoreWebView2, WebErrorStatus
from simplatform.drawing import Size
from simplatform.enums import CoreWebView2DownloadState
from simplatform.webview2 import SimScriptError
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


def case_same_document(h):
    # A fragment of the page shown raises no navigation events: the wait ends when the address
    # changes, and the next navigation (the page's own, then a download) is no answer of it.
    answers = [helmwire.remote_navigate(START + "#part", port=h.port, wait=5)]
    h.core.sim_push_state("https://start.example/pushed")
    h.core.sim_page_navigate("https://theirs.example/")
    answers.append(helmwire.remote_state(port=h.port)["last"])
    return answers, [{"ok": True, "url": START + "#part", "title": "Start"},
                     {"url": "https://theirs.example/", "ok": True, "error": None}]


def case_window_closed(h):
    future = held(h, lambda: helmwire.remote_reload(port=h.port, wait=10))
    h.close()
    return future.result(10), {"ok": False, "error": "window closed"}


@pytest.mark.parametrize("case", [case_loaded, case_failed, case_history, case_timed_out_others_answered,
                                  case_download, case_superseded, case_same_document, case_window_closed],
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


# ---- reading the page: script, picture, events (the first two need the window's token) ------------


def case_script_value(h):
    return helmwire.remote_script("document.title", port=h.port), {"ok": True, "value": "Start"}


def case_script_undefined(h):
    return helmwire.remote_script("void 0", port=h.port), {"ok": True, "value": None}


def case_script_object(h):
    h.core.sim_scripts["({a: [1, 'é']})"] = '{"a":[1,"é"]}'
    return helmwire.remote_script("({a: [1, 'é']})", port=h.port), {"ok": True, "value": {"a": [1, "é"]}}


def case_script_throws(h):
    h.core.sim_scripts["boom()"] = SimScriptError("ReferenceError", "boom is not defined")
    return helmwire.remote_script("boom()", port=h.port), {"ok": False, "error": "ReferenceError: boom is not defined"}


def case_script_throws_older_sdk(h):
    # Without ExecuteScriptWithResultAsync, WebView2 answers "null" for a script that throws.
    h.winsim.has_script_with_result = False
    h.core.sim_scripts["boom()"] = SimScriptError("ReferenceError", "boom is not defined")
    return helmwire.remote_script("boom()", port=h.port), {"ok": True, "value": None}


def case_script_timed_out(h):
    h.core.sim_hold = True
    answer = helmwire.remote_script("document.title", port=h.port, script_timeout=0.3)
    h.core.sim_tasks[-1].sim_complete()  # a result after the answer is dropped
    return (answer, h.state()["ok"]), ({"ok": False, "error": "timed out"}, True)


def case_script_bad_body(h):
    return ([helmwire._http_post_json("/script", body, port=h.port) for body in ({}, {"script": 5}, {"script": " "})]
            + [helmwire._http_post_json("/script", {"script": "1", "timeout": 121}, port=h.port)],
            [{"ok": False, "error": "missing script"}] * 3
            + [{"ok": False, "error": "timeout must be a number of seconds from 0 to 120"}])


def case_no_token(h, monkeypatch):
    # Another user's program: no token file of this user's to read.
    monkeypatch.setenv("PANEKIT_CONTROL_TOKEN", "guessed")
    refused = {"ok": False, "error": "token required"}
    return ([helmwire.remote_script("document.title", port=h.port), helmwire.remote_screenshot(port=h.port),
             helmwire.remote_get_url(port=h.port)],
            [refused, refused, {"ok": True, "url": START}])


def case_every_route_guarded(h, monkeypatch):
    monkeypatch.setenv("PANEKIT_CONTROL_AUTH", "all")
    served = helmwire.remote_get_url(port=h.port)
    monkeypatch.setenv("PANEKIT_CONTROL_TOKEN", "guessed")
    # (A GET's error status comes back as the HTTP error's text, as for every GET of the client.)
    return ([served, helmwire.remote_get_url(port=h.port)],
            [{"ok": True, "url": START}, {"ok": False, "error": "HTTP Error 401: Unauthorized"}])


@pytest.mark.parametrize("case", [case_script_value, case_script_undefined, case_script_object, case_script_throws,
                                  case_script_throws_older_sdk, case_script_timed_out, case_script_bad_body,
                                  case_no_token, case_every_route_guarded],
                         ids=lambda f: f.__name__[5:])
def test_page_reads(host, case, monkeypatch):
    args = (host, monkeypatch) if "monkeypatch" in case.__code__.co_varnames else (host,)
    got, expected = case(*args)
    assert got == expected


def test_screenshot_is_the_view(host):
    h = host
    h.core.sim_page_colour = (12, 34, 56)
    size = h.ui(lambda: h.core._webview.Size)
    if size.Width == 0:  # the stand-in's pywebview form lays nothing out
        h.ui(lambda: setattr(h.core._webview, "Size", Size(640, 400)))
        size = Size(640, 400)
    shot = helmwire.remote_screenshot(port=h.port)
    assert shot["ok"] is True and shot["png"].startswith(b"\x89PNG\r\n\x1a\n")
    assert struct.unpack(">II", shot["png"][16:24]) == (size.Width, size.Height)
    pixels = zlib.decompress(shot["png"][41:-16])  # the one IDAT chunk of the stand-in's picture
    assert pixels[1:4] == bytes((12, 34, 56))


def test_runtime_file_lives_with_the_window(winsim, monkeypatch, tmp_path, _runtime_folder):
    monkeypatch.chdir(tmp_path)
    winsim.pretend_windows()
    port = free_port()
    runner = winsim.start_ui_thread(framewell.run_toolbar_main, start_url=START, control_port_override=port)
    winsim.wait_until(lambda: helmwire.remote_ready(port=port).get("core"), what="the core")
    file = _runtime_folder / "panekit" / f"control-{port}.json"
    content = json.loads(file.read_text(encoding="utf-8"))
    assert content["url"] == f"http://127.0.0.1:{port}" and content["port"] == port
    assert len(content["token"]) >= 22  # at least 128 bits as URL-safe base64
    if os.name == "posix":
        assert stat.S_IMODE(file.stat().st_mode) == 0o600
        assert stat.S_IMODE(file.parent.stat().st_mode) == 0o700
    winsim.forms[0].sim_close()
    assert runner.join() == 0
    assert not file.exists()


def test_events_of_a_navigation_and_a_download(host):
    h = host
    start = helmwire.remote_events(port=h.port)["next"]
    helmwire.remote_navigate("a.example", port=h.port, wait=5)
    args = h.core.sim_download("C:\\dl\\file.bin", uri="https://a.example/file.bin")
    args.DownloadOperation.sim_state(CoreWebView2DownloadState.Completed)
    h.core.sim_push_state("https://a.example/#more")
    got = helmwire.remote_events(after=start, port=h.port)
    kinds = [(e["type"], e.get("url"), e.get("title"), e.get("path")) for e in got["events"]]
    assert kinds == [
        ("navigation_started", "https://a.example", None, None),
        ("title_changed", None, "Page A", None),
        ("navigation_finished", "https://a.example", "Page A", None),
        ("download_started", "https://a.example/file.bin", None, None),
        ("download_finished", "https://a.example/file.bin", None, "C:\\dl\\file.bin"),
        ("same_document", "https://a.example/#more", None, None),
    ]
    assert [e["seq"] for e in got["events"]] == list(range(start + 1, got["next"] + 1)) and got["dropped"] == 0
    # Nothing new: a waited request answers empty at its time, or as soon as something happens.
    assert helmwire.remote_events(after=got["next"], wait=0.2, port=h.port) == {
        "ok": True, "events": [], "next": got["next"], "dropped": 0}
    pool = ThreadPoolExecutor(1)
    future = pool.submit(helmwire.remote_events, after=got["next"], wait=10, port=h.port)
    helmwire.remote_reload(port=h.port)
    answer = future.result(10)
    pool.shutdown()
    assert answer["events"][0]["type"] == "navigation_started"
    for query in ("after=-1", "after=x", "wait=121", "wait=x"):
        status, body = raw_get(h.port, "/events?" + query)
        assert status == 400 and body["ok"] is False, query


def raw_get(port, path, token=None):
    """(status, JSON body) of a GET, error statuses included."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("GET", path, headers={"Authorization": "Bearer " + token} if token else {})
        resp = conn.getresponse()
        return resp.status, json.loads(resp.read())
    finally:
        conn.close()


def test_events_keep_the_last_thousand(host):
    h = host
    first = helmwire.remote_events(port=h.port)["next"]
    for i in range(510):  # a start and a finish each
        h.core.sim_page_navigate(f"https://p{i}.example/")
    h.winsim.wait_until(lambda: not h.state()["loading"], what="the last page")
    got = helmwire.remote_events(after=first, port=h.port)
    newest = got["next"]
    assert newest >= first + 1020 and len(got["events"]) == 1000
    assert [e["seq"] for e in got["events"]] == list(range(newest - 999, newest + 1))
    assert got["dropped"] == newest - 1000 - first
    assert got["events"][-1]["url"] == "https://p509.example/"
    # Asking from a number the ring still holds drops nothing; a number this window never gave
    # (an earlier window's on the port) asks for everything.
    assert helmwire.remote_events(after=newest - 3, port=h.port)["dropped"] == 0
    again = helmwire.remote_events(after=newest + 50, port=h.port)
    assert (again["events"], again["next"]) == (got["events"], newest)


def test_picture_before_any_content_is_the_engines_failure(winsim):
    # WebView2 refuses CapturePreviewAsync before the first ContentLoading: 500 with its text.
    made, stop = {}, threading.Event()

    def ui_main():
        made["core"] = CoreWebView2()
        made["core"]._ui.run(until=stop.is_set)

    runner = winsim.start_ui_thread(ui_main)
    winsim.wait_until(lambda: "core" in made, what="the core")
    core = made["core"]
    h = CtlHost(None)
    h.start(invoke_sync=core._ui.call, core=lambda: core)
    try:
        status, body = raw_get(h.port, "/screenshot", token=h.srv.control_token)
        assert (status, body["ok"]) == (500, False) and "before content has loaded" in body["error"]
        core._ui.call(lambda: core.Navigate("https://a.example/"))  # once content has loaded, it works
        winsim.wait_until(lambda: core._content_seen, what="the page's content")
        assert helmwire.remote_screenshot(port=h.port)["png"].startswith(b"\x89PNG")
    finally:
        h.srv.shutdown()
        h.srv.server_close()
        stop.set()
        core._ui.post(lambda: None)
        runner.join()



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


def test_waiting_reads_share_the_waiting_limit(host, monkeypatch):
    h = host
    monkeypatch.setattr(helmwire, "_MAX_WAITING", 1)
    newest = helmwire.remote_events(port=h.port)["next"]
    pool = ThreadPoolExecutor(1)
    waiting = pool.submit(helmwire.remote_events, after=newest, wait=10, port=h.port)

    def parked():
        # The probe below is a waiting request too: it is refused only while the events request
        # holds the one place. Until then either one may have come first, and the events request
        # is sent again after an answer: a late event of the set-up's page (wait after that one),
        # or its refusal while the probe held the place.
        nonlocal waiting, newest
        if waiting.done():
            answer = waiting.result()
            if answer["ok"]:
                newest = answer["next"]
            else:
                assert answer == {"ok": False, "error": "too many waiting requests"}
            waiting = pool.submit(helmwire.remote_events, after=newest, wait=10, port=h.port)
            return False
        return helmwire.remote_script("1", port=h.port) == {"ok": False, "error": "too many waiting requests"}

    h.winsim.wait_until(parked, what="the first request to wait")
    assert helmwire.remote_events(after=newest, wait=1, port=h.port) == {
        "ok": False, "error": "too many waiting requests"}
    helmwire.remote_reload(port=h.port)
    assert waiting.result(10)["events"][0]["type"] == "navigation_started"
    pool.shutdown()
