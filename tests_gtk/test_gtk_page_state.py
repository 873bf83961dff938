"""Page state and waited navigations on a real WebKit view: a slow page waited for (other requests
answered meanwhile), a failing address, a download, a superseded wait, and the title and history
flags right after back and forward."""

import json
import socket
import subprocess
import sys
import threading

from gtktier import WAIT, wait_until

from panekit import helmwire


def waited(w, *args):
    """`panekit <args> --wait 10` in a process of its own; returns (exit status, answer)."""
    rc, out = w.command(*args, "--wait", "10")
    return rc, json.loads(out)


def in_background(w, *args):
    run = subprocess.Popen([sys.executable, "-m", "panekit", *args, "--wait", "10", "--port", str(w.port)],
                           stdout=subprocess.PIPE, text=True)
    return lambda: (run.wait(WAIT), json.loads(run.communicate(timeout=WAIT)[0]))


def test_slow_page_is_waited_for_while_others_are_answered(open_window, site):
    w = open_window("/a.html")
    gate = site.gates["/held2"] = threading.Event()
    try:
        result = in_background(w, "navigate", site.url("/held2"))
        wait_until(lambda: site.hits.get("/held2"), "the slow page to be requested")
        state = helmwire.remote_state(port=w.port, timeout=5)
        assert (state["loading"], state["url"], state["title"]) == (True, site.url("/a.html"), "A")
    finally:
        gate.set()
    assert result() == (0, {"ok": True, "url": site.url("/held2"), "title": "Held"})
    assert helmwire.remote_state(port=w.port)["last"] == {"url": site.url("/held2"), "ok": True, "error": None}


def test_failing_address_is_reported_failed(open_window, site):
    w = open_window("/a.html")
    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        closed = f"http://127.0.0.1:{s.getsockname()[1]}/"
    rc, answer = waited(w, "navigate", closed)
    assert rc == 1 and answer["ok"] is False and answer["url"] == closed and answer["error"]
    assert helmwire.remote_state(port=w.port)["last"] == {"url": closed, "ok": False, "error": answer["error"]}


def test_title_and_history_right_after_back_and_forward(open_window, site):
    w = open_window("/a.html")
    a, b = site.url("/a.html"), site.url("/b.html")
    assert waited(w, "back") == (1, {"ok": False, "error": "cannot go back"})
    assert waited(w, "navigate", b) == (0, {"ok": True, "url": b, "title": "B"})
    flags = lambda: {k: v for k, v in helmwire.remote_state(port=w.port).items()  # noqa: E731
                     if k in ("url", "title", "loading", "can_go_back", "can_go_forward")}
    assert waited(w, "back") == (0, {"ok": True, "url": a, "title": "A"})
    assert flags() == {"url": a, "title": "A", "loading": False, "can_go_back": False, "can_go_forward": True}
    assert waited(w, "forward") == (0, {"ok": True, "url": b, "title": "B"})
    assert flags() == {"url": b, "title": "B", "loading": False, "can_go_back": True, "can_go_forward": False}
    assert waited(w, "reload") == (0, {"ok": True, "url": b, "title": "B"})


def test_download_and_superseded_waits(open_window, site):
    w = open_window("/a.html")
    # A response saved as a download ends the wait (exit 0: the answer is ok); the view still
    # shows page A.
    assert waited(w, "navigate", site.url("/report2")) == (0, {"ok": True, "url": site.url("/a.html"),
                                                                "download": True})
    wait_until(lambda: (w.downloads / "report.pdf").exists(), "the download")
    # Another navigation started while one is waited for supersedes it.
    gate = site.gates["/held3"] = threading.Event()
    try:
        result = in_background(w, "navigate", site.url("/held3"))
        wait_until(lambda: site.hits.get("/held3"), "the slow page to be requested")
        helmwire.remote_navigate(site.url("/c.html"), port=w.port)
        assert result() == (1, {"ok": False, "error": "superseded by " + site.url("/c.html")})
    finally:
        gate.set()
    w.wait_url(site.url("/c.html"))


def test_navigation_inside_the_page_ends_its_own_wait(open_window, site):
    """A fragment raises no load event on WebKit: its wait ends when the view's address changes,
    and the navigation after it is answered for itself, not for the fragment's wait."""
    w = open_window("/a.html")
    a, b = site.url("/a.html"), site.url("/b.html")
    assert waited(w, "navigate", a + "#part") == (0, {"ok": True, "url": a + "#part", "title": "A"})
    assert helmwire.remote_state(port=w.port)["last"] == {"url": a + "#part", "ok": True, "error": None}
    assert waited(w, "navigate", b) == (0, {"ok": True, "url": b, "title": "B"})
    assert waited(w, "back") == (0, {"ok": True, "url": a + "#part", "title": "A"})
