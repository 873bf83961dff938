"""The WinForms host's pending navigation: an address asked for before the browser core exists is
navigated after the first page, and both stay in the view's history."""

import pytest

from panekit import framewell


@pytest.fixture
def winforms(winsim, monkeypatch, tmp_path):
    import webview.util  # noqa: F401 - pywebview's real locator, imported while it still can be

    winsim.pretend_windows()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("Path", "C:\\base")
    winsim.init_mode = "manual"  # the core comes when the test says so
    return winsim


def test_first_page_then_the_queued_address(winforms):
    runner = winforms.start_ui_thread(framewell.run_toolbar_main, start_url="first.example",
                                      home_url="home.example", with_control_server=False)
    form = winforms.wait_until(lambda: next((f for f in winforms.forms if f._shown), None), what="a shown form")
    try:
        addr = next(c for c in form.Controls[1].Controls if type(c).__name__ == "TextBox")
        addr.sim_set_text("queued.example")
        form.sim_on_ui(lambda: addr.sim_press(winforms.WinForms.Keys.Return, "\r"))
        navigated = lambda: [v for o, op, n, v in winforms.log if op == "call" and n == "Navigate"]  # noqa: E731
        assert navigated() == []  # no core yet: the address waits
        winforms.webviews[0].sim_initialize()
        core = winforms.wait_core()
        winforms.wait_until(lambda: form.sim_on_ui(lambda: core.sim_history)[0] == [
            "https://first.example", "https://queued.example"], what="both pages in the history")
        assert navigated() == [("https://first.example",), ("https://queued.example",)]
        assert form.sim_on_ui(lambda: (core.sim_history, core.Source)) == (
            (["https://first.example", "https://queued.example"], 1), "https://queued.example")
    finally:
        form.sim_close()
    assert runner.join() == 0
