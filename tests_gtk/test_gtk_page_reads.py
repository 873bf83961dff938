"""Reading a real WebKit page over the control port: a script's value and a thrown error's text, a
picture of the view, the page's events in order, and the token that guards the first two."""

import http.client
import io
import json
import stat

import cairo
from gtktier import wait_until

from panekit import helmwire


def test_script_value_and_thrown_error(open_window, site):
    w = open_window("/a.html")
    assert helmwire.remote_script("document.title", port=w.port) == {"ok": True, "value": "A"}
    assert helmwire.remote_script("({n: 1 + 1, s: 'é', l: [true, null]})", port=w.port) == {
        "ok": True, "value": {"n": 2, "s": "é", "l": [True, None]}}
    assert helmwire.remote_script("undefined", port=w.port) == {"ok": True, "value": None}
    thrown = helmwire.remote_script("throw new TypeError('boom')", port=w.port)
    assert thrown["ok"] is False and thrown["error"].endswith("TypeError: boom"), thrown  # with WebKit's place
    # The command prints the value itself as JSON, and fails with the answer for a thrown script.
    assert w.command("script", "document.title") == (0, '"A"')
    rc, out = w.command("script", "nosuchname.x")
    assert rc == 1 and json.loads(out)["ok"] is False


def test_screenshot_is_the_view_and_its_colours(open_window, site, tmp_path):
    w = open_window("/paint.html")
    shot = helmwire.remote_screenshot(port=w.port)
    assert shot["ok"] is True, shot
    image = cairo.ImageSurface.create_from_png(io.BytesIO(shot["png"]))
    size = helmwire.remote_script("[innerWidth, innerHeight]", port=w.port)["value"]
    assert [image.get_width(), image.get_height()] == size
    x, y = size[0] // 2, size[1] // 2
    data = image.get_data()
    b, g, r = data[y * image.get_stride() + 4 * x: y * image.get_stride() + 4 * x + 3]  # native BGRA
    assert (r, g, b) == (10, 200, 30)
    target = tmp_path / "page.png"
    rc, out = w.command("screenshot", str(target))
    assert rc == 0 and json.loads(out) == {"ok": True, "file": str(target), "bytes": target.stat().st_size}
    assert target.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_events_of_a_navigation_and_a_download(open_window, site):
    w = open_window("/a.html")
    start = helmwire.remote_events(port=w.port)["next"]
    helmwire.remote_navigate(site.url("/b.html"), port=w.port, wait=10)
    helmwire.remote_navigate(site.url("/report2"), port=w.port, wait=10)

    def events():
        answer = helmwire.remote_events(after=start, port=w.port)
        return answer if any(e["type"] == "download_finished" for e in answer["events"]) else None
    got = wait_until(events, "the download's events")
    b, report = site.url("/b.html"), site.url("/report2")
    seen = [(e["type"], e.get("url"), e.get("title")) for e in got["events"]]
    assert seen == [
        ("navigation_started", b, None),
        ("title_changed", None, "B"),
        ("navigation_finished", b, "B"),
        ("navigation_started", report, None),
        ("download_started", report, None),
        ("download_finished", report, None),
    ], seen
    assert got["events"][-1]["path"] == str(w.downloads / "report.pdf")
    # A navigation inside the page raises no load: it is an event of its own, and the address follows.
    helmwire.remote_script("history.pushState({}, '', '/pushed.html'); 1", port=w.port)
    pushed = helmwire.remote_events(after=got["next"], wait=10, port=w.port)["events"]
    assert [(e["type"], e["url"]) for e in pushed] == [("same_document", site.url("/pushed.html"))]
    assert w.url() == site.url("/pushed.html")
    # The command prints the events one JSON object a line.
    rc, out = w.command("events", "--after", str(got["next"]))
    assert rc == 0 and [json.loads(line)["type"] for line in out.splitlines()] == ["same_document"]


def request(w, method, path, token=None, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", w.port, timeout=10)
    try:
        conn.request(method, path, body=body, headers={"Authorization": f"Bearer {token}"} if token else {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def test_token_guards_the_page_and_lives_with_the_window(open_window, site, runtime_folder):
    w = open_window("/a.html")
    file = runtime_folder / "panekit" / f"control-{w.port}.json"
    content = json.loads(file.read_text(encoding="utf-8"))
    assert stat.S_IMODE(file.stat().st_mode) == 0o600 and content["port"] == w.port
    script = json.dumps({"script": "document.title"}).encode()
    assert request(w, "POST", "/script", body=script) == (401, b'{"ok": false, "error": "token required"}')
    assert request(w, "GET", "/screenshot", token="not-" + content["token"])[0] == 401
    assert request(w, "POST", "/script", content["token"], script) == (200, b'{"ok": true, "value": "A"}')
    assert request(w, "GET", "/url")[0] == 200  # the routes that steer the window stay open
    assert w.close() == 0
    assert not file.exists()
