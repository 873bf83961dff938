// The "panekit function" type and the signature binder.
#include "pk.hpp"

#include <structmember.h>

#include <cstdarg>
#include <cstring>
#include <chrono>
#include <new>
#include <thread>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <exception>

namespace pk {
using namespace nb::literals;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Spec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *closure;      // the shared state of a closure, or nullptr
    PyObject *defaults;     // tuple or nullptr (Python's None)
    PyObject *kwdefaults;   // dict or nullptr
    PyObject *annotations;  // dict, built lazily
    PyObject *weakrefs;
    PyObject *globals;      // the module namespace (dict); nullptr only once cleared
    PyObject *locals_prefix;  // "<qualname>.<locals>." for nested functions, made on first use
    // The name and module the function was made with: what its nested functions and classes are
    // named after, as a Python function's nested code keeps its compiled names when the function's
    // __qualname__ or __module__ is rebound later.
    PyObject *origin_qualname;
    PyObject *origin_module;
    Trampoline tramp;       // the typed call of `target`
    void *target;
    PyObject **slot_defaults;  // per parameter: owned default, or nullptr when required
    Py_ssize_t n_positional;
    Py_ssize_t n_required_positional;
    Py_ssize_t var_index;  // index of *args, or -1
    bool cannot_recurse;   // a leaf implementation whose checks call nothing back
};

namespace {

PyTypeObject *g_type = nullptr;

const char *check_name(Check c) {
    switch (c) {
        case Check::Str:
        case Check::OptStr: return "str";
        case Check::Dict:
        case Check::OptDict: return "dict";
        case Check::OptBool: return "bool";
        case Check::Int:
        case Check::OptInt: return "int";
        case Check::Float: return "float";
        default: return "object";
    }
}

// Checks / converts one argument. Returns a new reference, or nullptr with an error set.
PyObject *check_arg(const Param &p, PyObject *v) {
    switch (p.check) {
        case Check::Any: return Py_NewRef(v);
        case Check::OptStr:
            if (v == Py_None) return Py_NewRef(v);
            [[fallthrough]];
        case Check::Str:
            if (PyUnicode_CheckExact(v)) return Py_NewRef(v);
            break;
        case Check::OptDict:
            if (v == Py_None) return Py_NewRef(v);
            [[fallthrough]];
        case Check::Dict:
            if (PyDict_CheckExact(v)) return Py_NewRef(v);
            break;
        case Check::OptBool:
            if (v == Py_None || PyBool_Check(v)) return Py_NewRef(v);
            break;
        case Check::OptInt:
            if (v == Py_None) return Py_NewRef(v);
            [[fallthrough]];
        case Check::Int:
            if (PyLong_CheckExact(v)) return Py_NewRef(v);
            if (PyLong_Check(v) || PyFloat_Check(v) || PyNumber_Check(v)) return PyNumber_Long(v);
            break;
        case Check::Truth: {
            int t = PyObject_IsTrue(v);
            if (t < 0) return nullptr;
            return Py_NewRef(t ? Py_True : Py_False);
        }
        case Check::Float: {
            if (PyFloat_CheckExact(v)) return Py_NewRef(v);
            double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred()) return nullptr;
            return PyFloat_FromDouble(d);
        }
    }
    bool sub = (p.check == Check::Str || p.check == Check::OptStr) ? PyUnicode_Check(v)
             : (p.check == Check::Dict || p.check == Check::OptDict) ? PyDict_Check(v)
                                                                       : false;
    try {
        raise_arg_type(p.name, check_name(p.check), v, sub);
    } catch (nb::python_error &e) {
        e.restore();
    }
    return nullptr;
}

