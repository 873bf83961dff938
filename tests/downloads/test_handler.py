"""The DownloadStarting handler (silent save, Save-As, failures) and mounting it on a CoreWebView2."""

import os
import sys

import pytest

from panekit import fetchkeep
from simplatform import CoreWebView2, CoreWebView2DownloadStartingEventArgs, DialogResult, Form
from simplatform import CoreWebView2DownloadState as DownloadState

SILENT = "[panekit] 静默下载保存到: %s"
SAVE_AS = "[panekit] 下载将保存到: %s"
USER_CANCELLED = "[panekit] 用户取消了下载"
FAILED = "[panekit] 处理下载失败，回退为取消: %s"
MOUNTED = "[panekit] 已挂载下载处理(CoreWebView2): 目录=%s prompt=%s"
MOUNT_FAILED = "[panekit] 挂载下载处理失败: %s"
FILTER = "All files (*.*)|*.*"


@pytest.fixture
def core(winsim):
    return CoreWebView2()


@pytest.fixture
def form(winsim):
    f = Form()
    f.Show()  # a window with a handle: the handler can queue the Save-As dialog on its loop
    return f


@pytest.fixture
def folder(tmp_path):
    # Ends in a separator: the joined candidates are files inside tmp_path on this test system.
    return str(tmp_path) + os.sep


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def download(core, form, folder, use_prompt, proposed="C:\\Users\\a\\Downloads\\report.pdf", **kw):
    """Raise one DownloadStarting with handle_download_starting subscribed directly."""

    def handler(sender, args):
        fetchkeep.handle_download_starting(form, sender, args, folder, use_prompt)

    core.DownloadStarting += handler
    try:
        args = core.sim_download(proposed, **kw)
        core._plat.pump()  # the form's loop: a Save-As answer comes after the event returned
        assert args.sim_answered
        return args
    finally:
        core.DownloadStarting -= handler


# ---- silent mode --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "proposed, present, name",
    [
        ("C:\\Users\\a\\Downloads\\report.pdf", ["report.pdf"], "report_2.pdf"),
        ("C:\\Users\\a\\Downloads\\report.pdf", [], "report.pdf"),
        ("", ["download"], "download_2"),
        (None, [], "download"),
    ],
)
def test_silent_download_saved_under_free_name(winsim, core, form, folder, capsys, proposed, present, name):
    for n in present:
        open(folder + n, "w").close()
    args = download(core, form, folder, False, proposed)
    assert winsim.writes(args) == [("ResultFilePath", folder + name), ("Cancel", False), ("Handled", True)]
    assert (args.ResultFilePath, args.Cancel, args.Handled) == (folder + name, False, True)
    assert lines(capsys) == [SILENT % (folder + name)]


def _gone(folder):
    os.rmdir(folder)
    return folder


def _a_file(folder):
    path = folder + "plain-file"
    open(path, "w").close()
    return path + os.sep


@pytest.mark.parametrize("unusable", [_gone, _a_file], ids=["folder removed", "folder is a file"])
def test_file_that_cannot_be_made_cancels_and_is_never_said_saved(winsim, core, form, folder, capsys, unusable):
    target = unusable(folder)
    args = download(core, form, target, False)
    assert args.Cancel is True and not args.Handled
    (line,) = lines(capsys)
    assert line.startswith(FAILED % "") and "report.pdf" in line
    assert not os.path.exists(target + "report.pdf")


@pytest.mark.parametrize("reason, said", [("FileNoSpace", True), ("FileAccessDenied", True),
                                          ("UserCanceled", False), ("NetworkFailed", False)])
def test_file_that_cannot_be_written_later_says_so(core, form, folder, capsys, reason, said):
    op = download(core, form, folder, False).DownloadOperation
    capsys.readouterr()
    op.sim_state(DownloadState.Interrupted, can_resume=False, reason=reason)
    assert lines(capsys) == ([FAILED % reason] if said else [])


# More than a file name may have: 255 bytes (255 UTF-16 units on Windows), less the 11 of the
# engine's temporary suffix (".crdownload", ".wkdownload") that the file carries while it downloads.
LONG = "a" * 300
BYTES_NOT_CHARACTERS = pytest.mark.skipif(sys.platform == "win32", reason="Windows counts UTF-16 units")


