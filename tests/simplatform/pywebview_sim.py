"""pywebview's Edge backend, ``webview.platforms.edgechromium``, as far as the download patch
meets it, on the simulated WebView2. The real ``webview`` package (its ``settings`` dict above
all) is used; only the backend, which needs .NET and the Windows registry, is stood in (and,
where pywebview does not import at all, a minimal ``webview`` with its ``settings`` dict).

As in pywebview, ``EdgeChrome.__init__`` subscribes the *bound* ``on_webview_ready`` of the class
attribute in force at that moment to ``CoreWebView2InitializationCompleted``; that handler
subscribes ``on_download_starting``, which cancels every download while
``webview.settings["ALLOW_DOWNLOADS"]`` is false.

Fixture ``edge_backend`` (extends ``winsim``, sets ``winsim.init_mode = "manual"``): installs the
module for one test and restores ``sys.modules``, ``webview.platforms.edgechromium`` and
``webview.settings["ALLOW_DOWNLOADS"]`` afterwards. A test makes a view with
``backend.make_view()`` and fires the ready event with ``chrome.webview.sim_initialize()`` (or
``sim_initialize(error)``).

Fixture ``pywebview_gui`` (extends ``edge_backend``, back to ``winsim.init_mode = "shown"``):
pywebview's window side for a host. ``webview.create_window`` and ``webview.start`` are replaced
for the test (calls recorded in ``gui.created`` / ``gui.started``) and the WinForms backend,
``webview.platforms.winforms`` with ``BrowserView.instances``, is stood in. ``webview.start``
runs on the calling thread, which becomes the UI thread: it makes the window's form (an
``EdgeChrome`` of the Edge stand-in on it as ``form.browser``), registers it in
``BrowserView.instances`` (unless ``gui.register_form`` is False), starts the start-up callback
on a worker thread (``gui.callback_thread``) and runs the message loop until the form is closed.
``gui.start_error`` makes ``webview.start`` raise it. Once ready, pywebview's own ready handler
loads the window's address, and new-window requests are handled as pywebview handles them:
in the view when ``OPEN_EXTERNAL_LINKS_IN_BROWSER`` is false, otherwise recorded in
``gui.external``.
"""

import sys
import signal
import threading
import types

import pytest

from .forms import Form
from .webview2 import WebView2

try:
    import webview
    import webview.platforms
    from webview.errors import WebViewException
except ImportError:  # a stand-in that stays for the whole test run, as the real package would
    webview = types.ModuleType("webview")
    webview.__path__ = []
    webview.settings = {"ALLOW_DOWNLOADS": False, "OPEN_EXTERNAL_LINKS_IN_BROWSER": True}
    webview.platforms = types.ModuleType("webview.platforms")
    webview.platforms.__path__ = []
    sys.modules.update({"webview": webview, "webview.platforms": webview.platforms})

    class WebViewException(Exception):
        pass

MODULE_NAME = "webview.platforms.edgechromium"


class EdgeChrome:
    """The part of pywebview's EdgeChrome the download patch relies on."""

    def __init__(self, form, window=None, cache_dir=None):
        self.pywebview_window = window
        self.form = form
        self.webview = WebView2()
        form.Controls.Add(self.webview)
        self.sim_ready_runs = []  # (sender, args) per run of pywebview's own ready handler
        self.sim_own_downloads = []  # download arguments pywebview's own handler saw
        self.webview.CoreWebView2InitializationCompleted += self.on_webview_ready

    def on_webview_ready(self, sender, args):
        self.sim_ready_runs.append((sender, args))
        if args.IsSuccess:
            sender.CoreWebView2.DownloadStarting += self.on_download_starting
            if self.pywebview_window is not None:  # a window of pywebview's own making
                sender.CoreWebView2.NewWindowRequested += self.on_new_window_request
                sender.CoreWebView2.Navigate(self.pywebview_window.url)

    def on_new_window_request(self, sender, args):
        args.Handled = True
        if webview.settings["OPEN_EXTERNAL_LINKS_IN_BROWSER"]:
            self.pywebview_window.sim_external.append(args.Uri)
        else:
            sender.Navigate(args.Uri)

    def on_download_starting(self, sender, args):
        self.sim_own_downloads.append(args)
        if not webview.settings["ALLOW_DOWNLOADS"]:
            args.Cancel = True


PYWEBVIEW_READY = EdgeChrome.on_webview_ready


class EdgeBackend:
    """The installed stand-in: ``module`` is what ``from webview.platforms import edgechromium``
    gives, ``EdgeChrome`` its class (a fresh subclass per test, so a patch left behind by one
    test cannot leak into the next)."""

    def __init__(self, plat):
        self.plat = plat
        self.EdgeChrome = type("EdgeChrome", (EdgeChrome,), {"on_webview_ready": PYWEBVIEW_READY})
        self.module = types.ModuleType(MODULE_NAME)
        self.module.EdgeChrome = self.EdgeChrome
        self.module.webview_settings = webview.settings

    def make_view(self, form=None):
        """An EdgeChrome with its WebView2 on a new (or the given) form; not yet ready."""
        return self.EdgeChrome(form if form is not None else Form())


