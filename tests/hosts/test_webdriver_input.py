"""WebDriver input on the WebView2 hosts: actions become the DevTools protocol's Input calls through
CoreWebView2.CallDevToolsProtocolMethodAsync, one at a time and in the order of their ticks; bad
bodies change nothing."""

import http.client
import importlib.util
import json
import pathlib

import pytest

from simplatform.pywebview_sim import edge_backend, pywebview_gui  # noqa: F401 - fixtures

# The hosts' fixture (a running host of either kind) from the page-state tests beside this file.
_spec = importlib.util.spec_from_file_location("hosts_page_state", pathlib.Path(__file__).with_name("test_page_state.py"))
_page_state = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_page_state)
host = _page_state.host

E = "element-6066-11e4-a52e-4f735466cecf"


def call(h, method, path, body=None, token=None):
    conn = http.client.HTTPConnection("127.0.0.1", h.port, timeout=20)
    try:
        conn.request(method, path, body=None if body is None else json.dumps(body),
                     headers={"Authorization": f"Bearer {token}"} if token else {})
        r = conn.getresponse()
        return r.status, json.loads(r.read())["value"]
    finally:
        conn.close()


@pytest.fixture
def session(host, _runtime_folder):  # noqa: F811
    token = json.loads((_runtime_folder / "panekit" / f"control-{host.port}.json").read_text())["token"]
    status, value = call(host, "POST", "/session", {"capabilities": {}}, token)
    assert status == 200, value
    host.core.sim_scripts["[window.innerWidth, window.innerHeight]"] = "[800,600]"
    sid = value["sessionId"]
    yield host, f"/session/{sid}"
    call(host, "DELETE", f"/session/{sid}")


def sent(h):
    calls = h.ui(lambda: list(h.core.sim_devtools))
    h.ui(h.core.sim_devtools.clear)
    return calls


def key(kind, value):
    return {"type": kind, "value": value}


def test_actions_become_devtools_input_in_tick_order(session):
    h, s = session
    actions = [
        {"type": "key", "id": "kb", "actions": [key("keyDown", "\ue008"), key("keyDown", "a"), key("keyUp", "a"),
                                                 key("keyUp", "\ue008"), key("keyDown", "é"), key("keyUp", "é")]},
        {"type": "pointer", "id": "mouse", "actions": [
            {"type": "pointerMove", "x": 10, "y": 20}, {"type": "pointerDown", "button": 0},
            {"type": "pointerMove", "x": 5, "y": 0, "origin": "pointer"}, {"type": "pointerUp", "button": 0}]},
        {"type": "wheel", "id": "wheel", "actions": [{"type": "pause"}, {"type": "pause", "duration": 0},
                                                      {"type": "scroll", "x": 1, "y": 2, "deltaX": 0, "deltaY": 120}]},
    ]
    assert call(h, "POST", s + "/actions", {"actions": actions}) == (200, None)
    mouse, kbd = "Input.dispatchMouseEvent", "Input.dispatchKeyEvent"
    assert sent(h) == [
        (kbd, {"type": "rawKeyDown", "key": "Shift", "code": "ShiftLeft", "windowsVirtualKeyCode": 16,
               "location": 1, "modifiers": 8}),
        (mouse, {"type": "mouseMoved", "x": 10.0, "y": 20.0, "modifiers": 8, "button": "none", "buttons": 0}),
        (kbd, {"type": "keyDown", "key": "a", "code": "KeyA", "windowsVirtualKeyCode": 65, "location": 0,
               "modifiers": 8, "text": "a", "unmodifiedText": "a"}),
        (mouse, {"type": "mousePressed", "x": 10.0, "y": 20.0, "modifiers": 8, "button": "left", "buttons": 1,
                 "clickCount": 1}),
        (kbd, {"type": "keyUp", "key": "a", "code": "KeyA", "windowsVirtualKeyCode": 65, "location": 0, "modifiers": 8}),
        (mouse, {"type": "mouseMoved", "x": 15.0, "y": 20.0, "modifiers": 8,
                 "button": "none", "buttons": 1}),
        (mouse, {"type": "mouseWheel", "x": 1.0, "y": 2.0, "deltaX": 0.0, "deltaY": 120.0, "modifiers": 8}),
        (kbd, {"type": "keyUp", "key": "Shift", "code": "ShiftLeft", "windowsVirtualKeyCode": 16, "location": 1,
               "modifiers": 0}),
        (mouse, {"type": "mouseReleased", "x": 15.0, "y": 20.0, "modifiers": 0, "button": "left", "buttons": 0,
                 "clickCount": 1}),
        # no key of the keyboard makes "é": the protocol's text insertion, nothing to release
        ("Input.insertText", {"text": "é"}),
    ]
    assert h.ui(lambda: h.core.sim_devtools_overlaps) == []


