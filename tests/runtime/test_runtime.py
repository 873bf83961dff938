"""The runtime's own behaviour, through the test-only module panekit._pk_testing."""
import copy
import fractions
import gc
import inspect
import pickle
import typing
import weakref

import pytest

import panekit
from pkfunctions import functions_of

# Built only into test environments (nox builds it); a release wheel has no such module.
pt = pytest.importorskip("panekit._pk_testing",
                         reason="panekit._pk_testing is a test-only module, not part of release wheels")

# wide(a, s, os, d, od, ob, i, oi, t=True, f=1.5, n=7, txt="dflt", *, no=None, off=False)
BASE = dict(a=0, s="s", os=None, d={}, od=None, ob=None, i=1, oi=None)
NAMES = ["a", "s", "os", "d", "od", "ob", "i", "oi", "t", "f", "n", "txt", "no", "off"]


def wide(**over):
    return dict(zip(NAMES, pt.wide(**{**BASE, **over})))


def test_wide_signature_defaults_and_slots_beyond_the_inline_ones():
    assert str(inspect.signature(pt.wide)) == (
        "(a: 'Any', s: 'str', os: 'Optional[str]', d: 'dict', od: 'Optional[dict]', "
        "ob: 'Optional[bool]', i: 'int', oi: 'Optional[int]', t: 'bool' = True, f: 'float' = 1.5, "
        "n: 'int' = 7, txt: 'str' = 'dflt', *, no: 'Optional[str]' = None, off: 'bool' = False) -> 'tuple'")
    assert pt.wide.__defaults__ == (True, 1.5, 7, "dflt")
    assert pt.wide.__kwdefaults__ == {"no": None, "off": False}
    got = wide()
    assert got["t"] is True and got["off"] is False and got["no"] is None and got["txt"] == "dflt"
    assert type(got["f"]) is float and type(got["n"]) is int and got["n"] == 7
    args = [object(), "x", "y", {1: 2}, {}, True, 3, 4, 0, 2.5, 9, "z"]
    assert pt.wide(*args, no="q", off=[1]) == (*args[:8], False, 2.5, 9, "z", "q", True)
    with pytest.raises(TypeError, match=r"^wide\(\) takes at least 8 positional arguments \(7 given\)$"):
        pt.wide(*args[:7])
    with pytest.raises(TypeError, match=r"^wide\(\) takes at most 12 positional arguments \(13 given\)$"):
        pt.wide(*args, 1)
    with pytest.raises(TypeError, match=r"^wide\(\) got multiple values for argument 't'$"):
        pt.wide(*args[:9], t=1)


@pytest.mark.parametrize("name, value, expected", [
    ("os", "x", "x"), ("od", {"k": 1}, {"k": 1}), ("ob", False, False),
    ("i", 3.9, 3), ("i", True, 1), ("i", fractions.Fraction(7, 2), 3), ("oi", 2.0, 2), ("oi", None, None),
    ("t", [], False), ("t", "x", True), ("off", 0.0, False),
    ("f", 2, 2.0), ("f", True, 1.0), ("f", fractions.Fraction(1, 4), 0.25), ("n", 5.5, 5),
])
def test_checks_convert(name, value, expected):
    got = wide(**{name: value})[name]
    assert got == expected and type(got) is type(expected)


class Text(str):
    pass