@pytest.fixture
def edge_backend(winsim, monkeypatch):
    backend = EdgeBackend(winsim)
    winsim.init_mode = "manual"
    monkeypatch.setitem(sys.modules, MODULE_NAME, backend.module)
    monkeypatch.setattr(webview.platforms, "edgechromium", backend.module, raising=False)
    monkeypatch.setitem(webview.settings, "ALLOW_DOWNLOADS", webview.settings["ALLOW_DOWNLOADS"])
    return backend


# ---- pywebview's window side: create_window, start and the WinForms backend ----------------------


class Window:
    """What ``webview.create_window`` returns (the first window's uid is "master", as in pywebview)."""

    def __init__(self, uid, title, url, external, gui):
        self.uid, self.title, self.url, self.sim_external = uid, title, url, external
        self._gui = gui

    def destroy(self):
        """Closes the window's form from any thread (pywebview marshals it to the UI thread)."""
        self._gui.destroyed.append(self.uid)
        form = self._gui.BrowserView.instances.get(self.uid)
        if form is not None:
            form.sim_close()


class PywebviewGui:
    def __init__(self, backend):
        self.backend, self.plat = backend, backend.plat
        self.created, self.started, self.external, self.windows = [], [], [], []
        self.destroyed = []
        self.register_form, self.start_error = True, None
        self.form = self.callback_thread = None
        self.BrowserView = type("BrowserView", (), {"instances": {}})
        self.module = types.ModuleType("webview.platforms.winforms")
        self.module.BrowserView = self.BrowserView
        self.module._sigint_received = False

    def create_window(self, *args, **kwargs):
        """Recorded as (args, kwargs)."""
        self.created.append((args, kwargs))

        def window(title, url=None, html=None, js_api=None, width=800, height=600, **rest):
            uid = "master" if not self.windows else "child_%d" % len(self.windows)
            return Window(uid, title, url, self.external, self)

        self.windows.append(window(*args, **kwargs))
        return self.windows[-1]

    def start(self, *args, **kwargs):
        """Recorded as (args, kwargs). As pywebview 6.x: refused unless the calling thread is
        named MainThread (webview/__init__.py:239); the start-up callback's thread starts before
        any form exists (webview/__init__.py:298); the window runs on a new STA thread that the
        caller joins in half-second steps (webview/platforms/winforms.py:825-835)."""
        self.started.append((args, kwargs))
        func = args[0] if args else kwargs.get("func")
        if self.start_error is not None:
            raise self.start_error
        if threading.current_thread().name != "MainThread":
            raise WebViewException("pywebview must be run on a main thread.")
        from .core import ApartmentState, Thread, ThreadStart
        from .forms import Application, Timer

        # pywebview 6.2 takes SIGINT for itself on the main thread before its GUI thread starts: its
        # handler sets a module flag that a 500 ms timer on the form turns into Application.Exit
        # (webview/platforms/winforms.py:45-55, :795-814). It never puts the old handler back.
        def sigint_handler(signum, frame):
            self.module._sigint_received = True

        # (The tests' stand-ins for the main thread are only named so: there pywebview's call would
        # raise, so it is made on the real main thread alone.)
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, sigint_handler)

        def timer_tick(sender, e):
            if self.module._sigint_received:
                Application.Exit()

        if func is not None:
            # published once started: a test waiting for it may join it at once
            thread = threading.Thread(target=func, name="pywebview-start", daemon=True)
            thread.start()
            self.callback_thread = thread

        def create():
            form = BrowserForm()
            form.browser = self.backend.EdgeChrome(form, self.windows[0])
            self.form = form
            if self.register_form:
                self.BrowserView.instances[form.browser.pywebview_window.uid] = form
            timer = Timer()
            timer.Interval = 500
            timer.Tick += timer_tick
            timer.Start()
            Application.Run(form)

        gui = Thread(ThreadStart(create))
        gui.SetApartmentState(ApartmentState.STA)
        gui.Start()
        while gui.IsAlive:
            gui.Join(500)


class BrowserForm(Form):
    """pywebview's form of one window: its Edge view is ``browser`` (``browser.webview`` the control)."""

    browser = None


@pytest.fixture
def pywebview_gui(edge_backend, winsim, monkeypatch):
    gui = PywebviewGui(edge_backend)
    winsim.init_mode = "shown"
    monkeypatch.setattr(webview, "create_window", gui.create_window, raising=False)
    monkeypatch.setattr(webview, "start", gui.start, raising=False)
    monkeypatch.setitem(sys.modules, gui.module.__name__, gui.module)
    monkeypatch.setattr(webview.platforms, "winforms", gui.module, raising=False)
    monkeypatch.setitem(webview.settings, "OPEN_EXTERNAL_LINKS_IN_BROWSER",
                        webview.settings["OPEN_EXTERNAL_LINKS_IN_BROWSER"])
    yield gui
    if gui.form is not None:
        gui.form.sim_close()
    if gui.callback_thread is not None:
        gui.callback_thread.join(winsim.timeout)
