"""Download settings (arguments over the four environment variables) and non-clashing names."""

import os
import sys

import pytest

from panekit import fetchkeep

ENV_NAMES = (
    "PANEKIT_DOWNLOAD_DIRECTORY",
    "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY",
    "PANEKIT_DOWNLOAD_PROMPT",
    "PANEKIT_BROWSER_DOWNLOAD_PROMPT",
)


@pytest.fixture
def env(monkeypatch):
    """A clean download environment; monkeypatch restores the original afterwards."""
    for name in ENV_NAMES:
        monkeypatch.delenv(name, raising=False)

    def set_env(**values):
        for name, value in values.items():
            monkeypatch.setenv(name, value)

    return set_env


# ---- switch words -------------------------------------------------------------------------------


@pytest.mark.parametrize("raw", ["1", "true", "TRUE", " yes ", "On", "y", "\tY\n"])
def test_switch_words_on(raw):
    assert fetchkeep._env_truthy(raw) is True


@pytest.mark.parametrize("raw", [None, "", "   ", "0", "2", "enabled", "no", "off", "yes please", "t"])
def test_switch_words_off(raw):
    assert fetchkeep._env_truthy(raw) is False


# ---- resolve_download_settings ------------------------------------------------------------------


@pytest.mark.parametrize(
    "variables, expected",
    [
        ({}, (None, False)),
        ({"PANEKIT_BROWSER_DOWNLOAD_DIRECTORY": "out"}, ("out", False)),
        ({"PANEKIT_DOWNLOAD_DIRECTORY": "", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY": "out"}, ("out", False)),
        ({"PANEKIT_DOWNLOAD_DIRECTORY": "  C:\\dl ", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY": "out"},
         ("C:\\dl", False)),
        # a blank first variable is set, so it hides the second and gives no folder
        ({"PANEKIT_DOWNLOAD_DIRECTORY": "   ", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY": "out"}, (None, False)),
        ({"PANEKIT_DOWNLOAD_PROMPT": " YES "}, (None, True)),
        ({"PANEKIT_DOWNLOAD_PROMPT": "0", "PANEKIT_BROWSER_DOWNLOAD_PROMPT": "1"}, (None, False)),
        ({"PANEKIT_DOWNLOAD_PROMPT": "", "PANEKIT_BROWSER_DOWNLOAD_PROMPT": "on"}, (None, True)),
        ({"PANEKIT_BROWSER_DOWNLOAD_PROMPT": "on"}, (None, True)),
        ({"PANEKIT_DOWNLOAD_DIRECTORY": "dl", "PANEKIT_DOWNLOAD_PROMPT": "y"}, ("dl", True)),
    ],
)
def test_settings_from_environment(env, variables, expected):
    env(**variables)
    result = fetchkeep.resolve_download_settings()
    assert type(result) is tuple and result == expected
    assert type(result[1]) is bool


@pytest.mark.parametrize(
    "directory, prompt, expected",
    [
        ("  C:\\dl  ", None, ("C:\\dl", True)),
        ("", None, (None, True)),  # an empty argument does not fall back to the environment
        ("   ", False, (None, False)),
        ("rel\\dir", False, ("rel\\dir", False)),
    ],
)
def test_arguments_win_over_environment(env, directory, prompt, expected):
    env(PANEKIT_DOWNLOAD_DIRECTORY="env-dir", PANEKIT_DOWNLOAD_PROMPT="1")
    assert fetchkeep.resolve_download_settings(directory, prompt=prompt) == expected


def test_environment_is_read_at_every_call(env):
    assert fetchkeep.resolve_download_settings() == (None, False)
    env(PANEKIT_DOWNLOAD_DIRECTORY="later", PANEKIT_BROWSER_DOWNLOAD_PROMPT="true")
    assert fetchkeep.resolve_download_settings() == ("later", True)


# ---- unique_download_target: names --------------------------------------------------------------


@pytest.fixture
def on_windows(monkeypatch):
    """Names are joined by the rules of the running system: these cases are Windows ones."""
    monkeypatch.setattr(sys, "platform", "win32")


@pytest.mark.parametrize(
    "suggested, name",
    [
        ("", "download"),
        ("C:\\Users\\a\\report.pdf", "report.pdf"),
        ("C:/Users/a/report.pdf", "report.pdf"),
        ("mixed/sep\\last.txt", "last.txt"),
        ("C:report.pdf", "report.pdf"),  # a drive-relative path: the drive is not part of the name
        ("C:", "download"),
        ("dir\\", "download"),
        ("\\\\server\\share", "download"),  # a UNC drive alone names no file
        ("\\\\server\\share\\f.bin", "f.bin"),
        ("//?/UNC/server/share/f.bin", "f.bin"),
        ("..", "_"),
        ("...", "_."),
        ("a..b.txt", "a_b.txt"),
        ("report..pdf", "report_pdf"),
        ("..\\..\\evil.exe", "evil.exe"),
        ("ab:c.txt", "ab:c.txt"),
        ("报告 最终.docx", "报告 最终.docx"),
    ],
)
def test_name_taken_from_suggestion(on_windows, suggested, name):
    assert fetchkeep.unique_download_target("C:\\nowhere-panekit", suggested) == "C:\\nowhere-panekit\\" + name


@pytest.mark.parametrize(
    "folder, joined",
    [
        ("C:\\dl", "C:\\dl\\x.txt"),
        ("C:\\dl\\", "C:\\dl\\x.txt"),
        ("C:\\dl/", "C:\\dl/x.txt"),
        ("C:", "C:x.txt"),
        ("", "x.txt"),
        ("\\\\srv\\share", "\\\\srv\\share\\x.txt"),
        ("rel", "rel\\x.txt"),
    ],
)
def test_join_follows_windows_rules(on_windows, folder, joined):
    assert fetchkeep.unique_download_target(folder, "x.txt") == joined


@pytest.mark.parametrize(
    "folder, suggested, joined",
    [
        ("dl", "C:\\Users\\a\\report.pdf", "dl/report.pdf"),  # not "dl\\report.pdf" beside dl
        ("/srv/dl/", "x.txt", "/srv/dl/x.txt"),
        ("/srv/dl", "..", "/srv/dl/_"),
        ("", "x.txt", "x.txt"),
        ("dl\\", "x.txt", "dl\\/x.txt"),  # a backslash is part of a POSIX folder's name
    ],
)
def test_join_follows_posix_rules_elsewhere(monkeypatch, folder, suggested, joined):
    monkeypatch.setattr(sys, "platform", "linux")
    assert fetchkeep.unique_download_target(folder, suggested) == joined


def test_name_that_looks_like_a_drive_stays_in_the_folder(on_windows):
    # "a:b:c" names the file "b:c"; a plain Windows join would put it on drive b: instead
    assert fetchkeep.unique_download_target("C:\\dl", "a:b:c") == "C:\\dl\\b:c"


# ---- unique_download_target: clashes on the real file system ------------------------------------


@pytest.fixture
def folder(tmp_path):
    """A download folder text ending in a separator, so candidates are files inside tmp_path."""
    return str(tmp_path) + os.sep


@pytest.mark.parametrize(
    "suggested, taken, expected",
    [
        ("", [], "download"),
        ("", ["download"], "download_2"),
        ("", ["download", "download_2"], "download_3"),
        ("C:\\Users\\a\\report.pdf", ["report.pdf"], "report_2.pdf"),
        ("report..pdf", ["report_pdf"], "report_pdf_2"),
        ("archive.tar.gz", ["archive.tar.gz", "archive.tar_2.gz"], "archive.tar_3.gz"),
        (".env", [".env"], ".env_2"),
        ("x.txt", ["x.txt", "x_3.txt"], "x_2.txt"),  # the first free counter, not the next one up
    ],
)
def test_clash_gives_next_free_counter(folder, suggested, taken, expected):
    for name in taken:
        open(folder + name, "w").close()
    assert fetchkeep.unique_download_target(folder, suggested) == folder + expected


def symlink(target, path):
    """os.symlink, or a skip where this system makes no links."""
    try:
        os.symlink(target, path, target_is_directory=os.path.isdir(target))
    except OSError as e:  # Windows without the privilege to make links
        pytest.skip(f"no symbolic links here: {e}")
    if not os.path.lexists(path):
        pytest.skip("os.symlink reported success and made no link (as under wine)")


@pytest.mark.parametrize(
    "make",
    [
        lambda path, elsewhere: os.mkdir(path),
        lambda path, elsewhere: symlink(elsewhere, path),  # dangling: writing would go elsewhere
        lambda path, elsewhere: (open(elsewhere, "w").close(), symlink(elsewhere, path)),
        lambda path, elsewhere: (os.mkdir(elsewhere), symlink(elsewhere, path)),
    ],
    ids=["directory", "dangling-link", "link-to-file", "link-to-directory"],
)
def test_every_kind_of_entry_takes_the_name(folder, tmp_path_factory, make):
    elsewhere = str(tmp_path_factory.mktemp("outside") / "target")
    make(folder + "data.csv", elsewhere)
    assert fetchkeep.unique_download_target(folder, "data.csv") == folder + "data_2.csv"


def test_missing_folder_gives_the_plain_name(tmp_path):
    folder = str(tmp_path / "not" / "there") + os.sep
    assert fetchkeep.unique_download_target(folder, "a.txt") == folder + "a.txt"


@pytest.mark.parametrize("suggested", ["nul\x00name.txt", "lone\ud800.txt"])
def test_names_the_file_system_cannot_hold_count_as_free(folder, suggested):
    # compared as reprs: a failure report holding a lone surrogate cannot reach the test runner
    assert repr(fetchkeep.unique_download_target(folder, suggested)) == repr(folder + suggested)


@pytest.mark.skipif(sys.platform == "win32", reason="Windows file names are UTF-16 text: none holds undecodable bytes")
def test_undecodable_file_names_are_found(folder):
    # a name holding a byte that is not UTF-8 arrives as a surrogate escape, as os.listdir shows it
    with open(os.fsencode(folder) + b"bad\xffname.txt", "w"):
        pass
    # compared as the bytes the file system holds, which a failure report can carry
    got = fetchkeep.unique_download_target(folder, "bad\udcffname.txt")
    assert os.fsencode(got) == os.fsencode(folder) + b"bad\xffname_2.txt"


def test_all_names_taken_raises_naming_folder_and_name(folder):
    open(folder + "full.bin", "w").close()
    for i in range(2, 5000):
        open(folder + "full_%d.bin" % i, "w").close()
    with pytest.raises(OSError) as info:
        fetchkeep.unique_download_target(folder, "C:\\x\\full.bin")
    text = str(info.value)
    assert "full.bin" in text and folder in text
    # 5000 is never tried: once it exists too, the answer is still the error
    open(folder + "full_5000.bin", "w").close()
    with pytest.raises(OSError):
        fetchkeep.unique_download_target(folder, "full.bin")
