"""The WinForms host end to end on the simulated platform: run_toolbar_main on a UI thread of its
own, steered over real HTTP as a second process would."""

import os
import socket
import sys
import types
from contextlib import contextmanager
from pathlib import Path

import pytest

from ctlsupport import free_port
from panekit import framewell, helmwire
from simplatform import DllNotFoundException, DockStyle, WebErrorStatus
from simplatform.webview2 import WebView2RuntimeNotFoundException

SWF, SD = "System.Windows.Forms", "System.Drawing"


@pytest.fixture
def env(winsim, monkeypatch, tmp_path):
    import urllib.request

    import webview.util  # noqa: F401 - pywebview's real locator, imported while it still can be

    # The client's opener is built while the platform is still itself (its TLS set-up reads the
    # Windows certificate store on "win32").
    monkeypatch.setattr(urllib.request, "_opener", urllib.request.build_opener())
    winsim.pretend_windows()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("Path", "C:\\base")
    for name in ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT",
                 "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY",
                 "PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT"):
        monkeypatch.delenv(name, raising=False)
    return winsim


@contextmanager
def window(winsim, run=framewell.run_toolbar_main, apartment=None, **kw):
    """A running host (called on a thread of that COM apartment, default unknown); the window is
    closed (and the call's result checked) on the way out."""
    known = len(winsim.forms)
    runner = winsim.start_ui_thread(run, apartment=apartment, **kw)
    shown = lambda: next((f for f in winsim.forms[known:] if f._shown), None)  # noqa: E731
    winsim.wait_until(lambda: shown() or not runner.thread.is_alive(), what="a shown form")
    form = shown()
    assert form is not None, runner.join()
    try:
        yield form
    finally:
        form.sim_close()
        assert runner.join() == 0


def lines(capsys):
    return [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("[panekit]")]


class NoDotNet:
    """An import finder that fails `import clr` as pythonnet does on a machine without .NET."""

    def find_spec(self, name, path=None, target=None):
        if name == "clr":
            raise RuntimeError("Failed to create a default .NET runtime\n  see set_runtime")
        return None


def test_refusals_touch_nothing(winsim_unloaded, monkeypatch, capsys):
    monkeypatch.setenv("Path", "C:\\base")
    seen = []
    util = types.ModuleType("webview.util")
    util.__getattr__ = lambda name: seen.append(name) or (lambda n: "C:\\wv\\" + n)
    monkeypatch.setitem(sys.modules, "webview.util", util)
    monkeypatch.setattr(sys, "platform", "linux")  # whatever system runs the test
    assert framewell.run_toolbar_main(start_url="x") == 1  # not Windows: nothing imported
    assert seen == []
    winsim_unloaded.pretend_windows()
    monkeypatch.setitem(sys.modules, "clr", None)
    assert framewell.run_toolbar_main(start_url="x") == 1
    # pythonnet without a .NET runtime to load: import clr raises RuntimeError (the text may span lines)
    del sys.modules["clr"]
    monkeypatch.setattr(sys, "meta_path", [NoDotNet()] + sys.meta_path)
    assert framewell.run_toolbar_main(start_url="x") == 1
    monkeypatch.setitem(sys.modules, "webview.util", None)
    assert framewell.run_toolbar_main(start_url="x") == 1
    assert lines(capsys) == [
        "[panekit] 仅支持 Windows。", "[panekit] 请先安装 pythonnet: pip install pythonnet",
        "[panekit] 无法加载 .NET 运行时（Failed to create a default .NET runtime）：请安装 .NET "
        "Framework 4.8 或更高版本：https://dotnet.microsoft.com/download/dotnet-framework",
        "[panekit] 请先安装 pywebview: pip install pywebview"]
    assert os.environ["Path"] == "C:\\base" and winsim_unloaded.references == [] and not winsim_unloaded.forms


