"""Command line of panekit: ``panekit <command> [options]`` (the same as ``python -m panekit``).

Only argument parsing and dispatch live here; each command runs code of the extension modules.
A command is one ``_add_<name>`` function that declares its parser and sets its runner.
"""

import argparse
import contextlib
import errno
import json
import os
import re
import socket
import sys
import time

from panekit import __version__

from panekit import launcher

# The window backends of `panekit open` (name -> the module whose run_toolbar_main opens the
# window) and the rule that picks one live in panekit.launcher.
_BACKENDS = launcher.BACKENDS

# The control plane's limits, as helmwire defines them: requests slower than _REQUEST_SECONDS are
# reported as a time-out (the client calls' own default); _MAX_WAIT is the longest wait for a page
# load, and _WAIT_MARGIN what a waited request's time-out adds, so that the window's answer comes
# first.
from panekit.helmwire import _MAX_WAIT, _REQUEST_SECONDS, _WAIT_MARGIN  # noqa: E402


def _say(text, prefix="panekit: "):
    """One line for the user on standard error (which may be closed too)."""
    if sys.stderr is not None:
        with contextlib.suppress(OSError):
            print(prefix + text, file=sys.stderr, flush=True)


def _panekit_line(text):
    """One "[panekit] " line, as the window's own lines are written: on standard output, else on
    standard error when output is gone; what the stream's encoding cannot show is escaped."""
    for stream in (sys.stdout, sys.stderr):
        if stream is None:
            continue
        encoding = getattr(stream, "encoding", None) or "utf-8"
        line = ("[panekit] " + text).encode(encoding, "backslashreplace").decode(encoding, "replace")
        with contextlib.suppress(OSError, ValueError):
            print(line, file=stream, flush=True)
            return


def _output_closed(error):
    """Whether an error of writing to standard output means that nobody reads it any more: a pipe
    whose reader has gone (EPIPE; Windows reports EINVAL for it)."""
    return isinstance(error, BrokenPipeError) or (
        isinstance(error, OSError) and error.errno in (errno.EPIPE, errno.EINVAL))