@pytest.mark.parametrize("proposed, present, expected_base, expected_ext", [
    (LONG + ".pdf", [], "a" * 240, ".pdf"),
    (LONG + ".pdf", ["a" * 240 + ".pdf"], "a" * 235 + "_2", ".pdf"),  # room for the counter
    ("b." + LONG, [], "b." + "a" * 242, ""),  # an extension that leaves no room: cut as a whole
    pytest.param("é" * 150 + ".pdf", [], "é" * 120, ".pdf", marks=BYTES_NOT_CHARACTERS),  # 2 bytes each
])
def test_overlong_name_shortened_keeping_its_extension(core, form, folder, capsys, proposed, present,
                                                       expected_base, expected_ext):
    for n in present:
        open(folder + n, "w").close()
    args = download(core, form, folder, False, "C:\\dl\\" + proposed)
    assert args.Handled and args.ResultFilePath == folder + expected_base + expected_ext
    assert len((os.path.basename(args.ResultFilePath) + ".crdownload").encode()) <= 255
    assert lines(capsys) == [SILENT % args.ResultFilePath]


def test_unreadable_proposed_path_gives_fallback_name(winsim, core, form, folder, capsys):
    winsim.fail("CoreWebView2DownloadStartingEventArgs.ResultFilePath")
    args = download(core, form, folder, 0)
    assert args.Handled and lines(capsys) == [SILENT % (folder + "download")]


@pytest.mark.parametrize("end, can_resume", [(DownloadState.Completed, False),
                                              (DownloadState.Interrupted, False)])
def test_name_given_back_when_its_download_ends_for_good(core, form, folder, capsys, end, can_resume):
    first, second = download(core, form, folder, False), download(core, form, folder, False)
    assert (first.ResultFilePath, second.ResultFilePath) == (folder + "report.pdf", folder + "report_2.pdf")
    op = first.DownloadOperation
    assert len(op.StateChanged.sim_handlers) == 1
    if end is DownloadState.Completed:  # written, then moved away by the user
        open(first.ResultFilePath, "w").close()
        os.remove(first.ResultFilePath)
    op.sim_state(end, can_resume)
    assert len(op.StateChanged.sim_handlers) == 0
    assert download(core, form, folder, False).ResultFilePath == folder + "report.pdf"
    assert download(core, form, folder, False).ResultFilePath == folder + "report_3.pdf"
    assert len(lines(capsys)) == 4


def test_interrupted_download_that_can_resume_keeps_its_name(core, form, folder):
    """A newer download never shares the file of one that may still resume into it."""
    op = download(core, form, folder, False).DownloadOperation
    op.sim_state(DownloadState.Interrupted)  # e.g. the network dropped; CanResume is true
    assert download(core, form, folder, False).ResultFilePath == folder + "report_2.pdf"
    op.sim_state(DownloadState.InProgress)
    assert download(core, form, folder, False).ResultFilePath == folder + "report_3.pdf"
    op.sim_state(DownloadState.Completed)
    assert download(core, form, folder, False).ResultFilePath == folder + "report.pdf"


class BareArgs:
    """Download arguments offering no download operation."""

    ResultFilePath, Cancel, Handled = "C:\\x\\report.pdf", False, False


@pytest.mark.parametrize("refused", [False, True])
def test_name_without_followable_operation_is_held_for_minutes(winsim, folder, capsys, monkeypatch, refused):
    now = [1000.0]
    monkeypatch.setattr(fetchkeep, "_reservation_clock", lambda: now[0])
    bound = fetchkeep._RESERVATION_SECONDS
    assert 60 <= bound <= 600
    if refused:
        winsim.fail("CoreWebView2DownloadOperation.StateChanged+=")

    def silent():
        args = CoreWebView2DownloadStartingEventArgs("C:\\x\\report.pdf") if refused else BareArgs()
        fetchkeep.handle_download_starting(None, None, args, folder, False)
        assert (args.Cancel, args.Handled) == (False, True)
        return args.ResultFilePath[len(folder):]

    assert silent() == "report.pdf"
    now[0] += bound - 1
    assert silent() == "report_2.pdf"
    now[0] += 2  # the first hold has ended, the second has not
    assert silent() == "report.pdf"
    # a held path seen on disk is no longer held: once that file is gone the name is free
    open(folder + "report_2.pdf", "w").close()
    assert silent() == "report_3.pdf"
    os.remove(folder + "report_2.pdf")
    assert silent() == "report_2.pdf"
    assert lines(capsys) == [SILENT % (folder + n) for n in
                             ("report.pdf", "report_2.pdf", "report.pdf", "report_3.pdf", "report_2.pdf")]


