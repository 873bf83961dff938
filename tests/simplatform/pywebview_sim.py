"""pywebview's Edge backend, ``webview.platforms.edgechromium``, as far as the download patch
meets it, built on the simulated WebView2 of this package. The real ``webview`` package (its
``settings`` dict above all) is used; only the backend, which needs .NET and the Windows
registry, is stood in (where pywebview does not import at all, a minimal ``webview`` with its
``settings`` dict stands in for it too).

Like pywebview's, ``EdgeChrome.__init__`` subscribes the *bound* ``on_webview_ready`` of the
class attribute in force at that moment to the control's ``CoreWebView2InitializationCompleted``;
its ready handler subscribes ``on_download_starting``, which cancels every download while
``webview.settings["ALLOW_DOWNLOADS"]`` is false and otherwise records that pywebview's own
handling ran.

Fixture ``edge_backend`` (extends ``winsim``): installs the module as
``webview.platforms.edgechromium`` for one test and restores ``sys.modules``, the attribute of
``webview.platforms`` and ``webview.settings["ALLOW_DOWNLOADS"]`` afterwards. It sets
``winsim.init_mode = "manual"``: a test makes a view with ``backend.make_view()`` and fires the
ready event with ``chrome.webview.sim_initialize()`` (or ``sim_initialize(error)``).
"""

import sys
import types

import pytest

from .webview2 import WebView2


def _stand_in_webview():
    """A minimal `webview` package for systems where pywebview itself does not import: the
    `settings` dict (with pywebview's download key) and an empty `webview.platforms`."""
    pkg = types.ModuleType("webview")
    pkg.__path__ = []
    pkg.settings = {"ALLOW_DOWNLOADS": False, "OPEN_EXTERNAL_LINKS_IN_BROWSER": True}
    platforms = types.ModuleType("webview.platforms")
    platforms.__path__ = []
    pkg.platforms = platforms
    sys.modules["webview"] = pkg
    sys.modules["webview.platforms"] = platforms
    return pkg


try:
    import webview
    import webview.platforms
except ImportError:  # the stand-in stays for the whole test run, as the real package would
    webview = _stand_in_webview()

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
        if not args.IsSuccess:
            return
        sender.CoreWebView2.DownloadStarting += self.on_download_starting

    def on_download_starting(self, sender, args):
        self.sim_own_downloads.append(args)
        if not webview.settings["ALLOW_DOWNLOADS"]:
            args.Cancel = True


PYWEBVIEW_READY = EdgeChrome.on_webview_ready


class EdgeBackend:
    """The installed stand-in: ``module`` is what ``from webview.platforms import edgechromium``
    gives, ``EdgeChrome`` its class."""

    def __init__(self, plat):
        self.plat = plat
        # A fresh class per test, so a patch left behind by one test cannot leak into the next.
        self.EdgeChrome = type("EdgeChrome", (EdgeChrome,), {"on_webview_ready": PYWEBVIEW_READY})
        self.module = types.ModuleType(MODULE_NAME)
        self.module.EdgeChrome = self.EdgeChrome
        self.module.webview_settings = webview.settings

    def make_view(self, form=None):
        """An EdgeChrome with its WebView2 on a new (or the given) form; not yet ready."""
        from .forms import Form

        return self.EdgeChrome(form if form is not None else Form())


@pytest.fixture
def edge_backend(winsim, monkeypatch):
    backend = EdgeBackend(winsim)
    winsim.init_mode = "manual"
    monkeypatch.setitem(sys.modules, MODULE_NAME, backend.module)
    monkeypatch.setattr(webview.platforms, "edgechromium", backend.module, raising=False)
    monkeypatch.setitem(webview.settings, "ALLOW_DOWNLOADS", webview.settings["ALLOW_DOWNLOADS"])
    return backend