def _drop_output():
    """Standard output has no reader: what is still buffered, and the interpreter's last flush,
    go nowhere instead of failing."""
    with contextlib.suppress(OSError, ValueError, AttributeError, TypeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _port(text):
    """A TCP port for argparse: an integer from 1 to 65535."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside 1-65535")
    return value


# A host name: dot-separated labels of letters, digits, "-" and "_" (no label begins or ends with
# "-"), with one trailing dot allowed.
_HOST_NAME = re.compile(r"(?!-)[A-Za-z0-9_-]{1,63}(?<!-)(\.(?!-)[A-Za-z0-9_-]{1,63}(?<!-))*\.?")


def _host_refusal(text, source):
    """Why `text` (from `source`: an option or a variable) is no host to reach the window at, or
    None. A host is a host name or an IP literal (an IPv6 one may be in brackets); a port, a path or
    anything else in it would send the request somewhere else."""
    import ipaddress  # only for a host given: a request to the default one does not load it

    text = text.strip()
    bare = text[1:-1] if text.startswith("[") and text.endswith("]") else text
    try:
        ipaddress.ip_address(bare)
        return None
    except ValueError:
        pass
    if bare is text and len(text) <= 253 and _HOST_NAME.fullmatch(text):
        return None
    return f"{source} {text!r} is not a host name or IP address (give a port with --port)"


def _port_variable_refusal():
    """Why PANEKIT_CONTROL_PORT holds no port, or None (a text that is no integer counts as unset)."""
    from panekit import helmwire

    port = helmwire.control_port()
    if 0 <= port <= 65535:
        return None
    return f"PANEKIT_CONTROL_PORT={os.environ.get('PANEKIT_CONTROL_PORT', '').strip()} is not a port (0-65535)"


def _address_refusal(host, port, host_option):
    """Why the control address that the options (`host`, `port`, None when not given) and the
    variables behind them name is unusable, or None. An empty host counts as not given."""
    source = host_option
    if not (host or "").strip():
        host, source = os.environ.get("PANEKIT_CONTROL_HOST", ""), "PANEKIT_CONTROL_HOST"
    refusal = _host_refusal(host, source) if host.strip() else None
    if refusal is None and port is None:
        refusal = _port_variable_refusal()
    return refusal


def _add_address(p):
    """--port and --host: the control address of the window a command talks to."""
    p.add_argument("--port", type=_port, default=None, metavar="N",
                   help="control port of the window (default: PANEKIT_CONTROL_PORT, else 18765)")
    p.add_argument("--host", default=None, metavar="H",
                   help="address of the window's control server (default: PANEKIT_CONTROL_HOST, "
                   "else 127.0.0.1)")


# ---- panekit open ------------------------------------------------------------------------

def _path(text):
    """A folder for argparse, as a pathlib.Path (pathlib is loaded by the command that uses it)."""
    from pathlib import Path

    return Path(text)


# Options of `panekit open` and the run_toolbar_main keywords they set; an option left out
# leaves the keyword out, so the host's own defaults and environment variables apply.
_OPEN_OPTIONS = (
    ("--home", "home_url", dict(metavar="URL", help="home page (default: PANEKIT_HOME)")),
    ("--title", "form_title", dict(metavar="TEXT", help="window title (default: panekit)")),
    ("--user-data", "user_data_folder",
     dict(metavar="DIR", type=_path,
          help="browser profile folder (default: PANEKIT_USER_DATA, else ./runtime_data/panekit)")),
    ("--no-control-server", "with_control_server",
     dict(action="store_const", const=False, help="do not start the HTTP control server")),
    ("--control-host", "control_host",
     dict(metavar="H", help="address the control server listens on (default: "
          "PANEKIT_CONTROL_HOST, else 127.0.0.1)")),
    ("--control-port", "control_port_override",
     dict(metavar="N", type=_port, help="control port (default: PANEKIT_CONTROL_PORT, else 18765)")),
    ("--download-dir", "browser_download_directory",
     dict(metavar="DIR", help="save downloads into this folder (default: "
          "PANEKIT_DOWNLOAD_DIRECTORY, then PANEKIT_BROWSER_DOWNLOAD_DIRECTORY)")),
    ("--download-prompt", "browser_download_prompt",
     dict(action=argparse.BooleanOptionalAction,
          help="offer each download in a Save-As dialog opening in the download folder "
          "(default: PANEKIT_DOWNLOAD_PROMPT, then PANEKIT_BROWSER_DOWNLOAD_PROMPT)")),
)


# Variables that an option of `panekit open` must beat: the host reads them before its keyword.
_OPTION_BEATS = {"form_title": ("PANEKIT_WINDOW_TITLE",)}


def _add_open(commands, names):
    p = commands.add_parser(
        "open",
        help="open the browser window (Windows; Linux with the gtk host)",
        description="Open the panekit window on URL (default: the home page) and wait until it "
        "is closed. The exit status is the window's: 0 after it closed, 1 when it could not "
        "start (for instance when its platform is missing, or when its control port is taken).",
    )
    p.add_argument("url", nargs="?", default="", metavar="URL", help="first page to show")
    p.add_argument("--backend", choices=tuple(_BACKENDS), default=None,
                   help="window backend (default: PANEKIT_HOST_BACKEND when it names one, else "
                   "gtk on Linux, pywebview elsewhere)")
    p.add_argument("--host", dest="old_backend", default=None, metavar="BACKEND",
                   help="deprecated spelling of --backend")
    for flag, keyword, spec in _OPEN_OPTIONS:
        p.add_argument(flag, dest=keyword, default=None, **spec)
    p.set_defaults(run=_run_open)


def _chosen_backend(args):
    """The backend to run, or None after saying why there is none."""
    old = args.old_backend
    if old is not None:
        if old not in _BACKENDS:
            _say(f"open --host {old}: on open, --host named the window backend (deprecated; use "
                 f"--backend {'|'.join(_BACKENDS)}); the control server's address is --control-host")
            return None
        _say(f"open --host is deprecated and goes in the next release; use --backend {old}")
    return launcher.host_backend(backend=args.backend or old)


def _control_address(args):
    """The (host, port) the window's control server will listen on, resolved as the hosts do."""
    from panekit import helmwire

    host = next((v for v in (args.control_host, os.environ.get("PANEKIT_CONTROL_HOST")) if v),
                "127.0.0.1").strip() or "127.0.0.1"
    port = args.control_port_override
    return host, int(port if port is not None else helmwire.control_port())


def _port_refusal(host, port):
    """Why the control server could not listen on (host, port) now, or None when it could. The
    probe binds as the server does (IPv4, or IPv6 for an IPv6 literal; on Windows exclusively, or
    a port that another program listens on would seem free)."""
    from panekit import helmwire

    try:
        bare = helmwire._bind_host(host)
        family = socket.AF_INET6 if ":" in bare else socket.AF_INET
        with socket.socket(family, socket.SOCK_STREAM) as s:
            if hasattr(socket, "SO_EXCLUSIVEADDRUSE"):
                s.setsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE, 1)
            elif hasattr(socket, "SO_REUSEADDR"):  # as the server: a closing connection is no owner
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((bare, port))
    except (OSError, OverflowError) as e:  # OverflowError: a port beyond 65535 from the variable
        # Windows refuses an exclusive bind to a port in use with WSAEACCES (errno EACCES), where
        # elsewhere EACCES means a port this user may not open.
        code = getattr(e, "errno", None)
        taken = code == errno.EADDRINUSE or (sys.platform == "win32" and code == errno.EACCES)
        if taken:
            return (f"the control port {port} on {host} is taken (another panekit window or program "
                    "listens there); choose another with --control-port N, or open the window "
                    "without one with --no-control-server")
        return (f"the control server cannot listen on {host}:{port}: {e}; choose another address "
                "with --control-host / --control-port, or open with --no-control-server")
    return None


