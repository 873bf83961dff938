import os
import subprocess
import sys

import pytest

from panekit import helmwire


@pytest.fixture
def env(monkeypatch):
    monkeypatch.delenv("PANEKIT_CONTROL_PORT", raising=False)
    monkeypatch.delenv("PANEKIT_CONTROL_HOST", raising=False)
    return monkeypatch


@pytest.mark.parametrize("value, expected", [
    (None, 18765), ("", 18765), ("abc", 18765), ("1e3", 18765), ("0x10", 18765), ("   ", 18765),
    (" 8080 ", 8080), ("0", 0), ("-1", -1), ("70000", 70000), ("1_000", 1000), ("\u0661\u0662", 12),
])
def test_control_port_reads_the_environment_each_call(env, value, expected):
    if value is not None:
        env.setenv("PANEKIT_CONTROL_PORT", value)
    assert helmwire.control_port() == expected


def test_control_base_url_sources_in_order(env):
    assert helmwire.control_base_url() == "http://127.0.0.1:18765"
    env.setenv("PANEKIT_CONTROL_PORT", "9000")
    env.setenv("PANEKIT_CONTROL_HOST", " 10.0.0.5 ")
    assert helmwire.control_base_url() == "http://10.0.0.5:9000"
    # explicit arguments win; port 0 is a value; hosts are inserted verbatim
    assert helmwire.control_base_url(port=0, host="::1") == "http://::1:0"
    assert helmwire.control_base_url(port=12.9, host="Box") == "http://Box:12"
    assert helmwire.control_base_url(port=True) == "http://10.0.0.5:1"
    # a blank host argument skips the environment and uses the import-time default
    assert helmwire.control_base_url(host="   ") == "http://%s:9000" % helmwire.DEFAULT_CONTROL_HOST


def test_default_host_is_fixed_at_import():
    code = (
        "import os\n"
        "from panekit import helmwire as h\n"
        "print(h.DEFAULT_CONTROL_HOST)\n"
        "del os.environ['PANEKIT_CONTROL_HOST']\n"
        "print(h.control_base_url(port=1))\n"
        "os.environ['PANEKIT_CONTROL_HOST'] = 'other'\n"
        "print(h.control_base_url(port=1))\n"
    )
    env = dict(os.environ, PANEKIT_CONTROL_HOST="  192.168.1.9\t")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60, check=True).stdout.split()
    assert out == ["192.168.1.9", "http://192.168.1.9:1", "http://other:1"]
