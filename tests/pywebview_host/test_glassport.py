"""The pywebview host end to end: pywebview's window side simulated, the control plane over real
HTTP on loopback."""

import os
import re
import socket
import sys
import types

import pytest
import webview

from panekit import glassport, helmwire
from panekit.trailbar import norm_browser_url as norm

ON_NC = "run_toolbar_main.<locals>._on_start.<locals>._arm_nav_flush.<locals>._on_nc"
NOT_FOUND = "[panekit] pywebview：未等到 BrowserView 实例。"


def first_line(home, start):
    return "[panekit] 首页=%s  首跳=%s  (宿主=pywebview)" % (home, start)


def control_line(port):
    return "[panekit] 控制接口 http://127.0.0.1:%d  |  宿主=pywebview(edgechromium)" % port


def host_lines(capsys):
    return [ln for ln in capsys.readouterr().out.splitlines() if not ln.startswith("[panekit control]")]


def start_host(winsim, **kwargs):
    winsim.pretend_windows()
    # pywebview refuses to start on a thread that is not named MainThread (it checks the name)
    return winsim.start_ui_thread(glassport.run_toolbar_main, name="MainThread", **kwargs)


def history(core):
    return core.sim_history[0]


def callback_done(winsim, gui):
    winsim.wait_until(lambda: gui.callback_thread, what="the start-up callback")
    gui.callback_thread.join(winsim.timeout)
    assert not gui.callback_thread.is_alive()


def test_window_control_plane_and_shutdown(winsim, pywebview_gui, capsys, tmp_path, port):
    gui = pywebview_gui
    runner = start_host(winsim, start_url="example.org", home_url="home.example", form_title="Main",
                        user_data_folder="prof/a", control_host="  ", control_port_override=port + 0.9,
                        browser_download_directory="dl")
    winsim.wait_until(lambda: helmwire.remote_ready(port=port).get("core"), what="the control server")
    core = winsim.wait_core()
    first, second = norm("example.org"), norm("second.example")

    assert gui.created == [((), {"title": "Main", "url": first, "width": 1280, "height": 860})]
    (args, kwargs), = gui.started
    assert [f.__qualname__ for f in args] == ["run_toolbar_main.<locals>._on_start"]
    assert kwargs == {"gui": "edgechromium", "private_mode": False, "storage_path": os.path.normpath("prof/a")}
    assert (tmp_path / "prof" / "a").is_dir()
    assert ON_NC in [h.__qualname__ for h in core.NavigationCompleted.sim_handlers]

    assert helmwire.remote_navigate("second.example", port=port) == {"ok": True, "url": second}
    winsim.wait_until(lambda: helmwire.remote_get_url(port=port)["url"] == second)
    helmwire.remote_go_back(port=port)
    winsim.wait_until(lambda: helmwire.remote_get_url(port=port)["url"] == first)
    helmwire.remote_go_forward(port=port)
    winsim.wait_until(lambda: helmwire.remote_get_url(port=port)["url"] == second)
    assert helmwire.remote_reload(port=port) == {"ok": True}

    # A page's new-window request stays in the view.
    assert webview.settings["OPEN_EXTERNAL_LINKS_IN_BROWSER"] is False
    core.sim_new_window("https://popup.example/")
    winsim.wait_until(lambda: history(core)[-1] == "https://popup.example/")
    assert gui.external == []

    gui.form.sim_close()
    assert runner.join() == 0
    # Once the window is closed its control server answers no more and the port is free again
    # (a listener still open would make this bind fail, even with SO_REUSEADDR).
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen()

    lines = host_lines(capsys)
    assert lines[0] == first_line(norm("home.example"), first)
    mounted = "[panekit] 已挂载下载处理: 目录=%s prompt=False" % (tmp_path / "dl").resolve()
    assert sorted(lines[1:]) == sorted([mounted, control_line(port)])