def _run_open(args):
    backend = _chosen_backend(args)
    if backend is None:
        return 2
    if args.with_control_server is not False:
        refusal = _address_refusal(args.control_host, args.control_port_override, "--control-host")
        if refusal is not None:
            _say(refusal)
            return 2
        refusal = _port_refusal(*_control_address(args))
        if refusal is not None:
            _say(refusal)
            return 1
        # WebDriver clients (Selenium, ...) use the control address itself (said where the window
        # can open: the Windows hosts refuse other systems with their own line).
        if backend == "gtk" or sys.platform == "win32":
            from panekit import helmwire

            host, port = _control_address(args)
            _panekit_line(f"WebDriver {helmwire._control_address(port=port, host=host)}")
    name = _BACKENDS[backend]
    try:
        __import__(name)
    except ImportError as e:
        _say(f"the {backend} host ({name}) cannot be loaded: {e}")
        return 1
    keywords = {}
    for _, keyword, _ in _OPEN_OPTIONS:
        value = getattr(args, keyword)
        if value is not None:
            keywords[keyword] = value
            for variable in _OPTION_BEATS.get(keyword, ()):
                os.environ.pop(variable, None)
    try:
        return launcher.open_window(start_url=args.url, backend=backend, **keywords)
    except OSError as e:
        # What the window needs of the file system or the system (its profile folder, a display
        # connection) failed: said in one line, as the host's own refusals are.
        _panekit_line(f"窗口无法启动: {e}")
        return 1


# ---- one request to a running window -----------------------------------------------------

