"""Selenium's own Python client drives the GTK window over its control port: sessions and their
credentials, navigation, elements (every locator, from an element and a shadow root, gone stale),
script with element references, frames, cookies, dialogs, pictures, the window's rectangle, and
the window staying open and steerable after the session ends."""

import base64
import json
import time
import urllib.error
import urllib.request

import pytest

selenium = pytest.importorskip("selenium")
from selenium import webdriver  # noqa: E402
from selenium.common.exceptions import (  # noqa: E402
    InvalidCookieDomainException,
    InvalidSelectorException,
    JavascriptException,
    NoAlertPresentException,
    NoSuchCookieException,
    NoSuchElementException,
    NoSuchFrameException,
    NoSuchWindowException,
    SessionNotCreatedException,
    StaleElementReferenceException,
    TimeoutException,
    UnexpectedAlertPresentException,
    WebDriverException,
)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.remote.client_config import AuthType, ClientConfig  # noqa: E402
from selenium.webdriver.common.options import ArgOptions  # noqa: E402

from gtktier import PAGES  # noqa: E402

PAGES.update({
    "/wd.html": "<!doctype html><title>WD</title>"
                "<div id='main' class='box' style='color: rgb(1, 2, 3)'>Hello <b>there</b></div>"
                "<a href='/b.html'>to   B</a> <a href='/c.html'>see C page</a>"
                "<input id='check' type='checkbox' checked><input id='off' disabled value='x'>"
                "<p id='hidden' style='display:none'>secret</p>"
                "<div id='host'></div>"
                "<iframe id='fr' name='inner' src='/wd-frame.html'></iframe>"
                "<script>document.getElementById('host').attachShadow({mode:'open'}).innerHTML ="
                "\"<span class='in'>shadow text</span>\"; var fromPage = 'the page';</script>",
    "/wd-frame.html": "<!doctype html><title>Frame</title><p id='inframe'>inside the frame</p>",
    # a page that replaces its window's event methods before any WebDriver script runs in it
    "/wd-hostile.html": "<!doctype html><title>Hostile</title><p id='p'>text</p><script>"
                        "window.addEventListener = window.removeEventListener = () => {};"
                        "document.dispatchEvent = () => false; document.getElementById('p').custom = {n: 1};"
                        "</script>",
})


class Options(ArgOptions):
    @property
    def default_capabilities(self):
        return {}


def token_of(port):
    from panekit import helmwire

    if hasattr(helmwire, "control_token"):
        return helmwire.control_token(port=port)
    import os
    from pathlib import Path
    folder = Path(os.environ["XDG_RUNTIME_DIR"]) / "panekit"
    return json.loads((folder / f"control-{port}.json").read_text())["token"]


def remote(port, token=None, **caps):
    config = ClientConfig(remote_server_addr=f"http://127.0.0.1:{port}", auth_type=AuthType.BEARER, token=token) \
        if token else ClientConfig(remote_server_addr=f"http://127.0.0.1:{port}")
    options = Options()
    for k, v in caps.items():
        options.set_capability(k, v)
    return webdriver.Remote(command_executor=f"http://127.0.0.1:{port}", options=options, client_config=config)


def raw(port, method, path, body=None, token=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method)
    if token:
        req.add_header("Authorization", f"Bearer {token}")
    try:
        with urllib.request.urlopen(req, timeout=20) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


@pytest.fixture
def driven(open_window, site):
    w = open_window("/wd.html")
    d = remote(w.port, token_of(w.port))
    # the window is ready once its address is shown; its frame may still be loading then
    for _ in range(500):
        if d.execute_script("return document.readyState") == "complete":
            break
        time.sleep(0.01)
    try:
        yield w, d
    finally:
        try:
            d.quit()
        except WebDriverException:
            pass