@pytest.mark.parametrize("followed", [True, False])
def test_held_name_holds_every_spelling_of_it(core, form, folder, followed):
    """Windows file names ignore case and trailing dots and spaces: a name held for a download
    takes its other spellings too, while each download gets its name as built."""

    def silent(proposed):
        if followed:
            return download(core, form, folder, False, proposed=proposed)
        args = BareArgs()
        args.ResultFilePath = proposed
        fetchkeep.handle_download_starting(None, None, args, folder, False)
        return args

    first = silent("C:\\x\\Report.pdf")
    names = [silent("C:\\x\\" + n).ResultFilePath[len(folder):]
             for n in ("report.PDF", "REPORT_2.pdf", "rEpOrT.pdf", "report.pdf.", "REPORT.PDF ")]
    assert (first.ResultFilePath[len(folder):], names) == (
        "Report.pdf", ["report_2.PDF", "REPORT_2_2.pdf", "rEpOrT_3.pdf", "report.pdf_2.", "REPORT_4.PDF "])
    if followed:  # given back under the key it was held by
        first.DownloadOperation.sim_state(DownloadState.Interrupted, can_resume=False)
        assert silent("C:\\x\\REPORT.pdf").ResultFilePath == folder + "REPORT.pdf"


# ---- Save-As mode -------------------------------------------------------------------------------


@pytest.mark.parametrize("proposed, shown_name", [("D:\\t\\report.pdf", "report.pdf"), ("", "download")])
def test_save_as_cancelled_by_user(winsim, core, form, folder, capsys, proposed, shown_name):
    winsim.answer_save_dialog(DialogResult.Cancel)
    args = download(core, form, folder, True, proposed)
    dialog, owner, _ = winsim.dialogs[0]
    assert owner is form
    assert winsim.writes(dialog) == [
        ("InitialDirectory", folder), ("FileName", shown_name), ("Filter", FILTER), ("RestoreDirectory", True)]
    assert (args.Cancel, args.Handled, args.ResultFilePath) == (True, False, proposed)
    assert lines(capsys) == [USER_CANCELLED]


def test_save_as_confirmed(winsim, core, form, folder, capsys):
    winsim.answer_save_dialog(DialogResult.OK, "E:\\x.bin")
    args = download(core, form, folder, "yes")
    assert winsim.writes(args) == [("ResultFilePath", "E:\\x.bin"), ("Cancel", False), ("Handled", True)]
    assert lines(capsys) == [SAVE_AS % "E:\\x.bin"]


# ---- failures -----------------------------------------------------------------------------------


def test_handled_refused_falls_back_to_set_handled(winsim, core, form, folder, capsys):
    args = download(core, form, folder, False, refuse_handled=True)
    assert args.Handled is True
    assert ("call", "set_Handled", (True,)) in [(op, n, v) for _, op, n, v in winsim.ops(args)]
    assert lines(capsys) == [SILENT % (folder + "report.pdf")]


def test_cancel_false_refused_is_ignored(winsim, core, form, folder, capsys):
    winsim.fail("CoreWebView2DownloadStartingEventArgs.Cancel=", times=1)
    args = download(core, form, folder, False)
    assert args.Handled is True and args.Cancel is False
    assert lines(capsys) == [SILENT % (folder + "report.pdf")]


