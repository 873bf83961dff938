import pytest

from ctlsupport import Host, UIThread


@pytest.fixture
def ui():
    u = UIThread()
    yield u
    u.stop()


@pytest.fixture
def host(ui):
    h = Host(ui)
    h.start()
    yield h
    h.srv.shutdown()
    h.srv.server_close()
    h.th.join(5)