def test_start_failure(winsim, pywebview_gui, capsys, monkeypatch):
    winsim.pretend_windows()
    pywebview_gui.start_error = RuntimeError("no display")
    assert glassport.run_toolbar_main(start_url="") == 1
    home = glassport._DEFAULT_HOME
    assert host_lines(capsys) == [first_line(home, home), "[panekit] pywebview 启动失败: no display"]
    # The first line joins texts: a home that is not text fails inside the guarded block.
    monkeypatch.setattr(glassport, "_DEFAULT_HOME", 7)
    assert glassport.run_toolbar_main(start_url="", home_url=" ") == 1
    assert host_lines(capsys) == ['[panekit] pywebview 启动失败: can only concatenate str (not "int") to str']
    assert len(pywebview_gui.started) == 1


@pytest.mark.parametrize("result", [None, 42, object(), ()])
def test_any_server_result_is_left_alone(winsim, pywebview_gui, capsys, monkeypatch, port, result):
    monkeypatch.setattr(glassport, "start_control_server", lambda **kw: result)
    runner = start_host(winsim, start_url="example.org", control_port_override=port)
    callback_done(winsim, pywebview_gui)
    pywebview_gui.form.sim_close()
    assert runner.join() == 0
    assert host_lines(capsys)[1:] == [control_line(port)]


def test_module_names_are_looked_up_at_each_call(winsim, pywebview_gui, clock, capsys, monkeypatch, tmp_path):
    """The host's own `sys` and `os` decide: here the process is not Windows, the module's `sys`
    says it is, and the host's variables live only in the module's `os.environ`."""
    environ = {"PANEKIT_HOME": "envhome.example", "PANEKIT_CONTROL_HOST": " 10.1.2.3 ",
               "PANEKIT_USER_DATA": "envud", "PANEKIT_WINDOW_TITLE": "Env title"}
    monkeypatch.setattr(glassport, "os", types.SimpleNamespace(environ=environ))
    monkeypatch.setattr(glassport, "sys", types.SimpleNamespace(platform="win32"))
    seen = {}
    monkeypatch.setattr(glassport, "start_control_server", lambda **kw: seen.update(kw))
    runner = winsim.start_ui_thread(glassport.run_toolbar_main, start_url="", control_port_override=1,
                                    name="MainThread")
    callback_done(winsim, pywebview_gui)
    pywebview_gui.form.sim_close()
    assert runner.join() == 0
    (_, created), = pywebview_gui.created
    (_, started), = pywebview_gui.started
    assert created["title"] == "Env title" and created["url"] == "https://envhome.example"
    assert started["storage_path"] == str((tmp_path / "envud").resolve())
    assert (seen["host"], seen["port"]) == ("10.1.2.3", 1)

    winsim.pretend_windows()
    monkeypatch.setattr(glassport, "sys", types.SimpleNamespace(platform="linux"))
    assert glassport.run_toolbar_main(start_url="x") == 1
    assert capsys.readouterr().out.splitlines()[-1] == "[panekit] 仅支持 Windows。"


class _Fspath:
    def __init__(self, p):
        self.p = p

    def __fspath__(self):
        return self.p


