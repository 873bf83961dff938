import time
import urllib.request

import pytest

from ctlsupport import free_port
from panekit import fetchkeep
from simplatform.pywebview_sim import edge_backend, pywebview_gui  # noqa: F401 - fixtures

# urlopen builds its opener on first use, and its HTTPS handler reads the system's certificates,
# the Windows way once sys.platform pretends "win32"; build it here, on the real platform.
urllib.request.install_opener(urllib.request.build_opener())

_ENV = ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT",
        "PANEKIT_WINDOW_TITLE", "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY",
        "PANEKIT_DOWNLOAD_PROMPT", "PANEKIT_BROWSER_DOWNLOAD_PROMPT")
_PATCH_STATE = ("_ORIG_EDGE_WEBVIEW_READY", "_SILENT_DOWNLOAD_FOLDER", "_DOWNLOAD_USE_PROMPT")


@pytest.fixture(autouse=True)
def quiet_env(monkeypatch, tmp_path):
    """No host variables, a temporary working directory, and the download patch state restored."""
    for name in _ENV:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.chdir(tmp_path)
    saved = {name: getattr(fetchkeep, name) for name in _PATCH_STATE}
    yield
    for name, value in saved.items():
        setattr(fetchkeep, name, value)
    fetchkeep._PNK_DOWNLOAD_HANDLERS.clear()


@pytest.fixture
def port():
    return free_port()


class FakeClock:
    """Stands in for the host module's ``time``: the start-up waits pass in virtual seconds."""

    def __init__(self):
        self.now = self.start = 1000.0

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds
        time.sleep(0.0005)

    @property
    def elapsed(self):
        return self.now - self.start


@pytest.fixture
def clock(monkeypatch):
    from panekit import glassport

    c = FakeClock()
    monkeypatch.setattr(glassport, "time", c)
    return c
