"""What a command loads: a request command runs without the control server's modules, the other
commands' modules or typing, and what it left unloaded is still there the moment it is used. Each
case runs in a fresh interpreter, as a command does."""
import json
import socket
import subprocess
import sys

import pytest

# Modules no request command needs: the server's, the hosts' and the REPL's, and those only
# annotations name.
NOT_FOR_A_REQUEST = {"http.server", "socketserver", "typing", "pathlib", "panekit.gtkhost", "panekit.framewell",
                     "panekit.glassport", "panekit.fetchkeep", "panekit.promptdeck"}


def run(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.splitlines()[-1])


@pytest.fixture
def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("argv", [["url"], ["navigate", "example.com", "--wait", "1"], ["state"]])
def test_a_request_command_loads_no_server_host_or_typing_module(argv, closed_port):
    loaded = run(f"""
import json, sys
from panekit.__main__ import main
code = main({argv + ["--port", str(closed_port)]!r})
print(json.dumps([code, sorted(sys.modules)]))""")
    code, modules = loaded
    assert code == 1  # nothing listens there: the command ran to its end
    assert "panekit.helmwire" in modules
    assert NOT_FOR_A_REQUEST.isdisjoint(modules), NOT_FOR_A_REQUEST.intersection(modules)


def test_names_left_unloaded_arrive_at_their_first_use():
    seen = run("""
import json, sys
from panekit import helmwire, trailbar
before = "http.server" in sys.modules or "typing" in sys.modules
server_type = helmwire.HTTPServer           # an attribute of the module
import typing, http.server
hints = typing.get_type_hints(helmwire.start_control_server)   # the functions' namespace
try:
    helmwire.no_such_name
    missing = None
except AttributeError as e:
    missing = str(e)
print(json.dumps([before, server_type is http.server.HTTPServer, str(hints["return"]),
                  helmwire.norm_browser_url is trailbar.norm_browser_url,
                  helmwire.threading is sys.modules["threading"], missing]))""")
    assert seen == [False, True, "typing.Tuple[http.server.HTTPServer, threading.Thread]", True, True,
                    "module 'panekit.helmwire' has no attribute 'no_such_name'"]


def test_a_name_rebound_before_its_first_use_stays_rebound():
    seen = run("""
import json
from panekit import helmwire
helmwire.HTTPServer = "mine"
helmwire.start_control_server.__globals__   # brings in the names still waiting
print(json.dumps([helmwire.HTTPServer, type(helmwire.Tuple).__name__]))""")
    assert seen == ["mine", "_TupleType"]


def test_help_still_lists_every_command_and_one_command_its_own_options(capsys):
    from panekit.__main__ import main

    with pytest.raises(SystemExit):
        main(["--help"])
    listing = capsys.readouterr().out
    for command in ("open", "ready", "url", "navigate", "back", "forward", "reload", "state", "repl"):
        assert command in listing
    with pytest.raises(SystemExit):
        main(["navigate", "--help"])
    assert "--wait SECONDS" in capsys.readouterr().out
    with pytest.raises(SystemExit) as info:
        main(["nowhere"])
    assert info.value.code == 2
    assert "invalid choice: 'nowhere'" in capsys.readouterr().err