# command -> (name of the helmwire client call, whether it takes the address, help text)
_REQUESTS = {
    "ready": ("remote_ready", False, "ask whether the window and its browser are ready"),
    "url": ("remote_get_url", False, "print the address the window shows"),
    "navigate": ("remote_navigate", True, "make the window go to URL"),
    "back": ("remote_go_back", False, "go back in the window's history"),
    "forward": ("remote_go_forward", False, "go forward in the window's history"),
    "reload": ("remote_reload", False, "reload the page"),
    "state": ("remote_state", False, "print the page's address, title, loading and history state"),
}

# Commands that can wait until the page they navigate to has loaded.
_WAITED = ("navigate", "back", "forward", "reload")


def _add_requests(commands, names):
    for command in names:
        _, takes_url, text = _REQUESTS[command]
        p = commands.add_parser(
            command, help=text,
            description=f"{text[0].upper()}{text[1:]}: one request to a running panekit window. "
            "Prints its JSON answer on one line; the exit status is 0 when the answer says "
            '"ok": true' + (' and "core": true' if command == "ready" else "") + ", else 1.")
        if takes_url:
            p.add_argument("target", metavar="URL", help="address (https:// may be left out)")
        if command == "ready":
            p.add_argument("--wait", type=_seconds, default=None, metavar="SECONDS",
                           help="ask again until the browser is ready, for at most SECONDS")
        elif command in _WAITED:
            p.add_argument("--wait", type=_wait_seconds, default=None, metavar="SECONDS",
                           help="answer once the navigation has ended (loaded, failed or become a download), "
                           f"waiting at most SECONDS (up to {_MAX_WAIT:g}); the exit status is 0 when "
                           'the answer says "ok": true')
        _add_address(p)
        p.set_defaults(run=_run_request)


def _seconds(text):
    """A duration for argparse: a number of seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def _wait_seconds(text):
    """A wait for a page load: a number of seconds from 0 to _MAX_WAIT."""
    value = _seconds(text)
    if value > _MAX_WAIT:
        raise argparse.ArgumentTypeError(f"at most {_MAX_WAIT:g} seconds: {text!r}")
    return value


@contextlib.contextmanager
def _control_host(host):
    """The client calls take their host from PANEKIT_CONTROL_HOST; --host sets it meanwhile."""
    if host is None:
        yield
        return
    saved = os.environ.get("PANEKIT_CONTROL_HOST")
    os.environ["PANEKIT_CONTROL_HOST"] = host
    try:
        yield
    finally:
        if saved is None:
            del os.environ["PANEKIT_CONTROL_HOST"]
        else:
            os.environ["PANEKIT_CONTROL_HOST"] = saved


def _client_failure(result):
    """How a client call failed on its side, as the client says: "time-out", "unreachable" (no
    connection could be made, or the request could not be sent), or None for an answer."""
    return getattr(result, "kind", None)


def _failure_line(result, port, host=None, seconds=_REQUEST_SECONDS):
    """The one line shown instead of a client failure's raw text, or None for an answer."""
    from panekit import helmwire

    kind = _client_failure(result)
    if kind is None:
        return None
    where = helmwire._control_address(port=port)
    if kind == "time-out":
        return (f"the panekit window at {where} did not answer within {seconds:g} s (time-out); "
                "it may be busy, try again")
    start = "panekit open [URL]"
    if host is not None:
        start += f" --control-host {host}"
    if port is not None:
        start += f" --control-port {port}"
    return f"no panekit window answers at {where}; start one with: {start}"


def _too_long(url, wait=None):
    """Why the address cannot be sent (its request body, as remote_navigate writes it, is over the
    control server's limit), or None. The server would drop such a request unread, which a client
    sees as a lost connection."""
    from panekit import helmwire, trailbar

    limit = helmwire._MAX_BODY_BYTES
    sent = {"url": trailbar.norm_browser_url(url)}
    if wait is not None:
        sent["wait"] = wait
    body = json.dumps(sent, ensure_ascii=False)
    size = len(body.encode("utf-8", "surrogatepass"))
    if size <= limit:
        return None
    return (f"the address is too long to send: its request is {size} bytes, a panekit window "
            f"takes at most {limit}")