@pytest.mark.parametrize("args, kw, message", [
    ((1,), {"start_url": "x"}, "run_toolbar_main() takes exactly 0 positional arguments (1 given)"),
])
def test_argument_errors_come_first(env, args, kw, message):
    with pytest.raises(TypeError) as e:
        framewell.run_toolbar_main(*args, **kw)
    assert str(e.value) == message
    assert os.environ["Path"] == "C:\\base" and not env.forms and not env.log


def test_whole_window_over_http(env, capsys, tmp_path):
    env.init_mode = "manual"  # the core comes when the test says so
    port = free_port()
    dl = tmp_path / "dl"
    with window(env, start_url="start.example", home_url="home.example", control_port_override=float(port),
                user_data_folder="rel/ud", browser_download_directory=str(dl)) as form:
        wv = env.webviews[0]
        addr = next(c for c in form.Controls[1].Controls if type(c).__name__ == "TextBox")
        # Start-up: loading order, Path, settings, layout, the first request for the core.
        util = sys.modules["webview.util"]
        assert env.references == [SWF, SD, util.interop_dll_path("Microsoft.Web.WebView2.Core.dll"),
                                  util.interop_dll_path("Microsoft.Web.WebView2.WinForms.dll")]
        assert os.environ["Path"] == "C:\\base" + "".join(
            ";" + util.interop_dll_path(n) for n in ("win-arm64", "win-x64", "win-x86"))
        assert (tmp_path / "rel" / "ud").is_dir() and wv.CreationProperties.UserDataFolder == str(Path("rel/ud"))
        assert [c.Dock for c in form.Controls] == [DockStyle.Fill, DockStyle.Top]
        top, body = form.Controls[1], form.Controls[0]
        assert body.Top == top.Height > 0 and body.Top + body.Height == form.ClientSize.Height
        calls = [(n, v) for o, op, n, v in env.log if o is form and op == "call"]
        assert calls[:3] == [("SuspendLayout", ()), ("Controls.Add", (top,)), ("Controls.Add", (body,))]
        assert calls[3:] == [("ResumeLayout", (True,))]
        assert [v for o, op, n, v in env.log if n == "EnsureCoreWebView2Async"] == [(None,)]
        assert lines(capsys) == ["[panekit] 控制接口 http://127.0.0.1:%d  |  远程: remote_navigate / "
                                 "remote_go_back / …" % port,
                                 "[panekit] 首页=https://home.example  首跳=https://start.example  (宿主=winforms)"]

        # Before the core: navigations queue (the last one wins), history calls are lost.
        assert helmwire.remote_navigate("a.example", port=port)["ok"]
        assert helmwire.remote_navigate("b.example", port=port) == {"ok": True, "url": "https://b.example"}
        assert helmwire.remote_go_back(port=port) == {"ok": True}
        assert helmwire.remote_ready(port=port)["core"] is False
        wv.sim_initialize()
        core = env.wait_core()
        ui = form.sim_on_ui
        env.wait_until(lambda: ui(lambda: core.sim_history) == (["https://start.example", "https://b.example"], 1))
        env.wait_until(lambda: helmwire.remote_get_url(port=port) == {"ok": True, "url": "https://b.example"})
        env.wait_until(lambda: ui(lambda: addr.Text) == "https://b.example")

        # One view: a new window navigates this one; history runs through the server.
        args = core.sim_new_window("https://c.example/")
        assert args.Handled and env.popups == []
        env.wait_until(lambda: ui(lambda: addr.Text) == "https://c.example/")
        assert helmwire.remote_go_back(port=port) == {"ok": True}
        env.wait_until(lambda: ui(lambda: core.Source) == "https://b.example")

        # A failed navigation says so; a blank address never clears the box.
        env.nav_errors["https://bad.example"] = WebErrorStatus.HostNameNotResolved
        helmwire.remote_navigate("bad.example", port=port)
        env.wait_until(lambda: ui(lambda: addr.Text) == "https://bad.example")
        core._source = "  "
        ui(lambda: core.NavigationCompleted.sim_fire(core, types.SimpleNamespace()))
        ui(lambda: None)
        assert ui(lambda: addr.Text) == "https://bad.example"
        assert lines(capsys) == ["[panekit] 已挂载下载处理(CoreWebView2): 目录=%s prompt=False" % dl.resolve(),
                                 "[panekit] 导航未完成: IsSuccess=False WebErrorStatus=HostNameNotResolved"]

        # Downloads: the handler is attached once, to this core, with the resolved folder.
        # (The page tracker's own DownloadStarting handler is not the download handler.)
        assert [n for o, op, n, v in env.log if op == "+=" and o is core
                and not v.__qualname__.endswith("_on_download_starting")].count("DownloadStarting") == 1
        assert ui(lambda: core.Profile.DefaultDownloadFolderPath) == str(dl.resolve())
    # The server went with the window: nothing answers on its port, which can be bound again.
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    socket.create_server(("127.0.0.1", port)).close()