PyObject *raise_count(Function *f, Py_ssize_t given) {
    Py_ssize_t min = f->n_required_positional, max = f->n_positional;
    bool exact = min == max && f->var_index < 0;
    const char *more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        more_or_less = exact ? "exactly" : "at least";
    } else {
        expected = max;
        more_or_less = exact ? "exactly" : "at most";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->spec->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

Py_ssize_t find_param(Function *f, PyObject *key) {
    const auto &ps = f->spec->params;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        if (ps[i].kind == Kind::VarPositional) continue;
        if (PyUnicode_EqualToUTF8(key, ps[i].name)) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

constexpr std::size_t kInlineSlots = 12;

// ---- waits while the interpreter may end ----------------------------------------------------
//
// A program may end while any of its threads waits inside a panekit call. CPython 3.13 ends a
// thread that takes the interpreter back after finalisation began (pthread_exit; on glibc an
// abi::__forced_unwind through the frames above). The C++ frames of a call hold Python objects
// that their unwinding would release without the interpreter, so a wait of ours never takes the
// interpreter back once it ends: the thread rests where it is for the rest of the process, holding
// nothing of the program's (its own exit is over by then), as later CPython releases do themselves.
// Nothing holds or parks a thread before that.

[[noreturn]] void rest_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

}  // namespace

void *release_interpreter() { return PyEval_SaveThread(); }

void take_interpreter_back(void *saved) {
    if (Py_IsFinalizing()) rest_forever();
#if defined(__GLIBC__)
    // Finalisation may begin between the test above and the taking: the thread's end then arrives
    // here, inside CPython's own frames, before any frame of ours is unwound.
    // (Only that can come out of CPython's C code: caught as any exception, so that nothing binds a
    // reference to the unwinding, which has no object.)
    try {
        PyEval_RestoreThread(static_cast<PyThreadState *>(saved));
    } catch (...) {
        rest_forever();
    }
#else
    PyEval_RestoreThread(static_cast<PyThreadState *>(saved));
#endif
}

// (On glibc the calls themselves are linked through the wrappers of pk_exit_calls.cpp, which rest
// the thread when its end arrives inside them; elsewhere a thread's end unwinds nothing.)
PyObject *call_resting(PyObject *fn, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return PyObject_Vectorcall(fn, args, nargsf, kwnames);
}

PyObject *getattr_resting(PyObject *obj, PyObject *name) { return PyObject_GetAttr(obj, name); }

namespace {

PyObject *call_impl(Function *f, PyObject *const *slots, std::size_t n) {
    try {
        if (!f->globals) {  // cleared by the cycle collector while still reachable from a finaliser
            PyErr_Format(PyExc_ReferenceError, "%U() was torn down with its module state", f->qualname);
            return nullptr;
        }
        // The function is held for the whole call: the body may run Python code that drops the
        // last other reference to it (a closure state field replaced while the function stored
        // there is running). Its name and module are read when used, so rebinding them mid-call
        // is harmless.
        PyObject *self = reinterpret_cast<PyObject *>(f);
        nb::object hold_self = nb::borrow(self);
        Trampoline tramp = f->tramp;
        void *target = f->target;
        Call c(self, f->globals, f->closure);
        return tramp(c, slots, target);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(e.type() == nb::exception_type::type_error ? PyExc_TypeError
                        : e.type() == nb::exception_type::value_error ? PyExc_ValueError
                                                                       : PyExc_RuntimeError,
                        e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        // No C++ exception of its own: the end of this thread (pthread_exit, an unwinding of
        // glibc's), which must pass on whatever it passes through.
        if (!std::current_exception()) throw;
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

PyObject *bind_and_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<Function *>(self);
    const auto &ps = f->spec->params;
    const std::size_t n = ps.size();
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);

    if (nargs > f->n_positional && f->var_index < 0) return raise_count(f, nargs);
    PyObject *inline_slots[kInlineSlots];
    PyObject **slots = inline_slots;
    if (n > kInlineSlots) {
        slots = static_cast<PyObject **>(PyMem_Malloc(n * sizeof(PyObject *)));
        if (!slots) return PyErr_NoMemory();
    }
    for (std::size_t i = 0; i < n; ++i) slots[i] = nullptr;  // borrowed until checked

    PyObject *result = nullptr;
    Py_ssize_t npos_taken = nargs < f->n_positional ? nargs : f->n_positional;
    for (Py_ssize_t i = 0; i < npos_taken; ++i) slots[i] = args[i];
    PyObject *var_tuple = nullptr;
    std::size_t filled_owned = 0;  // slots[0..filled_owned) hold new references after checks
    if (f->var_index >= 0) {
        Py_ssize_t extra = nargs - npos_taken;
        var_tuple = PyTuple_New(extra > 0 ? extra : 0);
        if (!var_tuple) goto done;
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(var_tuple, i, Py_NewRef(args[npos_taken + i]));
        slots[f->var_index] = var_tuple;
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t idx = find_param(f, key);
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                             f->qualname, key);
                goto done;
            }
            if (slots[idx]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             f->qualname, key);
                goto done;
            }
            slots[idx] = args[nargs + k];
        }
    }
    // Missing arguments and defaults, in signature order.
    for (std::size_t i = 0; i < n; ++i) {
        if (slots[i]) continue;
        if (f->slot_defaults[i]) {
            slots[i] = f->slot_defaults[i];
            continue;
        }
        if (ps[i].kind == Kind::Positional) {
            raise_count(f, static_cast<Py_ssize_t>(i));
        } else {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", f->spec->name,
                         ps[i].name);
        }
        goto done;
    }
    // Checks and conversions, in signature order; slots become owned references.
    for (; filled_owned < n; ++filled_owned) {
        PyObject *v = slots[filled_owned];
        PyObject *c = (ps[filled_owned].kind == Kind::VarPositional) ? Py_NewRef(v)
                                                                      : check_arg(ps[filled_owned], v);
        if (!c) goto done;
        slots[filled_owned] = c;
    }
    result = call_impl(f, slots, n);
