"""Every function of the package as callers see it: its signature (the annotations are texts),
where it lives, and the argument errors it raises before doing anything."""
import importlib
import inspect

import pytest

import panekit
from panekit import fetchkeep, framewell, glassport, helmwire, launcher, promptdeck, trailbar
from pkfunctions import FUNCTION, functions_of
from simplatform import CoreWebView2, Form
from simplatform.pywebview_sim import edge_backend  # noqa: F401 - fixture

MODULES = panekit.__all__
OPT_INT, OPT_STR, OPT_BOOL = "'Optional[int]' = None", "'Optional[str]' = None", "'Optional[bool]' = None"
RESULT = "'Dict[str, Any]'"
CLIENT = "port: %s, timeout: 'float' = 15.0" % OPT_INT
WAITS = CLIENT + ", wait: 'Optional[float]' = None"
HOST_MAIN = (
    "(*, start_url: 'str', home_url: %s, form_title: 'str' = 'panekit', "
    "user_data_folder: 'Optional[Path]' = None, with_control_server: 'bool' = True, control_host: %s, "
    "control_port_override: %s, browser_download_directory: %s, browser_download_prompt: %s) -> 'int'"
    % (OPT_STR, OPT_STR, OPT_INT, OPT_STR, OPT_BOOL))
REPL = "promptdeck.Webview2ControlReplBase."
HANDLER = "helmwire.start_control_server.<locals>._Handler."
TOOLBAR = "trailbar.attach_edge_chrome_toolbar.<locals>."
HOST = "framewell.run_toolbar_main.<locals>."
PATCH = "fetchkeep.apply_pywebview_edge_download_folder.<locals>._ready_wrapped"

