"""Command line of panekit: ``panekit <command> [options]`` (the same as ``python -m panekit``).

Only argument parsing and dispatch live here; each command runs code of the extension modules.
A command is one ``_add_<name>`` function that declares its parser and sets its runner.
"""

import argparse
import contextlib
import importlib
import json
import os
import pathlib
import sys

from panekit import __version__

# `panekit open` picks a host by --host, else by this variable (a name of the table), else the
# system's own: gtk on Linux, pywebview elsewhere.
_HOST_VARIABLE = "PANEKIT_HOST_BACKEND"
_HOST_MODULES = {"winforms": "framewell", "pywebview": "glassport", "gtk": "gtkhost"}


def _port(text):
    """A TCP port for argparse: an integer from 1 to 65535."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside 1-65535")
    return value


def _add_port(p, what="control port of the window"):
    p.add_argument("--port", type=_port, default=None, metavar="N",
                   help=f"{what} (default: PANEKIT_CONTROL_PORT, else 18765)")


# ---- panekit open ------------------------------------------------------------------------

# Options of `panekit open` and the run_toolbar_main keywords they set; an option left out
# leaves the keyword out, so the host's own defaults and environment variables apply.
_OPEN_OPTIONS = (
    ("--home", "home_url", dict(metavar="URL", help="home page (default: PANEKIT_HOME)")),
    ("--title", "form_title", dict(metavar="TEXT", help="window title (default: panekit)")),
    ("--user-data", "user_data_folder",
     dict(metavar="DIR", type=pathlib.Path,
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


def _add_open(commands):
    p = commands.add_parser(
        "open",
        help="open the browser window (Windows; Linux with the gtk host)",
        description="Open the panekit window on URL (default: the home page) and wait until it "
        "is closed. The exit status is the window's: 0 after it closed, 1 when it could not "
        "start (for instance without a display, or on a system its host does not serve).",
    )
    p.add_argument("url", nargs="?", default="", metavar="URL", help="first page to show")
    p.add_argument("--host", choices=tuple(_HOST_MODULES), default=None,
                   help=f"window host (default: {_HOST_VARIABLE} when it names one, else gtk on "
                   "Linux and pywebview elsewhere)")
    for flag, keyword, spec in _OPEN_OPTIONS:
        p.add_argument(flag, dest=keyword, default=None, **spec)
    p.set_defaults(run=_run_open)


def _chosen_host(option):
    if option is not None:
        return option
    variable = os.environ.get(_HOST_VARIABLE)
    if variable in _HOST_MODULES:
        return variable
    return "gtk" if sys.platform.startswith("linux") else "pywebview"


def _run_open(args):
    host = _chosen_host(args.host)
    name = f"panekit.{_HOST_MODULES[host]}"
    try:
        module = importlib.import_module(name)
    except ImportError as e:
        print(f"panekit: the {host} host ({name}) cannot be loaded: {e}", file=sys.stderr,
              flush=True)
        return 1
    keywords = {"start_url": args.url}
    for _, keyword, _ in _OPEN_OPTIONS:
        value = getattr(args, keyword)
        if value is not None:
            keywords[keyword] = value
    return module.run_toolbar_main(**keywords)


# ---- one request to a running window -----------------------------------------------------

# command -> (name of the helmwire client call, whether it takes the address, help text)
_REQUESTS = {
    "ready": ("remote_ready", False, "ask whether the window and its browser are ready"),
    "url": ("remote_get_url", False, "print the address the window shows"),
    "navigate": ("remote_navigate", True, "make the window go to URL"),
    "back": ("remote_go_back", False, "go back in the window's history"),
    "forward": ("remote_go_forward", False, "go forward in the window's history"),
    "reload": ("remote_reload", False, "reload the page"),
}


def _add_requests(commands):
    for command, (_, takes_url, text) in _REQUESTS.items():
        p = commands.add_parser(
            command, help=text,
            description=f"{text[0].upper()}{text[1:]}: one request to a running panekit window. "
            "Prints its JSON answer on one line; the exit status is 0 when the answer says "
            '"ok": true, else 1.')
        if takes_url:
            p.add_argument("target", metavar="URL", help="address (https:// may be left out)")
        _add_port(p)
        p.add_argument("--host", default=None, metavar="H",
                       help="address of the window's control server (default: "
                       "PANEKIT_CONTROL_HOST, else 127.0.0.1)")
        p.set_defaults(run=_run_request)


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


def _nobody_answers(result):
    """True when a client call failed because no connection could be made (the client turns
    the URLError of connecting or sending into its text; answers of a server never look so)."""
    return (isinstance(result, dict) and result.get("ok") is False
            and str(result.get("error", "")).startswith("<urlopen error"))


def _no_window_hint(port, host=None):
    """The one line shown instead of a socket error when no window answers."""
    from panekit import helmwire

    start = "panekit open [URL]"
    if host is not None:
        start += f" --control-host {host}"
    if port is not None:
        start += f" --control-port {port}"
    return (f"no panekit window answers at {helmwire.control_base_url(port=port)}; "
            f"start one with: {start}")


def _run_request(args):
    from panekit import helmwire

    call_name, takes_url, _ = _REQUESTS[args.command]
    call = getattr(helmwire, call_name)
    with _control_host(args.host):
        result = call(args.target, port=args.port) if takes_url else call(port=args.port)
        if _nobody_answers(result):
            print(_no_window_hint(args.port, args.host), file=sys.stderr, flush=True)
            return 1
    text = json.dumps(result, ensure_ascii=False)
    try:
        print(text, flush=True)
    except UnicodeEncodeError:  # a console that cannot show the address: same JSON, escaped
        print(json.dumps(result), flush=True)
    return 0 if isinstance(result, dict) and result.get("ok") is True else 1


# ---- panekit repl ------------------------------------------------------------------------

def _add_repl(commands):
    p = commands.add_parser(
        "repl",
        help="steer a running panekit window from this console",
        description="Read commands (n <url>, b, f, r, u, h, q) from standard input and send "
        "them to the control port of a running panekit window.",
    )
    _add_port(p)
    p.set_defaults(run=_run_repl)


def _run_repl(args):
    from panekit import promptdeck

    class ConsoleRepl(promptdeck.Webview2ControlReplBase):
        """The REPL of `panekit repl`: says so when no window answers on its port."""

        def format_result(self, result):
            if _nobody_answers(result):
                return _no_window_hint(args.port)
            return super().format_result(result)

    port = args.port
    if port is None:
        from panekit import helmwire

        port = helmwire.control_port()
    ConsoleRepl.run_on_port(port)
    return 0


# Every subcommand, in the order `--help` lists them.
_COMMANDS = (_add_open, _add_requests, _add_repl)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="panekit",
        description="panekit: a small browser window steered over a loopback control port.",
    )
    parser.add_argument("--version", action="version", version=f"panekit {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="command", required=True)
    for add in _COMMANDS:
        add(commands)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except KeyboardInterrupt:
        # Ctrl-C while a command waits for the window: leave without a traceback.
        print(flush=True)
        return 130


if __name__ == "__main__":
    sys.exit(main())