done:
    for (std::size_t i = 0; i < filled_owned; ++i) Py_DECREF(slots[i]);
    Py_XDECREF(var_tuple);
    if (slots != inline_slots) PyMem_Free(slots);
    return result;
}

// Checking an argument may call back into Python (__bool__, __index__, __float__), and a class
// may use one of these functions as such a slot, so calls nest without any Python frame between
// them: the recursion limit is kept here as CPython's own built-in functions keep it.
PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = bind_and_call(self, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// The call path of functions whose parameters are all positional (no keyword-only, no *args):
// a call that passes every argument by position needs no keyword matching and no defaults, so
// the arguments are checked straight from the caller's array. Other calls take the general path.
PyObject *fn_vectorcall_positional(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<Function *>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool guard = !f->cannot_recurse;
    if (guard && Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result = nullptr;
    if (kwnames || nargs != f->n_positional || nargs > static_cast<Py_ssize_t>(kInlineSlots)) {
        result = bind_and_call(self, args, nargsf, kwnames);
    } else {
        const auto &ps = f->spec->params;
        PyObject *slots[kInlineSlots];
        Py_ssize_t owned = 0;
        for (; owned < nargs; ++owned) {
            PyObject *c = check_arg(ps[owned], args[owned]);
            if (!c) break;
            slots[owned] = c;
        }
        if (owned == nargs) result = call_impl(f, slots, static_cast<std::size_t>(nargs));
        for (Py_ssize_t i = 0; i < owned; ++i) Py_DECREF(slots[i]);
    }
    if (guard) Py_LeaveRecursiveCall();
    return result;
}

// ---- type slots --------------------------------------------------------------------------

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->closure);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    for (std::size_t i = 0; f->slot_defaults && i < f->spec->params.size(); ++i)
        Py_VISIT(f->slot_defaults[i]);
    return 0;
}

int fn_clear(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    // name, qualname and the defaults stay: the binder may still run while a cycle is cleared
    return 0;
}