def test_sessions_need_the_token_and_come_one_at_a_time(open_window, site):
    w = open_window("/a.html")
    status, body = raw(w.port, "GET", "/status")
    assert status == 200 and body["value"]["ready"] is True
    with pytest.raises(SessionNotCreatedException):
        remote(w.port)  # no token
    status, body = raw(w.port, "POST", "/session", {"capabilities": {"alwaysMatch": {"browserName": "firefox"}}},
                       token=token_of(w.port))
    assert (status, body["value"]["error"]) == (500, "session not created")
    status, body = raw(w.port, "POST", "/session", {"capabilities": {"alwaysMatch": {"pageLoadStrategy": "slow"}}},
                       token=token_of(w.port))
    assert (status, body["value"]["error"]) == (400, "invalid argument")
    # the token as a capability, for clients that cannot set headers
    d = remote(w.port, **{"panekit:token": token_of(w.port)})
    assert d.capabilities["browserName"] == "panekit"
    assert d.capabilities["panekit:controlPort"] == w.port
    assert "panekit:token" not in d.capabilities
    assert raw(w.port, "GET", "/status")[1]["value"]["ready"] is False
    with pytest.raises(SessionNotCreatedException):
        remote(w.port, token_of(w.port))
    # another session's id is no credential
    status, body = raw(w.port, "GET", "/session/" + "0" * 40 + "/url")
    assert (status, body["value"]["error"]) == (404, "invalid session id")
    assert len(d.session_id) >= 32
    d.quit()
    # the window stays open and steerable
    from panekit import helmwire
    assert helmwire.remote_navigate(site.url("/b.html"), port=w.port, wait=10)["ok"]
    d2 = remote(w.port, token_of(w.port))
    assert d2.title == "B"
    d2.quit()


def test_navigation_and_page_reads(driven, site):
    w, d = driven
    d.get(site.url("/a.html"))
    assert (d.current_url, d.title) == (site.url("/a.html"), "A")
    d.get(site.url("/b.html"))
    d.back()
    assert d.title == "A"
    d.forward()
    assert d.title == "B"
    d.refresh()
    assert "Page B" in d.page_source
    assert d.current_window_handle in d.window_handles
    with pytest.raises(NoSuchWindowException):
        d.switch_to.window("another")
    status, body = raw(w.port, "POST", f"/session/{d.session_id}/window/new", {})
    assert (status, body["value"]["error"]) == (500, "unsupported operation")
    d.set_page_load_timeout(1)
    site.gates["/held1"] = gate = __import__("threading").Event()
    with pytest.raises(TimeoutException):
        d.get(site.url("/held1"))
    gate.set()


def test_elements(driven, site):
    w, d = driven
    main = d.find_element(By.ID, "main")
    assert main == d.find_element(By.CSS_SELECTOR, "div.box")  # the same reference
    assert main.text == "Hello there"
    assert main.tag_name == "div"
    assert main.get_attribute("class") == "box"
    assert main.get_dom_attribute("id") == "main"
    assert main.get_property("id") == "main"
    assert main.value_of_css_property("color") == "rgb(1, 2, 3)"
    assert main.is_displayed() and main.is_enabled()
    rect = main.rect
    assert rect["width"] > 0 and rect["height"] > 0
    assert d.find_element(By.LINK_TEXT, "to B").get_attribute("href").endswith("/b.html")
    assert d.find_element(By.PARTIAL_LINK_TEXT, "C pa").text == "see C page"
    assert d.find_element(By.TAG_NAME, "b").text == "there"
    assert d.find_element(By.XPATH, "//b").text == "there"
    assert main.find_element(By.TAG_NAME, "b").text == "there"
    assert len(d.find_elements(By.TAG_NAME, "input")) == 2
    assert d.find_elements(By.CSS_SELECTOR, "nothing") == []
    assert d.find_element(By.ID, "check").is_selected()
    assert not d.find_element(By.ID, "off").is_enabled()
    hidden = d.find_element(By.ID, "hidden")
    assert not hidden.is_displayed() and hidden.text == ""
    with pytest.raises(NoSuchElementException):
        d.find_element(By.ID, "nope")
    with pytest.raises(InvalidSelectorException):
        d.find_element(By.CSS_SELECTOR, "[[")
    with pytest.raises(InvalidSelectorException):
        d.find_element(By.XPATH, "//*[")
    shadow = d.find_element(By.ID, "host").shadow_root
    assert shadow.find_element(By.CSS_SELECTOR, ".in").text == "shadow text"
    # a host's text is its shadow tree's as rendered, slots filled with what is assigned to them
    assert d.find_element(By.ID, "host").text == "shadow text"
    d.execute_script("const h = document.createElement('div'); h.id = 'slotted'; h.textContent = 'light';"
                     "h.attachShadow({mode: 'open'}).innerHTML = '<b>[</b><slot>fallback</slot><i hidden>x</i>]';"
                     "document.body.append(h);")
    assert d.find_element(By.ID, "slotted").text == "[light]"
    # implicit waits find what comes later
    d.implicitly_wait(3)
    d.execute_script("setTimeout(() => { const p = document.createElement('p'); p.id = 'late';"
                     " document.body.append(p); }, 300)")
    assert d.find_element(By.ID, "late")
    d.implicitly_wait(0)
    # gone stale: removed, then a document left behind
    d.execute_script("arguments[0].remove()", main)
    with pytest.raises(StaleElementReferenceException):
        main.text
    check = d.find_element(By.ID, "check")
    d.refresh()
    with pytest.raises(StaleElementReferenceException):
        check.tag_name
    assert d.switch_to.active_element.tag_name == "body"


