"""WebDriver on both Windows hosts through the WebView2 engine, over real HTTP on the simulated
platform: the page's part (the in-page library) is answered by a stand-in page here, since the
simulated WebView2 runs no script; what is shown is WebView2's side (navigation waits, the form's
rectangle, CookieManager, ScriptDialogOpening with its deferral, CapturePreviewAsync, results and
errors of ExecuteScriptWithResultAsync) and the protocol's error table."""

import base64
import json
import http.client
import re
import socket

import pytest

from panekit import framewell, glassport, helmwire
from simplatform.enums import FormBorderStyle, FormWindowState
from simplatform.pywebview_sim import edge_backend, pywebview_gui  # noqa: F401 - fixtures

START = "https://start.example/"
TOKEN = "t" * 43
EL = "element-6066-11e4-a52e-4f735466cecf"
DOC = "0123456789abcdef"


def fake_page(script, core=None):
    """The stand-in page: answers the in-page library's calls ("<library>()(op, args, frames)").
    DOC.5 is a file input, whose files are the ones `core` was given for it."""
    node = re.search(r'\("node",(\{.*?\}),\[', script)
    if node:  # the element itself, for Runtime.evaluate
        return json.dumps({"node": json.loads(node.group(1))["el"]})
    op, args, frames = re.search(r'\)\("(\w+)",(.*),(\[.*?\])\)$', script, re.S).groups()
    args = json.loads(args)
    if op == "find":
        if args["value"] == "[[":
            return json.dumps({"e": "invalid selector", "m": "not a valid CSS selector: [["})
        found = [{EL: DOC + ".1"}] if args["value"] == "#main" else []
        return json.dumps({"v": found})
    if op == "text":
        if not args["el"].startswith(DOC):
            return json.dumps({"e": "stale element reference", "m": "gone"})
        return json.dumps({"v": "hello"})
    if op == "execute":
        body = args["script"]
        if body == "throw":
            return json.dumps({"e": "javascript error", "m": "Error: boom"})
        if args.get("async"):
            return json.dumps({"v": {"p": "p1"}})
        ref = args["args"][0][EL] if args["args"] and isinstance(args["args"][0], dict) else None
        if ref == DOC + ".5" and "{file: true" in body:
            return json.dumps({"v": {"v": {"file": True, "multiple": False}}})
        if ref and "heard:" in body:  # the names of the files the input holds
            held = [re.split(r"[\\/]", f)[-1] for f in core.sim_files.get(ref, [])]
            return json.dumps({"v": {"v": {"held": held, "heard": None}}})
        return json.dumps({"v": {"v": args["args"]}})
    if op == "frame":  # .6 to .8 are frames of another origin (.6 the page's only one, .8 without
        # a name), .9 of this one
        n = args.get("el", "").rpartition(".")[2]
        cross = {"6": (None, True), "7": ("ads", False), "8": (None, False)}
        if n not in cross:
            return json.dumps({"v": args["el"]})
        return json.dumps({"v": {"ref": args["el"], "name": cross[n][0], "only": cross[n][1]}})
    if op == "origin":  # a frame's content box in the view
        return json.dumps({"v": {"x": 100, "y": 50, "width": 800, "height": 600}})
    if op == "view_rect":  # the element scrolled into view: its rectangle in the view
        return json.dumps({"v": {"x": 10, "y": 20, "width": 30, "height": 12, "scale": 1}})
    if op == "poll":
        return json.dumps({"v": {"v": "later"}})
    return json.dumps({"e": "unknown error", "m": "the stand-in page has no " + op})


