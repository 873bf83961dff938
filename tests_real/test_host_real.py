"""The WinForms host on real Windows Forms: run_toolbar_main with the real pywebview package's
WebView2 SDK assemblies, steered over real HTTP and real input events. Mono has no WebView2
loader, so creating the browser core fails and the host runs in its initialisation-failed state:
the window stays, navigations queue, history does nothing."""

import os
import signal
import socket
import subprocess
import sys
import threading
import urllib.request

import pytest

from panekit import framewell, helmwire

GREY = (243, 243, 243)
SDK = ("Microsoft.Web.WebView2.Core.dll", "Microsoft.Web.WebView2.WinForms.dll")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def host_env(real, monkeypatch, tmp_path):
    """sys.platform reads "win32" for the test; the settings come from the test alone. Gives
    pywebview's real webview.util."""
    import webview.util

    # The client's opener is built while the platform is still itself (on "win32" its TLS set-up
    # reads the Windows certificate store).
    monkeypatch.setattr(urllib.request, "_opener", urllib.request.build_opener())
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("Path", "/base")
    for name in ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT",
                 "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY",
                 "PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT"):
        monkeypatch.delenv(name, raising=False)
    return webview.util


class Host:
    """run_toolbar_main on a UI thread of its own. The toolbar call is watched to learn the form
    and the holder; the browser control's initialisation results are recorded beside the host's
    own handler (subscribed after it, when the window is first shown)."""

    def __init__(self, real, monkeypatch, **kw):
        self.real, self.inits, self.ui_thread, self.shown = real, [], None, None
        toolbar = framewell.attach_edge_chrome_toolbar

        def watched(wf, drawing, form, holder, **callbacks):
            self.form, self.holder = form, holder
            window.adopt(form)
            form.Shown += watch_init
            self.top, self.addr = toolbar(wf, drawing, form, holder, **callbacks)
            return self.top, self.addr

        def watch_init(sender, args):
            # The layout as the window is first shown, before any paint: on Mono the browser
            # control's first paint fails and hides it, so a read after that races the paint.
            self.shown = dict(self._read_layout(), paint_failures=len(self.real.thread_exceptions))
            self.holder["wv"].CoreWebView2InitializationCompleted += on_init

        def on_init(sender, args):
            exc = args.InitializationException
            self.inits.append((bool(args.IsSuccess), exc.GetType().FullName, str(exc.Message), str(exc),
                               threading.current_thread() is self.ui_thread))

        window = None

        def main(w):
            nonlocal window
            window, self.ui_thread = w, threading.current_thread()
            return framewell.run_toolbar_main(**kw)

        monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar", watched)
        try:
            self.win = real.run(main)
        finally:
            monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar", toolbar)
        assert self.holder["core_ready"].wait(10), "the browser's initialisation did not end"
        # Everything else reaches .NET through the UI thread, after the recorder is done: a .NET
        # call on this thread while the UI thread formats an exception has deadlocked Mono.
        real.wait_until(lambda: self.inits, "the initialisation to be recorded")

    def call(self, fn):
        return self.win.call(fn)

    def _read_layout(self):
        """Bounds of the form's controls, the browser control's, and where on the screen the
        toolbar ends and the browser area starts. On the UI thread."""
        form, wv = self.form, self.holder["wv"]
        c = form.ClientSize
        top_screen = self.top.RectangleToScreen(self.top.ClientRectangle)
        wv_screen = wv.RectangleToScreen(wv.ClientRectangle)
        return dict(client=(c.Width, c.Height),
                    controls=[(x.GetType().Name, str(x.Dock), x.Left, x.Top, x.Width, x.Height)
                              for x in form.Controls],
                    wv=(wv.Left, wv.Top, wv.Width, wv.Height, str(wv.Dock), wv.Visible),
                    wv_parent=wv.Parent.Equals(form.Controls[0]),
                    toolbar_bottom=top_screen.Bottom, browser_top=wv_screen.Top,
                    bar=[(x.Left, x.Width) for x in self.top.Controls])

    def layout(self):
        return self.call(self._read_layout)

    def close(self):
        """Closes the window through its message loop; run_toolbar_main's result. Then takes what
        reached Application.ThreadException, which may only be the browser control's painting:
        on Mono it calls the Windows BeginPaint, which is missing."""
        self.call(self.form.Close)
        result = self.win.join()
        caught = [(e.GetType().FullName, str(e.Message)) for e in self.real.thread_exceptions]
        self.real.thread_exceptions.clear()
        assert all(kind == "System.EntryPointNotFoundException" and message.startswith("BeginPaint")
                   for kind, message in caught), caught
        return result


