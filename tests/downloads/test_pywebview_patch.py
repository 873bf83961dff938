"""The patch of pywebview's Edge ready handler: configure, apply, clear, and views becoming ready."""

import builtins
import os
import sys

import pytest
import webview

from panekit import fetchkeep
from simplatform import DialogResult, Form
from simplatform.pywebview_sim import PYWEBVIEW_READY
from simplatform.webview2 import CoreWebView2InitializationCompletedEventArgs

MOUNTED = "[panekit] 已挂载下载处理: 目录=%s prompt=%s"
MOUNT_FAILED = "[panekit] 挂载下载处理失败: %s"
SILENT = "[panekit] 静默下载保存到: %s"


@pytest.fixture(autouse=True)
def no_download_env(monkeypatch):
    for name in ("PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY",
                 "PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def patched(edge_backend, winsim, in_tmp):
    """Windows with the Edge backend, patched for folder "dl" of the working directory."""
    winsim.pretend_windows()
    fetchkeep.configure_pywebview_edge_downloads(directory="dl", prompt=False)
    return edge_backend


def state():
    return (fetchkeep._ORIG_EDGE_WEBVIEW_READY, fetchkeep._SILENT_DOWNLOAD_FOLDER,
            fetchkeep._DOWNLOAD_USE_PROMPT, dict(fetchkeep._PNK_DOWNLOAD_HANDLERS))


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def ready_view(backend, form=None):
    chrome = backend.make_view(form)
    chrome.webview.sim_initialize()
    return chrome, chrome.webview.CoreWebView2


# ---- configure / apply / clear ------------------------------------------------------------------


def test_nothing_configured_changes_nothing_and_imports_nothing(monkeypatch, in_tmp):
    imported = []
    real_import = builtins.__import__

    def recording_import(name, *args, **kwargs):
        imported.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(sys, "platform", "win32")
    allow = webview.settings["ALLOW_DOWNLOADS"]
    before = state()
    monkeypatch.setattr(builtins, "__import__", recording_import)
    fetchkeep.configure_pywebview_edge_downloads()
    fetchkeep.configure_pywebview_edge_downloads("   ", prompt=True)
    monkeypatch.setattr(builtins, "__import__", real_import)
    assert not [n for n in imported if n.startswith("webview")]
    assert state() == before and webview.settings["ALLOW_DOWNLOADS"] == allow


def test_configure_with_folder_installs_wrapper(patched, in_tmp):
    assert fetchkeep._SILENT_DOWNLOAD_FOLDER == str(in_tmp / "dl")
    assert os.path.isdir(in_tmp / "dl")
    assert fetchkeep._DOWNLOAD_USE_PROMPT is False
    assert webview.settings["ALLOW_DOWNLOADS"] is True
    assert fetchkeep._ORIG_EDGE_WEBVIEW_READY is PYWEBVIEW_READY


def test_second_configure_never_wraps_a_wrapper(patched, in_tmp, capsys):
    early = patched.make_view()  # bound to the first wrapper
    first_wrapper = patched.EdgeChrome.on_webview_ready
    fetchkeep.configure_pywebview_edge_downloads(directory="other", prompt=True)
    assert fetchkeep._ORIG_EDGE_WEBVIEW_READY is PYWEBVIEW_READY
    assert patched.EdgeChrome.on_webview_ready is not first_wrapper
    assert fetchkeep._DOWNLOAD_USE_PROMPT is True
    # views becoming ready from now on use the newer folder, whichever wrapper they were bound to
    early.webview.sim_initialize()
    ready_view(patched)
    assert lines(capsys) == [MOUNTED % (in_tmp / "other", True)] * 2
    assert len(early.sim_ready_runs) == 1


def test_configure_without_folder_removes_patch(patched, capsys):
    handlers = fetchkeep._PNK_DOWNLOAD_HANDLERS
    ready_view(patched)
    assert len(handlers) == 1
    fetchkeep._DOWNLOAD_USE_PROMPT = True
    fetchkeep.configure_pywebview_edge_downloads()
    assert patched.EdgeChrome.on_webview_ready is PYWEBVIEW_READY
    assert webview.settings["ALLOW_DOWNLOADS"] is False
    assert fetchkeep._PNK_DOWNLOAD_HANDLERS is handlers and handlers == {}
    assert (fetchkeep._SILENT_DOWNLOAD_FOLDER, fetchkeep._ORIG_EDGE_WEBVIEW_READY) == (None, None)
    assert fetchkeep._DOWNLOAD_USE_PROMPT is True


def test_not_windows_leaves_everything(edge_backend, in_tmp, monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")
    before = state()
    fetchkeep.configure_pywebview_edge_downloads(directory="dl", prompt=True)
    assert state() == before
    assert not os.path.exists(in_tmp / "dl")
    assert edge_backend.EdgeChrome.on_webview_ready is PYWEBVIEW_READY


def test_without_pywebview_backend_only_the_folder_is_recorded(in_tmp, monkeypatch, capsys):
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.setitem(sys.modules, "webview.platforms.edgechromium", None)  # import fails
    monkeypatch.delattr(sys.modules["webview.platforms"], "edgechromium", raising=False)
    allow = webview.settings["ALLOW_DOWNLOADS"]
    fetchkeep.apply_pywebview_edge_download_folder("dl", use_prompt="x")
    assert (fetchkeep._SILENT_DOWNLOAD_FOLDER, fetchkeep._DOWNLOAD_USE_PROMPT) == (str(in_tmp / "dl"), True)
    assert fetchkeep._ORIG_EDGE_WEBVIEW_READY is None
    assert webview.settings["ALLOW_DOWNLOADS"] == allow
    assert lines(capsys) == []


# ---- views becoming ready -----------------------------------------------------------------------


def test_ready_view_gets_our_handler_instead_of_pywebviews(patched, in_tmp, capsys):
    fd = str(in_tmp / "dl")
    chrome, core = ready_view(patched)
    assert len(chrome.sim_ready_runs) == 1  # pywebview's own ready handling ran first
    assert core.Profile.DefaultDownloadFolderPath == fd
    (handler,) = core.DownloadStarting.sim_handlers
    assert handler is fetchkeep._PNK_DOWNLOAD_HANDLERS[core]

    args = core.sim_download("C:\\Users\\a\\r.pdf")
    assert chrome.sim_own_downloads == []
    assert (args.ResultFilePath, args.Cancel, args.Handled) == (fd + "\\r.pdf", False, True)
    assert lines(capsys) == [MOUNTED % (fd, False), SILENT % (fd + "\\r.pdf")]


def test_save_as_dialog_owned_by_the_current_form(patched, winsim, in_tmp):
    fetchkeep.configure_pywebview_edge_downloads(directory="dl", prompt=True)
    chrome, core = ready_view(patched)
    chrome.form = later = Form()  # read at each download
    later.Show()
    winsim.answer_save_dialog(DialogResult.OK, "E:\\x.bin")
    args = core.sim_download("C:\\u\\a.txt")
    winsim.pump()  # the dialog is shown from the form's loop, after the event
    dialog, owner, settings = winsim.dialogs[0]
    assert owner is later and settings["InitialDirectory"] == str(in_tmp / "dl")
    assert args.ResultFilePath == "E:\\x.bin"


def test_failed_initialisation_runs_only_pywebviews_handler(patched, capsys):
    chrome = patched.make_view()
    chrome.webview.sim_initialize(Exception("boom"))
    assert len(chrome.sim_ready_runs) == 1
    assert fetchkeep._PNK_DOWNLOAD_HANDLERS == {}
    assert lines(capsys) == []


def test_missing_is_success_counts_as_success(patched, capsys):
    chrome, core = ready_view(patched)

    class Bare:
        pass

    # pywebview's own ready handler would read IsSuccess itself; keep this one to the wrapper
    fetchkeep._ORIG_EDGE_WEBVIEW_READY = lambda self, sender, args: None
    chrome.on_webview_ready(chrome.webview, Bare())
    assert len(lines(capsys)) == 2


def test_second_ready_event_replaces_the_handler(patched, capsys):
    # Each ready event reads the core anew (a new wrapper, another id()): the registry finds the
    # first handler by the core's .NET identity, so one forwarding handler stays subscribed.
    chrome, core = ready_view(patched)
    first = fetchkeep._PNK_DOWNLOAD_HANDLERS[core]
    chrome.on_webview_ready(chrome.webview, CoreWebView2InitializationCompletedEventArgs())
    (handler,) = core.DownloadStarting.sim_handlers
    assert handler is not first and handler is fetchkeep._PNK_DOWNLOAD_HANDLERS[core]
    assert len(fetchkeep._PNK_DOWNLOAD_HANDLERS) == 1
    assert len(chrome.sim_ready_runs) == 2


def test_mount_failure_is_reported_after_pywebviews_handler(patched, winsim, capsys):
    winsim.fail("WebView2.CoreWebView2", after=1, times=1)  # pywebview's handler reads it first
    chrome, _ = ready_view(patched)
    core = chrome.webview._core
    assert core.DownloadStarting.sim_handlers == [chrome.on_download_starting]
    assert fetchkeep._PNK_DOWNLOAD_HANDLERS == {}
    assert lines(capsys) == [MOUNT_FAILED % "simulated failure: WebView2.CoreWebView2"]


def test_clear_between_view_creation_and_ready_keeps_view_working(patched, capsys):
    chrome = patched.make_view()  # subscribed the wrapper
    fetchkeep.clear_pywebview_edge_download_patch()
    chrome.webview.sim_initialize()
    core = chrome.webview.CoreWebView2
    assert len(chrome.sim_ready_runs) == 1
    assert core.DownloadStarting.sim_handlers == [chrome.on_download_starting]
    assert core.sim_download().Cancel is True  # pywebview refuses downloads again
    assert lines(capsys) == []
