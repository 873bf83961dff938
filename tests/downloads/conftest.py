import pytest

from panekit import fetchkeep
from simplatform.pywebview_sim import edge_backend  # noqa: F401 - fixture

STATE = ("_ORIG_EDGE_WEBVIEW_READY", "_SILENT_DOWNLOAD_FOLDER", "_DOWNLOAD_USE_PROMPT")


@pytest.fixture(autouse=True)
def fetchkeep_state():
    """The module's process-wide patch state, restored after each test."""
    saved = {name: getattr(fetchkeep, name) for name in STATE}
    handlers = fetchkeep._PNK_DOWNLOAD_HANDLERS
    saved_handlers = dict(handlers)
    yield
    for name, value in saved.items():
        setattr(fetchkeep, name, value)
    fetchkeep._PNK_DOWNLOAD_HANDLERS = handlers
    handlers.clear()
    handlers.update(saved_handlers)


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    """A temporary working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path
