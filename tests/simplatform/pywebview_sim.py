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
"""

import sys
import types

import pytest

from .forms import Form
from .webview2 import WebView2

try:
    import webview
    import webview.platforms
except ImportError:  # a stand-in that stays for the whole test run, as the real package would
    webview = types.ModuleType("webview")
    webview.__path__ = []
    webview.settings = {"ALLOW_DOWNLOADS": False, "OPEN_EXTERNAL_LINKS_IN_BROWSER": True}
    webview.platforms = types.ModuleType("webview.platforms")
    webview.platforms.__path__ = []
    sys.modules.update({"webview": webview, "webview.platforms": webview.platforms})

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