# module.qualname -> the signature as inspect.signature() shows it. Names holding "<locals>" are
# the nested functions made at run time (the handlers, forwarders and host callables).
SIGNATURES = {
    "helmwire.control_port": "() -> 'int'",
    "helmwire.control_base_url": "(*, port: %s, host: %s) -> 'str'" % (OPT_INT, OPT_STR),
    "helmwire._control_address": "(*, port: %s, host: %s) -> 'str'" % (OPT_INT, OPT_STR),
    "helmwire.control_token": "(*, port: %s) -> 'Optional[str]'" % OPT_INT,
    "helmwire._bind_host": "(host: 'str') -> 'str'",
    "helmwire.start_control_server": (
        "(*, host: 'str', port: 'int', invoke_sync: 'Callable[[Callable[[], None]], None]', "
        "core: 'Callable[[], Any]', do_navigate: 'Callable[[str], None]', do_back: 'Callable[[], None]', "
        "do_forward: 'Callable[[], None]', do_reload: 'Callable[[], None]', "
        "log: 'Optional[Callable[[str], None]]' = None) -> 'Tuple[HTTPServer, threading.Thread]'"),
    "helmwire._http_post_json": "(path: 'str', body: 'Optional[Dict[str, Any]]' = None, *, %s) -> %s" % (
        CLIENT, RESULT),
    "helmwire._http_get_json": "(path: 'str', *, %s) -> %s" % (CLIENT, RESULT),
    "helmwire.remote_navigate": "(url: 'str', *, %s) -> %s" % (WAITS, RESULT),
    "helmwire.remote_go_back": "(*, %s) -> %s" % (WAITS, RESULT),
    "helmwire.remote_go_forward": "(*, %s) -> %s" % (WAITS, RESULT),
    "helmwire.remote_reload": "(*, %s) -> %s" % (WAITS, RESULT),
    "helmwire.remote_get_url": "(*, %s) -> %s" % (CLIENT, RESULT),
    "helmwire.remote_ready": "(*, %s) -> %s" % (CLIENT, RESULT),
    "helmwire.remote_state": "(*, %s) -> %s" % (CLIENT, RESULT),
    "helmwire.remote_script": "(script: 'str', *, %s, script_timeout: 'Optional[float]' = None) -> %s" % (
        CLIENT, RESULT),
    "helmwire.remote_screenshot": "(*, %s) -> %s" % (CLIENT, RESULT),
    "helmwire.remote_events": "(*, after: 'int' = 0, wait: 'Optional[float]' = None, %s) -> %s" % (CLIENT, RESULT),
    HANDLER + "log_message": "(self, fmt: 'str', *args: 'Any') -> 'None'",
    HANDLER + "_read_body": "(self) -> 'bytes'",
    HANDLER + "_json": "(self, code: 'int', obj: 'Any') -> 'None'",
    HANDLER + "do_OPTIONS": "(self) -> 'None'",
    HANDLER + "do_GET": "(self) -> 'None'",
    HANDLER + "do_POST": "(self) -> 'None'",
    HANDLER + "do_DELETE": "(self) -> 'None'",
    "trailbar.norm_browser_url": "(raw: 'str') -> 'str'",
    "trailbar._mdl2_font": "(size: 'float' = 11.0) -> 'Any'",
    "trailbar.attach_edge_chrome_toolbar": (
        "(wf: 'Any', drawing: 'Any', form: 'Any', holder: 'Dict[str, Any]', *, "
        "on_navigate: 'Callable[[str], None]', on_back: 'Callable[[], None]', "
        "on_forward: 'Callable[[], None]', on_reload: 'Callable[[], None]', start_url: 'str') "
        "-> 'Tuple[Any, Any]'"),
    TOOLBAR + "_layout": "(_s=None, _e=None)",
    TOOLBAR + "_addr_keypress": "(_s, e)",
    TOOLBAR + "_addr_preview": "(_s, e)",
    TOOLBAR + "<lambda>": "(_s, _e)",
    TOOLBAR + "_copy_link": "(_s=None, _e=None)",
    "fetchkeep._env_truthy": "(raw: 'Optional[str]') -> 'bool'",
    "fetchkeep.resolve_download_settings": "(directory: %s, prompt: %s) -> 'Tuple[Optional[str], bool]'" % (
        OPT_STR, OPT_BOOL),
    "fetchkeep.unique_download_target": "(folder: 'str', suggested_name: 'str') -> 'str'",
    "fetchkeep.handle_download_starting": (
        "(form: 'Any', _sender: 'Any', args: 'Any', folder: 'str', use_prompt: 'bool') -> 'None'"),
    "fetchkeep.attach_download_to_corewebview2": "(cv: 'Any', form: 'Any', folder: 'str', *, use_prompt: 'bool') -> 'None'",
    "fetchkeep.attach_download_to_corewebview2.<locals>._pnk_dl": "(_s: 'Any', a: 'Any') -> 'None'",
    "fetchkeep._refuse_downloads": "(cv: 'Any', error: 'Any') -> 'None'",
    "fetchkeep.configure_pywebview_edge_downloads": "(directory: %s, prompt: %s) -> 'None'" % (OPT_STR, OPT_BOOL),
    "fetchkeep.apply_pywebview_edge_download_folder": "(folder: 'str', *, use_prompt: 'bool') -> 'None'",
    PATCH: "(self: 'Any', sender: 'Any', args: 'Any') -> 'None'",
    PATCH + ".<locals>._pnk_dl": "(_s: 'Any', _a: 'Any') -> 'None'",
    "fetchkeep.clear_pywebview_edge_download_patch": "() -> 'None'",
    "promptdeck.help_commands_text": "() -> 'str'",
    "promptdeck.help_detail_text": "() -> 'str'",
    REPL + "__init__": "(self, port: 'int')",
    REPL + "port": "(self) -> 'int'",
    REPL + "emit": "(self, text: 'str') -> 'None'",
    REPL + "format_result": "(self, result: 'object') -> 'str'",
    REPL + "help_commands_line": "(self) -> 'str'",
    REPL + "help_detail_block": "(self) -> 'str'",
    REPL + "handle_navigate": "(self, url: 'str') -> 'object'",
    REPL + "handle_go_back": "(self) -> 'object'",
    REPL + "handle_go_forward": "(self) -> 'object'",
    REPL + "handle_reload": "(self) -> 'object'",
    REPL + "handle_get_url": "(self) -> 'object'",
    REPL + "handle_state": "(self) -> 'object'",
    REPL + "handle_script": "(self, script: 'str') -> 'object'",
    REPL + "handle_screenshot": "(self, path: 'str') -> 'object'",
    REPL + "handle_help": "(self) -> 'None'",
    REPL + "handle_quit": "(self) -> 'None'",
    REPL + "handle_navigate_missing_arg": "(self) -> 'None'",
    REPL + "handle_unknown": "(self, line: 'str') -> 'None'",
    REPL + "dispatch": "(self, line: 'str') -> 'bool'",
    REPL + "run_repl": "(self, *, prompt: 'str' = 'webview2> ') -> 'None'",
    REPL + "run_on_port": "(cls: 'Type[T]', port: 'int', *, prompt: 'str' = 'webview2> ') -> 'T'",
    "framewell.run_toolbar_main": HOST_MAIN,
    HOST + "_invoke_sync": "(act: 'Callable[[], None]') -> 'None'",
    HOST + "_core": "() -> 'Any'",
    HOST + "_do_navigate": "(url: 'str') -> 'None'",
    HOST + "_do_back": "() -> 'None'",
    HOST + "_do_forward": "() -> 'None'",
    HOST + "_do_reload": "() -> 'None'",
    "glassport._prepare_embedded_navigation": "() -> 'None'",
    "glassport.run_toolbar_main": HOST_MAIN,
    "gtkhost._Event.__init__": "(self) -> 'None'",
    "gtkhost._Event.__iadd__": "(self, handler: 'Any') -> 'Any'",
    "gtkhost._Event.__isub__": "(self, handler: 'Any') -> 'Any'",
    "gtkhost._ask_save_path": "(parent: 'Any', folder: 'str', name: 'str') -> 'Optional[str]'",
    "gtkhost.run_toolbar_main": HOST_MAIN,
    "launcher.host_backend": "(*, backend: %s) -> 'str'" % OPT_STR,
    "launcher.open_window": "(*, start_url: 'str' = '', backend: %s, " % OPT_STR + HOST_MAIN[len("(*, start_url: 'str', "):],
}
NESTED = sorted(name for name in SIGNATURES if "<locals>" in name)


