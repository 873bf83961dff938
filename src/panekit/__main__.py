"""Command line of panekit: ``python -m panekit <command> [options]``.

Only argument parsing and dispatch live here; each command runs code of the extension modules.
A command is one ``_add_<name>`` function that declares its parser and sets its runner.
"""

import argparse
import sys


def _add_repl(commands):
    p = commands.add_parser(
        "repl",
        help="steer a running panekit window from this console",
        description="Read commands (n <url>, b, f, r, u, h, q) from standard input and send "
        "them to the control port of a running panekit window.",
    )
    p.add_argument(
        "--port",
        type=int,
        default=None,
        metavar="N",
        help="control port of the window (default: PANEKIT_CONTROL_PORT, else 18765)",
    )
    p.set_defaults(run=_run_repl)


def _run_repl(args):
    from panekit import promptdeck

    port = args.port
    if port is None:
        from panekit import helmwire

        port = helmwire.control_port()
    promptdeck.Webview2ControlReplBase.run_on_port(port)
    return 0


# Every subcommand, in the order `--help` lists them.
_COMMANDS = (_add_repl,)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m panekit",
        description="panekit: a small browser window steered over a loopback control port.",
    )
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
