"""The GTK host's refusals where its platform is missing (the window itself is the real-engine
tier's, tests_gtk/)."""

import sys
import types

import pytest

from panekit import gtkhost


def lines(capsys):
    return [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("[panekit]")]


def test_without_pygobject_one_line_says_what_to_install(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "gi", None)
    assert gtkhost.run_toolbar_main(start_url="x", control_port_override=1) == 1
    assert lines(capsys) == [
        '[panekit] 缺少 PyGObject：pip install "panekit[gtk]"（构建它需要系统包：apt-get install '
        "libgirepository1.0-dev libcairo2-dev pkg-config）"]


@pytest.mark.parametrize("missing", ["Gtk", "WebKit2"])
def test_without_the_bindings_one_line_names_them(monkeypatch, capsys, missing):
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
        "apt-get install gir1.2-webkit2-4.1"]