def test_without_the_webview2_runtime_the_window_closes(env, capsys):
    # No blank window that a control client would take for a working one: it closes, and the call
    # ends in 1 with one line naming what to install.
    env.init_error = WebView2RuntimeNotFoundException("Couldn't find a compatible Webview2 Runtime.")
    port = free_port()
    runner = env.start_ui_thread(framewell.run_toolbar_main, start_url="a.example",
                                 control_port_override=port)
    assert runner.join() == 1
    assert [f._shown for f in env.forms] == [True] and env.webviews[0]._core is None
    assert capsys.readouterr().out.endswith(
        "(宿主=winforms)\n[panekit] 未找到 WebView2 Runtime：请安装 Microsoft Edge WebView2 Runtime"
        "（Evergreen 版）：https://developer.microsoft.com/microsoft-edge/webview2/\n")
    with pytest.raises(OSError):  # its control server has gone with it
        socket.create_connection(("127.0.0.1", port), timeout=5).close()


def test_failed_initialisation_without_server_and_defaults(env, capsys, tmp_path, monkeypatch):
    # Any other failure to make the browser keeps the window (toolbar and queue work) and says why.
    holders = []
    toolbar = framewell.attach_edge_chrome_toolbar
    monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar",
                        lambda *a, **kw: holders.append(a[3]) or list(toolbar(*a, **kw)))
    monkeypatch.setattr(framewell, "_DEFAULT_HOME", "https://portal.example/")
    # pythonnet gives a thrown .NET exception's text with its stack trace: the message spans lines.
    env.init_error = DllNotFoundException("WebView2Loader.dll", "  at CreateAsync ()\n  at InitAsync ()")
    with window(env, start_url="  ", with_control_server=False) as form:
        holder = holders[0]
        assert list(holder)[:5] == ["form", "wv", "addr", "core_ready", "pending_navigate_url"]
        assert holder["core_ready"].wait(5)
        addr = holder["addr"]
        for text in ("one.example", "two.example"):
            form.sim_on_ui(lambda: addr.sim_set_text(text))
            form.sim_on_ui(lambda: addr.sim_press(env.WinForms.Keys.Return, "\r"))
        assert holder["pending_navigate_url"] == "https://two.example" and env.webviews[0]._core is None
    assert capsys.readouterr().out == (
        "[panekit] 首页=https://portal.example/  首跳=https://portal.example/  (宿主=winforms)\n"
        "[panekit] WebView2 初始化失败: WebView2Loader.dll\n  at CreateAsync ()\n  at InitAsync ()\n")
    assert (tmp_path / "runtime_data" / "panekit").is_dir()
    # A second call in the same process: Path grows again, PANEKIT_USER_DATA is made absolute.
    monkeypatch.setenv("PANEKIT_USER_DATA", "envud")
    with window(env, start_url="x.example", with_control_server=False):
        assert os.environ["Path"].count(";") == 6
        assert env.webviews[1].CreationProperties.UserDataFolder == str((tmp_path / "envud").resolve())