@pytest.mark.parametrize("use_prompt", [False, True])
def test_refused_result_path_cancels_with_message(winsim, core, form, folder, capsys, use_prompt):
    winsim.answer_save_dialog(DialogResult.OK, "E:\\x.bin")
    args = download(core, form, folder, use_prompt, refuse_result_file_path=True)
    assert (args.Cancel, args.Handled) == (True, False)
    assert lines(capsys) == [FAILED % "The path is not valid."]


def test_name_search_failure_cancels(core, form, folder, capsys, monkeypatch):
    def no_name(folder, name):
        raise OSError("disk gone")

    monkeypatch.setattr(fetchkeep, "unique_download_target", no_name)
    args = download(core, form, folder, False)
    assert (args.Cancel, args.Handled, args.ResultFilePath) == (True, False, "C:\\Users\\a\\Downloads\\report.pdf")
    assert lines(capsys) == [FAILED % "disk gone"]


# ---- attach_download_to_corewebview2 ------------------------------------------------------------


def test_attach_resolves_creates_and_subscribes(winsim, core, form, in_tmp, capsys):
    fetchkeep.attach_download_to_corewebview2(core, form, "dl", use_prompt=1)
    target = str(in_tmp / "dl")
    assert os.path.isdir(target)
    assert core.Profile.DefaultDownloadFolderPath == target
    assert lines(capsys) == [MOUNTED % (target, "True")]
    (handler,) = core.DownloadStarting.sim_handlers

    winsim.answer_save_dialog(DialogResult.OK, "E:\\x.bin")
    args = core.sim_download("C:\\u\\a.txt")
    assert winsim.dialogs == [] and not args.sim_answered  # asked once the event has returned
    winsim.pump()
    dialog, owner, settings = winsim.dialogs[0]
    assert args.sim_answered and owner is form and settings["InitialDirectory"] == target and settings["FileName"] == "a.txt"
    assert (args.ResultFilePath, args.Handled) == ("E:\\x.bin", True)


def test_attached_silent_download_lands_in_folder(core, form, tmp_path, capsys):
    fetchkeep.attach_download_to_corewebview2(core, form, str(tmp_path / "a" / "b"), use_prompt=False)
    target = str(tmp_path / "a" / "b")
    args = core.sim_download("C:\\u\\a.txt")
    # the name is joined onto the folder by the running system's rules: on Linux a backslash would
    # make "b\\a.txt" a file beside the folder
    assert args.ResultFilePath == os.path.join(target, "a.txt")
    assert lines(capsys) == [MOUNTED % (target, "False"), SILENT % os.path.join(target, "a.txt")]


def test_attach_without_profile_still_subscribes(winsim, core, form, tmp_path, capsys):
    winsim.has_profile = False
    fetchkeep.attach_download_to_corewebview2(core, form, str(tmp_path), use_prompt=False)
    assert len(core.DownloadStarting.sim_handlers) == 1
    assert lines(capsys) == [MOUNTED % (str(tmp_path), "False")]


def test_attach_subscription_failure_is_reported(winsim, core, form, tmp_path, capsys):
    winsim.fail("CoreWebView2.DownloadStarting+=")
    fetchkeep.attach_download_to_corewebview2(core, form, str(tmp_path), use_prompt=False)
    assert core.DownloadStarting.sim_handlers == []
    assert lines(capsys) == [MOUNT_FAILED % "simulated failure: CoreWebView2.DownloadStarting+="]


def test_attach_folder_error_propagates(core, form, tmp_path, capsys):
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError):
        fetchkeep.attach_download_to_corewebview2(core, form, str(tmp_path / "file" / "dl"), use_prompt=False)
    assert core.DownloadStarting.sim_handlers == []
    assert lines(capsys) == []


def test_forwarder_calls_current_module_handler(core, form, tmp_path, monkeypatch):
    fetchkeep.attach_download_to_corewebview2(core, form, str(tmp_path), use_prompt=[1])
    seen = []
    monkeypatch.setattr(fetchkeep, "handle_download_starting", lambda *a: seen.append(a))
    (handler,) = core.DownloadStarting.sim_handlers
    assert handler("sender", "args") is None
    assert seen == [(form, "sender", "args", str(tmp_path), True)]
