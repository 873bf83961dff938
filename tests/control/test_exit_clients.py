"""A program ends while its threads are inside client calls: it exits cleanly and at once, also
when a logging handler of its own makes client calls (exit_clients.py beside this file, shortened;
bench/bench_exit_clients.py runs it whole)."""
import importlib.util
import os

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "exit_clients.py")


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("bench_exit_clients", BENCH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    peers = module.Peers()
    yield module, peers
    peers.close()


@pytest.mark.timeout(4 * (45 + 30) + 60)  # four children, each bounded by the hang limit and a margin
@pytest.mark.parametrize("kind", ["plain", "logging"])
def test_exit_while_threads_are_in_client_calls(bench, kind):
    module, peers = bench
    # A logging exit waits for logging.shutdown to win the handler's lock from a thread that keeps
    # logging (the standard library's opener waits the same way): on a loaded machine that took
    # 15.9 s once under wine, so only an exit that never comes within 45 s counts as a hang there.
    result = module.run(peers, kind, "panekit", runs=4, heap=1_000_000, limit=4.0,
                        hang=15.0 if kind == "plain" else 45.0)
    assert (result["bad"], result["hangs"]) == (0, 0), result
