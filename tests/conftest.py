import os
import sys

import pytest

# Test helpers (the simulated platform among them) live beside the tests.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

pytest_plugins = ["simplatform.fixtures", "runguard"]


@pytest.fixture(autouse=True)
def _runtime_folder(tmp_path_factory):
    """Control servers write their token files into a folder of the test's own, and no token or
    guard of the environment running the tests applies. (A monkeypatch of its own: the test's
    `monkeypatch`, made this early, would be undone after the test's other fixtures.)"""
    folder = tmp_path_factory.mktemp("runtime")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("XDG_RUNTIME_DIR", str(folder))
        mp.setenv("XDG_CACHE_HOME", str(folder / "cache"))  # where the clients look as well
        mp.setenv("LOCALAPPDATA", str(folder))
        mp.delenv("PANEKIT_CONTROL_TOKEN", raising=False)
        mp.delenv("PANEKIT_CONTROL_AUTH", raising=False)
        yield folder
