"""The GTK host on a real WebKit view: page loads, history, new-window requests, the address box,
copy-link, downloads and closing, each observed where a user would see it."""

import json
import os
import subprocess
import sys
import threading
import time

import pytest
from gtktier import REPORT1, WAIT, clipboard, wait_until, xdotool

from panekit import helmwire

# Toolbar points, relative to the window: the bar is 52 pixels high, the address box starts after
# the three 36-pixel buttons, copy-link sits 12 pixels from the right edge.
BAR_Y = 26
BACK_X = 30
ENTRY_X = 400


def click(w, x, y):
    xdotool("mousemove", "--window", w.xid, x, y, "click", "1")


def press(xid, key):
    """A real key press in a window (focused first: there is no window manager to do it)."""
    xdotool("windowfocus", "--sync", xid)
    xdotool("key", key)


def width(w):
    geometry = xdotool("getwindowgeometry", w.xid).stdout
    return int(geometry.split("Geometry: ")[1].split("x")[0])


def test_control_and_history_through_the_command(open_window, site):
    w = open_window("/a.html")
    a, b = site.url("/a.html"), site.url("/b.html")
    rc, out = w.command("ready")
    assert rc == 0 and json.loads(out) == {"ok": True, "core": True, "url": a}
    assert w.command("navigate", b) == (0, json.dumps({"ok": True, "url": b}))
    w.wait_url(b)
    assert w.command("back") == (0, json.dumps({"ok": True}))
    w.wait_url(a)
    assert w.command("forward")[0] == 0
    w.wait_url(b)
    loads = site.hits.get("/b.html", 0)
    assert w.command("reload")[0] == 0
    wait_until(lambda: site.hits.get("/b.html", 0) > loads, "the reload to fetch the page again")
    w.wait_url(b)
    assert json.loads(w.command("url")[1]) == {"ok": True, "url": b}
    # back with nothing further back, then forward with nothing ahead: nothing happens
    assert helmwire.remote_go_forward(port=w.port) == {"ok": True}
    assert w.url() == b


def test_url_is_the_committed_page_not_the_requested_one(open_window, site):
    w = open_window("/a.html")
    gate = site.gates["/held1"] = threading.Event()
    try:
        assert helmwire.remote_navigate(site.url("/held1"), port=w.port)["ok"] is True
        wait_until(lambda: site.hits.get("/held1"), "the held page to be requested")
        # the request is out, the answer held back: the view still shows page A
        assert w.url() == site.url("/a.html")
        assert helmwire.remote_ready(port=w.port)["url"] == site.url("/a.html")
    finally:
        gate.set()
    w.wait_url(site.url("/held1"))


def test_new_window_requests_load_in_the_one_view(open_window, site):
    w = open_window("/blank.html")
    click(w, 600, 300)  # on the target=_blank link, with a real click
    w.wait_url(site.url("/c.html"))
    # a page opening a window from script, without any click, also stays in the one view
    helmwire.remote_navigate(site.url("/popup.html"), port=w.port)
    w.wait_url(site.url("/d.html"))
    assert w.windows_shown() == 1


def test_address_box_buttons_and_copy_link_by_real_input(open_window, site):
    w = open_window("/a.html")
    b = site.url("/b.html")
    click(w, ENTRY_X, BAR_Y)
    xdotool("key", "ctrl+a")
    xdotool("type", "--delay", "5", b)
    xdotool("key", "Return")
    w.wait_url(b)
    click(w, BACK_X, BAR_Y)
    w.wait_url(site.url("/a.html"))
    # the address box follows the page; copy-link puts its text on the clipboard
    click(w, width(w) - 30, BAR_Y)
    wait_until(lambda: clipboard() == site.url("/a.html"), "the address on the clipboard")


def test_address_box_follows_a_page_that_is_still_loading(open_window, site):
    # the page has been shown (committed) while its image is held back: the box already has its
    # address, although the load has not ended
    w = open_window("/a.html")
    page = site.url("/load.html")
    gate = site.gates["/slow.png"] = threading.Event()
    try:
        helmwire.remote_navigate(page, port=w.port)
        wait_until(lambda: helmwire.remote_get_url(port=w.port).get("url") == page, "the page committed")
        copy = width(w) - 30

        def copied():
            click(w, copy, BAR_Y)
            return clipboard() == page
        wait_until(copied, "the page's address on the clipboard")
        assert helmwire.remote_state(port=w.port)["loading"]
    finally:
        gate.set()


def test_attachments_are_saved_under_free_names(open_window, site):
    w = open_window("/a.html")
    # the first download stays in flight (the rest of its body held back) while the second one,
    # of the same name, starts: the name handed to the first stays taken
    first, second = w.downloads / "report.pdf", w.downloads / "report_2.pdf"
    gate = site.gates["/report1"] = threading.Event()
    try:
        helmwire.remote_navigate(site.url("/report1"), port=w.port)
        wait_until(lambda: f"静默下载保存到: {first}" in w.output(), "the first download to start")
        helmwire.remote_navigate(site.url("/report2"), port=w.port)
        wait_until(lambda: second.is_file(), "the second download in the folder")
    finally:
        gate.set()
    wait_until(lambda: first.is_file() and second.is_file(), "both downloads in the folder")
    wait_until(lambda: first.read_bytes() == REPORT1 and second.read_bytes() == b"two\n",
               "both downloads written")
    assert sorted(p.name for p in w.downloads.iterdir()) == ["report.pdf", "report_2.pdf"]
    # downloading is no navigation: the view keeps its page
    assert w.url() == site.url("/a.html")
    out = w.output()
    assert f"[panekit] 静默下载保存到: {first}" in out and f"[panekit] 静默下载保存到: {second}" in out