@pytest.fixture
def closures(winsim, edge_backend, monkeypatch, tmp_path):  # noqa: F811 - fixture
    """The nested functions the package makes at run time, by qualified name."""
    import webview.util  # noqa: F401 - pywebview's real locator, imported while it still can be

    made = {}

    def keep(*fns):
        made.update((f.__qualname__, f) for f in fns)

    # the control server's request handler
    srv, th = helmwire.start_control_server(host="127.0.0.1", port=0, invoke_sync=print, core=print,
                                            do_navigate=print, do_back=print, do_forward=print,
                                            do_reload=print, log=lambda line: None)
    try:
        keep(*(f for f in vars(srv.RequestHandlerClass).values() if type(f) is FUNCTION))
    finally:
        srv.shutdown()
        srv.server_close()
        th.join(5)
    # the toolbar's handlers
    top, addr = trailbar.attach_edge_chrome_toolbar(
        winsim.WinForms, winsim.Drawing, Form(), {}, on_navigate=print, on_back=print,
        on_forward=print, on_reload=print, start_url="")
    keep(top.Resize.sim_handlers[0], addr.KeyPress.sim_handlers[0], addr.PreviewKeyDown.sim_handlers[0],
         *(b.Click.sim_handlers[0] for b in top.Controls if b.Click.sim_handlers))
    # the download forwarder of a core
    core = CoreWebView2()
    fetchkeep.attach_download_to_corewebview2(core, Form(), str(tmp_path), use_prompt=False)
    keep(*core.DownloadStarting.sim_handlers)
    # the pywebview patch: its ready wrapper and the forwarder it attaches
    winsim.pretend_windows()
    for name in ("_ORIG_EDGE_WEBVIEW_READY", "_SILENT_DOWNLOAD_FOLDER", "_DOWNLOAD_USE_PROMPT"):
        monkeypatch.setattr(fetchkeep, name, getattr(fetchkeep, name))
    fetchkeep.configure_pywebview_edge_downloads(directory=str(tmp_path), prompt=False)
    try:
        keep(edge_backend.EdgeChrome.__dict__["on_webview_ready"])
        chrome = edge_backend.make_view()
        chrome.webview.sim_initialize()
        keep(*chrome.webview.CoreWebView2.DownloadStarting.sim_handlers)
    finally:
        fetchkeep.configure_pywebview_edge_downloads()
    # the WinForms host's callables, as it hands them to the control server
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("Path", "C:\\base")
    for name in ("PANEKIT_USER_DATA", "PANEKIT_DOWNLOAD_DIRECTORY", "PANEKIT_BROWSER_DOWNLOAD_DIRECTORY"):
        monkeypatch.delenv(name, raising=False)
    handed = {}  # the host stops where it would start the server
    monkeypatch.setattr(framewell, "start_control_server", lambda **kw: handed.update(kw) or 1 / 0)
    with pytest.raises(ZeroDivisionError):
        framewell.run_toolbar_main(start_url="x")
    keep(*(v for v in handed.values() if type(v) is FUNCTION))
    return made