class Host:
    def __init__(self, winsim, kind, gui):
        self.winsim, self.kind = winsim, kind
        from ctlsupport import free_port
        self.port = free_port()
        winsim.pretend_windows()
        winsim.titles.update({START: "Start", "https://a.example/": "Page A"})
        main = framewell.run_toolbar_main if kind == "framewell" else glassport.run_toolbar_main
        self.runner = winsim.start_ui_thread(main, start_url=START, control_port_override=self.port,
                                             name="MainThread")
        winsim.wait_until(lambda: helmwire.remote_ready(port=self.port).get("core"), what="the core")
        self.core = winsim.wait_core()
        self.core.sim_script_handler = lambda script: fake_page(script, self.core)
        self.form = gui.form if kind == "glassport" else winsim.forms[0]
        winsim.wait_until(lambda: not helmwire.remote_state(port=self.port)["loading"], what="the first page")
        assert helmwire.remote_reload(port=self.port, wait=5)["ok"]

    def call(self, method, path, body=None, token=None, raw=False):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            headers = {"Authorization": f"Bearer {token}"} if token else {}
            conn.request(method, path, None if body is None else json.dumps(body), headers)
            r = conn.getresponse()
            data = r.read()
            return (r.status, data) if raw else (r.status, json.loads(data)["value"])
        finally:
            conn.close()

    def session(self, **caps):
        status, value = self.call("POST", "/session", {"capabilities": {"alwaysMatch": caps}}, token=TOKEN)
        assert status == 200, value
        return "/session/" + value["sessionId"]


