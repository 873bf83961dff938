"""The suite's runner fails loudly when a worker cannot report (tests/runguard.py)."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("xdist", reason="the parallel runner is not installed")


def test_a_report_the_runner_cannot_carry_fails_the_run(tmp_path):
    (tmp_path / "test_lone.py").write_text(
        "def test_lone_surrogate_in_a_text_diff():\n"
        "    assert 'a\\udcff' == 'b\\udcff'\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", "1",
                          "-p", "runguard", "test_lone.py"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == pytest.ExitCode.INTERNAL_ERROR, run.stdout[-2000:] + run.stderr[-2000:]
    assert "its list of failures is incomplete" in run.stdout