def test_script(driven):
    w, d = driven
    assert d.execute_script("return 1 + arguments[0]", 41) == 42
    odd = "quotes ' \" and \\ back\nslash, \u00e9\u2028\U0001f600 \x00\x7f"
    assert d.execute_script("return [arguments[0], arguments[0].length]", odd) == [odd, len(odd.encode("utf-16-le")) // 2]
    assert d.execute_script("return [document.title, {a: null}]") == ["WD", {"a": None}]
    main = d.execute_script("return document.getElementById('main')")
    assert main.get_attribute("id") == "main"
    assert d.execute_script("return arguments[0].id", main) == "main"
    assert d.execute_script("return Promise.resolve(7)") == 7
    assert d.execute_async_script("const done = arguments[arguments.length - 1]; setTimeout(() => done('later'), 50)") == "later"
    with pytest.raises(JavascriptException, match="boom"):
        d.execute_script("throw new Error('boom')")
    d.set_script_timeout(0.2)
    for _ in range(2):  # the second time-out too: the watches' tick starts again after the first ends
        with pytest.raises(TimeoutException):
            d.execute_async_script("/* never calls back */")


def test_the_registry_is_out_of_the_page_reach(driven):
    w, d = driven
    main = d.find_element(By.ID, "main")
    host = d.find_element(By.ID, "host")
    # the page's script sees nothing of it, and what it changes of its own world breaks nothing
    seen = d.execute_script(
        "const names = o => Object.getOwnPropertyNames(o).filter(n => /panekit|wd/i.test(n));"
        "const found = [...names(window), ...names(document), ...names(arguments[0])];"
        "Map.prototype.get = WeakMap.prototype.get = () => undefined;"
        "Element.prototype.querySelectorAll = Document.prototype.querySelectorAll = () => [];"
        "Object.defineProperty = () => { throw new Error('no'); };"
        "return [found, fromPage];", main)
    assert seen == [[], "the page"]  # and the script ran in the page's world, beside its globals
    assert d.find_element(By.ID, "main") == main
    assert main.text == "Hello there"
    # elements and shadow roots cross both ways
    shadow = host.shadow_root
    assert d.execute_script("return arguments[0]", shadow) == shadow
    assert d.execute_script("return arguments[0].host", shadow) == host
    inner = d.execute_script("return arguments[0].querySelector('.in')", shadow)
    assert inner == shadow.find_element(By.CSS_SELECTOR, ".in") and inner.text == "shadow text"
    assert d.execute_script("return [arguments[0].id, {x: arguments[1]}]", main, [host]) == ["main", {"x": [host]}]
    assert d.execute_async_script("arguments[1](arguments[0].parentNode)", inner) == shadow
    assert d.execute_script("return Promise.resolve(document.body)").tag_name == "body"
    # a node the script made and never attached has no reference; a removed one is stale
    with pytest.raises(StaleElementReferenceException):
        d.execute_script("return document.createElement('i')")
    d.execute_script("arguments[0].remove()", main)
    with pytest.raises(StaleElementReferenceException):
        d.execute_script("return arguments[0]", main)
    # in a frame: its own nodes, and one of the frame returned from the top document
    d.switch_to.frame("inner")
    para = d.execute_script("return document.getElementById('inframe')")
    assert para.text == "inside the frame" and d.execute_script("return arguments[0].id", para) == "inframe"
    d.switch_to.default_content()
    assert d.execute_script("return frames[0].document.getElementById('inframe')") == para
    with pytest.raises(NoSuchElementException):
        d.execute_script("return arguments[0]", para)  # not of the top document's browsing context
    # a frame's window crosses both ways as a frame reference
    frame = d.execute_script("return frames[0]")
    assert list(frame) == ["frame-075b-4da1-b6ba-e579c2d3230a"]
    assert d.execute_script("return arguments[0] === frames[0]", frame) is True
    d.refresh()
    with pytest.raises(StaleElementReferenceException):
        d.execute_script("return arguments[0]", host)


def test_pages_own_properties_and_event_methods(driven, site):
    w, d = driven
    main = d.find_element(By.ID, "main")
    # a property the page's script set is read where that script sees it
    d.execute_script("arguments[0].custom = {n: [1, arguments[0]]}", main)
    assert main.get_property("custom") == {"n": [1, main]}
    assert main.get_property("nothing") is None
    d.get(site.url("/wd-hostile.html"))
    p = d.find_element(By.ID, "p")
    assert p.get_property("custom") == {"n": 1}
    assert d.execute_script("return arguments[0].textContent", p) == "text"


def test_frames(driven):
    w, d = driven
    d.switch_to.frame("inner")
    assert d.find_element(By.ID, "inframe").text == "inside the frame"
    d.switch_to.parent_frame()
    assert d.find_element(By.ID, "main")
    d.switch_to.frame(0)
    assert d.execute_script("return document.title") == "Frame"
    d.switch_to.default_content()
    d.switch_to.frame(d.find_element(By.ID, "fr"))
    assert d.find_element(By.TAG_NAME, "p").text == "inside the frame"
    d.switch_to.default_content()
    with pytest.raises(NoSuchFrameException):
        d.switch_to.frame(5)


def test_cookies_pictures_and_the_window(driven, site):
    w, d = driven
    d.add_cookie({"name": "flavour", "value": "oat"})
    assert d.get_cookie("flavour")["value"] == "oat"
    assert "flavour" in {c["name"] for c in d.get_cookies()}
    d.delete_cookie("flavour")
    assert d.get_cookie("flavour") is None
    with pytest.raises(InvalidCookieDomainException):
        d.add_cookie({"name": "x", "value": "y", "domain": "example.org"})
    png = base64.b64decode(d.get_screenshot_as_base64())
    assert png.startswith(b"\x89PNG")
    el = d.find_element(By.ID, "main").screenshot_as_png
    assert el.startswith(b"\x89PNG") and len(el) < len(png)
    d.fullscreen_window()
    r = d.set_window_rect(width=700, height=500)  # leaves full screen first
    assert (r["width"], r["height"]) == (700, 500)
    assert d.get_window_rect()["width"] == 700
    for width, height in ((0, 0), (0.4, 300), (300, 0)):  # below a pixel: the smallest window there is
        r = d.execute("setWindowRect", {"width": width, "height": height})["value"]
        assert r["width"] >= 1 and r["height"] >= 1
    assert "Gtk-CRITICAL" not in w.output()


def _pdf_pages(pdf):
    """The page sizes (points, from each page's MediaBox) of a PDF the engine wrote."""
    import re
    pages = [m for m in re.finditer(rb"/Type\s*/Page[^s]", pdf)]
    boxes = [tuple(round(float(v)) for v in m.group(1).split()) for m in re.finditer(
        rb"/MediaBox\s*\[\s*([-\d.\s]+)\]", pdf)]
    return len(pages), {b[2:] for b in boxes}


def test_print_page(driven, site):
    from selenium.webdriver.common.print_page_options import PrintOptions

    w, d = driven
    d.execute_script("document.body.insertAdjacentHTML('beforeend', '<p>' + 'lorem ipsum '.repeat(3000) + '</p>')")
    whole = base64.b64decode(d.print_page())
    assert whole.startswith(b"%PDF-")
    count, sizes = _pdf_pages(whole)
    assert count >= 3 and sizes == {(612, 792)}  # US Letter, the protocol's default page
    options = PrintOptions()
    options.orientation = "landscape"
    options.page_ranges = ["2-3"]
    options.page_width, options.page_height = 10.0, 20.0
    count, sizes = _pdf_pages(base64.b64decode(d.print_page(options)))
    assert count == 2 and sizes == {(567, 283)}  # 20 x 10 cm, turned
    # What the protocol refuses, before anything is printed.
    tok, sid = token_of(w.port), d.session_id
    for body in ({"orientation": "sideways"}, {"scale": 3}, {"scale": True}, {"background": 1},
                 {"page": {"width": 0.01}}, {"margin": {"top": -1}}, {"shrinkToFit": None},
                 {"pageRanges": "1-2"}, {"pageRanges": ["3-1"]}, {"pageRanges": ["1-2-3"]}, {"pageRanges": ["x"]},
                 {"pageRanges": [1.5]}, {"pageRanges": [-1]}):
        status, answer = raw(w.port, "POST", f"/session/{sid}/print", body, token=tok)
        assert (status, answer["value"]["error"]) == (400, "invalid argument"), body


def test_dialogs(driven):
    w, d = driven
    with pytest.raises(NoAlertPresentException):
        d.switch_to.alert.text
    d.execute_script("setTimeout(() => { window.answer = prompt('name?', 'x'); }, 0)")
    alert = __import__("gtktier").wait_until(lambda: _alert(d), "the prompt")
    assert alert.text == "name?"
    alert.send_keys("Ada")
    alert.accept()
    assert d.execute_script("return window.answer") == "Ada"
    # a dialog left open is dismissed by the next command, which says so
    d.execute_script("setTimeout(() => alert('hi'), 0)")
    __import__("gtktier").wait_until(lambda: _alert(d), "the alert")
    with pytest.raises(UnexpectedAlertPresentException):
        d.title
    assert d.title == "WD"


def _alert(d):
    try:
        a = d.switch_to.alert
        a.text
        return a
    except NoAlertPresentException:
        return None


def test_protocol_errors(open_window):
    w = open_window("/a.html")
    tok = token_of(w.port)
    status, body = raw(w.port, "GET", "/session/x/nothing-here")
    assert (status, body["value"]["error"]) == (404, "unknown command")
    status, body = raw(w.port, "PUT" if False else "DELETE", "/status")
    assert status in (404, 405)
    status, body = raw(w.port, "POST", "/session", {"capabilities": {"firstMatch": []}}, token=tok)
    assert (status, body["value"]["error"]) == (400, "invalid argument")
    status, body = raw(w.port, "POST", "/session", {"capabilities": {"alwaysMatch": {"browserName": "panekit"},
                                                                     "firstMatch": [{"browserName": "panekit"}]}}, token=tok)
    assert (status, body["value"]["error"]) == (400, "invalid argument")
    status, body = raw(w.port, "POST", "/session", {"capabilities": {"firstMatch": [{"browserName": "x"}, {}]}},
                       token=tok)
    assert status == 200
    sid = body["value"]["sessionId"]
    status, body = raw(w.port, "POST", f"/session/{sid}/element", {"using": "id", "value": "x"})
    assert (status, body["value"]["error"]) == (400, "invalid argument")
    # a reference of a document the top browsing context left behind, and one of another context
    status, body = raw(w.port, "GET", f"/session/{sid}/element/{'0' * 16}{'f' * 16}.1/text")
    assert (status, body["value"]["error"]) == (404, "stale element reference")
    status, body = raw(w.port, "GET", f"/session/{sid}/element/{'f' * 32}.1/text")
    assert (status, body["value"]["error"]) == (404, "no such element")
    # every answer, an error's too, tells caches not to keep it
    for path in (f"/session/{sid}/title", f"/session/{sid}/element/nonsense/text", "/status"):
        req = urllib.request.Request(f"http://127.0.0.1:{w.port}{path}")
        try:
            headers = urllib.request.urlopen(req, timeout=20).headers
        except urllib.error.HTTPError as e:
            headers = e.headers
        assert headers["Cache-Control"] == "no-cache" and headers["Content-Type"] == "application/json; charset=utf-8"
    status, body = raw(w.port, "GET", f"/session/{sid}/element/nonsense/text")
    assert (status, body["value"]["error"]) == (404, "no such element")
    assert raw(w.port, "DELETE", f"/session/{sid}")[0] == 200


def test_close_window_closes_it_as_its_user_would(open_window):
    w = open_window("/a.html")
    d = remote(w.port, token_of(w.port))
    assert d.close() is None or True
    assert w.proc.wait(20) == 0


def test_the_readme_example_runs(open_window, site, capsys):
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("### Steering the window with Selenium", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    w = open_window("/a.html")
    code = code.replace("18765", str(w.port)).replace("https://example.com/", site.url("/b.html"))
    exec(compile(code, "README.md", "exec"), {})
    assert capsys.readouterr().out.strip() == "B Page B"
