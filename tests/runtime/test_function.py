"""The package's function objects behave like Python functions where callers can tell."""
import gc
import inspect
import weakref

import pytest

from panekit import helmwire, trailbar
from ctlsupport import Host, UIThread

norm = trailbar.norm_browser_url


class MyStr(str):
    pass


class MyDict(dict):
    pass


def test_a_dict_like_any_function():
    norm.extra = 1  # a __dict__ like any function
    assert norm.__dict__ == {"extra": 1}
    del norm.extra


def test_argument_errors_and_subclass_note():
    with pytest.raises(TypeError) as ei:
        norm(MyStr("x"))
    assert str(ei.value) == "Argument 'raw' has incorrect type (expected str, got MyStr)"
    assert ei.value.__notes__ and "subclass" in ei.value.__notes__[0]
    with pytest.raises(TypeError) as ei:
        norm(None)
    assert not hasattr(ei.value, "__notes__")
    with pytest.raises(TypeError) as ei:
        helmwire._http_post_json("/", MyDict())
    assert "expected dict, got MyDict" in str(ei.value) and ei.value.__notes__
    with pytest.raises(TypeError, match=r"^norm_browser_url\(\) got an unexpected keyword argument 'url'$"):
        norm(url="x")
    with pytest.raises(TypeError, match=r"^norm_browser_url\(\) got multiple values for argument 'raw'$"):
        norm("x", raw="y")
    with pytest.raises(TypeError, match=r"^_http_post_json\(\) takes at least 1 positional argument \(0 given\)$"):
        helmwire._http_post_json(body={})
    assert norm(raw=" a ") == "https://a"


def test_numbers_convert_and_bad_numbers_raise():
    assert helmwire.control_base_url(port=8080.7, host="h") == "http://h:8080"
    with pytest.raises(OverflowError):
        helmwire.control_base_url(port=float("inf"))
    with pytest.raises(TypeError):
        helmwire.remote_ready(timeout="soon")


def test_binds_as_a_method_in_classes():
    Klass = type("Klass", (), {"norm": norm, "plain": staticmethod(norm)})
    with pytest.raises(TypeError, match="got Klass"):
        Klass().norm()  # bound: the instance is the first argument
    assert Klass.plain(" x ") == "https://x"
    assert Klass.norm(" y ") == "https://y"
    bound = Klass().norm
    assert inspect.ismethod(bound) and bound.__func__ is norm
    assert str(inspect.signature(Klass.norm)) == "(raw: 'str') -> 'str'"


def test_kwdefaults_mutation_cannot_corrupt_calls():
    f = helmwire.remote_ready
    kw = f.__kwdefaults__
    kw["timeout"] = object()
    try:
        gc.collect()
        assert f(port=1)["ok"] is False  # the defaults the binder uses are its own
    finally:
        kw["timeout"] = 15.0


def test_discarded_server_is_collected():
    ui = UIThread()
    try:
        h = Host(ui)
        h.start()
        srv, th = h.srv, h.th
        srv.shutdown()
        th.join(5)
        srv.server_close()
        handler_ref = weakref.ref(srv.RequestHandlerClass)
        srv_ref = weakref.ref(srv)
        host_ref = weakref.ref(h)
        del h, srv, th
        gc.collect()
        assert srv_ref() is None and host_ref() is None and handler_ref() is None
    finally:
        ui.stop()


def test_repeated_calls_do_not_leak():
    import tracemalloc
    sample = ["", "  example.com ", "ABOUT:blank", "ftp://x", "ü" * 40]
    for s in sample * 200:
        norm(s)
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(2000):
        for s in sample:
            norm(s)
        try:
            norm(None)
        except TypeError:
            pass
        helmwire.control_base_url(port=1, host="h")
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert grown < 64 * 1024