def _is_ready(result):
    return isinstance(result, dict) and result.get("ok") is True and result.get("core") is True


def _wait_ready(call, port, seconds):
    """remote_ready until the browser is ready or `seconds` have passed: the last result and the
    time-out its request had."""
    deadline = time.monotonic() + seconds
    while True:
        timeout = min(_REQUEST_SECONDS, max(deadline - time.monotonic(), 0.5))
        result = call(port=port, timeout=timeout)
        if _is_ready(result) or deadline - time.monotonic() <= 0:
            return result, timeout
        time.sleep(min(0.25, max(deadline - time.monotonic(), 0)))


def _print_answer(result):
    """The answer as one JSON line; a console that cannot show its characters gets it escaped."""
    if sys.stdout is None:
        return
    try:
        print(json.dumps(result, ensure_ascii=False), flush=True)
    except UnicodeEncodeError:
        print(json.dumps(result), flush=True)


def _run_request(args):
    from panekit import helmwire

    refusal = _address_refusal(args.host, args.port, "--host")
    if refusal is not None:
        _say(refusal)
        return 2
    call_name, takes_url, _ = _REQUESTS[args.command]
    call = getattr(helmwire, call_name)
    wait = getattr(args, "wait", None)
    waited = wait is not None and args.command in _WAITED
    timeout = _REQUEST_SECONDS
    extra = {}
    if waited:
        extra["wait"] = wait
        timeout = max(_REQUEST_SECONDS, wait + _WAIT_MARGIN)
    target = ()
    if takes_url:
        refusal = _too_long(args.target, extra.get("wait"))
        if refusal is not None:
            _say(refusal)
            return 1
        target = (args.target,)
    with _control_host(args.host):
        if args.command == "ready" and wait is not None:  # asks again until the browser is ready
            result, timeout = _wait_ready(call, args.port, wait)
        else:
            result = call(*target, port=args.port, timeout=timeout, **extra)
        # The window's own "timed out": its wait ran out (an answer, not the request's time-out).
        window_timed_out = (waited and isinstance(result, dict) and result.get("error") == "timed out"
                            and _client_failure(result) is None)
        failure = None if window_timed_out else _failure_line(result, args.port, args.host, timeout)
    if failure is not None:
        _say(failure, prefix="")  # a sentence about the window, as the REPL shows it
        return 1
    ok = _is_ready(result) if args.command == "ready" else (
        isinstance(result, dict) and result.get("ok") is True)
    _printed(result)
    if args.command == "ready" and wait is not None and not ok:
        _say(f"the browser was not ready within {wait:g} s")
    if window_timed_out:
        _say(f"the page did not finish loading within {wait:g} s")
    return 0 if ok else 1


# ---- reading the page: script, screenshot, events ----------------------------------------------

def _add_page_reads(commands, names):
    if "script" in names:
        p = commands.add_parser(
            "script", help="run JavaScript in the window's page and print its result",
            description="Run SCRIPT in the page the window shows and print its result as JSON (null for "
            "undefined); the exit status is 0 when it ran, 1 when it threw (the answer, with the "
            "engine's error text, is printed instead) or no answer came.")
        p.add_argument("script", metavar="SCRIPT", help="JavaScript; its last expression is the result")
        p.add_argument("--timeout", type=_wait_seconds, default=None, metavar="SECONDS",
                       help=f"how long the window waits for the result (default 10, up to {_MAX_WAIT:g})")
        _add_address(p)
        p.set_defaults(run=_run_script)
    if "screenshot" in names:
        p = commands.add_parser(
            "screenshot", help="save a PNG picture of the window's page",
            description="Save what the window's page shows, at the view's size, as a PNG file; prints "
            '{"ok": true, "file": FILE, "bytes": N}.')
        p.add_argument("file", metavar="FILE", type=_path, help="the PNG file to write")
        _add_address(p)
        p.set_defaults(run=_run_screenshot)
    if "events" in names:
        p = commands.add_parser(
            "events", help="print the page's events (navigations, titles, downloads), one JSON object a line",
            description="Print the page's recent events, oldest first, one JSON object a line; with "
            "--follow, go on printing them as they happen until the window closes.")
        p.add_argument("--follow", action="store_true", help="keep printing events as they happen")
        p.add_argument("--after", type=int, default=0, metavar="N", help="only events after sequence number N")
        _add_address(p)
        p.set_defaults(run=_run_events)