def defined():
    """module.qualname -> function, for every function the modules define at import."""
    return {m + "." + f.__qualname__: f for m in MODULES
            for f in functions_of(importlib.import_module("panekit." + m))}


def check(name, fn):
    module, qualname = name.split(".", 1)
    assert (fn.__module__, fn.__qualname__, fn.__name__) == (
        "panekit." + module, qualname, qualname.rsplit(".", 1)[-1])
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[name]
    # The attributes Python code reads hold what the signature shows, with the defaults' own types.
    params = sig.parameters.values()
    annotations = {p.name: p.annotation for p in params if p.annotation is not p.empty}
    if sig.return_annotation is not sig.empty:
        annotations["return"] = sig.return_annotation
    assert fn.__annotations__ == annotations
    positional = tuple(p.default for p in params if p.kind is p.POSITIONAL_OR_KEYWORD and p.default is not p.empty)
    keyword = {p.name: p.default for p in params if p.kind is p.KEYWORD_ONLY and p.default is not p.empty}
    assert fn.__defaults__ == (positional or None) and fn.__kwdefaults__ == (keyword or None)
    assert list(map(type, fn.__defaults__ or ())) == list(map(type, positional))
    assert list(map(type, (fn.__kwdefaults__ or {}).values())) == list(map(type, keyword.values()))


def test_every_function_has_one_row():
    assert sorted(defined()) == sorted(n for n in SIGNATURES if "<locals>" not in n)


@pytest.mark.parametrize("name", sorted(n for n in SIGNATURES if "<locals>" not in n))
def test_module_functions(name):
    fn = defined()[name]
    check(name, fn)
    if not fn.__name__.startswith("_"):
        assert isinstance(fn.__doc__, str) and fn.__doc__


def test_nested_functions(closures):
    assert sorted(closures) == sorted(n.split(".", 1)[1] for n in NESTED)
    for name in NESTED:
        check(name, closures[name.split(".", 1)[1]])