void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->locals_prefix);
    Py_CLEAR(f->origin_qualname);
    Py_CLEAR(f->origin_module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    for (std::size_t i = 0; f->slot_defaults && i < f->spec->params.size(); ++i)
        Py_CLEAR(f->slot_defaults[i]);
    PyMem_Free(f->slot_defaults);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *fn_repr(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_annotations(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (!f->annotations) {
        PyObject *d = PyDict_New();
        if (!d) return nullptr;
        for (const Param &p : f->spec->params) {
            if (!p.annotation) continue;
            PyObject *t = PyUnicode_FromString(p.annotation);
            if (!t || PyDict_SetItemString(d, p.name, t) < 0) {
                Py_XDECREF(t);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(t);
        }
        if (f->spec->returns) {
            PyObject *t = PyUnicode_FromString(f->spec->returns);
            if (!t || PyDict_SetItemString(d, "return", t) < 0) {
                Py_XDECREF(t);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(t);
        }
        f->annotations = d;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (value == nullptr || value == Py_None) {
        Py_CLEAR(f->annotations);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_NewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject *get_kwdefaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    return Py_NewRef(f->kwdefaults ? f->kwdefaults : Py_None);
}

int set_text(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->name);
}
int set_name(PyObject *self, PyObject *v, void *) {
    return set_text(&reinterpret_cast<Function *>(self)->name, v, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->qualname);
}
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_text(&reinterpret_cast<Function *>(self)->qualname, v, "__qualname__");
}
// inspect.signature() asks for __signature__ first; build an inspect.Signature from the spec.
PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    try {
        nb::object inspect = import("inspect");
        nb::object Parameter = inspect.attr("Parameter");
        nb::object empty = Parameter.attr("empty");
        nb::list params;
        const auto &ps = f->spec->params;
        for (std::size_t i = 0; i < ps.size(); ++i) {
            const Param &p = ps[i];
            nb::object kind = p.kind == Kind::Positional    ? Parameter.attr("POSITIONAL_OR_KEYWORD")
                              : p.kind == Kind::KeywordOnly ? Parameter.attr("KEYWORD_ONLY")
                                                            : Parameter.attr("VAR_POSITIONAL");
            nb::object def = f->slot_defaults[i] ? nb::borrow(f->slot_defaults[i]) : empty;
            nb::object ann = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
            params.append(Parameter(p.name, kind, "default"_a = def, "annotation"_a = ann));
        }
        nb::object ret = f->spec->returns ? nb::object(nb::str(f->spec->returns)) : empty;
        return inspect.attr("Signature")(params, "return_annotation"_a = ret).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// Assigning __defaults__ / __kwdefaults__ would not change how calls are bound (the signature
// table does), so it is refused instead of being accepted and ignored.
int refuse_defaults(PyObject *self, PyObject *, void *what) {
    PyErr_Format(PyExc_AttributeError,
                 "%s of %U is fixed by its signature; wrap the function (for example with "
                 "functools.partial) to call it with other defaults",
                 static_cast<const char *>(what), reinterpret_cast<Function *>(self)->qualname);
    return -1;
}

PyObject *get_globals(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (f->globals) {
        // Whoever reads the namespace itself (typing.get_type_hints) finds every name in it.
        try {
            resolve_deferred(f->globals);
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
        return Py_NewRef(f->globals);
    }
    return PyDict_New();
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, refuse_defaults, nullptr, const_cast<char *>("__defaults__")},
    {"__kwdefaults__", get_kwdefaults, refuse_defaults, nullptr, const_cast<char *>("__kwdefaults__")},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// __module__ is per function, yet the type's own __module__ must be a plain text (stub generators
// and inspect read it, and a heap type hands out its dict entry as it is): the name is served
// here, before the ordinary lookup that would find the type's text. __doc__ is a descriptor of its
// own (see DocDescriptor), so that every lookup path finds it, object.__getattribute__ included.
PyObject *g_module_key = nullptr;

PyObject *fn_getattro(PyObject *self, PyObject *name) {
    auto *f = reinterpret_cast<Function *>(self);
    if (PyUnicode_Check(name)) {
        if (name == g_module_key || PyUnicode_Compare(name, g_module_key) == 0)
            return Py_NewRef(f->module ? f->module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int fn_setattro(PyObject *self, PyObject *name, PyObject *value) {
    auto *f = reinterpret_cast<Function *>(self);
    if (PyUnicode_Check(name)) {
        if (PyUnicode_Compare(name, g_module_key) == 0) {
            Py_XSETREF(f->module, Py_XNewRef(value));
            return 0;
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// pickle and copy take a module-level function by reference, as they do Python functions: the
// qualified name is looked up in its module when loading. Nested functions (a "<locals>" in the
// qualname) cannot be found there and are refused by pickle as local objects are.
PyObject *fn_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->qualname);
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_getset, fn_getset},
    {Py_tp_methods, fn_methods},
    {Py_tp_getattro, reinterpret_cast<void *>(fn_getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(fn_setattro)},
    {Py_tp_doc, const_cast<char *>(
        "A function of the panekit package: a Python-visible function implemented in C++, with\n"
        "its own signature, annotations, defaults and qualified name.")},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "panekit.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

// ---- __doc__: one descriptor serving the function's text and the type's ----------------------
//
// help() and pydoc read a docstring with object.__getattribute__, which skips the type's
// per-object lookup and, for a plain text in the type's dict, finds the type's own docstring. A
// data descriptor is found on every path: read on a function it gives that function's text (None
// when it has none), read on the type (type.__doc__ calls it without an instance) the type's text.
struct DocDescriptor {
    PyObject_HEAD
    PyObject *type_doc;
};

PyTypeObject *g_doc_type = nullptr;

PyObject *doc_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        PyObject *text = reinterpret_cast<DocDescriptor *>(self)->type_doc;
        return Py_NewRef(text ? text : Py_None);
    }
    if (!PyObject_TypeCheck(obj, g_type)) {
        PyErr_SetString(PyExc_TypeError, "__doc__ of a panekit function read on another object");
        return nullptr;
    }
    PyObject *doc = reinterpret_cast<Function *>(obj)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}

int doc_set(PyObject *, PyObject *obj, PyObject *value) {
    if (!PyObject_TypeCheck(obj, g_type)) {
        PyErr_SetString(PyExc_TypeError, "__doc__ of a panekit function set on another object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function *>(obj)->doc, Py_XNewRef(value));  // deleting it leaves None
    return 0;
}

void doc_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<DocDescriptor *>(self)->type_doc);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot doc_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(doc_dealloc)},
    {Py_tp_descr_get, reinterpret_cast<void *>(doc_get)},
    {Py_tp_descr_set, reinterpret_cast<void *>(doc_set)},
    {0, nullptr},
};

PyType_Spec doc_spec = {"panekit.function_doc", sizeof(DocDescriptor), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, doc_slots};

// Replaces the type's plain __doc__ text by the descriptor, which keeps that text for the type.
void install_doc_descriptor(PyTypeObject *type) {
    g_doc_type = reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&doc_spec)).release().ptr());
    nb::object dict = check(PyType_GetDict(type));
    PyObject *text = nullptr;
    check(PyDict_GetItemStringRef(dict.ptr(), "__doc__", &text));
    auto *d = PyObject_New(DocDescriptor, g_doc_type);
    if (!d) {
        Py_XDECREF(text);
        throw nb::python_error();
    }
    d->type_doc = text;
    nb::object descr = nb::steal(reinterpret_cast<PyObject *>(d));
    check(PyDict_SetItemString(dict.ptr(), "__doc__", descr.ptr()));
    PyType_Modified(type);
}

// ---- closure states ----------------------------------------------------------------------------

struct ClosureState {
    PyObject_VAR_HEAD
    PyObject *items[1];
};

PyTypeObject *g_state_type = nullptr;

int state_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *s = reinterpret_cast<ClosureState *>(self);
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_VISIT(s->items[i]);
    return 0;
}

int state_clear(PyObject *self) {
    auto *s = reinterpret_cast<ClosureState *>(self);
    for (Py_ssize_t i = 0; i < Py_SIZE(self); ++i) Py_CLEAR(s->items[i]);
    return 0;
}

void state_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *state_repr(PyObject *self) { return PyUnicode_FromFormat("<panekit closure state at %p>", self); }

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(state_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(state_repr)},
    {0, nullptr},
};

PyType_Spec state_spec = {"panekit.closure_state", offsetof(ClosureState, items), sizeof(PyObject *),
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          state_slots};

PyObject *make_default(const Param &p) {
    switch (p.def) {
        case Def::None: return Py_NewRef(Py_None);
        case Def::False: return Py_NewRef(Py_False);
        case Def::True: return Py_NewRef(Py_True);
        case Def::Float: return PyFloat_FromDouble(p.number);
        case Def::Int: return PyLong_FromDouble(p.number);
        case Def::Str: return PyUnicode_FromString(p.text ? p.text : "");
        case Def::Required: break;
    }
    return nullptr;
}

// Texts of a spec, made once: functions are created per call (per request, per download).
// The qualname of a nested function depends on where it is made; the last one is kept.
struct SpecTexts {
    PyObject *name = nullptr, *doc = nullptr;
    PyObject *prefix = nullptr, *qualname = nullptr;  // qualname = prefix + name
};

PyObject *intern_text(const char *s) {
    PyObject *t = PyUnicode_FromString(s);
    if (!t) throw nb::python_error();
    return t;
}

SpecTexts &texts_of(const Spec &spec) {
    static std::unordered_map<const Spec *, SpecTexts> cache;
    auto it = cache.find(&spec);
    if (it != cache.end()) return it->second;
    SpecTexts t;
    t.name = intern_text(spec.name);
    t.doc = spec.doc ? intern_text(spec.doc) : nullptr;
    return cache.emplace(&spec, t).first->second;
}

// The qualified name for a spec placed under `prefix` (nullptr: the spec's own qualname).
PyObject *qualname_for(SpecTexts &t, PyObject *prefix) {
    if (!prefix) return Py_NewRef(t.name);
    if (t.prefix && (t.prefix == prefix || PyUnicode_Compare(t.prefix, prefix) == 0))
        return Py_NewRef(t.qualname);
    PyObject *q = PyUnicode_Concat(prefix, t.name);
    if (!q) throw nb::python_error();
    Py_XSETREF(t.prefix, Py_NewRef(prefix));
    Py_XSETREF(t.qualname, Py_NewRef(q));
    return q;
}

Function *alloc_function(const Spec &spec) {
    if (!g_type) throw std::runtime_error("panekit runtime not initialised");
    auto *f = PyObject_GC_New(Function, g_type);
    if (!f) throw nb::python_error();
    // Everything null first, so dealloc is safe on any failure below.
    f->vectorcall = fn_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->module = f->doc = f->dict = f->closure = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->weakrefs = f->globals = nullptr;
    f->tramp = nullptr;
    f->target = nullptr;
    f->locals_prefix = f->origin_qualname = f->origin_module = nullptr;
    f->slot_defaults = nullptr;
    f->n_positional = f->n_required_positional = 0;
    f->var_index = -1;
    f->cannot_recurse = false;
    return f;
}

// Defaults, counts and the call path, from the spec.
void bind_signature(Function *f) {
    const Spec &spec = *f->spec;
    const std::size_t n = spec.params.size();
    f->slot_defaults = static_cast<PyObject **>(PyMem_Calloc(n ? n : 1, sizeof(PyObject *)));
    if (!f->slot_defaults) throw std::bad_alloc();
    nb::list positional_defaults;
    nb::dict kwdefaults;
    bool all_positional = true;
    for (std::size_t i = 0; i < n; ++i) {
        const Param &p = spec.params[i];
        if (p.kind == Kind::VarPositional) {
            f->var_index = static_cast<Py_ssize_t>(i);
            all_positional = false;
            continue;
        }
        if (p.kind == Kind::Positional) {
            ++f->n_positional;
            if (p.def == Def::Required) ++f->n_required_positional;
        } else {
            all_positional = false;
        }
        if (p.def == Def::Required) continue;
        nb::object d = nb::steal(make_default(p));
        if (!d.is_valid()) throw nb::python_error();
        if (p.kind == Kind::Positional)
            positional_defaults.append(d);
        else
            kwdefaults[p.name] = d;
        f->slot_defaults[i] = Py_NewRef(d.ptr());  // owned: the exposed tuple/dict may change
    }
    if (nb::len(positional_defaults)) f->defaults = nb::tuple(positional_defaults).release().ptr();
    if (nb::len(kwdefaults)) f->kwdefaults = kwdefaults.release().ptr();
    if (all_positional && n <= kInlineSlots) f->vectorcall = fn_vectorcall_positional;
    // Checks that convert (int(), float(), truth) may run the argument's own Python code.
    bool checks_call_back = false;
    for (const Param &p : spec.params)
        checks_call_back |= p.check == Check::Int || p.check == Check::OptInt || p.check == Check::Truth ||
                            p.check == Check::Float;
    f->cannot_recurse = spec.leaf && !checks_call_back;
}

nb::object make_prefix(PyObject *qualname, const char *sep) {
    PyObject *p = PyUnicode_FromFormat("%U%s", qualname, sep);
    if (!p) throw nb::python_error();
    return nb::steal(p);
}

}  // namespace


void start_runtime(void *nanobind_state) {
    if (!nb::detail::internals) nb::detail::internals = static_cast<nb::detail::nb_internals *>(nanobind_state);
    if (g_type) return;
    g_module_key = PyUnicode_InternFromString("__module__");
    if (!g_module_key) throw nb::python_error();
    g_state_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&state_spec));
    if (!g_state_type) throw nb::python_error();
    auto *type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&fn_spec));
    if (!type) throw nb::python_error();
    install_doc_descriptor(type);
    g_type = type;
}

