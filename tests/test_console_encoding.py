"""Console lines on a stream whose encoding cannot show them (cp1252: English Windows with output
redirected to a pipe or a file): every writer prints the line with such characters escaped."""

import io
import os
import sys

import pytest

from panekit import fetchkeep, framewell, glassport, promptdeck
from simplatform import CoreWebView2, Form


def silent_download(tmp_path, monkeypatch):
    core, form = CoreWebView2(), Form()
    folder = str(tmp_path) + os.sep
    core.DownloadStarting += lambda sender, args: fetchkeep.handle_download_starting(
        form, sender, args, folder, False)
    args = core.sim_download("C:\\Users\\a\\Downloads\\报告.pdf")
    # the line that could not be encoded must not cancel the download
    assert (args.ResultFilePath, args.Cancel, args.Handled) == (folder + "报告.pdf", False, True)
    return "[panekit] 静默下载保存到: " + folder + "报告.pdf"


def refusal(host):
    def run(_, monkeypatch):
        monkeypatch.setattr(sys, "platform", "linux")  # the host refuses at once, whatever runs the test
        assert host.run_toolbar_main(start_url="x") == 1
        return "[panekit] 仅支持 Windows。"
    return run


def repl_help(*_):
    promptdeck.Webview2ControlReplBase(1).dispatch("h")
    return "  u / url              — 打印当前地址"


def repl_prompt(_, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO("q\n"))
    promptdeck.Webview2ControlReplBase(1).run_repl(prompt="页面> ")
    return "页面> "


@pytest.mark.parametrize("encoding", ["cp1252", "ascii"])
@pytest.mark.parametrize("write", [silent_download, refusal(framewell), refusal(glassport), repl_help, repl_prompt],
                         ids=["download", "framewell", "glassport", "repl-help", "repl-prompt"])
def test_unshowable_characters_come_out_escaped(winsim, tmp_path, monkeypatch, write, encoding):
    raw = io.BytesIO()
    stream = io.TextIOWrapper(raw, encoding=encoding, newline="\n", write_through=True)
    monkeypatch.setattr(sys, "stdout", stream)
    shown = write(tmp_path, monkeypatch)
    assert shown.encode(encoding, "backslashreplace").decode(encoding) in raw.getvalue().decode(encoding)
