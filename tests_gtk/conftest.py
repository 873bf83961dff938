"""The real-engine tier: the GTK host on WebKitGTK under a virtual display, driven end to end.

Each window runs in a process of its own, started by the `panekit` command as a user would; the
tests steer it over its control port (the helmwire client and the `panekit` command) and with real
X input (xdotool), and read what it did from a local test site, the download folder and the
clipboard. scripts/test-gtk.sh installs what this needs and starts the display.
"""

import os
import sys

import pytest

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from gtktier import Site, Window, missing, port_is_free  # noqa: E402


def pytest_collection_modifyitems(config, items):
    reason = missing()
    if reason:
        for item in items:
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.fixture(scope="session", autouse=True)
def runtime_folder(tmp_path_factory):
    """The windows write their token files here, and the tests' clients read them from here."""
    folder = tmp_path_factory.mktemp("runtime")
    folder.chmod(0o700)
    saved = os.environ.get("XDG_RUNTIME_DIR")
    os.environ["XDG_RUNTIME_DIR"] = str(folder)
    yield folder
    if saved is None:
        del os.environ["XDG_RUNTIME_DIR"]
    else:
        os.environ["XDG_RUNTIME_DIR"] = saved


@pytest.fixture(scope="session")
def site():
    s = Site()
    yield s
    s.close()


@pytest.fixture
def open_window(tmp_path, site):
    """Opens windows on demand; each is closed (as its user would) and checked afterwards."""
    made = []

    def make(start="/a.html", **kw):
        w = Window(tmp_path / f"w{len(made)}", site, f"panekit-tier-{os.getpid()}-{len(made)}", start, **kw)
        made.append(w)
        return w.wait_ready(site.url(start))

    yield make
    for w in made:
        rc = w.close()
        assert rc == 0, w.output()
        assert port_is_free(w.port), "the control port is still bound after the window closed"
