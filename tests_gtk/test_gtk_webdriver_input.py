"""Selenium's Python client acts on the GTK window as a user would: clicks, typing, clearing,
action chains, the wheel and file inputs arrive as the user's own input (isTrusted, in a user's
order), and the protocol's refusals come as its errors."""

import json

import pytest

pytest.importorskip("selenium")
from selenium.common.exceptions import (  # noqa: E402
    ElementClickInterceptedException,
    ElementNotInteractableException,
    InvalidArgumentException,
    InvalidElementStateException,
    MoveTargetOutOfBoundsException,
    WebDriverException,
)
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.remote.file_detector import UselessFileDetector  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

from gtktier import PAGES  # noqa: E402
from test_gtk_webdriver import remote, token_of  # noqa: E402

LOG = ("<script>window.log = [];"
       "function rec(el, names) { names.split(' ').forEach(function (n) { el.addEventListener(n, function (e) {"
       " log.push(n + (e.key !== undefined ? '=' + e.key : '') + (e.isTrusted ? '' : '!')"
       " + (e.buttons !== undefined && /^(pointer|mouse)move$/.test(n) ? '@' + e.buttons : '')); }); }); }</script>")
PAGES.update({
    "/input.html": "<!doctype html><title>Input</title>" + LOG +
                   "<button id='go' style='width:120px;height:40px'>Go</button>"
                   "<div style='position:relative;width:120px;height:40px'><button id='under'>under</button>"
                   "<div id='cover' style='position:absolute;left:0;top:0;width:120px;height:40px'></div></div>"
                   "<button id='hidden' style='visibility:hidden'>hidden</button>"
                   "<input id='field'><textarea id='area'>old</textarea><div id='ce' contenteditable>edit</div>"
                   "<input id='box' type='checkbox'><select id='sel'><option>one</option><option>two</option></select>"
                   "<input id='file' type='file'><input id='files' type='file' multiple>"
                   # one that empties itself once it has its files; one whose click opens another's chooser
                   "<input id='emptied' type='file' onchange=\"this.value=''\"><input id='decoy' type='file'>"
                   "<input id='elsewhere' type='file' onclick=\"event.preventDefault();"
                   " document.getElementById('decoy').click()\">"
                   "<a id='link' href='/b.html'>to B</a>"
                   "<div id='drag' style='width:200px;height:60px;background:#ccc'></div>"
                   "<div style='height:3000px'></div>"
                   "<script>var go = document.getElementById('go'), f = document.getElementById('field');"
                   "rec(go, 'pointerdown mousedown focus pointerup mouseup click');"
                   "rec(f, 'keydown keyup input');"
                   "rec(document.getElementById('drag'), 'pointerdown pointermove pointerup');"
                   "rec(document.getElementById('file'), 'change');</script>",
})


@pytest.fixture
def page(open_window, site):
    w = open_window("/input.html")
    d = remote(w.port, **{"panekit:token": token_of(w.port)})
    try:
        yield w, d
    finally:
        d.quit()


def log(d):
    return d.execute_script("var l = window.log; window.log = []; return l;")


def test_click_is_the_users_own(page, site):
    w, d = page
    # (the first press also gives the page itself the focus, which focuses the button once more)
    d.find_element(By.ID, "field").click()
    d.find_element(By.ID, "go").click()
    # every event trusted (no "!"), in a user's order
    assert log(d) == ["pointerdown", "mousedown", "focus", "pointerup", "mouseup", "click"]
    assert d.switch_to.active_element == d.find_element(By.ID, "go")
    box = d.find_element(By.ID, "box")
    box.click()
    assert box.is_selected()
    Select(d.find_element(By.ID, "sel")).select_by_visible_text("two")
    assert d.execute_script("return document.getElementById('sel').value") == "two"
    with pytest.raises(ElementClickInterceptedException):
        d.find_element(By.ID, "under").click()
    with pytest.raises(ElementNotInteractableException):
        d.find_element(By.ID, "hidden").click()
    with pytest.raises(InvalidArgumentException):
        d.find_element(By.ID, "file").click()
    # a click that navigates answers once the new page has loaded
    d.find_element(By.ID, "link").click()
    assert (d.title, d.current_url) == ("B", site.url("/b.html"))


