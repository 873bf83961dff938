// panekit._pk_testing: functions that exercise what no product function reaches (built only for
// the tests, with -DPANEKIT_TEST_MODULE=ON; never part of a release).
#include "pk.hpp"

#include <stdexcept>
#include <string_view>

namespace nb = nanobind;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

// *args after a positional parameter, with a keyword-only one behind them.
constexpr pk::Param gather_params[] = {
    {.name = "head", .annotation = "str", .check = Check::Str},
    {.name = "rest", .annotation = "Any", .kind = Kind::VarPositional},
    {.name = "sep", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = "+"},
};
constexpr pk::Spec gather_spec{.name = "gather", .params = gather_params, .returns = "str"};
nb::object gather(nb::str head, nb::tuple rest, nb::str sep) {
    nb::list parts;
    parts.append(head);
    for (nb::handle r : rest) parts.append(nb::str(r));
    return sep.attr("join")(parts);
}

// Fourteen parameters (more than the binder keeps inline), every check and every default kind.
constexpr pk::Param wide_params[] = {
    {.name = "a", .annotation = "Any"},
    {.name = "s", .annotation = "str", .check = Check::Str},
    {.name = "os", .annotation = "Optional[str]", .check = Check::OptStr},
    {.name = "d", .annotation = "dict", .check = Check::Dict},
    {.name = "od", .annotation = "Optional[dict]", .check = Check::OptDict},
    {.name = "ob", .annotation = "Optional[bool]", .check = Check::OptBool},
    {.name = "i", .annotation = "int", .check = Check::Int},
    {.name = "oi", .annotation = "Optional[int]", .check = Check::OptInt},
    {.name = "t", .annotation = "bool", .check = Check::Truth, .def = Def::True},
    {.name = "f", .annotation = "float", .check = Check::Float, .def = Def::Float, .number = 1.5},
    {.name = "n", .annotation = "int", .check = Check::Int, .def = Def::Int, .number = 7},
    {.name = "txt", .annotation = "str", .check = Check::Str, .def = Def::Str, .text = "dflt"},
    {.name = "no", .annotation = "Optional[str]", .check = Check::OptStr, .kind = Kind::KeywordOnly, .def = Def::None},
    {.name = "off", .annotation = "bool", .check = Check::Truth, .kind = Kind::KeywordOnly, .def = Def::False},
};
constexpr pk::Spec wide_spec{.name = "wide", .params = wide_params, .returns = "tuple"};
nb::object wide(nb::handle a, nb::str s, nb::handle os, nb::dict d, nb::handle od, nb::handle ob, nb::handle i,
                nb::handle oi, bool t, double f, nb::handle n, nb::str txt, nb::handle no, bool off) {
    return nb::make_tuple(a, s, os, d, od, ob, i, oi, t, f, n, txt, no, off);
}

