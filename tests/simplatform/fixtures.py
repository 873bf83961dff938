"""pytest fixtures of the simulated platform (loaded for every test directory by tests/conftest.py)."""

import pytest

from .modules import install, uninstall


def _finish(plat):
    try:
        plat.close_all()
    finally:
        uninstall(plat)
    problems = list(plat.faults) + ["unhandled exception in a message or event: %r" % e
                                    for e in plat.unhandled]
    if problems:
        pytest.fail("simulated platform problems:\n  " + "\n  ".join(map(str, problems)),
                    pytrace=False)


@pytest.fixture
def winsim():
    """The simulated platform with every assembly already loaded."""
    plat = install(preload=True)
    yield plat
    _finish(plat)


@pytest.fixture
def winsim_unloaded():
    """The simulated platform where only clr and System import until clr.AddReference."""
    plat = install(preload=False)
    yield plat
    _finish(plat)