def _msg(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


def _takes(fn, how, n, given):
    return f"{fn}() takes {how} {n} positional argument{'s' if n != 1 else ''} ({given} given)"


def _needs(fn, name):
    return f"{fn}() needs keyword-only argument {name}"


class S(str):
    pass


REPL_CLS = promptdeck.Webview2ControlReplBase
TOOLBAR_KW = dict(on_navigate=print, on_back=print, on_forward=print, on_reload=print, start_url="")

# Refused before the function does anything: (call, message).
ERRORS = [
    (lambda: helmwire.control_base_url(1), _takes("control_base_url", "exactly", 0, 1)),
    (lambda: helmwire.control_base_url(port="80"), _msg("port", "int", "str")),
    (lambda: helmwire.control_base_url(host=5), _msg("host", "str", "int")),
    (lambda: helmwire.control_port(1), _takes("control_port", "exactly", 0, 1)),
    (lambda: helmwire.start_control_server(1), _takes("start_control_server", "exactly", 0, 1)),
    (lambda: helmwire.start_control_server(host="127.0.0.1", port=0, core=None),
     _needs("start_control_server", "invoke_sync")),
    (lambda: helmwire.start_control_server(host="127.0.0.1", port="0", invoke_sync=0, core=0, do_navigate=0,
                                           do_back=0, do_forward=0, do_reload=0), _msg("port", "int", "str")),
    (lambda: helmwire.remote_go_back(1), _takes("remote_go_back", "exactly", 0, 1)),
    (lambda: helmwire.remote_navigate(None), _msg("url", "str", "NoneType")),
    (lambda: helmwire.remote_navigate(), _takes("remote_navigate", "exactly", 1, 0)),
    (lambda: helmwire._http_post_json(), _takes("_http_post_json", "at least", 1, 0)),
    (lambda: helmwire._http_post_json("/", {}, 3), _takes("_http_post_json", "at most", 2, 3)),
    (lambda: helmwire._http_post_json("/", []), _msg("body", "dict", "list")),
    (lambda: helmwire._http_get_json("/", port="1"), _msg("port", "int", "str")),
    (lambda: helmwire._http_post_json("/", {"x": object()}, port=1), "Object of type object is not JSON serializable"),
    (lambda: trailbar.attach_edge_chrome_toolbar(None, None, None, None, **TOOLBAR_KW),
     _msg("holder", "dict", "NoneType")),
    (lambda: trailbar.attach_edge_chrome_toolbar(None, None, None, {}, **(TOOLBAR_KW | {"start_url": None})),
     _msg("start_url", "str", "NoneType")),
    (lambda: trailbar.attach_edge_chrome_toolbar(None, None, None, **TOOLBAR_KW),
     _takes("attach_edge_chrome_toolbar", "exactly", 4, 3)),
    (lambda: trailbar.attach_edge_chrome_toolbar(None, None, None, {}, on_navigate=print, on_reload=print,
                                                 start_url=""), _needs("attach_edge_chrome_toolbar", "on_back")),
    (lambda: fetchkeep.resolve_download_settings(prompt=1), _msg("prompt", "bool", "int")),
    (lambda: fetchkeep.resolve_download_settings(5), _msg("directory", "str", "int")),
    (lambda: fetchkeep.resolve_download_settings("a", None, None),
     _takes("resolve_download_settings", "at most", 2, 3)),
    (lambda: fetchkeep._env_truthy(1), _msg("raw", "str", "int")),
    (lambda: fetchkeep._env_truthy(), _takes("_env_truthy", "exactly", 1, 0)),
    (lambda: fetchkeep.unique_download_target(None, "a"), _msg("folder", "str", "NoneType")),
    (lambda: fetchkeep.unique_download_target("d", b"a"), _msg("suggested_name", "str", "bytes")),
    (lambda: fetchkeep.attach_download_to_corewebview2(None, None, "dl"),
     _needs("attach_download_to_corewebview2", "use_prompt")),
    (lambda: fetchkeep.apply_pywebview_edge_download_folder("dl"),
     _needs("apply_pywebview_edge_download_folder", "use_prompt")),
    (lambda: REPL_CLS("18765"), _msg("port", "int", "str")),
    (lambda: REPL_CLS.run_on_port("1"), _msg("port", "int", "str")),
    (lambda: REPL_CLS(1).emit(None), _msg("text", "str", "NoneType")),
    (lambda: REPL_CLS(1).emit(S("x")), _msg("text", "str", "S")),
    (lambda: REPL_CLS(1).dispatch(None), _msg("line", "str", "NoneType")),
    (lambda: REPL_CLS(1).handle_navigate(1), _msg("url", "str", "int")),
    (lambda: REPL_CLS(1).run_repl(prompt=None), _msg("prompt", "str", "NoneType")),
    (lambda: REPL_CLS(), _takes("__init__", "exactly", 2, 1)),
    (lambda: REPL_CLS(1).handle_go_back(1), _takes("handle_go_back", "exactly", 1, 2)),
    (lambda: REPL_CLS(1).run_repl("> "), _takes("run_repl", "exactly", 1, 2)),
    (lambda: launcher.host_backend("winforms"), _takes("host_backend", "exactly", 0, 1)),
    (lambda: launcher.host_backend(backend=1), _msg("backend", "str", "int")),
    (lambda: launcher.open_window("x"), _takes("open_window", "exactly", 0, 1)),
    (lambda: launcher.open_window(start_url=1), _msg("start_url", "str", "int")),
    (lambda: launcher.open_window(backend=b"gtk"), _msg("backend", "str", "bytes")),
] + [
    (lambda host=host, args=args, kw=kw: host.run_toolbar_main(*args, **kw), message)
    for host in (framewell, glassport)
    for args, kw, message in [
        ((1,), {"start_url": "x"}, _takes("run_toolbar_main", "exactly", 0, 1)),
        ((), {}, _needs("run_toolbar_main", "start_url")),
        ((), {"start_url": 1}, _msg("start_url", "str", "int")),
        ((), {"start_url": "", "home_url": b"h"}, _msg("home_url", "str", "bytes")),
        ((), {"start_url": "x", "form_title": None}, _msg("form_title", "str", "NoneType")),
        ((), {"start_url": "x", "control_port_override": "8080"}, _msg("control_port_override", "int", "str")),
        ((), {"start_url": "x", "browser_download_prompt": 1}, _msg("browser_download_prompt", "bool", "int")),
    ]
]


@pytest.mark.parametrize("call, message", ERRORS, ids=[m for _, m in ERRORS])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_nested_argument_errors(closures):
    with pytest.raises(TypeError) as info:
        closures["attach_download_to_corewebview2.<locals>._pnk_dl"]("sender")
    assert str(info.value) == _takes("_pnk_dl", "exactly", 2, 1)
    with pytest.raises(TypeError) as info:
        closures["run_toolbar_main.<locals>._do_navigate"](1)
    assert str(info.value) == _msg("url", "str", "int")