PyObject *state_new(Py_ssize_t size) {
    if (!g_state_type) {
        PyErr_SetString(PyExc_RuntimeError, "panekit runtime not initialised");
        return nullptr;
    }
    auto *s = PyObject_GC_NewVar(ClosureState, g_state_type, size);
    if (!s) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) s->items[i] = Py_NewRef(Py_None);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(s));
    return reinterpret_cast<PyObject *>(s);
}

PyObject *state_item(PyObject *state, Py_ssize_t index) {
    if (!state || Py_TYPE(state) != g_state_type || index < 0 || index >= Py_SIZE(state)) return Py_None;
    PyObject *v = reinterpret_cast<ClosureState *>(state)->items[index];
    return v ? v : Py_None;
}

PyObject *closure_of(PyObject *fn) {
    if (!fn || !g_type || Py_TYPE(fn) != g_type) return nullptr;
    return reinterpret_cast<Function *>(fn)->closure;
}

void state_store(PyObject *state, Py_ssize_t index, PyObject *value) {
    if (!state || Py_TYPE(state) != g_state_type || index < 0 || index >= Py_SIZE(state))
        raise(PyExc_SystemError, "closure state slot %zd does not exist", index);
    Py_XSETREF(reinterpret_cast<ClosureState *>(state)->items[index], Py_NewRef(value));
}