def test_prompt_download_opens_the_file_chooser_in_the_folder(open_window, site):
    w = open_window("/a.html", extra=("--download-prompt",))
    helmwire.remote_navigate(site.url("/report2"), port=w.port)
    chooser = wait_until(lambda: xdotool("search", "--onlyvisible", "--name", "^保存下载$").stdout.split(),
                         "the file chooser")
    press(chooser[0], "Return")  # accept the proposed name in the proposed folder
    target = w.downloads / "report.pdf"
    wait_until(lambda: target.is_file() and target.read_bytes() == b"two\n", "the chosen file")
    assert f"[panekit] 下载将保存到: {target}" in w.output()
    helmwire.remote_navigate(site.url("/report1"), port=w.port)
    chooser = wait_until(lambda: xdotool("search", "--onlyvisible", "--name", "^保存下载$").stdout.split(),
                         "the file chooser again")
    press(chooser[0], "Escape")
    wait_until(lambda: "[panekit] 用户取消了下载" in w.output(), "the cancel line")
    assert sorted(p.name for p in w.downloads.iterdir()) == ["report.pdf"]


def test_open_window_from_a_script_is_the_gtk_window(open_window, site):
    # The platform-neutral entry point, with no backend named anywhere: Linux's own host.
    def script(url, title, port, profile, downloads):
        return ("import pathlib, sys, panekit\n"
                f"sys.exit(panekit.open_window(start_url={url!r}, form_title={title!r}, "
                f"control_port_override={port}, user_data_folder=pathlib.Path({str(profile)!r}), "
                f"browser_download_directory={str(downloads)!r}))")

    w = open_window(script=script, env={"PANEKIT_HOST_BACKEND": ""})
    assert "(宿主=gtk)" in w.output()
    assert w.command("navigate", site.url("/b.html"), "--wait", "20")[0] == 0
    assert w.url() == site.url("/b.html")


NO_DISPLAY = ("[panekit] 无法打开图形显示（DISPLAY / WAYLAND_DISPLAY 未设置或不可用）：请在桌面会话中运行，"
              "或在虚拟显示下运行：xvfb-run -a panekit open [URL]")


@pytest.mark.parametrize("path, said", [
    (None, NO_DISPLAY),  # the tier has xvfb-run
    ("", NO_DISPLAY + "（先安装: %sapt-get install --no-install-recommends xvfb xauth）"
     % ("" if os.geteuid() == 0 else "sudo ")),
])
def test_no_display_refuses_with_one_line_naming_what_to_run(tmp_path, path, said):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["PANEKIT_HOST_BACKEND"] = "gtk"
    if path is not None:
        env["PATH"] = path
    run = subprocess.run([sys.executable, "-m", "panekit", "open", "http://127.0.0.1:9/", "--no-control-server"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=WAIT)
    assert run.returncode == 1
    assert [ln for ln in run.stdout.splitlines() if ln.startswith("[panekit]")] == [said]


@pytest.mark.skipif(not os.environ.get("PANEKIT_SCREENSHOT"), reason="PANEKIT_SCREENSHOT names no file")
def test_screenshot(open_window, site):
    """The toolbar above a real page, for the README (scripts/test-gtk.sh --screenshot)."""
    w = open_window("/home.html")
    time.sleep(1.0)  # let the page paint; nothing is asserted on timing
    out = os.environ["PANEKIT_SCREENSHOT"]
    subprocess.run(["import", "-window", str(w.xid), out], check=True, timeout=WAIT)
    assert os.path.getsize(out) > 0


def test_download_whose_file_cannot_be_made_says_so(open_window, site):
    """The folder removed after the window started: the download is cancelled with the failure
    line, never said saved, and no file appears anywhere."""
    w = open_window("/a.html")
    wait_until(lambda: "已挂载下载处理(WebKit)" in w.output(), "the download handler")
    w.downloads.rmdir()
    w.command("navigate", site.url("/report2"))
    wait_until(lambda: "处理下载失败，回退为取消" in w.output(), "the failure line")
    assert "静默下载保存到" not in w.output()
    assert not w.downloads.exists() and not list(w.log.parent.rglob("report*.pdf"))


@pytest.mark.parametrize("extra", [(), ("--download-prompt",)], ids=["silent", "prompt"])
def test_unusable_download_folder_cancels_every_download(open_window, site, tmp_path, extra):
    """A download folder that is a file: mounting fails with its line, and each download is then
    cancelled with the failure line instead of going to WebKit's own folder (or to a chooser)."""
    taken = tmp_path / "not-a-folder"
    taken.write_text("a file")
    w = open_window("/a.html", downloads=taken, extra=extra,
                    env={"HOME": str(tmp_path), "XDG_DOWNLOAD_DIR": str(tmp_path)})
    wait_until(lambda: "[panekit] 挂载下载处理失败" in w.output(), "the mount failure line")
    w.command("navigate", site.url("/report2"))
    wait_until(lambda: "[panekit] 处理下载失败，回退为取消" in w.output(), "the failure line")
    assert w.url() == site.url("/a.html")
    assert not list(tmp_path.rglob("report*"))


def test_unusable_profile_folder_is_one_line(tmp_path):
    run = subprocess.run([sys.executable, "-m", "panekit", "open", "--backend", "gtk", "--no-control-server",
                          "--user-data", os.devnull], capture_output=True, text=True, timeout=WAIT, cwd=tmp_path)
    assert run.returncode == 1 and "Traceback" not in run.stderr
    assert [ln for ln in run.stdout.splitlines() if ln.startswith("[panekit]")] == \
        [f"[panekit] 窗口无法启动: [Errno 17] File exists: '{os.devnull}'"]
