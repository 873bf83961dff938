// The small runtime every panekit module stands on.
//
//  * `pk::Spec` is a declarative signature: parameter names and kinds, defaults, argument checks
//    and annotation texts. One binder turns it into argument errors with fixed wording, converted
//    arguments and the function's metadata, so no function repeats parsing code.
//  * `pk::make_function` creates a "panekit function": a vectorcall object that behaves like a
//    Python function (name, qualname, module, doc, annotations, defaults, kwdefaults, __dict__,
//    binding as a method, inspect.signature). Closures keep their captured state in a tuple the
//    cycle collector traverses.
//  * Helpers for what every module does the same way: printing a console line, JSON bytes,
//    raising formatted Python errors, reading module globals at call time.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace pk {
namespace nb = nanobind;

// How an argument is checked (and possibly converted) on entry.
enum class Check : std::uint8_t {
    Any,      // not checked
    Str,      // exactly str
    OptStr,   // exactly str or None
    Dict,     // exactly dict
    OptDict,  // exactly dict or None
    OptBool,  // exactly bool or None
    Int,      // any number, converted with int()
    OptInt,   // None, or any number converted with int()
    Truth,    // truth value of anything, becomes True/False
    Float,    // anything float() accepts, becomes a float
};

enum class Kind : std::uint8_t { Positional, KeywordOnly, VarPositional };

// Default values a signature can declare.
enum class Def : std::uint8_t { Required, None, False, True, Float, Int, Str };

struct Param {
    const char *name;
    const char *annotation = nullptr;  // annotation text; nullptr: not annotated
    Check check = Check::Any;
    Kind kind = Kind::Positional;
    Def def = Def::Required;
    double number = 0;          // for Def::Float / Def::Int
    const char *text = nullptr; // for Def::Str
};

// For functions without parameters (a zero-length array is not portable C++).
inline constexpr std::span<const Param> kNoParams{};

class Args;
using Impl = nb::object (*)(Args &);

struct Spec {
    const char *name;
    const char *qualname;  // nullptr: same as name
    std::span<const Param> params;
    const char *returns;  // return annotation text; nullptr: none
    const char *doc;      // nullptr: no docstring
    Impl impl;
};

// Shorthands for signature tables.
constexpr Param pos(const char *name, const char *ann, Check c = Check::Any) {
    return Param{name, ann, c, Kind::Positional, Def::Required};
}
constexpr Param pos(const char *name, const char *ann, Check c, Def d, double num = 0,
                    const char *text = nullptr) {
    return Param{name, ann, c, Kind::Positional, d, num, text};
}
constexpr Param kw(const char *name, const char *ann, Check c = Check::Any) {
    return Param{name, ann, c, Kind::KeywordOnly, Def::Required};
}
constexpr Param kw(const char *name, const char *ann, Check c, Def d, double num = 0,
                   const char *text = nullptr) {
    return Param{name, ann, c, Kind::KeywordOnly, d, num, text};
}
constexpr Param varargs(const char *name, const char *ann) {
    return Param{name, ann, Check::Any, Kind::VarPositional, Def::Required};
}

struct Function;  // the object layout, private to the runtime

// The bound, checked arguments of one call, in signature order (a *args parameter is a tuple).
class Args {
public:
    Args(Function *fn, PyObject *const *slots, std::size_t n) : fn_(fn), slots_(slots), n_(n) {}
    nb::handle operator[](std::size_t i) const { return slots_[i]; }
    std::size_t size() const { return n_; }
    // Captured state of a closure (the tuple given to make_function), item i.
    nb::handle cell(std::size_t i) const;

private:
    Function *fn_;
    PyObject *const *slots_;
    std::size_t n_;
};

// Creates a panekit function from a static spec. `closure` (a tuple, or empty) is kept alive and
// traversed by the cycle collector; `qualname` overrides the spec's.
nb::object make_function(const Spec &spec, const char *module, nb::handle closure = nb::handle(),
                         const char *qualname = nullptr);

// Must be called once from each module's init before make_function.
void init_runtime(nb::module_ &m);

// ---- helpers shared by every module -------------------------------------------------------

// Raises the given Python exception with a printf-style message (PyErr_Format rules).
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);

// The package's argument-type error, with the note for subclasses of built-in types.
[[noreturn]] void raise_arg_type(const char *param, const char *expected, nb::handle got,
                                 bool subclass_note);

// print(text, flush=True) through sys.stdout, as Python code would.
void print_line(nb::handle text);
void print_line(const char *utf8);

// json.dumps(obj, ensure_ascii=False) encoded as UTF-8; characters UTF-8 cannot carry (lone
// surrogates, which only occur inside JSON strings) are written as JSON \uXXXX escapes.
nb::bytes json_bytes(nb::handle obj);

// Imports a module (a sys.modules lookup once it is loaded).
nb::object import(const char *name);

// A module attribute fetched on first use and kept for the life of the process (for hot paths:
// stable library objects such as socket.socket or time.monotonic, never package globals).
class Lazy {
public:
    constexpr Lazy(const char *module, const char *attr) : module_(module), attr_(attr) {}
    nb::handle get() {
        if (!value_) value_ = nb::object(import(module_).attr(attr_)).release().ptr();
        return value_;
    }

private:
    const char *module_;
    const char *attr_;
    PyObject *value_ = nullptr;
};

// Convenience: format "%s" in a UTF-8 template with a Python value's text.
nb::str format1(const char *templ, nb::handle value);

// A module-level global looked up at call time (so tests and users can rebind it).
nb::object module_global(nb::handle module_dict, const char *name);

// os.environ.get(name): the variable's current text, or None when it is unset.
nb::object env_get(const char *name);

// The package's "argument, then variable, then default" rule: the first value that is neither
// None nor empty; when every one is, the last value as it is.
nb::object first_nonempty(std::initializer_list<nb::handle> values);

// Whether a caught Python error is an ordinary Exception: guarded code lets KeyboardInterrupt and
// SystemExit through, as `except Exception` does.
inline bool is_exception(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// Runs `f`; an Exception it raises is dropped (the package's guarded platform calls).
template <class F>
void guarded(F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!is_exception(e)) throw;
    }
}

// `obj.<event> += fn` / `obj.<event> -= fn`, as Python evaluates them: read the attribute, apply the
// in-place operation, write the result back (how .NET events are subscribed through the bridge).
void event_add(nb::handle obj, const char *event, nb::handle fn);
void event_remove(nb::handle obj, const char *event, nb::handle fn);

// The platform name, read from sys.platform at call time.
bool on_windows();

}  // namespace pk
