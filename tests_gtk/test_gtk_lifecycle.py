"""Downloads the engine decides on, a window's first seconds and its end by a signal, on a real
WebKit view: what the answers, the console, the download folder and the runtime folder show."""

import json
import os
import signal
import socket
import threading
import time

import pytest
from gtktier import BLOB, LONG_NAME, REPORT1, WAIT, Window, port_is_free, wait_until

from panekit import helmwire


@pytest.mark.parametrize("path, saved_as, body", [
    # a name over the file system's limit: shortened, with room for the engine's ".wkdownload"
    ("/long", "r" * 240 + ".pdf", REPORT1),
    # no Content-Disposition, a type the view cannot show: named after the address's last segment
    ("/files/data%20set.bin", "data set.bin", BLOB),
], ids=["long-attachment-name", "octet-stream"])
def test_download_of_any_kind_is_saved_and_reported(open_window, site, path, saved_as, body):
    w = open_window("/a.html")
    after = helmwire.remote_events(port=w.port)["next"]
    answer = helmwire.remote_navigate(site.url(path), port=w.port, wait=WAIT)
    assert answer == {"ok": True, "url": site.url("/a.html"), "download": True}
    target = w.downloads / saved_as
    wait_until(lambda: target.is_file() and target.read_bytes() == body, f"{saved_as} written")
    assert LONG_NAME not in w.output() and "处理下载失败" not in w.output()
    assert f"[panekit] 静默下载保存到: {target}" in w.output()

    def finished():
        events = helmwire.remote_events(port=w.port, after=after)["events"]
        return [e for e in events if e["type"].startswith("download_")]
    wait_until(lambda: len(finished()) == 2, "the download's events")
    assert [(e["type"], e["url"]) for e in finished()] == [("download_started", site.url(path)),
                                                           ("download_finished", site.url(path))]
    assert finished()[1]["path"] == str(target)


# How many windows the first-seconds test opens (PANEKIT_FIRST_SECONDS_RUNS=20 for a longer look).
FIRST_SECONDS_RUNS = int(os.environ.get("PANEKIT_FIRST_SECONDS_RUNS", "3"))


def test_navigation_in_a_windows_first_seconds_is_answered_by_its_own_load(tmp_path, site):
    """`panekit ready --wait`, then `panekit navigate URL --wait` as soon as the window answers,
    while its first page may not even have started: the answer is that navigation's own, never an
    empty address."""
    for i in range(FIRST_SECONDS_RUNS):
        w = Window(tmp_path / f"w{i}", site, f"panekit-first-{i}", f"/a.html?{i}")
        try:
            rc, out = w.command("ready", "--wait", str(WAIT))
            assert rc == 0 and json.loads(out)["core"] is True, out
            target = site.url(f"/b.html?{i}")
            rc, out = w.command("navigate", target, "--wait", str(WAIT))
            assert (rc, json.loads(out)) == (0, {"ok": True, "url": target, "title": "B"}), w.output()
        finally:
            w.proc.terminate()
            assert w.proc.wait(WAIT) == 0, w.output()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_signal_closes_the_window_as_its_close_button(tmp_path, site, runtime_folder, sig):
    w = Window(tmp_path, site, f"panekit-signal-{sig.name}")
    w.wait_ready(site.url("/a.html"))
    runtime_file = runtime_folder / "panekit" / f"control-{w.port}.json"
    assert runtime_file.is_file()
    w.proc.send_signal(sig)
    assert w.proc.wait(WAIT) == 0, w.output()
    out = w.output()
    assert f"[panekit] 收到 {sig.name}，关闭窗口" in out.splitlines()
    assert "Traceback" not in out and "CRITICAL" not in out and "WARNING" not in out
    assert not runtime_file.exists() and port_is_free(w.port)


def test_runtime_file_of_a_killed_window_is_ignored_and_replaced(tmp_path, site, runtime_folder):
    w = Window(tmp_path / "killed", site, "panekit-killed")
    w.wait_ready(site.url("/a.html"))
    w.proc.kill()
    w.proc.wait(WAIT)
    runtime_file = runtime_folder / "panekit" / f"control-{w.port}.json"
    dead = json.loads(runtime_file.read_text())
    assert dead["pid"] == w.proc.pid
    # until the next window on the port writes its own file, no client sends the dead one's token
    heads = []
    with socket.create_server(("127.0.0.1", w.port)) as stand_in:
        def answer_once():
            conn, _ = stand_in.accept()
            with conn:
                heads.append(conn.recv(65536))
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}")
        t = threading.Thread(target=answer_once)
        t.start()
        helmwire.remote_ready(port=w.port)
        t.join(WAIT)
    assert heads and dead["token"].encode() not in heads[0]
    port = w.port
    while not port_is_free(port):
        time.sleep(0.1)
    again = Window(tmp_path / "again", site, "panekit-again", extra=("--control-port", str(port)))
    again.port = port
    again.wait_ready(site.url("/a.html"))
    assert json.loads(runtime_file.read_text())["pid"] == again.proc.pid
    again.proc.terminate()
    assert again.proc.wait(WAIT) == 0 and not runtime_file.exists()