// C++ exceptions crossing into Python.
constexpr pk::Param fail_params[] = {{.name = "kind", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec fail_spec{.name = "fail", .params = fail_params, .returns = "None"};
void fail(nb::str kind) {
    const char *utf8 = PyUnicode_AsUTF8(kind.ptr());  // nullptr for lone surrogates
    if (!utf8) throw nb::python_error();
    std::string_view k = utf8;
    if (k == "runtime") throw std::runtime_error("plain C++ failure");
    if (k == "value") throw nb::value_error("bad value");
    if (k == "python") pk::raise(PyExc_LookupError, "looked for %s", "nothing");
    if (k == "guarded") {
        pk::guarded([] { pk::raise(PyExc_ValueError, "dropped"); });
        nb::object r = pk::guarded_or(nb::object(nb::str("fallback")), []() -> nb::object {
            pk::raise(PyExc_OSError, "dropped too");
        });
        pk::raise(PyExc_RuntimeError, "after guards: %s", nb::str(r).c_str());
    }
    // What `except Exception` lets through passes both guards.
    if (k == "interrupt") pk::guarded([] { pk::raise(PyExc_KeyboardInterrupt, "passes through"); });
    if (k == "exit") pk::guarded([] { pk::raise(PyExc_SystemExit, "passes through"); });
    if (k == "interrupt_or")
        pk::guarded_or(nb::object(), []() -> nb::object { pk::raise(PyExc_KeyboardInterrupt, "passes through"); });
}

// A counter: a function over named state that makes nested functions, one of which makes a
// further nested function over the same state.
enum class Counter { Count, Self, kCount };

constexpr pk::Spec bump_spec{.name = "bump", .returns = "int"};
nb::object bump(const pk::Call &c) {
    auto st = c.state<Counter>();
    nb::object next = st[Counter::Count] + nb::int_(1);
    st.set(Counter::Count, next);
    return next;
}

constexpr pk::Spec inner_spec{.name = "inner", .returns = "int"};
constexpr pk::Spec make_inner_spec{.name = "make_inner", .returns = "Callable[[], int]"};
nb::object make_inner(const pk::Call &c) { return c.nested<inner_spec>(bump); }

constexpr pk::Param counter_params[] = {{.name = "start", .annotation = "int", .check = Check::Int}};
constexpr pk::Spec counter_spec{.name = "counter", .params = counter_params, .returns = "tuple"};
nb::object counter(const pk::Call &c, nb::handle start) {
    pk::State<Counter> st;
    st.set(Counter::Count, start);
    nb::object b = c.nested<bump_spec>(bump, st.object());
    st.set(Counter::Self, b);  // a cycle: the state holds a function that holds the state
    return nb::make_tuple(b, c.nested<make_inner_spec>(make_inner, st.object()));
}

// Runs a callback, then makes a nested function: the callback may rebind this function's
// __qualname__ and __module__ while the call is running.
constexpr pk::Spec after_spec{.name = "after", .returns = "None"};
void after() {}
constexpr pk::Param nest_after_params[] = {{.name = "callback", .annotation = "Callable[[], None]"}};
constexpr pk::Spec nest_after_spec{.name = "nest_after", .params = nest_after_params, .returns = "Callable[[], None]"};
nb::object nest_after(const pk::Call &c, nb::handle callback) {
    callback();
    return c.nested<after_spec>(after);
}

// A class with a plain method, a property and a class method.
constexpr pk::Param self_param[] = {{.name = "self", .annotation = "Any"}};
constexpr pk::Param cls_param[] = {{.name = "cls", .annotation = "Any"}};
constexpr pk::Spec twice_spec{.name = "twice", .params = self_param, .returns = "int"};
constexpr pk::Spec size_spec{.name = "size", .params = self_param, .returns = "int"};
constexpr pk::Spec make_spec{.name = "make", .params = cls_param, .returns = "Any"};
nb::object twice(nb::handle self) { return self.attr("size") * nb::int_(2); }
nb::object size(nb::handle) { return nb::int_(21); }
nb::object make(nb::handle cls) { return cls(); }

// The package's JSON encoding, as the modules use it.
constexpr pk::Param json_params[] = {{.name = "obj", .annotation = "Any"}};
constexpr pk::Spec json_spec{.name = "json_bytes", .params = json_params, .returns = "bytes"};
nb::object json(nb::handle obj) { return pk::json_bytes(obj); }

}  // namespace

NB_MODULE(_pk_testing, m) {
    pk::Module mod(m, "panekit._pk_testing", "Functions that exercise the runtime, for its tests.");
    mod.import_names("typing", {"Any", "Callable", "Optional"});
    mod.def<gather_spec>(gather);
    mod.def<wide_spec>(wide);
    mod.def<fail_spec>(fail);
    mod.def<counter_spec>(counter);
    mod.def<nest_after_spec>(nest_after);
    mod.def<json_spec>(json);
    nb::handle object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    mod.set("Sized", mod.klass("Sized", nb::make_tuple(object), "A class built by the runtime.")
                         .method<twice_spec>(twice)
                         .property<size_spec>(size)
                         .classmethod<make_spec>(make)
                         .build());
}