def test_nested_functions_carry_their_names(env, monkeypatch):
    got = {}

    def fake_server(**kw):
        got.update(kw)
        raise OSError("stop here")

    monkeypatch.setattr(framewell, "start_control_server", fake_server)
    with pytest.raises(OSError):
        framewell.run_toolbar_main(start_url="x")
    assert list(got) == ["host", "port", "invoke_sync", "core", "do_navigate", "do_back", "do_forward",
                         "do_reload"]
    assert got["host"] == "127.0.0.1" and got["port"] == 18765
    ran = []
    got["invoke_sync"](lambda: ran.append(1) or 1 / 0)  # no window yet: runs here, error dropped
    assert ran == [1] and got["core"]() is None


def test_module_names_are_looked_up_at_each_call(winsim, monkeypatch, tmp_path):
    """The host's own `sys` and `os` decide, not the process's: a caller that rebinds them on the
    module sees the effect (here the process is not Windows, the module's `sys` says it is)."""
    class Stop(Exception):
        pass

    import webview.util  # noqa: F401 - pywebview's real locator

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("Path", "C:\\process")
    environ = {"Path": "C:\\base", "PANEKIT_HOME": "envhome.example", "PANEKIT_CONTROL_HOST": " 10.1.2.3 ",
               "PANEKIT_USER_DATA": "envud"}
    monkeypatch.setattr(framewell, "os", types.SimpleNamespace(environ=environ))
    monkeypatch.setattr(framewell, "sys", types.SimpleNamespace(platform="win32"))
    seen = {}
    toolbar = framewell.attach_edge_chrome_toolbar
    monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar",
                        lambda *a, **kw: seen.update(kw) or toolbar(*a, **kw))
    monkeypatch.setattr(framewell, "start_control_server", lambda **kw: seen.update(kw) or (_ for _ in ()).throw(Stop()))
    with pytest.raises(Stop):
        framewell.run_toolbar_main(start_url=" ")
    assert seen["start_url"] == "https://envhome.example" and seen["host"] == "10.1.2.3"
    assert environ["Path"].startswith("C:\\base;") and environ["Path"].count(";") == 3
    assert os.environ["Path"] == "C:\\process" and (tmp_path / "envud").is_dir()

    winsim.pretend_windows()
    monkeypatch.setattr(framewell, "sys", types.SimpleNamespace(platform="linux"))
    assert framewell.run_toolbar_main(start_url="x") == 1 and environ["Path"].count(";") == 3


