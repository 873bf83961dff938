import io
import subprocess
import sys
from decimal import Decimal

import pytest

from panekit import promptdeck
from panekit.promptdeck import Webview2ControlReplBase

SUMMARY = "命令: n <url> 跳转 | b 后退 | f 前进 | r 刷新 | u 当前URL | h 帮助 | q 退出"
DETAIL = ("  n <url> / nav <url>  — 打开 URL（可省略 https://）\n"
          "  b / back             — 后退\n"
          "  f / forward          — 前进\n"
          "  r / reload           — 刷新\n"
          "  u / url              — 打印当前地址\n"
          "  s / state            — 打印页面状态（标题、是否在加载、能否后退/前进）\n"
          "  j <code> / js <code> — 在页面中运行 JavaScript 并打印结果（也可用 script）\n"
          "  shot <file>          — 把页面截图保存为 PNG 文件（也可用 screenshot）\n")
UNKNOWN = "  未知命令，输入 h 查看帮助。\n"
MISSING_PREFIX = "  请提供 URL，例如: n https://"
PORT = 18765


def test_texts():
    assert promptdeck.help_commands_text() == SUMMARY
    assert promptdeck.help_detail_text() == DETAIL


# (line, client call expected or None, what is printed) for every row of the command table.
NAV = "remote_navigate"
DISPATCH_CASES = [
    ("", None, ""),
    ("h", None, DETAIL + "\n"),
    ("HELP me please", None, DETAIL + "\n"),
    ("?", None, DETAIL + "\n"),
    ("n example.com", (NAV, ("example.com",)), "result"),
    ("N  WWW.Example.COM/Path  ", (NAV, ("WWW.Example.COM/Path",)), "result"),
    ("nav a b\t c", (NAV, ("a b\t c",)), "result"),
    ("goto 例子.中国", (NAV, ("例子.中国",)), "result"),
    ("Back and more", ("remote_go_back", ()), "result"),
    ("forward", ("remote_go_forward", ()), "result"),
    ("OPEN x", (NAV, ("x",)), "result"),
    ("  reload  ", ("remote_reload", ()), "result"),
    ("URL x", ("remote_get_url", ()), "result"),
    ("s", ("remote_state", ()), "result"),
    ("State now", ("remote_state", ()), "result"),
    ("js document.title", ("remote_script", ("document.title",)), "result"),
    ("SCRIPT  1 + 1 ", ("remote_script", ("1 + 1",)), "result"),
    ("j", None, "  请提供脚本，例如: js document.title\n"),
    ("shot", None, "  请提供文件名，例如: shot page.png\n"),
    ("zz", None, UNKNOWN),
    ("navigate x", None, UNKNOWN),
    ("nn example.com", None, UNKNOWN),
]


@pytest.mark.parametrize("line, call, printed", DISPATCH_CASES)
def test_dispatch_rows(repl, client, capsys, line, call, printed):
    assert repl.dispatch(line) is False
    out = capsys.readouterr().out
    if call is None:
        assert client.calls == []
        assert out == printed
    else:
        name, args = call
        assert client.calls == [(name, args, {"port": PORT})]
        assert out == str(client.result(name)) + "\n"
    assert repl.quits == 0


@pytest.mark.parametrize("line", ["n", "n   ", "nav", "GOTO", "open \t"])
def test_navigate_without_address(repl, client, capsys, line):
    assert repl.dispatch(line) is False
    out = capsys.readouterr().out
    assert out.startswith(MISSING_PREFIX) and out.endswith("\n") and out.count("\n") == 1
    assert client.calls == []


@pytest.mark.parametrize("line", ["q", "quit", "EXIT", "  exit now  ", "Q x"])
def test_quit_words(repl, client, capsys, line):
    assert repl.dispatch(line) is True
    assert repl.quits == 1
    assert capsys.readouterr().out == ""
    assert client.calls == []