def expect_layout(layout, width, height, with_view=True):
    """The toolbar strip on top, the browser area (the body panel) filling the rest below it.
    with_view: the browser control fills the body too. (After the window's first paint Mono no
    longer lays out or shows the control, whose painting keeps failing there: after a resize its
    bounds stay as they were and Visible reads False. The body, the browser area, follows.)"""
    body_h = height - 52
    assert layout["client"] == (width, height)
    # The body was brought to the front: the toolbar takes its strip first, the body the rest.
    assert layout["controls"] == [("Panel", "Fill", 0, 52, width, body_h), ("Panel", "Top", 0, 0, width, 52)]
    assert layout["wv_parent"] and layout["wv"][4] == "Fill"
    if with_view:
        assert layout["wv"] == (0, 0, width, body_h, "Fill", True)
        assert layout["browser_top"] == layout["toolbar_bottom"]
    assert layout["bar"] == [(12, 36), (50, 36), (88, 36), (134, max(160, width - 190)), (width - 48, 36)]


def test_host_without_a_browser_core(real, host_env, monkeypatch, capsys, tmp_path):
    port, ud = free_port(), tmp_path / "profile"
    host = Host(real, monkeypatch, start_url="start.example", home_url="home.example",
                control_port_override=port, user_data_folder=str(ud))
    holder, addr = host.holder, host.addr
    try:
        # The real SDK assemblies, from pywebview's own files, and its loader folders on Path.
        # (Listing the domain's assemblies with their names instead hung Mono here.)
        wv = holder["wv"]
        loaded = host.call(lambda: [str(t.Assembly.Location) for t in (
            real.System.Type.GetType("Microsoft.Web.WebView2.Core.CoreWebView2, Microsoft.Web.WebView2.Core"),
            wv.GetType())])
        assert loaded == [host_env.interop_dll_path(n) for n in SDK]
        # The control's Source is a System.Uri, which pythonnet makes of no str (the SDK's
        # metadata says so and the stand-in follows it).
        def write_source():
            try:
                wv.Source = "https://a.example/"
            except TypeError as e:
                return str(e)

        assert "System.Uri" in host.call(write_source)
        assert os.environ["Path"] == "/base" + "".join(
            ";" + host_env.interop_dll_path(n) for n in ("win-arm64", "win-x64", "win-x86"))

        # Creating the core failed at once, on the UI thread, for want of the WebView2 loader;
        # the host said so once, with the exception's text as pythonnet gives it.
        [(ok, kind, message, text, on_ui)] = host.inits
        assert (ok, kind, on_ui) == (False, "System.DllNotFoundException", True)
        assert "WebView2Loader.dll" in message and text.startswith(message + "\n")
        assert host.call(lambda: (wv.CoreWebView2, wv.CreationProperties.UserDataFolder)) == (None, str(ud))
        assert ud.is_dir()
        started = ("[panekit] 控制接口 http://127.0.0.1:%d  |  远程: remote_navigate / remote_go_back / …\n"
                   "[panekit] 首页=https://home.example  首跳=https://start.example  (宿主=winforms)\n"
                   "[panekit] WebView2 初始化失败: %s\n" % (port, text))
        assert capsys.readouterr().out == started

        # The window as shown: the toolbar above the browser control, which fills the rest.
        shown = host.shown
        assert shown["paint_failures"] == 0
        assert shown["client"][0] > 1000 and shown["client"][1] > 700  # a 1280 x 860 window
        expect_layout(shown, *shown["client"])
        # It stays so, the browser area below the toolbar (the control itself may be hidden by now).
        expect_layout(host.layout(), *shown["client"], with_view=False)

        # Over HTTP: no core; navigations queue, the last one kept; history does nothing.
        assert helmwire.remote_ready(port=port) == {"ok": True, "core": False, "url": ""}
        assert helmwire.remote_navigate("a.example", port=port) == {"ok": True, "url": "https://a.example"}
        assert helmwire.remote_navigate("b.example/x?y=1", port=port) == {
            "ok": True, "url": "https://b.example/x?y=1"}
        for go in (helmwire.remote_go_back, helmwire.remote_go_forward, helmwire.remote_reload):
            assert go(port=port) == {"ok": True}
        assert helmwire.remote_get_url(port=port) == {"ok": True, "url": ""}
        assert holder["pending_navigate_url"] == "https://b.example/x?y=1"

        # Real clicks on back, forward and reload do nothing either; Enter in the box queues.
        real.xdotool("windowfocus", "--sync", host.win.handle)
        for button in list(host.call(lambda: list(host.top.Controls)))[:3]:
            x, y = host.call(lambda: (button.Left + 18, button.Top + 15))
            real.xdotool("mousemove", "--window", host.win.handle, x, y, "click", "1")
        assert host.call(lambda: addr.Text) == "https://start.example"
        host.call(lambda: (setattr(addr, "Text", "  c.example  "), addr.Focus()))
        real.xdotool("key", "End", "Return")
        real.wait_until(lambda: holder["pending_navigate_url"] == "https://c.example", "Enter to queue")
        assert helmwire.remote_ready(port=port) == {"ok": True, "core": False, "url": ""}
        assert host.call(lambda: addr.Text) == "  c.example  "
        requests = ["POST /navigate", "POST /navigate", "POST /back", "POST /forward", "POST /reload", "GET /url"]
        assert capsys.readouterr().out == "".join(
            '[panekit control] "%s HTTP/1.1" 200 -\n' % r for r in requests)

        # What the screen shows: the grey bar, and below it the browser area, which is not.
        form = host.form
        host.call(form.Refresh)
        shot = real.screenshot(host.win.handle)
        if shot is not None:
            real.wait_until(lambda: real.pixel(real.screenshot(host.win.handle), 5, 51) == GREY, "the bar painted")
            shot = real.screenshot(host.win.handle)
            assert shot[:2] == host.call(lambda: (form.Width, form.Height))  # client area at its origin
            assert real.pixel(shot, 5, 5) == real.pixel(shot, 130, 51) == GREY
            assert real.pixel(shot, 300, 300) != GREY
            folder = os.environ.get("PANEKIT_REAL_SCREENSHOTS")
            if folder:  # the whole window, for the documentation
                r = host.call(lambda: form.RectangleToScreen(form.ClientRectangle))
                subprocess.run([real.import_path, "-window", "root", "-crop", "%dx%d+%d+%d" % (r.Width, r.Height, r.X, r.Y),
                                "+repage", os.path.join(folder, "host-mono.png")], check=True, timeout=10)
    finally:
        assert host.close() == 0
    # The control server went with the window: nothing answers, the port can be bound again.
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    socket.create_server(("127.0.0.1", port)).close()
    assert capsys.readouterr().out == ""