def test_typing_clearing_and_keys_outside_the_layout(page):
    w, d = page
    field = d.find_element(By.ID, "field")
    field.send_keys("abc" + Keys.ENTER + Keys.BACKSPACE)
    assert field.get_property("value") == "ab"
    keys = [e for e in log(d) if e.startswith("keydown")]
    assert keys == ["keydown=a", "keydown=b", "keydown=c", "keydown=Enter", "keydown=Backspace"]
    # modifiers stay down until the null key (a key the page leaves unhandled, Shift, does not
    # cost the next one); a second call types at the end
    field.send_keys(Keys.SHIFT + "x" + Keys.NULL + "y")
    assert field.get_property("value") == "abXy"
    log(d)
    # characters no key of the layout makes still come as trusted input
    field.send_keys("é中")
    assert field.get_property("value") == "abXyé中"
    assert [e for e in log(d) if e.startswith("input")] == ["input", "input"]
    field.clear()
    assert field.get_property("value") == ""
    area = d.find_element(By.ID, "area")
    area.send_keys(Keys.HOME + ">")
    assert area.get_property("value") == ">old"
    ce = d.find_element(By.ID, "ce")
    ce.send_keys("!")
    assert ce.text == "edit!"
    ce.clear()
    assert ce.text == ""
    with pytest.raises(InvalidElementStateException):
        d.find_element(By.ID, "go").clear()
    # what clearing takes: not a checkbox or a select; a read-only range is still mutable (to its
    # midpoint); a field already empty is left alone, without focus or events
    for other in ("box", "sel"):
        with pytest.raises(InvalidElementStateException):
            d.find_element(By.ID, other).clear()
    rng = d.execute_script("const r = document.createElement('input'); r.type = 'range'; r.value = 10;"
                           " r.readOnly = true; document.body.prepend(r); return r;")
    rng.clear()
    assert rng.get_property("value") == "50"
    log(d)
    field.clear()
    assert log(d) == []
    # the toolbar's address box was never typed into
    assert d.execute_script("return 1") == 1


def test_action_chains_drag_wheel_and_release(page):
    w, d = page
    drag = d.find_element(By.ID, "drag")
    d.execute_script("arguments[0].scrollIntoView()", drag)
    ActionChains(d).move_to_element(drag).click_and_hold().move_by_offset(50, 0).release().perform()
    events = log(d)
    assert events[0] == "pointermove@0" and "pointerdown" in events and events[-1] == "pointerup"
    assert "pointermove@1" in events  # moved with the button held
    before = d.execute_script("return window.scrollY")
    ActionChains(d).scroll_by_amount(0, 400).perform()
    # the engine may animate the scroll: wait until it has moved and come to rest
    d.execute_async_script("var done = arguments[0], t = Date.now(), last = -1; (function wait() {"
                           " if ((scrollY > %d && scrollY === last) || Date.now() - t > 3000) done();"
                           " else { last = scrollY; setTimeout(wait, 100); } })()" % before)
    assert d.execute_script("return window.scrollY") > before
    # a key held by one Perform Actions is let go by Release Actions
    field = d.find_element(By.ID, "field")
    field.click()
    log(d)
    ActionChains(d).key_down(Keys.SHIFT).perform()
    d.execute("clearActionState", {})
    assert log(d)[-1] == "keyup=Shift"
    with pytest.raises(MoveTargetOutOfBoundsException):
        ActionChains(d).move_by_offset(-10000, 0).perform()
    with pytest.raises(InvalidArgumentException):
        d.execute("actions", {"actions": [{"type": "pointer", "id": "m", "actions": [{"type": "pointerDown"}]}]})


def test_file_inputs(page, tmp_path):
    w, d = page
    d.file_detector = UselessFileDetector()
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text("A")
    b.write_text("B")
    one = d.find_element(By.ID, "file")
    one.send_keys(str(a))
    assert d.execute_script("return arguments[0].files[0].name", one) == "a.txt"
    assert "change" in log(d)
    with pytest.raises(InvalidArgumentException):
        one.send_keys(str(tmp_path / "missing.txt"))
    with pytest.raises(InvalidArgumentException):
        one.send_keys(f"{a}\n{b}")
    many = d.find_element(By.ID, "files")
    many.send_keys(f"{a}\n{b}")
    assert d.execute_script("return Array.from(arguments[0].files).map(f => f.name)", many) == ["a.txt", "b.txt"]
    # the files reached the input even though its page emptied it at once
    d.find_element(By.ID, "emptied").send_keys(str(a))
    # the engine gave them to another input: the input never got them, and the answer says so
    with pytest.raises(WebDriverException, match="did not receive the files") as failed:
        d.find_element(By.ID, "elsewhere").send_keys(str(b))
    assert type(failed.value) is WebDriverException  # "unknown error"
    assert d.execute_script("return document.getElementById('decoy').files[0].name") == "b.txt"


def test_the_address_box_keeps_the_users_typing(page, site):
    from gtktier import xdotool

    w, d = page
    # a person clicks into the address box of the active window
    xdotool("windowfocus", "--sync", w.xid)
    xdotool("mousemove", "--window", w.xid, 400, 26, "click", "1")
    field = d.find_element(By.ID, "field")
    field.click()
    field.send_keys("abc")
    # a key the page leaves unhandled (on a button) is not handed on to the toolbar either
    d.find_element(By.ID, "go").send_keys("q" + Keys.F6)
    assert field.get_property("value") == "abc"
    # the address box still has the keyboard and holds what it held, plus the person's own typing
    xdotool("key", "End")
    xdotool("type", "--delay", "20", "?mine")
    xdotool("key", "Return")
    w.wait_url(site.url("/input.html?mine"))