def test_client_import_failure_propagates(repl, monkeypatch):
    import panekit.helmwire
    monkeypatch.delattr(panekit.helmwire, "remote_reload", raising=False)
    with pytest.raises(ImportError, match="remote_reload"):
        repl.dispatch("r")


def test_import_does_not_load_client_module():
    code = ("import sys, panekit.promptdeck as p; p.Webview2ControlReplBase(1).dispatch('h'); "
            "print('panekit.helmwire' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    assert out.endswith("False\n")


# ---- run_repl --------------------------------------------------------------------------

def feed(monkeypatch, text):
    monkeypatch.setattr(sys, "stdin", io.StringIO(text))


def test_run_repl_session(repl, client, capsys, monkeypatch):
    feed(monkeypatch, "n example.com\nzz\n\n   \nquit\nb\n")
    assert repl.run_repl() is None
    result = str(client.result(NAV))
    p = "webview2> "
    assert capsys.readouterr().out == (SUMMARY + "\n" + p + result + "\n" + p + UNKNOWN
                                       + p + p + p)
    assert [c[0] for c in client.calls] == [NAV]  # nothing after quit is read
    assert repl.quits == 1


def test_run_repl_end_of_input(repl, client, capsys, monkeypatch):
    feed(monkeypatch, "u\n")
    assert repl.run_repl(prompt="> ") is None
    out = capsys.readouterr().out
    assert out == SUMMARY + "\n> " + str(client.result("remote_get_url")) + "\n> \n"
    assert repl.quits == 0
    # The loop can run again after it returned.
    feed(monkeypatch, "")
    repl.run_repl()
    assert capsys.readouterr().out == SUMMARY + "\nwebview2> \n"


def test_run_repl_ctrl_c_at_prompt(repl, capsys, monkeypatch):
    prompts = []

    def interrupted(prompt=""):
        prompts.append(prompt)
        raise KeyboardInterrupt

    monkeypatch.setattr("builtins.input", interrupted)
    repl.run_repl(prompt="pk> ")
    assert prompts == ["pk> "]
    assert capsys.readouterr().out == SUMMARY + "\n\n"
    assert repl.quits == 0


@pytest.mark.parametrize("where", ["input", "handler"])
def test_other_errors_propagate(repl, client, monkeypatch, where):
    if where == "input":
        def broken(prompt=""):
            raise OSError("stdin closed")
        monkeypatch.setattr("builtins.input", broken)
    else:
        feed(monkeypatch, "b\nq\n")

        def failing(**kwargs):
            raise KeyboardInterrupt  # Ctrl-C while a command waits for the window
        import panekit.helmwire
        monkeypatch.setattr(panekit.helmwire, "remote_go_back", failing)
    with pytest.raises(OSError if where == "input" else KeyboardInterrupt):
        repl.run_repl()
    assert repl.quits == 0


def test_run_on_port_returns_instance(client, monkeypatch, capsys):
    class Sub(Webview2ControlReplBase):
        pass

    feed(monkeypatch, "r\nexit\n")
    inst = Sub.run_on_port(Decimal("9001.7"), prompt="$ ")
    assert type(inst) is Sub and inst.port == 9001
    assert client.calls == [("remote_reload", (), {"port": 9001})]
    assert capsys.readouterr().out.count("$ ") == 2


# ---- overriding through a subclass -------------------------------------------------------

class Custom(Webview2ControlReplBase):
    def __init__(self, port):
        super().__init__(port)
        self.lines = []

    def emit(self, text):
        self.lines.append(text)

    def format_result(self, result):
        return "R:" + result["op"]

    def help_commands_line(self):
        return "cmds"

    def help_detail_block(self):
        return "detail"

    def handle_navigate(self, url):
        result = super().handle_navigate(url.lower())
        self.emit("went " + url)
        return result

    def handle_go_back(self):
        return {"op": "own back"}

    def handle_unknown(self, line):
        self.emit("?? " + line)

    def handle_navigate_missing_arg(self):
        self.emit("no url")

    def dispatch(self, line):
        self.emit("> " + line)
        return super().dispatch(line)


def test_subclass_overrides_take_effect_everywhere(client, capsys, monkeypatch):
    r = Custom(1)
    feed(monkeypatch, "N Example.COM\nb\nh\nn\n Foo  bar \nu\nexit\n")
    r.run_repl(prompt="")
    assert r.lines == [
        "cmds",
        "> N Example.COM", "went Example.COM", "R:remote_navigate",
        "> b", "R:own back",
        "> h", "detail",
        "> n", "no url",
        ">  Foo  bar ", "?? Foo  bar",
        "> u", "R:remote_get_url",
        "> exit",
    ]
    assert client.calls == [(NAV, ("example.com",), {"port": 1}),
                            ("remote_get_url", (), {"port": 1})]
    assert capsys.readouterr().out == ""  # every line went through the overridden emit


def test_format_result_and_emit_defaults(repl, capsys):
    assert repl.format_result({"ok": False, "error": "x"}) == "{'ok': False, 'error': 'x'}"
    assert repl.format_result(None) == "None"
    repl.emit("中文 line")
    assert capsys.readouterr().out == "中文 line\n"


# ---- port and argument checks ------------------------------------------------------------

@pytest.mark.parametrize("given, port", [(18765, 18765), (18765.9, 18765), (-0.5, 0),
                                         (Decimal("80.99"), 80), (True, 1)])
def test_port_conversion(given, port):
    r = Webview2ControlReplBase(given)
    assert r.port == port and type(r.port) is int and r._port == port


def test_port_is_read_only(repl):
    with pytest.raises(AttributeError):
        repl.port = 1


def test_an_argument_error_calls_nothing(repl, client):
    with pytest.raises(TypeError) as info:
        repl.handle_navigate(1)
    assert str(info.value) == "Argument 'url' has incorrect type (expected str, got int)"
    assert client.calls == []


# ---- metadata ------------------------------------------------------------------------------

MEMBERS = ["__init__", "port", "emit", "format_result", "help_commands_line",
           "help_detail_block", "handle_navigate", "handle_go_back", "handle_go_forward",
           "handle_reload", "handle_get_url", "handle_state", "handle_script", "handle_screenshot",
           "handle_help", "handle_quit",
           "handle_navigate_missing_arg", "handle_unknown", "dispatch", "run_repl", "run_on_port"]


def test_class_shape():
    cls = Webview2ControlReplBase
    assert cls.__bases__ == (object,) and cls.__module__ == "panekit.promptdeck"
    assert cls.__qualname__ == "Webview2ControlReplBase"
    assert "handle_navigate" in cls.__doc__ and "super()" in cls.__doc__
    ns = vars(cls)
    assert [k for k in ns if not k.startswith("__") or k == "__init__"] == MEMBERS
    assert isinstance(ns["port"], property) and ns["port"].fset is None
    assert isinstance(ns["run_on_port"], classmethod)
    assert promptdeck.T.__bound__.__forward_arg__ == "Webview2ControlReplBase"


@pytest.mark.parametrize("answer, printed", [
    ({"ok": True, "png": b"\x89PNG picture"}, {"ok": True, "file": "<target>", "bytes": 12}),
    ({"ok": False, "error": "token required"}, {"ok": False, "error": "token required"}),
])
def test_screenshot_saves_the_picture(repl, monkeypatch, capsys, tmp_path, answer, printed):
    import panekit.helmwire
    calls = []
    monkeypatch.setattr(panekit.helmwire, "remote_screenshot", lambda **kw: calls.append(kw) or answer)
    target = tmp_path / "page.png"
    assert repl.dispatch(f"shot {target}") is False
    assert calls == [{"port": PORT}]
    printed = {k: str(target) if v == "<target>" else v for k, v in printed.items()}
    assert capsys.readouterr().out == str(printed) + "\n"
    assert target.exists() == answer["ok"] and (not target.exists() or target.read_bytes() == answer["png"])