def test_two_windows_one_after_the_other_on_one_port(real, host_env, monkeypatch, capsys, tmp_path):
    port = free_port()
    monkeypatch.setattr(framewell, "_DEFAULT_HOME", "https://portal.example/")
    first = Host(real, monkeypatch, start_url="  ", control_port_override=port)
    try:
        # Defaults: the home page as first page, the profile under the working directory.
        assert (tmp_path / "runtime_data" / "panekit").is_dir()
        assert helmwire.remote_ready(port=port)["core"] is False
        # Real resizes keep the browser area below the toolbar, filling the rest.
        for width, height in [(900, 500), (400, 300), (1100, 700)]:
            first.call(lambda: setattr(first.form, "ClientSize", real.drawing.Size(width, height)))
            expect_layout(first.layout(), width, height, with_view=False)
    finally:
        assert first.close() == 0
    second = Host(real, monkeypatch, start_url="second.example", control_port_override=port)
    try:
        # The first window's port was free again for the second; Path grew again.
        assert helmwire.remote_navigate("q.example", port=port)["ok"]
        assert second.holder["pending_navigate_url"] == "https://q.example"
        assert first.holder["pending_navigate_url"] is None
        assert os.environ["Path"].count(";") == 6
    finally:
        assert second.close() == 0
    out = capsys.readouterr().out
    assert out.count("[panekit] WebView2 初始化失败: ") == 2
    assert "[panekit] 首页=https://portal.example/  首跳=https://portal.example/  (宿主=winforms)\n" in out
    assert "[panekit] 首页=https://portal.example/  首跳=https://second.example  (宿主=winforms)\n" in out


# The window on the main thread of a process of its own, inside Application.Run: Python's signal
# handlers only run when something calls into Python there. The paint failures Mono's browser
# control raises are taken by a ThreadException handler, as the tier's own windows do.
_SIGNALLED_WINDOW = r"""
import sys, urllib.request, warnings
from pythonnet import load
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    load("mono")
import clr
clr.AddReference("System.Windows.Forms")
import System, System.Windows.Forms as wf
wf.Application.ThreadException += System.Threading.ThreadExceptionEventHandler(lambda s, e: None)
urllib.request.install_opener(urllib.request.build_opener())
sys.platform = "win32"
from panekit import framewell
sys.exit(framewell.run_toolbar_main(start_url="start.example", control_port_override=int(sys.argv[1]),
                                    user_data_folder=sys.argv[2]))
"""


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_closes_the_window_in_its_message_loop(real, signum, tmp_path, monkeypatch):
    port = free_port()
    # The window pretends Windows (its runtime file under LOCALAPPDATA) and this test reads it the
    # Linux way (under XDG_RUNTIME_DIR): one folder for both.
    (tmp_path / "run").mkdir(mode=0o700)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path / "run"))
    monkeypatch.setenv("LOCALAPPDATA", str(tmp_path / "run"))
    env = dict(os.environ, Path="/base")
    child = subprocess.Popen([sys.executable, "-c", _SIGNALLED_WINDOW, str(port), str(tmp_path / "profile")],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    try:
        real.wait_until(lambda: helmwire.remote_ready(port=port, timeout=2).get("ok") or child.poll() is not None,
                        "the window to answer")
        assert child.poll() is None, child.communicate()[0]
        assert helmwire.control_token(port=port)
        child.send_signal(signum)
        out, _ = child.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail("the window did not end:\n" + child.communicate()[0])
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    lines = [ln for ln in out.splitlines() if ln.startswith("[panekit]")]
    assert child.returncode == 0, out
    assert lines.count("[panekit] 收到 %s，关闭窗口" % signal.Signals(signum).name) == 1, out
    assert helmwire.control_token(port=port) is None  # the runtime file went with the window