def _answer_or_failure(args, result, seconds=_REQUEST_SECONDS):
    """The answer, or None after saying in one line that no window answered."""
    failure = _failure_line(result, args.port, args.host, seconds)
    if failure is not None:
        _say(failure, prefix="")
        return None
    return result


def _printed(value):
    """Prints one JSON line; False when nobody reads the output any more."""
    try:
        _print_answer(value)
        return True
    except OSError as e:
        if not _output_closed(e):
            raise
        _drop_output()
        return False


def _run_script(args):
    from panekit import helmwire

    seconds = max(_REQUEST_SECONDS, (args.timeout or 0) + _WAIT_MARGIN)
    with _control_host(args.host):
        extra = {} if args.timeout is None else {"script_timeout": args.timeout}
        result = _answer_or_failure(args, helmwire.remote_script(args.script, port=args.port, timeout=seconds,
                                                                 **extra), seconds)
    if result is None:
        return 1
    ok = result.get("ok") is True
    _printed(result.get("value") if ok else result)
    return 0 if ok else 1


def _run_screenshot(args):
    from panekit import helmwire

    with _control_host(args.host):
        result = _answer_or_failure(args, helmwire.remote_screenshot(port=args.port))
    if result is None:
        return 1
    if result.get("ok") is not True:
        _printed(result)
        return 1
    args.file.write_bytes(result["png"])
    _printed({"ok": True, "file": str(args.file), "bytes": len(result["png"])})
    return 0


# How long one waiting request of `events --follow` lasts.
_FOLLOW_WAIT = 30.0


def _run_events(args):
    from panekit import helmwire

    after = args.after
    with _control_host(args.host):
        while True:
            wait = _FOLLOW_WAIT if args.follow else None
            result = helmwire.remote_events(after=after, wait=wait, port=args.port,
                                            timeout=_REQUEST_SECONDS + (wait or 0))
            if _answer_or_failure(args, result) is None:
                return 1
            if result.get("ok") is not True:
                _printed(result)
                return 1
            if result.get("dropped"):
                _say(f"{result['dropped']} events were no longer held by the window")
            for event in result["events"]:
                if not _printed(event):
                    return 0
                if event.get("type") == "window_closing":
                    return 0
            after = result["next"]
            if not args.follow:
                return 0


# ---- panekit token -----------------------------------------------------------------------

def _add_token(commands, names):
    p = commands.add_parser(
        "token", help="print the token of the window on the control port (for curl)",
        description="Print the token that the window on the control port wrote into its runtime file "
        "(PANEKIT_CONTROL_TOKEN when set), which other clients send as \"Authorization: Bearer "
        "<token>\"; exit status 1, with one line, when there is none.")
    p.add_argument("--port", type=_port, default=None, metavar="N",
                   help="control port of the window (default: PANEKIT_CONTROL_PORT, else 18765)")
    p.set_defaults(run=_run_token)


def _run_token(args):
    from panekit import helmwire

    refusal = _port_variable_refusal() if args.port is None else None
    if refusal is not None:
        _say(refusal)
        return 2
    token = helmwire.control_token(port=args.port)
    if token is None:
        port = args.port if args.port is not None else helmwire.control_port()
        start = "panekit open [URL]" + ("" if args.port is None else f" --control-port {port}")
        _say(f"no token for port {port}: no panekit window of this user listens there and "
             f"PANEKIT_CONTROL_TOKEN is not set; start one with: {start}", prefix="")
        return 1
    try:
        print(token, flush=True)  # the bare text, for TOKEN=$(panekit token)
    except OSError as e:
        if not _output_closed(e):
            raise
        _drop_output()
    return 0