@pytest.fixture(params=["framewell", "glassport"])
def host(request, winsim, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PANEKIT_CONTROL_TOKEN", TOKEN)
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
        h.form.sim_close()
        assert h.runner.join() == 0


def test_a_session_steers_the_webview2_window(host):
    s = host.session()
    caps = host.call("GET", "/status")[1]
    assert caps["ready"] is False
    # navigation waits for the page; reads come from the core
    assert host.call("POST", s + "/url", {"url": "https://a.example/"}) == (200, None)
    assert host.call("GET", s + "/url") == (200, "https://a.example/")
    assert host.call("GET", s + "/title") == (200, "Page A")
    assert host.call("POST", s + "/back", {}) == (200, None)
    assert host.call("GET", s + "/title") == (200, "Start")
    # the form's rectangle and state
    status, rect = host.call("POST", s + "/window/rect", {"x": 10, "y": 20, "width": 640, "height": 480})
    assert status == 200 and rect == {"x": 10, "y": 20, "width": 640, "height": 480}
    assert (host.form.Left, host.form.Width) == (10, 640)
    assert host.call("POST", s + "/window/maximize", {})[0] == 200
    assert host.form.WindowState == FormWindowState.Maximized
    # full screen: frameless and maximised; leaving it (here by minimising) puts the frame back
    assert host.call("POST", s + "/window/fullscreen", {})[0] == 200
    assert (host.form.FormBorderStyle, host.form.WindowState) == (FormBorderStyle.None_, FormWindowState.Maximized)
    assert host.call("POST", s + "/window/minimize", {})[0] == 200
    assert (host.form.FormBorderStyle, host.form.WindowState) == (FormBorderStyle.Sizable, FormWindowState.Minimized)
    # cookies through the CookieManager
    assert host.call("POST", s + "/cookie", {"cookie": {"name": "a", "value": "1", "expiry": 2000000000}})[0] == 200
    status, cookie = host.call("GET", s + "/cookie/a")
    assert (status, cookie["value"], cookie["domain"], cookie["expiry"]) == (200, "1", "start.example", 2000000000)
    assert host.call("DELETE", s + "/cookie", None) == (200, None)
    assert host.call("GET", s + "/cookie") == (200, [])
    # a picture through CapturePreviewAsync
    status, png = host.call("GET", s + "/screenshot")
    assert status == 200 and base64.b64decode(png).startswith(b"\x89PNG")
    # an element's picture: its rectangle of the view, moved by the scroll offset into the
    # document's coordinates that Page.captureScreenshot's clip takes
    host.core.sim_scroll = (0, 500)
    status, png = host.call("GET", f"{s}/element/{DOC}.1/screenshot")
    png = base64.b64decode(png)
    assert status == 200 and png.startswith(b"\x89PNG") and png[16:24] == (30).to_bytes(4, "big") + (12).to_bytes(4, "big")
    assert host.core.sim_devtools[-1] == ("Page.captureScreenshot", {
        "format": "png", "clip": {"x": 10, "y": 520, "width": 30, "height": 12, "scale": 1}})
    # the page as a PDF through Page.printToPDF: centimetres to inches, the ranges as its text
    status, pdf = host.call("POST", s + "/print", {"orientation": "landscape", "page": {"width": 25.4, "height": 12.7},
                                                   "margin": {"top": 2.54}, "pageRanges": ["2-", 1]})
    pdf = base64.b64decode(pdf)
    assert status == 200 and pdf.startswith(b"%PDF-") and pdf.count(b"/MediaBox [0 0 360 720]") == 3
    method, params = host.core.sim_devtools[-1]
    assert (method, params["paperWidth"], params["paperHeight"], params["marginTop"], params["marginLeft"],
            params["pageRanges"], params["landscape"]) == ("Page.printToPDF", 10, 5, 1, 1 / 2.54, "1-", True)
    # script results and page errors through ExecuteScriptWithResultAsync
    assert host.call("POST", s + "/execute/sync", {"script": "x", "args": [1, "two"]}) == (200, [1, "two"])
    assert host.call("POST", s + "/execute/sync", {"script": "x", "args": ["\ud800"]}) == (200, ["\ud800"])
    assert host.call("POST", s + "/execute/async", {"script": "x", "args": []}) == (200, "later")
    status, found = host.call("POST", s + "/element", {"using": "css selector", "value": "#main"})
    assert host.call("GET", f"{s}/element/{found[EL]}/text") == (200, "hello")
    # dialogs through ScriptDialogOpening with its deferral, while the session holds them
    args = host.core.sim_dialog("Prompt", "name?", "x")
    assert host.call("GET", s + "/alert/text") == (200, "name?")
    assert host.call("POST", s + "/alert/text", {"text": "Ada"}) == (200, None)
    assert not args.sim_answered()
    assert host.call("POST", s + "/alert/accept", {}) == (200, None)
    assert args.sim_answered() and args.sim_result() == "Ada"
    args = host.core.sim_dialog("Confirm", "sure?")
    status, err = host.call("GET", s + "/title")
    assert (status, err["error"], err["data"]["text"]) == (500, "unexpected alert open", "sure?")
    assert args.sim_answered() and args.sim_result() is False
    # the session ends; the window stays, its dialogs are WebView2's own again
    assert host.call("DELETE", s) == (200, None)
    assert host.core.sim_dialog("Alert", "hi") is None
    assert helmwire.remote_navigate("https://a.example/", port=host.port, wait=5)["title"] == "Page A"


ERRORS = [  # (method, path after the session ("" for none), body) -> (HTTP status, error code)
    ("GET", "/nothing", None, 404, "unknown command"),
    ("PUT", "", None, None, None),  # not served at all (no PUT handler): the server's own 501
    ("POST", "/title", {}, 405, "unknown method"),
    ("GET", "!/session/00ff/title", None, 404, "invalid session id"),
    ("POST", "/url", {"url": 5}, 400, "invalid argument"),
    ("POST", "/element", {"using": "\ud800", "value": "x"}, 400, "invalid argument"),  # no Unicode text
    ("POST", "/element", {"using": "tag name", "value": "x\ud83d"}, 400, "invalid argument"),
    ("POST", "/actions", {"actions": [{"type": "key", "id": "\udfff", "actions": []}]}, 400, "invalid argument"),
    ("POST", "/timeouts", {"script": -1}, 400, "invalid argument"),
    ("POST", "/element", {"using": "css selector", "value": "[["}, 400, "invalid selector"),
    ("POST", "/element", {"using": "css selector", "value": "#none"}, 404, "no such element"),
    ("GET", f"/element/{'f' * 16}.1/text", None, 404, "stale element reference"),
    ("GET", f"/element/{'f' * 16}%2E1/text", None, 404, "stale element reference"),  # the variable decoded
    ("POST", "/execute/sync", {"script": "throw", "args": []}, 500, "javascript error"),
    ("POST", "/window", {"handle": "other"}, 404, "no such window"),
    ("POST", "/window/new", {}, 500, "unsupported operation"),
    ("POST", "/frame", {"id": "x"}, 400, "invalid argument"),
    ("GET", "/alert/text", None, 404, "no such alert"),
    ("GET", "/cookie/none", None, 404, "no such cookie"),
    ("POST", "/cookie", {"cookie": {"name": "a", "value": "1", "domain": "other.example"}}, 400, "invalid cookie domain"),
    ("POST", "!/session", {"capabilities": {"alwaysMatch": {"browserName": "other"}}}, 500, "session not created"),
]


@pytest.mark.parametrize("host", ["framewell"], indirect=True)  # the table is the driver's, not the host's
@pytest.mark.parametrize("method, path, body, status, error", ERRORS)
def test_error_table(host, method, path, body, status, error):
    s = host.session()
    target = path[1:] if path.startswith("!") else s + path
    if status is None:
        assert host.call(method, s, raw=True)[0] == 501
        return
    got, value = host.call(method, target, body, token=TOKEN)
    assert (got, value["error"]) == (status, error)


# What a page can hand back in place of the library's answer (its script can replace the library's
# hidden property): whatever it is, the command answers with an error of the protocol's table.
PAGE_ANSWERS = [  # (method, path after the session, body, the page's answer) -> (HTTP status, error code)
    ("GET", f"/element/{DOC}.1/text", None, '{"e": "made up", "m": "x"}', 500, "unknown error"),
    ("GET", f"/element/{DOC}.1/text", None, '{"e": "no such element"}', 404, "no such element"),
    ("GET", f"/element/{DOC}.1/text", None, '{"e": 5, "m": []}', 500, "unknown error"),
    ("POST", "/execute/sync", {"script": "x", "args": []}, '{"v": 5}', 500, "unknown error"),
    ("POST", "/execute/sync", {"script": "x", "args": []}, '{"v": {}}', 500, "unknown error"),
    ("POST", "/execute/async", {"script": "x", "args": []}, '{"v": {"q": []}}', 500, "unknown error"),
    ("GET", f"/element/{DOC}.1/screenshot", None, '{"v": {"x": "a", "y": null, "width": 1, "height": 1}}',
     500, "unknown error"),
    ("GET", f"/element/{DOC}.1/screenshot", None, '{"v": {"x": 1, "y": 1, "width": NaN, "height": 1}}',
     500, "unknown error"),
    ("POST", f"/element/{DOC}.1/click", {}, '{"v": {"v": {"x": "a", "y": []}}}', 500, "unknown error"),
    ("POST", "/frame", {"id": {EL: f"{DOC}.7"}}, '{"v": {"ref": 5, "name": [], "only": "yes"}}', 404, "no such frame"),
    ("POST", "/actions", {"actions": [{"type": "pointer", "id": "p", "actions": [
        {"type": "pointerMove", "x": 5, "y": 5}]}]}, '"xy"', 500, "unknown error"),  # the viewport's size
]


@pytest.mark.parametrize("host", ["framewell"], indirect=True)
@pytest.mark.parametrize("method, path, body, page, status, error", PAGE_ANSWERS)
def test_a_page_answering_in_place_of_the_library(host, winsim, method, path, body, page, status, error):
    s = host.session()
    host.core.sim_script_handler = lambda script: page
    got, value = host.call(method, s + path, body)
    assert (got, value["error"]) == (status, error), value
    assert not winsim.unhandled


def framed_page(label="framed", core=None):
    """The page of a frame of another origin: its library runs at the frame's own top. Its .7 is
    a frame of another origin named "inner" (placed at 7, 9 in it), .9 one of its own origin;
    <label>.5 is a file input, whose files are the ones `core` was given for it."""
    def page(script):
        node = re.search(r'\("node",(\{.*?\}),\[', script)
        if node:  # the element itself, for Runtime.evaluate: only this document's
            ref = json.loads(node.group(1))["el"]
            return json.dumps({"node": ref} if ref.startswith(label + ".") else None)
        if "{file: true" in script:
            return json.dumps({"v": {"v": {"file": True, "multiple": False}}})
        if "heard:" in script:
            held = [re.split(r"[\\/]", f)[-1] for f in core.sim_files.get(label + ".5", [])]
            return json.dumps({"v": {"v": {"held": held, "heard": None}}})
        op, args, frames = re.search(r'\)\("(\w+)",(.*),(\[.*?\])\)$', script, re.S).groups()
        if op == "frame":
            ref = json.loads(args)["el"]
            return json.dumps({"v": ref if ref.endswith(".9") else {"ref": ref, "name": "inner"}})
        if op == "origin":
            return json.dumps({"v": {"x": 7, "y": 9, "width": 300, "height": 200}})
        if op == "find":
            return json.dumps({"v": [{EL: label + ".3"}]})
        if op == "view_rect":
            return json.dumps({"v": {"x": 10, "y": 20, "width": 30, "height": 12, "scale": 1}})
        if op == "execute":  # Element Click's script: the element's centre in the frame's viewport
            return json.dumps({"v": {"v": {"x": 5, "y": 6}}})
        return json.dumps({"v": "%s %s %s" % (label, op, frames)})
    return page


def test_frames_of_another_origin_through_core_webview2_frame(host):
    s = host.session()
    ads = host.core.sim_frame("ads")
    ads.sim_script_handler = framed_page()
    frame = lambda n: ("POST", "/frame", {"id": {EL: f"{DOC}.{n}"}})
    text = ("GET", f"/element/{DOC}.1/text", None)
    parent = ("POST", "/frame/parent", {})
    steps = [  # (method, path, body) -> (status, value or error code)
        (frame(7), 200, None),
        (text, 200, "framed text []"),  # run in the CoreWebView2Frame, at its top
        (frame(7), 404, "no such frame"),  # another origin's frame inside it, not there yet
        (frame(9), 200, None),
        (text, 200, "framed text [\"%s.9\"]" % DOC),  # a frame of its own origin, through its page
        (("POST", f"/element/{DOC}.1/click", {}), 200, None),
        (("POST", "/frame/parent", {}), 200, None),
        (("POST", "/frame/parent", {}), 200, None),
        (text, 200, "hello"),  # the top document again
        (frame(8), 404, "no such frame"),  # no name to find it by, among several
        (frame(6), 200, None),  # the page's only frame needs none
        (text, 200, "framed text []"),
        (("POST", "/frame/parent", {}), 200, None),
    ]
    for (method, path, body), status, want in steps:
        got, value = host.call(method, s + path, body)
        assert (got, value if got == 200 else value["error"]) == (status, want), (path, value)
    # the pointer and the picture: the frame's place in the view (from the top document) is added
    pressed = [p for m, p in host.core.sim_devtools if m == "Input.dispatchMouseEvent" and p["type"] == "mousePressed"]
    assert (pressed[-1]["x"], pressed[-1]["y"]) == (105, 56)
    assert host.call("POST", s + "/frame", frame(7)[2]) == (200, None)
    assert host.call("GET", f"{s}/element/{DOC}.1/screenshot")[0] == 200
    assert host.core.sim_devtools[-1][1]["clip"] == {"x": 110, "y": 70, "width": 30, "height": 12, "scale": 1}
    assert host.call("POST", s + "/frame", {"id": None}) == (200, None)
    # a name two frames have is no match; a frame gone is no frame
    twin = host.core.sim_frame("ads")
    assert host.call("POST", s + "/frame", frame(7)[2])[1]["error"] == "no such frame"
    twin.sim_destroy()
    assert host.call("POST", s + "/frame", frame(7)[2]) == (200, None)
    # a frame of another origin inside that one, through the frame's own FrameCreated
    inner = ads.sim_frame("inner")
    inner.sim_script_handler = framed_page("inner")
    execute = ("POST", "/execute/sync", {"script": "return 1", "args": []})
    steps = [
        (("POST", "/frame", {"id": None}), 200, None),
        (frame(7), 200, None),
        (frame(7), 200, None),
        (text, 200, "inner text []"),
        (("POST", "/element", {"using": "css selector", "value": "#x"}), 200, {EL: "inner.3"}),
        (execute, 200, {"x": 5, "y": 6}),
        (("POST", f"/element/{DOC}.1/click", {}), 200, None),
        (frame(9), 200, None),  # and one of that frame's own origin inside it
        (text, 200, "inner text [\"%s.9\"]" % DOC),
        (frame(7), 404, "no such frame"),  # another origin's, below one of the frame's own
        (parent, 200, None),
        (parent, 200, None),
        (text, 200, "framed text []"),
        (frame(7), 200, None),
    ]
    for (method, path, body), status, want in steps:
        got, value = host.call(method, s + path, body)
        assert (got, value if got == 200 else value["error"]) == (status, want), (path, value)
    # each frame's place in the one around it is added up
    pressed = [p for m, p in host.core.sim_devtools if m == "Input.dispatchMouseEvent" and p["type"] == "mousePressed"]
    assert (pressed[-1]["x"], pressed[-1]["y"]) == (112, 65)
    ads.sim_destroy()  # its frames go with it
    for path in (text, parent, text):
        status, value = host.call(path[0], s + path[1], path[2])
        assert (status, value if status == 200 else value["error"]) == ((404, "no such frame") if path is text else (200, None))
    assert host.call("POST", s + "/frame", {"id": None}) == (200, None)
    assert host.call("GET", s + text[1]) == (200, "hello")


@pytest.mark.parametrize("host", ["framewell"], indirect=True)
@pytest.mark.parametrize("ref", [5, None, "\ud800"])
def test_a_frame_the_page_gives_no_reference_for_leaves_the_context_as_it_was(host, ref):
    s = host.session()
    ads = host.core.sim_frame("ads")
    ads.sim_script_handler = framed_page()
    text = f"{s}/element/{DOC}.1/text"
    host.core.sim_script_handler = lambda script: (json.dumps({"v": {"ref": ref, "only": True}})
                                                   if '"frame"' in script else fake_page(script))
    assert host.call("POST", s + "/frame", {"id": {EL: f"{DOC}.6"}})[1]["error"] == "no such frame"
    assert host.call("GET", text) == (200, "hello")  # still the top document
    assert host.call("POST", s + "/frame/parent", {}) == (200, None)
    assert host.call("GET", text) == (200, "hello")


def test_a_runtime_without_frames_in_frames_reaches_the_outer_frame_only(host, winsim):
    winsim.has_nested_frames = False  # CoreWebView2Frame.FrameCreated throws NotImplementedException
    s = host.session()
    ads = host.core.sim_frame("ads")
    ads.sim_script_handler = framed_page()
    ads.sim_frame("inner")
    frame = {"id": {EL: f"{DOC}.7"}}
    assert host.call("POST", s + "/frame", frame) == (200, None)
    assert host.call("GET", f"{s}/element/{DOC}.1/text") == (200, "framed text []")
    assert host.call("POST", s + "/frame", frame)[1]["error"] == "no such frame"


def test_a_file_input_is_given_its_files_through_the_devtools_protocol(host, tmp_path):
    s = host.session()
    one, two = tmp_path / "one.txt", tmp_path / "two.txt"
    one.write_text("1")
    two.write_text("2")
    keys = lambda text: host.call("POST", f"{s}/element/{DOC}.5/value", {"text": text})
    assert keys(str(one)) == (200, None), keys(str(one))
    # the element as a remote object, its files, the object let go; one call at a time
    assert host.core.sim_files == {DOC + ".5": [str(one)]}
    assert [m for m, _ in host.core.sim_devtools] == ["Runtime.evaluate", "DOM.setFileInputFiles",
                                                       "Runtime.releaseObjectGroup"]
    assert not host.core._remote_objects and not host.core.sim_devtools_overlaps
    assert keys(str(tmp_path / "none"))[1]["error"] == "invalid argument"
    assert keys(f"{one}\n{two}")[1]["error"] == "invalid argument"  # a single input


def test_a_file_input_in_a_frame_of_another_origin_through_its_devtools_target(host, tmp_path):
    s = host.session()
    one = tmp_path / "one.txt"
    one.write_text("1")
    ads = host.core.sim_frame("ads")
    ads.sim_script_handler = framed_page("ads", host.core)
    inner = ads.sim_frame("inner")
    inner.sim_script_handler = framed_page("inner", host.core)
    for _ in range(2):
        assert host.call("POST", s + "/frame", {"id": {EL: f"{DOC}.7"}}) == (200, None)
    keys = lambda: host.call("POST", f"{s}/element/inner.5/value", {"text": str(one)})
    assert keys() == (200, None)
    assert host.core.sim_files == {"inner.5": [str(one)]}
    # each iframe target in turn until the one whose document holds the element; every session
    # and remote object let go, one call at a time
    assert [m for m, _ in host.core.sim_devtools] == ["Target.getTargets"] + [
        "Target.attachToTarget", "Target.detachFromTarget"] * 2
    assert [(f._name, m) for f, m, _ in host.core.sim_session_calls] == [
        ("ads", "Runtime.evaluate"), ("ads", "Runtime.releaseObjectGroup"), ("inner", "Runtime.evaluate"),
        ("inner", "DOM.setFileInputFiles"), ("inner", "Runtime.releaseObjectGroup")]
    assert not host.core._sessions and not host.core._remote_objects and not host.core.sim_devtools_overlaps
    # a frame the browser keeps in its parent's target: no way to its file input
    inner.sim_own_target = False
    status, value = keys()
    assert (status, value["error"]) == (500, "unsupported operation")


def test_a_webdriver_client_keeps_its_connection(host):
    """WebDriver's commands answer HTTP/1.1 and keep the connection for the next command (a waited
    navigation, answered later, included); panekit's own routes and "Connection: close" still close it."""
    s = host.session()
    conn = http.client.HTTPConnection("127.0.0.1", host.port, timeout=10)
    try:
        def ask(method, path, body=None, headers=None):
            conn.request(method, path, None if body is None else json.dumps(body), headers or {})
            r = conn.getresponse()
            return r, r.read()
        first, _ = ask("GET", s + "/url")
        sock = conn.sock
        for method, path, body in [("POST", s + "/url", {"url": "https://a.example/"}), ("GET", s + "/title", None),
                                   ("GET", "/status", None)]:
            r, data = ask(method, path, body)
            assert (r.status, r.version, r.will_close, conn.sock) == (200, 11, False, sock), data
            assert r.getheader("Cache-Control") == "no-cache"  # answered at once or after its wait
        assert json.loads(ask("GET", s + "/title")[1])["value"] == "Page A"
        r, data = ask("GET", "/url")  # panekit's own route: HTTP/1.0, closed after the answer, its headers as ever
        assert (r.status, r.version, r.will_close, r.getheader("Cache-Control")) == (200, 10, True, None)
        r, _ = ask("GET", s + "/url", headers={"Connection": "close"})
        assert (first.version, r.version, r.will_close) == (11, 10, True)
    finally:
        conn.close()
    # two commands sent at once on one connection: both answered, in order
    with socket.create_connection(("127.0.0.1", host.port), timeout=10) as raw:
        ask = f"GET {s}/title HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        raw.sendall((ask + ask.replace("\r\n\r\n", "\r\nConnection: close\r\n\r\n")).encode())
        data = b""
        while chunk := raw.recv(65536):
            data += chunk
    assert data.count(b" 200 OK\r\n") == 2 and data.count(b'"Page A"') == 2