def test_release_actions_undoes_what_is_held_in_reverse(session):
    h, s = session
    actions = [{"type": "key", "id": "kb", "actions": [key("keyDown", "\ue009"), key("keyDown", "x")]},
               {"type": "pointer", "id": "m", "actions": [{"type": "pointerDown", "button": 2}]}]
    assert call(h, "POST", s + "/actions", {"actions": actions}) == (200, None)
    sent(h)
    assert call(h, "DELETE", s + "/actions") == (200, None)
    undone = [(p["type"], p.get("key", p.get("button"))) for _, p in sent(h)]
    # pressed in tick order (Control, right button | x): released from the last one back
    assert undone == [("keyUp", "x"), ("mouseReleased", "right"), ("keyUp", "Control")]
    assert call(h, "DELETE", s + "/actions") == (200, None)
    assert sent(h) == []  # nothing held any more


@pytest.mark.parametrize("actions", [
    "keys",
    [{"type": "finger", "id": "f", "actions": []}],
    [{"type": "key", "id": 3, "actions": []}],
    [{"type": "key", "id": "k", "actions": [key("keyDown", "ab")]}],
    [{"type": "key", "id": "k", "actions": [{"type": "pause", "duration": -1}]}],
    # beyond what a script's Number holds exactly, beyond a double, no number at all
    [{"type": "key", "id": "k", "actions": [{"type": "pause", "duration": 2**53}]}],
    [{"type": "none", "id": "n", "actions": [{"type": "pause", "duration": 10**400}]}],
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerMove", "x": float("nan"), "y": 0}]}],
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerMove", "x": 1, "y": -10**400}]}],
    [{"type": "wheel", "id": "w", "actions": [{"type": "scroll", "x": 0, "y": 0, "deltaX": 0, "deltaY": 10**400}]}],
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerDown"}]}],
    [{"type": "pointer", "id": "p", "parameters": {"pointerType": "stylus"}, "actions": []}],
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerMove", "x": "1", "y": 0}]}],
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerMove", "x": 1, "y": 0, "origin": "window"}]}],
    [{"type": "wheel", "id": "w", "actions": [{"type": "scroll", "x": 0, "y": 0, "deltaX": 0, "deltaY": 1,
                                               "origin": "pointer"}]}],
    [{"type": "wheel", "id": "w", "actions": [{"type": "scroll", "x": 0.5, "y": 0, "deltaX": 0, "deltaY": 1}]}],
    # a size beyond what a Number holds exactly, and null parameters (no object)
    [{"type": "pointer", "id": "p", "actions": [{"type": "pointerDown", "button": 0, "width": 2 ** 53}]}],
    [{"type": "pointer", "id": "p", "parameters": None, "actions": []}],
    # one id, two kinds of source
    [{"type": "key", "id": "same", "actions": []}, {"type": "pointer", "id": "same", "actions": []}],
    # a valid first sequence is not run when a later one is bad
    [{"type": "key", "id": "k", "actions": [key("keyDown", "a")]}, {"type": "none", "id": "n",
                                                                     "actions": [key("keyDown", "a")]}],
])
def test_bad_actions_are_refused_before_anything_is_sent(session, actions):
    h, s = session
    status, value = call(h, "POST", s + "/actions", {"actions": actions})
    assert (status, value["error"]) == (400, "invalid argument")
    assert sent(h) == []


def test_a_move_outside_the_viewport_fails_with_what_came_before_it_sent(session):
    h, s = session
    actions = [{"type": "pointer", "id": "m", "actions": [
        {"type": "pointerMove", "x": 799, "y": 599}, {"type": "pointerMove", "x": 2, "y": 0, "origin": "pointer"}]}]
    status, value = call(h, "POST", s + "/actions", {"actions": actions})
    assert (status, value["error"]) == (500, "move target out of bounds")
    assert [p["x"] for _, p in sent(h)] == [799.0]


def test_the_end_of_a_session_lets_go_of_what_it_holds(session):
    h, s = session
    actions = [{"type": "key", "id": "kb", "actions": [key("keyDown", "\ue00a")]}]
    assert call(h, "POST", s + "/actions", {"actions": actions}) == (200, None)
    sent(h)
    assert call(h, "DELETE", s) == (200, None)
    h.winsim.wait_until(lambda: h.ui(lambda: len(h.core.sim_devtools)) > 0, what="the key's release")
    assert [(p["type"], p["key"]) for _, p in sent(h)] == [("keyUp", "Alt")]