@pytest.mark.parametrize("env, kwargs, title, home, start, storage", [
    ({}, {"start_url": ""}, "panekit", "DEFAULT", "DEFAULT", "runtime_data/panekit"),
    ({"PANEKIT_HOME": "envhome.example"}, {"start_url": "   ", "home_url": "   "},
     "panekit", "DEFAULT", "DEFAULT", "runtime_data/panekit"),
    ({"PANEKIT_HOME": "envhome.example", "PANEKIT_WINDOW_TITLE": " Env title ", "PANEKIT_USER_DATA": "rel/ud"},
     {"start_url": "", "form_title": "Mine"}, "Env title", "https://envhome.example", "https://envhome.example",
     "rel/ud"),
    ({"PANEKIT_WINDOW_TITLE": "   ", "PANEKIT_USER_DATA": "ignored"},
     {"start_url": "x.example", "form_title": "  Mine  ", "user_data_folder": _Fspath("given/x")},
     "  Mine  ", "DEFAULT", "https://x.example", "AS-GIVEN given/x"),
])
def test_setting_resolution(winsim, pywebview_gui, capsys, tmp_path, monkeypatch, env, kwargs, title, home,
                            start, storage):
    monkeypatch.setattr(glassport, "_DEFAULT_HOME", "https://default.example/")
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    winsim.pretend_windows()
    pywebview_gui.start_error = RuntimeError("stop")
    assert glassport.run_toolbar_main(**kwargs) == 1

    fix = lambda v: "https://default.example/" if v == "DEFAULT" else v  # noqa: E731
    assert host_lines(capsys)[0] == first_line(fix(home), fix(start))
    (_, created), = pywebview_gui.created
    assert (created["title"], created["url"]) == (title, fix(start))
    (_, started), = pywebview_gui.started
    if storage.startswith("AS-GIVEN "):
        expected = os.path.normpath(storage.split(" ", 1)[1])
        assert started["storage_path"] == expected  # used as given (in the system's own form), not resolved
    else:
        expected = str((tmp_path / storage).resolve())
        assert started["storage_path"] == expected
    assert os.path.isdir(expected)


@pytest.mark.parametrize("args, kwargs, message", [
    (("x",), {}, "run_toolbar_main() takes exactly 0 positional arguments (1 given)"),
])
def test_argument_errors_before_anything(winsim, pywebview_gui, capsys, args, kwargs, message):
    winsim.pretend_windows()
    with pytest.raises(TypeError, match="^" + re.escape(message)):
        glassport.run_toolbar_main(*args, **kwargs)
    assert capsys.readouterr().out == "" and pywebview_gui.created == []


