"""Ctrl-C, Ctrl-Break and SIGTERM on the Windows hosts (simulated platform): the window closes as
its close button does, says one line, removes its runtime file, and the call returns 0; the
handlers the window replaced are back afterwards. The host runs on this test's thread, the main
one, as a script's `run_toolbar_main` would (signal handlers run on the main thread alone)."""

import signal
import threading
import urllib.request

import pytest

from ctlsupport import free_port
from panekit import framewell, glassport, helmwire
from simplatform.pywebview_sim import edge_backend, pywebview_gui  # noqa: F401 - fixtures

SIGNALS = [name for name in ("SIGINT", "SIGTERM", "SIGBREAK") if hasattr(signal, name)]


def on_main_thread_as_windows(winsim, monkeypatch, tmp_path):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("the tests run off the main thread here")
    # The client's opener is built while the platform is still itself (see the hosts' tests).
    monkeypatch.setattr(urllib.request, "_opener", urllib.request.build_opener())
    winsim.pretend_windows()
    monkeypatch.chdir(tmp_path)
    for var in ("PANEKIT_HOME", "PANEKIT_USER_DATA", "PANEKIT_CONTROL_HOST", "PANEKIT_CONTROL_PORT"):
        monkeypatch.delenv(var, raising=False)


def raise_once_steerable(winsim, port, name):
    """From another thread: once the window answers on its port, the signal, as a console's
    Ctrl-C or Ctrl-Break (or a kill) would deliver it to the process."""

    def go():
        winsim.wait_until(lambda: helmwire.remote_ready(port=port, timeout=2).get("ok"), what="the window")
        signal.raise_signal(getattr(signal, name))

    t = threading.Thread(target=go, daemon=True)
    t.start()
    return t


@pytest.mark.parametrize("name", SIGNALS)
@pytest.mark.parametrize("host, apartment", [
    ("framewell", None),   # the window on this thread: a timer lets the handlers run in the loop
    ("framewell", "MTA"),  # the window on an STA thread of its own, this thread joining it
    ("glassport", None),   # pywebview's own loop (and, for SIGINT, pywebview's own handler)
])
def test_a_signal_closes_the_window_as_its_close_button_does(winsim, request, monkeypatch, tmp_path, capsys,
                                                              name, host, apartment):
    on_main_thread_as_windows(winsim, monkeypatch, tmp_path)
    if apartment:
        winsim.set_apartment(apartment)
    if host == "glassport":
        request.getfixturevalue("pywebview_gui")
    before = {n: signal.getsignal(getattr(signal, n)) for n in SIGNALS}
    port = free_port()
    sender = raise_once_steerable(winsim, port, name)
    run = framewell.run_toolbar_main if host == "framewell" else glassport.run_toolbar_main
    assert run(start_url="start.example", control_port_override=port) == 0
    sender.join(winsim.timeout)

    said = [ln for ln in capsys.readouterr().out.splitlines() if "收到" in ln]
    assert said == ["[panekit] 收到 %s，关闭窗口" % name]
    assert {n: signal.getsignal(getattr(signal, n)) for n in SIGNALS} == before
    assert helmwire.control_token(port=port) is None  # the runtime file went with the window
    assert helmwire.remote_ready(port=port, timeout=2)["ok"] is False
    assert all(f._disposed or not f._shown for f in winsim.forms)


def test_a_signal_before_the_window_shows_closes_it_as_it_shows(winsim, monkeypatch, tmp_path, capsys):
    on_main_thread_as_windows(winsim, monkeypatch, tmp_path)
    toolbar = framewell.attach_edge_chrome_toolbar

    def built_then_signalled(*args, **kwargs):  # the form exists, its handle does not
        bar = toolbar(*args, **kwargs)
        signal.raise_signal(signal.SIGTERM)
        return bar

    monkeypatch.setattr(framewell, "attach_edge_chrome_toolbar", built_then_signalled)
    assert framewell.run_toolbar_main(start_url="start.example", with_control_server=False) == 0
    assert capsys.readouterr().out.count("[panekit] 收到 SIGTERM，关闭窗口") == 1