@pytest.mark.parametrize("name, value, error, text", [
    ("s", None, TypeError, "Argument 's' has incorrect type (expected str, got NoneType)"),
    ("s", Text("x"), TypeError, "Argument 's' has incorrect type (expected str, got Text)"),
    ("os", 1, TypeError, "Argument 'os' has incorrect type (expected str, got int)"),
    ("d", [], TypeError, "Argument 'd' has incorrect type (expected dict, got list)"),
    ("od", "x", TypeError, "Argument 'od' has incorrect type (expected dict, got str)"),
    ("ob", 1, TypeError, "Argument 'ob' has incorrect type (expected bool, got int)"),
    ("i", "5", TypeError, "Argument 'i' has incorrect type (expected int, got str)"),
    ("i", float("nan"), ValueError, "cannot convert float NaN to integer"),
    ("oi", float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ("f", "1.5", TypeError, "must be real number, not str"),  # text is refused, unlike float()
    ("no", b"x", TypeError, "Argument 'no' has incorrect type (expected str, got bytes)"),
])
def test_checks_refuse(name, value, error, text):
    with pytest.raises(error) as ei:
        wide(**{name: value})
    assert str(ei.value) == text
    assert bool(getattr(ei.value, "__notes__", None)) == isinstance(value, Text)


def test_truth_check_propagates_a_failing_bool():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    with pytest.raises(ZeroDivisionError):
        wide(t=Bad())


def test_varargs():
    assert pt.gather("a", 1, None, sep="-") == "a-1-None"
    assert pt.gather("a") == "a" and pt.gather(head="h") == "h"
    assert str(inspect.signature(pt.gather)) == "(head: 'str', *rest: 'Any', sep: 'str' = '+') -> 'str'"
    with pytest.raises(TypeError, match=r"^gather\(\) takes at least 1 positional argument \(0 given\)$"):
        pt.gather()
    with pytest.raises(TypeError, match=r"^gather\(\) got multiple values for argument 'head'$"):
        pt.gather("a", head="b")
    with pytest.raises(TypeError, match=r"^gather\(\) got an unexpected keyword argument 'rest'$"):
        pt.gather("a", rest=(1,))


@pytest.mark.parametrize("kind, error, text", [
    ("runtime", RuntimeError, "plain C++ failure"),
    ("value", ValueError, "bad value"),
    ("python", LookupError, "looked for nothing"),
    ("guarded", RuntimeError, "after guards: fallback"),  # both guards dropped their Exception
    ("interrupt", KeyboardInterrupt, "passes through"),
    ("interrupt_or", KeyboardInterrupt, "passes through"),
    ("exit", SystemExit, "passes through"),
])
def test_errors_crossing_the_boundary(kind, error, text):
    with pytest.raises(error) as ei:
        pt.fail(kind)
    assert type(ei.value) is error and str(ei.value) == text
    assert pt.fail("none of these") is None
    with pytest.raises(UnicodeEncodeError):
        pt.fail("\ud800")


def test_nested_functions_share_one_state_and_derive_qualnames():
    bump, make_inner = pt.counter(10)
    assert bump.__qualname__ == "counter.<locals>.bump"
    assert make_inner.__qualname__ == "counter.<locals>.make_inner"
    inner = make_inner()
    assert inner.__qualname__ == "counter.<locals>.make_inner.<locals>.inner"
    assert inner.__name__ == "inner" and inner.__module__ == "panekit._pk_testing"
    assert inner.__globals__ is pt.__dict__
    assert (bump(), inner(), bump()) == (11, 12, 13)
    other, _ = pt.counter(0)
    assert other() == 1 and bump() == 14


def test_nested_names_follow_the_function_as_made():
    # as with Python's nested functions, whose names come from the compiled code
    fn = pt.nest_after
    fn.__qualname__ = "".join(["renamed", "_nest_after"])  # held by the function alone

    def rebind():
        fn.__qualname__ = "nest_after"
        fn.__module__ = "".join(["else", "where"])

    try:
        inner = fn(rebind)
    finally:
        fn.__qualname__, fn.__module__ = "nest_after", "panekit._pk_testing"
    assert inner.__qualname__ == "nest_after.<locals>.after"
    assert inner.__module__ == "panekit._pk_testing"
    fn.__qualname__ = "renamed"
    try:
        assert fn(lambda: None).__qualname__ == "nest_after.<locals>.after"
    finally:
        fn.__qualname__ = "nest_after"


def test_argument_checks_that_call_back_keep_the_recursion_limit():
    class Loop:  # int(Loop()) calls counter(Loop()) again, with no Python frame in between
        __index__ = pt.counter

    with pytest.raises(RecursionError):
        pt.counter(Loop())
    with pytest.raises(RecursionError):
        pt.counter(start=Loop())  # the keyword path of the binder
    assert pt.counter(3)[0]() == 4


def test_collector_frees_a_closure_that_refers_to_itself():
    bump, make_inner = pt.counter(0)
    refs = [weakref.ref(bump), weakref.ref(make_inner), weakref.ref(make_inner())]
    del bump, make_inner
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_class_with_property_and_classmethod():
    Sized = pt.Sized
    assert Sized.__module__ == "panekit._pk_testing" and Sized.__doc__ == "A class built by the runtime."
    ns = vars(Sized)
    assert isinstance(ns["size"], property) and isinstance(ns["make"], classmethod)
    assert [ns["twice"].__qualname__, ns["size"].fget.__qualname__, ns["make"].__func__.__qualname__] == [
        "Sized.twice", "Sized.size", "Sized.make"]
    assert Sized().size == 21 and Sized().twice() == 42

    class Bigger(Sized):
        size = 50
    made = Bigger.make()
    assert type(made) is Bigger and made.twice() == 100


MODULES = ["helmwire", "trailbar", "fetchkeep", "promptdeck", "framewell", "glassport", "_pk_testing"]


def test_one_function_type_for_the_package():
    import importlib
    types = {type(f) for name in MODULES for f in functions_of(importlib.import_module("panekit." + name))}
    assert len(types) == 1
    (t,) = types
    assert (t.__module__, t.__qualname__) == ("panekit", "function") and isinstance(t.__doc__, str)


@pytest.mark.parametrize("name", MODULES)
def test_type_hints_resolve_through_the_module_namespace(name):
    import importlib
    module = importlib.import_module("panekit." + name)
    fns = list(functions_of(module))
    assert fns
    for fn in fns:
        if not fn.__name__.startswith("_") or fn.__name__ == "__init__":
            assert fn.__globals__ is vars(module)
            hints = typing.get_type_hints(fn)
            assert set(hints) == set(fn.__annotations__), fn.__qualname__


def test_pickle_and_copy_by_qualified_name():
    for fn in (pt.gather, panekit.trailbar.norm_browser_url, vars(pt.Sized)["twice"]):
        assert pickle.loads(pickle.dumps(fn)) is fn
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
        assert copy.deepcopy({"f": fn})["f"] is fn
    bump, _ = pt.counter(0)
    assert copy.copy(bump) is bump  # as copy treats local Python functions
    with pytest.raises((pickle.PicklingError, AttributeError), match="local"):
        pickle.dumps(bump)


@pytest.mark.parametrize("attr", ["__defaults__", "__kwdefaults__"])
def test_defaults_assignment_is_refused(attr):
    before = getattr(pt.wide, attr)
    for action in (lambda: setattr(pt.wide, attr, None), lambda: delattr(pt.wide, attr)):
        with pytest.raises(AttributeError, match=rf"^{attr} of wide is fixed by its signature; "):
            action()
    assert getattr(pt.wide, attr) == before


class Opaque:
    pass


@pytest.mark.parametrize("value", [
    {"ok": True, "url": "https://example.com/ä?q=\u2028", "n": [1, 2.5, None, False, {}]},
    {"nan": float("nan"), "inf": float("inf"), 1: "int key", None: "none key"},
    "a bare string \u00e9 \"quoted\" \\",
    ("tuple", ["nested", ("deeper",)]),
    {"lone surrogate": "\ud800", "\udfff": 1},
    12, 1.0, None,
])
def test_json_bytes_is_dumps_without_ascii_escapes_as_utf8(value):
    import json
    text = json.dumps(value, ensure_ascii=False)
    assert pt.json_bytes(value) == text.encode("utf-8", "backslashreplace")


def test_json_bytes_errors_as_dumps_and_each_call_starts_afresh():
    import json
    loop = []
    loop.append(loop)
    inner = [Opaque()]
    for bad, error in [(loop, ValueError), ({"k": inner}, TypeError), ({("t",): 1}, TypeError)]:
        with pytest.raises(error) as got:
            pt.json_bytes(bad)
        with pytest.raises(error) as want:
            json.dumps(bad, ensure_ascii=False)
        assert str(got.value) == str(want.value)
    # The failed call left off inside `inner`; encoding it again is no circular reference.
    inner[0] = 1
    assert pt.json_bytes({"again": inner}) == b'{"again": [1]}'


# ---- what Python code can reach of a function ----------------------------------------------------


def _module_functions():
    import importlib
    for name in MODULES:
        yield from functions_of(importlib.import_module("panekit." + name))


def test_docstrings_reach_help_and_pydoc():
    import pydoc
    documented = [f for f in _module_functions() if f.__doc__]
    assert len(documented) > 20
    for f in documented:
        # pydoc reads __doc__ with object.__getattribute__ and compares it with the type's own text
        assert object.__getattribute__(f, "__doc__") == f.__doc__ == inspect.getdoc(f), f
        assert f.__doc__.splitlines()[0] in pydoc.render_doc(f, renderer=pydoc.plaintext), f
    assert isinstance(type(pt.wide).__doc__, str)
    _, make_inner = pt.counter(0)
    make_inner.__doc__ = "Own text."
    assert pydoc.render_doc(make_inner, renderer=pydoc.plaintext).rstrip().endswith("Own text.")
    del make_inner.__doc__
    assert make_inner.__doc__ is None and inspect.getdoc(make_inner) is None


def test_closure_state_cannot_be_changed_from_python():
    """gc.get_referents(f) hands out the state only as an opaque object: clearing or swapping its
    slots (which crashed the interpreter when the state was a list) is impossible."""
    bump, make_inner = pt.counter(5)
    states = [r for r in gc.get_referents(bump) if type(r).__name__ == "closure_state"]
    assert len(states) == 1 and states == [r for r in gc.get_referents(make_inner) if r is states[0]]
    (state,) = states
    assert not any(isinstance(r, (list, dict)) for r in gc.get_referents(bump) if r is not pt.__dict__)
    for attack in (lambda: state.clear(), lambda: state.__setitem__(0, None), lambda: state[0],
                   lambda: type(state)(), lambda: setattr(state, "x", 1)):
        with pytest.raises((TypeError, AttributeError)):
            attack()
    assert 5 in gc.get_referents(state)  # the collector still sees every slot
    assert (bump(), make_inner()()) == (6, 7)


def test_mutable_state_values_are_read_with_checks(tmp_path, capsys):
    """What a state holds may be an ordinary dict (here the download handler's held names, keyed
    by name, valued by expiry time): values of the wrong type put there fail the call, plainly."""
    from panekit import fetchkeep
    dicts = [d for s in gc.get_referents(fetchkeep.handle_download_starting)
             if type(s).__name__ == "closure_state" for d in gc.get_referents(s) if type(d) is dict]
    assert len(dicts) == 2
    saved = [dict(d) for d in dicts]

    class Args:
        ResultFilePath, Cancel, Handled = "C:\\x\\report.pdf", False, False

    try:
        for d in dicts:
            d.clear()
            d[str(tmp_path / "report.pdf").rstrip(". ").casefold()] = "not a time"
        args = Args()
        fetchkeep.handle_download_starting(None, None, args, str(tmp_path), False)
        assert args.Cancel is True  # refused plainly, never a crash
        assert "处理下载失败" in capsys.readouterr().out
    finally:
        for d, s in zip(dicts, saved):
            d.clear()
            d.update(s)
