"""The GTK host's refusals where its platform is missing (the window itself is the real-engine
tier's, tests_gtk/)."""

import sys
import types

import pytest

from panekit import gtkhost


def lines(capsys):
    return [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("[panekit]")]


@pytest.fixture(params=[0, 1000], ids=["root", "user"])
def sudo(request, monkeypatch):
    """The hint's command as this user types it: sudo for anyone but root."""
    monkeypatch.setattr(gtkhost.os, "geteuid", lambda: request.param, raising=False)
    return "" if request.param == 0 else "sudo "


def test_without_pygobject_one_line_says_what_to_install(monkeypatch, capsys, sudo):
    # The command brings the system packages and installs PyGObject into this interpreter's
    # environment (not a package-index name that does not exist there).
    monkeypatch.setitem(sys.modules, "gi", None)
    assert gtkhost.run_toolbar_main(start_url="x", control_port_override=1) == 1
    assert lines(capsys) == [
        f"[panekit] 缺少 PyGObject：{sudo}apt-get install --no-install-recommends gir1.2-webkit2-4.1 "
        f"libgirepository1.0-dev libcairo2-dev pkg-config gcc && {sys.executable} -m pip install "
        '"PyGObject>=3.42,<3.51" "pycairo>=1.20"']


@pytest.mark.parametrize("missing", ["Gtk", "WebKit2"])
def test_without_the_bindings_one_line_names_them(monkeypatch, capsys, missing, sudo):
    gi = types.ModuleType("gi")

    def require_version(namespace, version):
        if namespace == missing:
            raise ValueError(f"Namespace {namespace} not available for version {version}")
    gi.require_version = require_version
    monkeypatch.setitem(sys.modules, "gi", gi)
    assert gtkhost.run_toolbar_main(start_url="x") == 1
    version = "3.0" if missing == "Gtk" else "4.1"
    assert lines(capsys) == [
        f"[panekit] 缺少 GTK 3 / WebKit2 4.1（Namespace {missing} not available for version {version}）："
        f"{sudo}apt-get install --no-install-recommends gir1.2-webkit2-4.1"]