# ---- panekit repl ------------------------------------------------------------------------

def _add_repl(commands, names):
    p = commands.add_parser(
        "repl",
        help="steer a running panekit window from this console",
        description="Read commands (n <url>, b, f, r, u, s, h, q) from standard input and send "
        "them to the control port of a running panekit window.",
    )
    _add_address(p)
    p.set_defaults(run=_run_repl)


def _console_repl(base, port, host):
    """The REPL class of `panekit repl`: says plainly when a request got no answer, and refuses an
    address too long to send. (Made here, as the REPL module is loaded only for this command.)"""

    def format_result(self, result):
        line = _failure_line(result, port, host)
        return line if line is not None else base.format_result(self, result)

    def handle_navigate(self, url):
        refusal = _too_long(url) if type(url) is str else None
        if refusal is not None:
            return {"ok": False, "error": refusal}
        return base.handle_navigate(self, url)

    namespace = {"__module__": __name__, "__doc__": _console_repl.__doc__,
                 "format_result": format_result, "handle_navigate": handle_navigate}
    return type("ConsoleRepl", (base,), namespace)


def _run_repl(args):
    refusal = _address_refusal(args.host, args.port, "--host")
    if refusal is not None:
        _say(refusal)
        return 2
    from panekit import helmwire, promptdeck

    # The prompt reads standard input and flushes standard error first: without either there is
    # no loop to run.
    for stream, name in ((sys.stdin, "标准输入"), (sys.stderr, "标准错误输出")):
        if stream is None:
            _panekit_line(f"{name}已关闭，panekit repl 无法运行")
            return 1
    if sys.stdout is None:  # started with its output closed: the commands still run
        sys.stdout = open(os.devnull, "w", encoding="utf-8")
    with _control_host(args.host):
        port = args.port if args.port is not None else helmwire.control_port()
        repl = _console_repl(promptdeck.Webview2ControlReplBase, args.port, args.host)(port)
        while True:
            try:
                repl.run_repl()
                return 0
            except OSError as e:
                if not _output_closed(e):
                    _panekit_line(f"无法读写控制台: {e}")
                    return 1
                # Nobody reads the output any more: the commands still to come still run.
                _drop_output()
                sys.stdout = open(os.devnull, "w", encoding="utf-8")
            except (UnicodeError, ValueError, RuntimeError) as e:
                # A line the input's encoding cannot read, a stream closed meanwhile ("I/O
                # operation on closed file", "input(): lost sys.stdin").
                _panekit_line(f"无法读取标准输入: {e}")
                return 1


# Every subcommand, in the order `--help` lists them: the function that declares the parsers of
# some commands (add(commands, names), for the names it is given), and the names it knows.
_COMMANDS = ((_add_open, ("open",)), (_add_requests, tuple(_REQUESTS)),
             (_add_page_reads, ("script", "screenshot", "events")), (_add_token, ("token",)),
             (_add_repl, ("repl",)))


def _declared(argv):
    """(add, names) for each parser to declare: only the command that the arguments name when they
    begin with one (building every command's parser would cost more than most commands' own work),
    else all of them (help, the version, an unknown command)."""
    first = argv[0] if argv else None
    if any(first in names for _, names in _COMMANDS):
        return [(add, (first,)) for add, names in _COMMANDS if first in names]
    return list(_COMMANDS)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="panekit",
        description="panekit: a small browser window steered over a loopback control port.",
    )
    parser.add_argument("--version", action="version", version=f"panekit {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="command", required=True)
    if argv is None:
        argv = sys.argv[1:]
    for add, names in _declared(argv):
        add(commands, names)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except KeyboardInterrupt:
        # Ctrl-C while a command waits for the window: leave without a traceback.
        print(flush=True)
        return 130


if __name__ == "__main__":
    sys.exit(main())