def test_control_server_that_cannot_start_is_said_and_nothing_outlives_the_call(env, monkeypatch, capsys):
    from ctlsupport import busy_port

    with busy_port() as port:
        with pytest.raises(OSError):
            framewell.run_toolbar_main(start_url="x", control_port_override=port)
    [line] = lines(capsys)
    assert line.startswith("[panekit] 控制接口 http://127.0.0.1:%d 启动失败: " % port) and len(line) > 40
    assert not any(f._shown for f in env.forms)
    # A server that did start is stopped on every way out, here a start-up line that cannot be made.
    port = free_port()
    monkeypatch.setattr(framewell, "_control_address", lambda **kw: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        framewell.run_toolbar_main(start_url="x", control_port_override=port)
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    socket.create_server(("127.0.0.1", port)).close()


def test_open_window_runs_the_host_the_system_would(env, capsys, monkeypatch):
    # The platform-neutral entry point: PANEKIT_HOST_BACKEND names this host; its settings reach it.
    import panekit

    monkeypatch.setenv("PANEKIT_HOST_BACKEND", "winforms")
    port = free_port()
    with window(env, panekit.open_window, start_url="a.example", form_title="标题",
                control_port_override=port) as form:
        assert form.Text == "标题"
        env.wait_until(lambda: helmwire.remote_ready(port=port).get("url", "").startswith(
            "https://a.example"), what="the first page over HTTP")
        assert helmwire.remote_ready(port=port)["core"] is True
    assert "[panekit] 首页=https://duckduckgo.com/  首跳=https://a.example  (宿主=winforms)" in lines(capsys)


# ---- the window's thread ---------------------------------------------------------------------------


@pytest.mark.parametrize("caller, own_thread", [
    (None, True),    # a Python thread whose apartment is unset becomes STA and keeps the window
    ("STA", True),
    ("MTA", False),  # COM already MTA there (Python's main thread under pythonnet): a new STA thread
])
def test_window_runs_on_an_sta_thread(env, capsys, caller, own_thread):
    env.init_mode = "shown"
    with window(env, apartment=caller, start_url="start.example", with_control_server=False) as form:
        core = env.wait_core()
        ui_thread = form._ui.thread
        assert env.apartment(ui_thread) == "STA"
        assert (ui_thread.name == "sim-ui") is own_thread
        env.wait_until(lambda: form.sim_on_ui(lambda: core.Source) == "https://start.example")
        # The copy-link button reaches the clipboard (STA only) from that thread.
        copy = next(c for c in form.Controls[1].Controls if type(c).__name__ == "Button"
                    and any(h.__qualname__.endswith("_copy_link") for h in c.Click.sim_handlers))
        copy.sim_click()
        assert env.clipboard == "https://start.example"
    assert lines(capsys) == ["[panekit] 首页=https://duckduckgo.com/  首跳=https://start.example  (宿主=winforms)"]


def test_failure_on_the_window_thread_reaches_the_caller(env, monkeypatch):
    monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar", lambda *a, **k: (1, 2, 3))
    runner = env.start_ui_thread(framewell.run_toolbar_main, start_url="x", apartment="MTA")
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        runner.join()
    assert not env.forms[0]._shown


def test_queued_address_waits_for_the_first_page(env, capsys):
    # Delivered at once, the queued address would cancel the first page (WebView2's order:
    # Starting(1), Starting(2), Completed(1) OperationCanceled) and drop it from the history.
    env.init_mode, port = "manual", free_port()
    with window(env, start_url="start.example", control_port_override=port) as form:
        assert helmwire.remote_navigate("b.example", port=port)["ok"]
        env.auto_complete = False  # each navigation completes when the test says so
        env.webviews[0].sim_initialize()
        core = env.wait_core()
        completed = []
        form.sim_on_ui(lambda: core.NavigationCompleted.__iadd__(
            lambda s, a: completed.append((a.IsSuccess, str(a.WebErrorStatus)))))
        core.sim_complete_next()  # the first page; only now is the queued address navigated
        env.wait_until(lambda: form.sim_on_ui(lambda: len(core.sim_pending)) == 1, what="the queued address")
        core.sim_complete_next()
        assert form.sim_on_ui(lambda: core.sim_history) == (["https://start.example", "https://b.example"], 1)
        assert [ok for ok, _ in completed] == [True, True]
    assert not any("导航未完成" in ln for ln in lines(capsys))


def test_bound_port_is_printed_and_an_unusable_folder_cancels_downloads(env, capsys, tmp_path):
    """Port 0 asks the system for a port: the line names the one bound. A download folder that
    cannot be made (a file is in its place) cancels each download with its failure line; nothing
    falls back to the browser's own folder."""
    env.init_mode = "manual"
    taken = tmp_path / "dl"
    taken.write_text("a file")
    with window(env, start_url="start.example", control_port_override=0,
                browser_download_directory=str(taken)) as form:
        (control, _) = lines(capsys)
        port = int(control.split("http://127.0.0.1:")[1].split()[0])
        assert port != 0 and helmwire.remote_ready(port=port)["ok"] is True
        env.webviews[0].sim_initialize()
        core = env.wait_core()
        env.wait_until(lambda: form.sim_on_ui(lambda: core.Source) == "https://start.example")
        args = core.sim_download("C:\\Users\\a\\Downloads\\report.pdf")
        assert args.Cancel is True and not args.Handled
        mount, failed = lines(capsys)
        assert mount.startswith("[panekit] 挂载下载处理失败: ")
        assert failed == "[panekit] 处理下载失败，回退为取消: " + mount.split(": ", 1)[1]
        assert form.sim_on_ui(lambda: core.Profile.DefaultDownloadFolderPath) == "C:\\Users\\user\\Downloads"