def test_refuses_other_platforms(pywebview_gui, capsys, monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")  # whatever system runs the test
    assert glassport.run_toolbar_main(start_url="example.org") == 1
    assert capsys.readouterr().out == "[panekit] 仅支持 Windows。\n"
    assert pywebview_gui.created == []


def test_form_never_found(winsim, pywebview_gui, clock, capsys, port):
    pywebview_gui.register_form = False
    runner = start_host(winsim, start_url="example.org", control_port_override=port)
    callback_done(winsim, pywebview_gui)
    assert 30.0 <= clock.elapsed < 30.1
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    pywebview_gui.form.sim_close()
    assert runner.join() == 0
    assert host_lines(capsys) == [first_line(glassport._DEFAULT_HOME, norm("example.org")), NOT_FOUND]


@pytest.mark.parametrize("sighting", ["ready", "reload", "back", "blank navigation"])
def test_navigation_parked_until_a_late_core(winsim, pywebview_gui, clock, capsys, port, monkeypatch, sighting):
    winsim.init_mode = "manual"  # the core appears only when the test says so, after the wait gave up
    got, server = {}, glassport.start_control_server
    monkeypatch.setattr(glassport, "start_control_server", lambda **kw: got.update(kw) or server(**kw))
    runner = start_host(winsim, start_url="example.org", control_port_override=port)
    winsim.wait_until(lambda: helmwire.remote_ready(port=port)["ok"], what="the control server")
    assert clock.elapsed >= 30.0 and helmwire.remote_ready(port=port)["core"] is False
    assert helmwire.remote_navigate("a.example", port=port) == {"ok": True, "url": norm("a.example")}
    assert helmwire.remote_navigate("b.example", port=port) == {"ok": True, "url": norm("b.example")}

    pywebview_gui.form.browser.webview.sim_initialize()
    core = winsim.wait_core()
    winsim.wait_until(lambda: history(core) == [norm("example.org")])
    # Whatever first sees the core delivers the parked address, even when it navigates nowhere.
    if sighting == "ready":
        assert helmwire.remote_ready(port=port)["core"] is True
    elif sighting == "reload":
        assert helmwire.remote_reload(port=port) == {"ok": True}
    elif sighting == "back":
        assert helmwire.remote_go_back(port=port) == {"ok": True}
    else:
        got["invoke_sync"](lambda: got["do_navigate"]("   "))
    winsim.wait_until(lambda: history(core)[-1] == norm("b.example"), what="the parked address")
    assert norm("a.example") not in history(core)
    assert [h.__qualname__ for h in core.NavigationCompleted.sim_handlers].count(ON_NC) == 1

    pywebview_gui.form.sim_close()
    assert runner.join() == 0
    assert control_line(port) in host_lines(capsys)


def test_without_control_server(winsim, pywebview_gui, capsys, port):
    runner = start_host(winsim, start_url="example.org", with_control_server=0, control_port_override=port)
    core = winsim.wait_core()
    callback_done(winsim, pywebview_gui)
    assert ON_NC in [h.__qualname__ for h in core.NavigationCompleted.sim_handlers]
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    pywebview_gui.form.sim_close()
    assert runner.join() == 0
    assert host_lines(capsys) == [first_line(glassport._DEFAULT_HOME, norm("example.org"))]


_EXIT_SCRIPT = """
import sys, threading, time, types
sys.path.insert(0, sys.argv[1])
from simplatform.modules import install
install(preload=True)
import webview
from panekit import glassport
def start(func, **kw):
    threading.Thread(target=func, daemon=True).start()
    time.sleep(0.2)  # the window closes while the callback still waits for the form
webview.create_window = lambda **kw: types.SimpleNamespace(uid="master")
webview.start = start
winforms = types.ModuleType("webview.platforms.winforms")
winforms.BrowserView = types.SimpleNamespace(instances={})
sys.modules[winforms.__name__] = winforms
sys.platform = "win32"
print(glassport.run_toolbar_main(start_url="x", with_control_server=False))
"""


def test_process_exits_cleanly_while_the_callback_waits():
    """The callback's thread is a daemon thread that may still wait when the process ends."""
    import subprocess
    import sys

    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    r = subprocess.run([sys.executable, "-c", _EXIT_SCRIPT, here], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout.splitlines()[-1:]) == (0, ["0"]), r.stderr


def test_control_server_that_cannot_start_closes_the_window(winsim, pywebview_gui, capsys):
    """A window nobody can steer is not kept: requests would reach the one that owns the port."""
    from ctlsupport import busy_port

    with busy_port() as port:
        runner = start_host(winsim, start_url="example.org", control_port_override=port)
        assert runner.join() == 1
    assert pywebview_gui.destroyed == ["master"]
    first, failed = host_lines(capsys)
    assert first == first_line(glassport._DEFAULT_HOME, norm("example.org"))
    assert failed.startswith("[panekit] 控制接口 http://127.0.0.1:%d 启动失败: " % port) and len(failed) > 40


def test_pywebview_threads(winsim, pywebview_gui, capsys, port):
    # pywebview 6 refuses a caller not named MainThread; its window lives on an STA thread of its own.
    winsim.pretend_windows()
    elsewhere = winsim.start_ui_thread(glassport.run_toolbar_main, start_url="x.example", name="worker")
    assert elsewhere.join() == 1
    assert host_lines(capsys)[-1] == "[panekit] pywebview 启动失败: pywebview must be run on a main thread."
    pywebview_gui.windows.clear()  # the refused call's window never existed for pywebview
    runner = start_host(winsim, start_url="x.example", control_port_override=port)
    callback_done(winsim, pywebview_gui)
    gui_thread = pywebview_gui.form._ui.thread
    assert gui_thread is not runner.thread and winsim.apartment(gui_thread) == "STA"
    assert helmwire.remote_navigate("y.example", port=port, wait=5)["ok"]
    pywebview_gui.form.sim_close()
    assert runner.join() == 0