nb::object new_function(const Spec &spec, Trampoline t, void *target, const detail::Place &at) {
    Function *f = alloc_function(spec);
    nb::object owner = nb::steal(reinterpret_cast<PyObject *>(f));
    f->tramp = t;
    f->target = target;
    SpecTexts &texts = texts_of(spec);
    f->name = Py_NewRef(texts.name);
    f->qualname = qualname_for(texts, at.prefix);
    f->module = Py_XNewRef(at.module_name);
    f->origin_qualname = Py_NewRef(f->qualname);
    f->origin_module = Py_XNewRef(at.module_name);
    f->doc = Py_XNewRef(texts.doc);
    f->globals = Py_XNewRef(at.globals);
    f->closure = Py_XNewRef(at.state);
    bind_signature(f);
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return owner;
}

// ---- call context, modules, classes ----------------------------------------------------------

nb::object Call::global(const char *name) const { return module_global(globals_, name); }

nb::object Call::global(Name &name) const {
    PyObject *v = PyDict_GetItemWithError(globals_, name.get().ptr());
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        if (resolve_deferred(globals_, name.get())) return global(name);
        raise(PyExc_NameError, "name '%U' is not defined", name.get().ptr());
    }
    return nb::borrow(v);
}

void Call::set_global(const char *name, nb::handle value) const {
    check(PyDict_SetItemString(globals_, name, value.ptr()));
}

