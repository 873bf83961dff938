import pytest

import panekit.helmwire
from panekit import promptdeck

CLIENT_CALLS = ("remote_navigate", "remote_go_back", "remote_go_forward", "remote_reload",
                "remote_get_url", "remote_state", "remote_script")


class FakeClient:
    """Stands in for the control client calls of helmwire and records every call."""

    def __init__(self, monkeypatch):
        self.calls = []
        for name in CLIENT_CALLS:
            monkeypatch.setattr(panekit.helmwire, name, self._make(name), raising=False)

    def _make(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.result(name)
        return call

    @staticmethod
    def result(name):
        return {"ok": True, "op": name, "url": "https://例子.example/页"}


@pytest.fixture
def client(monkeypatch):
    return FakeClient(monkeypatch)


class RecordingRepl(promptdeck.Webview2ControlReplBase):
    """Counts calls of the quit hook, which prints nothing by default."""

    quits = 0

    def handle_quit(self):
        self.quits += 1
        return super().handle_quit()


@pytest.fixture
def repl():
    return RecordingRepl(18765)