detail::Place Call::place(nb::handle state) const {
    auto *f = reinterpret_cast<Function *>(fn_);
    if (!locals_prefix_) {
        // Made once per function, not per call: closures are made per request and per download.
        if (!f->locals_prefix) f->locals_prefix = make_prefix(f->origin_qualname, ".<locals>.").release().ptr();
        locals_prefix_ = Py_NewRef(f->locals_prefix);
    }
    return {f->origin_module, globals_, locals_prefix_, state.ptr()};
}

detail::Place Call::module_place() const {
    return {reinterpret_cast<Function *>(fn_)->origin_module, globals_, nullptr, nullptr};
}

Call::~Call() { Py_XDECREF(locals_prefix_); }


void Module::set(const char *name, nb::handle value) const { m_.attr(name) = value; }

nb::object Module::global(const char *name) const { return module_global(globals_, name); }

void Module::import_names(const char *module, std::initializer_list<const char *> names) const {
    for (const char *n : names) set(n, import_from(module, n));
}

// ---- names imported at their first use ------------------------------------------------------

namespace {

// The names of module namespaces still waiting for their import: (namespace, name, module).
struct Deferred {
    PyObject *globals;
    PyObject *name;  // interned, owned
    const char *module;
};
std::vector<Deferred> &deferred_names() {
    static std::vector<Deferred> v;
    return v;
}

// Imports `module` for every name `globals` waits for from it, as `from <module> import ...` (a
// name that is the module's own is the module: `import <module>`).
void import_deferred(PyObject *globals, const char *module) {
    auto &v = deferred_names();
    auto waiting = [&](const Deferred &d) { return d.globals == globals && std::strcmp(d.module, module) == 0; };
    // The names are forgotten only once they are in the namespace: an import may let another
    // thread run, which must still find them (it imports them too, or finds them set).
    std::vector<nb::object> names;
    for (const Deferred &d : v)
        if (waiting(d)) names.push_back(nb::borrow(d.name));
    for (const nb::object &n : names) {
        if (check(PyDict_Contains(globals, n.ptr()))) continue;  // rebound meanwhile
        const char *text = PyUnicode_AsUTF8(n.ptr());
        nb::object value = std::strcmp(text, module) == 0 ? import(module) : import_from(module, text);
        check(PyDict_SetItem(globals, n.ptr(), value.ptr()));
    }
    for (auto it = v.begin(); it != v.end();) {
        if (waiting(*it)) {
            Py_DECREF(it->name);
            it = v.erase(it);
        } else {
            ++it;
        }
    }
}

// The module's __getattr__ (over its namespace): the deferred name, imported now.
PyObject *deferred_getattr(PyObject *globals, PyObject *name) {
    try {
        if (PyUnicode_Check(name) && resolve_deferred(globals, name)) {
            PyObject *v = PyDict_GetItemWithError(globals, name);
            if (v) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
        PyObject *mod_name = PyDict_GetItemString(globals, "__name__");
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", mod_name ? mod_name : Py_None, name);
        return nullptr;
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}
PyMethodDef deferred_getattr_def = {"__getattr__", deferred_getattr, METH_O, nullptr};

}  // namespace

bool resolve_deferred(nb::handle globals, nb::handle name) {
    for (const Deferred &d : deferred_names()) {
        if (d.globals == globals.ptr() && check(PyObject_RichCompareBool(d.name, name.ptr(), Py_EQ))) {
            import_deferred(d.globals, d.module);
            return true;
        }
    }
    return false;
}

void resolve_deferred(nb::handle globals) {
    for (;;) {
        const Deferred *d = nullptr;
        for (const Deferred &e : deferred_names())
            if (e.globals == globals.ptr()) d = &e;
        if (!d) return;
        import_deferred(d->globals, d->module);
    }
}

void Module::defer_names(const char *module, std::initializer_list<const char *> names) const {
    for (const char *n : names)
        deferred_names().push_back({globals_.ptr(), PyUnicode_InternFromString(n), module});
    if (!PyDict_GetItemString(globals_.ptr(), "__getattr__"))
        set("__getattr__", check(PyCFunction_NewEx(&deferred_getattr_def, globals_.ptr(), name_.ptr())));
}

detail::Place Module::place(nb::handle state) const {
    return {name_.ptr(), globals_.ptr(), nullptr, state.ptr()};
}

ClassBuilder::ClassBuilder(const detail::Place &outer, const char *name, nb::handle bases, const char *doc)
    : place_(outer), module_(nb::borrow(outer.module_name)), name_(nb::str(name)), bases_(nb::borrow(bases)),
      ns_(nb::dict()) {
    place_.module_name = module_.ptr();  // owned here while the class is built
    nb::object qualname = outer.prefix ? check(PyUnicode_Concat(outer.prefix, name_.ptr())) : name_;
    prefix_ = make_prefix(qualname.ptr(), ".");
    place_.prefix = prefix_.ptr();
    ns_["__module__"] = module_;
    ns_["__qualname__"] = qualname;
    if (doc) ns_["__doc__"] = nb::str(doc);
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    ns_[name] = value;
    return *this;
}

ClassBuilder &ClassBuilder::add(const Spec &s, Trampoline t, void *target, Wrap w) {
    nb::object fn = new_function(s, t, target, place_);
    nb::object builtins = import("builtins");
    if (w == Wrap::Property) fn = builtins.attr("property")(fn);
    if (w == Wrap::ClassMethod) fn = builtins.attr("classmethod")(fn);
    ns_[s.name] = fn;
    return *this;
}

nb::object ClassBuilder::build() {
    nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    return type(name_, bases_, ns_);
}

nb::object import_from(const char *module, const char *name) {
    nb::object fromlist = nb::make_tuple(nb::str(name));
    nb::object mod = check(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject *v = nullptr;
    check(PyObject_GetOptionalAttrString(mod.ptr(), name, &v));
    if (!v) {
        nb::object file = nb::getattr(mod, "__file__", nb::str("unknown location"));
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", name, module, file.ptr());
        PyObject *exc = PyErr_GetRaisedException();
        nb::str mn(module);
        if (PyObject_SetAttrString(exc, "name", mn.ptr()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }
    return nb::steal(v);
}

}  // namespace pk
