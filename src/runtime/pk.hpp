// The small runtime every panekit module stands on.
//
//  * `pk::Spec` is a declarative signature: parameter names and kinds, defaults, argument checks
//    and annotation texts. One binder turns it into argument errors with fixed wording, converted
//    arguments and the function's metadata, so no function repeats parsing code.
//  * One type of "panekit function" for the whole package: a vectorcall object that behaves like a
//    Python function (name, qualname, module, doc, annotations, defaults, kwdefaults, __dict__,
//    __globals__, binding as a method, inspect.signature, pickle by qualified name). An
//    implementation receives its arguments as named, typed C++ parameters; closures share one
//    named state (pk::State) that the cycle collector traverses.
//  * Helpers for what every module does the same way: printing a console line, JSON bytes,
//    raising formatted Python errors, reading module globals at call time.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

// The runtime is one shared library that every module links, so the package has one function
// type. On Windows the library exports all its functions (CMake WINDOWS_EXPORT_ALL_SYMBOLS); on
// other systems its declarations keep default visibility although modules build with hidden.
#define PK_API
#if !defined(_WIN32)
#  pragma GCC visibility push(default)
#endif

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
    Float,    // a float, an int or an object with __float__ or __index__, becomes a float
              // (text is refused with a TypeError, unlike float())
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

struct Spec {
    const char *name;
    std::span<const Param> params = {};
    const char *returns = nullptr;  // return annotation text; nullptr: none
    const char *doc = nullptr;      // nullptr: no docstring
    // The implementation runs no Python code (it calls nothing back and reads no attributes of
    // arbitrary objects): with checks that call nothing back either, a call cannot recurse into
    // itself, and the recursion-limit bookkeeping is skipped.
    bool leaf = false;
};

struct Function;  // the object layout, private to the runtime

// Called from each module's init (pk::Module does it). The runtime is a library of its own, not a
// nanobind module: it adopts the nanobind state of the first module that starts it (every module
// of the package shares one nanobind domain, hence one state) and creates the function type once.
void start_runtime(void *nanobind_state);
inline void init_runtime(nb::module_ &) { start_runtime(nb::detail::internals); }

// ==== named parameters, module context, closures over one named state ==========================
//
// A function is declared by a constexpr table standing directly above its implementation:
//
//     constexpr pk::Param norm_params[] = {{.name = "raw", .annotation = "str", .check = Check::Str}};
//     constexpr pk::Spec norm_spec{.name = "norm_browser_url", .params = norm_params, .returns = "str"};
//     nb::object norm_browser_url(nb::str raw) { ... }
//     ...
//     mod.def<norm_spec>(norm_browser_url);
//
// The implementation receives one C++ parameter per table entry, in table order, optionally
// preceded by `const pk::Call &` (the call's context: module globals, the closure state, nested
// functions). The parameter count and each parameter's C++ type are checked against the table at
// compile time. Parameter types: nb::handle / nb::object (any check), nb::str (Check::Str),
// nb::dict (Check::Dict), nb::tuple (the *args parameter), bool (Check::Truth),
// double (Check::Float). Results: nb::object (or anything convertible to it), or void for None.

class Call;
using Trampoline = PyObject *(*)(const Call &, PyObject *const *slots, void *target);

namespace detail {
template <class T> struct Arg;
template <> struct Arg<nb::handle> {
    static constexpr bool fits(const Param &) { return true; }
    static nb::handle get(PyObject *p) { return p; }
};
template <> struct Arg<nb::object> {
    static constexpr bool fits(const Param &) { return true; }
    static nb::object get(PyObject *p) { return nb::borrow(p); }
};
template <> struct Arg<nb::str> {
    static constexpr bool fits(const Param &p) { return p.check == Check::Str; }
    static nb::str get(PyObject *p) { return nb::borrow<nb::str>(p); }
};
template <> struct Arg<nb::dict> {
    static constexpr bool fits(const Param &p) { return p.check == Check::Dict; }
    static nb::dict get(PyObject *p) { return nb::borrow<nb::dict>(p); }
};
template <> struct Arg<nb::tuple> {
    static constexpr bool fits(const Param &p) { return p.kind == Kind::VarPositional; }
    static nb::tuple get(PyObject *p) { return nb::borrow<nb::tuple>(p); }
};
template <> struct Arg<bool> {
    static constexpr bool fits(const Param &p) { return p.check == Check::Truth; }
    static bool get(PyObject *p) { return p == Py_True; }
};
template <> struct Arg<double> {
    static constexpr bool fits(const Param &p) { return p.check == Check::Float; }
    static double get(PyObject *p) { return PyFloat_AS_DOUBLE(p); }
};

template <class T> using bare = std::remove_cvref_t<T>;

template <class R> PyObject *result(R &&r) {
    nb::object o = nb::cast<nb::object>(std::forward<R>(r));
    return o.is_valid() ? o.release().ptr() : Py_NewRef(Py_None);
}

template <const Spec &S, class Fn> struct Invoker;

template <const Spec &S, class R, class... A> struct Invoker<S, R (*)(A...)> {
    using First = std::tuple_element_t<0, std::tuple<A..., void>>;
    static constexpr bool with_call = std::is_same_v<bare<First>, Call>;
    static constexpr std::size_t skip = with_call ? 1 : 0;
    static constexpr std::size_t arity = sizeof...(A) - skip;
    static_assert(arity == S.params.size(),
                  "the implementation's parameters do not match its signature table");

    template <std::size_t... I> static constexpr bool types_fit(std::index_sequence<I...>) {
        using Params = std::tuple<bare<A>...>;
        return (Arg<std::tuple_element_t<I + skip, Params>>::fits(S.params[I]) && ...);
    }
    static_assert(types_fit(std::make_index_sequence<arity>{}),
                  "a parameter's C++ type does not match its check in the signature table");

    template <std::size_t... I>
    static PyObject *call(const Call &c, PyObject *const *slots, void *target, std::index_sequence<I...>) {
        using Params = std::tuple<bare<A>...>;
        auto fn = reinterpret_cast<R (*)(A...)>(target);
        if constexpr (with_call) {
            if constexpr (std::is_void_v<R>) {
                fn(c, Arg<std::tuple_element_t<I + 1, Params>>::get(slots[I])...);
                return Py_NewRef(Py_None);
            } else {
                return result(fn(c, Arg<std::tuple_element_t<I + 1, Params>>::get(slots[I])...));
            }
        } else {
            (void)c;
            if constexpr (std::is_void_v<R>) {
                fn(Arg<std::tuple_element_t<I, Params>>::get(slots[I])...);
                return Py_NewRef(Py_None);
            } else {
                return result(fn(Arg<std::tuple_element_t<I, Params>>::get(slots[I])...));
            }
        }
    }
    static PyObject *trampoline(const Call &c, PyObject *const *slots, void *target) {
        return call(c, slots, target, std::make_index_sequence<arity>{});
    }
};

// A function as a plain pointer; a lambda without captures converts (MSVC may find that
// conversion ambiguous, so the package's own code passes named functions).
template <class F> auto fn_ptr(F f) {
    if constexpr (std::is_pointer_v<F>)
        return f;
    else
        return +f;
}

template <const Spec &S, class F> auto invoker_of(F f) {
    auto fp = fn_ptr(f);
    return Invoker<S, decltype(fp)>{};
}

// Where a new function belongs: module name and namespace, qualname prefix, closure state.
struct Place {
    PyObject *module_name;  // borrowed
    PyObject *globals;      // borrowed module dict
    PyObject *prefix;       // borrowed qualname prefix ("outer.<locals>." or "Class."), or nullptr
    PyObject *state;        // borrowed closure state, or nullptr
};
}  // namespace detail

// Creates a function object (the runtime's one type) for a spec and its typed trampoline.
PK_API nb::object new_function(const Spec &spec, Trampoline t, void *target, const detail::Place &at);

// A closure state: a fixed number of owned slots in an object of the runtime's own that the cycle
// collector traverses and that Python code cannot read or change (gc.get_referents() hands out
// the state object, never a container whose items could be cleared or swapped under the C++ code
// that reads them by position). A slot the collector has cleared reads as None.
PK_API PyObject *state_new(Py_ssize_t size);
PK_API PyObject *state_item(PyObject *state, Py_ssize_t index);  // borrowed
PK_API void state_store(PyObject *state, Py_ssize_t index, PyObject *value);
// The closure state of a function of the runtime (borrowed), or null for any other object.
PK_API PyObject *closure_of(PyObject *fn);

// One closure state shared by the nested functions of one call, with named fields: `E` is an
// enum whose last member is `kCount`. The fields are owned references the cycle collector sees.
template <class E> class State {
public:
    State() : obj_(nb::steal(state_new(static_cast<Py_ssize_t>(E::kCount)))) {
        if (!obj_.is_valid()) throw nb::python_error();
    }
    explicit State(nb::handle existing) : obj_(nb::borrow(existing)) {}
    nb::handle operator[](E field) const { return state_item(obj_.ptr(), static_cast<Py_ssize_t>(field)); }
    void set(E field, nb::handle value) const { state_store(obj_.ptr(), static_cast<Py_ssize_t>(field), value.ptr()); }
    nb::handle object() const { return obj_; }

private:
    nb::object obj_;
};

// A name made once and interned, for lookups on hot paths: an interned attribute name is found
// through the type's lookup cache, where a name built from C text for each access is hashed and
// searched along the whole MRO (and a dict lookup by it compares by identity first).
class Name {
public:
    constexpr explicit Name(const char *text) : text_(text) {}
    nb::handle get() {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) throw nb::python_error();
        }
        return obj_;
    }

private:
    const char *text_;
    PyObject *obj_ = nullptr;  // owned for the life of the process
};

// The context of one call: the function called, its module namespace and closure state.
class PK_API Call {
public:
    // `fn` is kept alive by the caller for the whole call (its namespace and state have no
    // setters, so they live as long as it does); its name and module are read when used.
    Call(PyObject *fn, PyObject *globals, PyObject *state) : fn_(fn), globals_(globals), state_(state) {}
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call();
    nb::handle function() const { return fn_; }
    nb::handle globals() const { return globals_; }
    // A module global looked up at call time (NameError as Python's wording when missing).
    nb::object global(const char *name) const;
    nb::object global(Name &name) const;
    void set_global(const char *name, nb::handle value) const;
    template <class E> State<E> state() const { return State<E>(nb::handle(state_)); }

    // A function nested in this one: qualname "<this qualname>.<locals>.<name>", same module;
    // over this call's state, or over another one.
    template <const Spec &S, class F> nb::object nested(F f) const { return nested<S>(f, nb::handle(state_)); }
    template <const Spec &S, class F> nb::object nested(F f, nb::handle state) const {
        auto inv = detail::invoker_of<S>(f);
        return new_function(S, inv.trampoline, reinterpret_cast<void *>(detail::fn_ptr(f)), place(state));
    }
    // A class defined in this function: qualname "<this qualname>.<locals>.<name>"; its members
    // close over `state`.
    class ClassBuilder klass(const char *name, nb::handle bases, nb::handle state, const char *doc = nullptr) const;
    // A class at module level (qualname "<name>") made at call time, e.g. on first use.
    class ClassBuilder module_class(const char *name, nb::handle bases, const char *doc = nullptr) const;
    detail::Place place(nb::handle state) const;  // prefix "<qualname>.<locals>."

private:
    detail::Place module_place() const;
    PyObject *fn_, *globals_, *state_;
    mutable PyObject *locals_prefix_ = nullptr;
};

// A class made with type(name, bases, namespace): plain methods, properties and class methods
// declared by the caller, every member a function of the runtime (qualname "<Class>.<member>").
class PK_API ClassBuilder {
public:
    ClassBuilder(const detail::Place &outer, const char *name, nb::handle bases, const char *doc = nullptr);
    template <const Spec &S, class F> ClassBuilder &method(F f) { return add(S, detail::invoker_of<S>(f).trampoline, reinterpret_cast<void *>(detail::fn_ptr(f)), Wrap::None); }
    template <const Spec &S, class F> ClassBuilder &property(F f) { return add(S, detail::invoker_of<S>(f).trampoline, reinterpret_cast<void *>(detail::fn_ptr(f)), Wrap::Property); }
    template <const Spec &S, class F> ClassBuilder &classmethod(F f) { return add(S, detail::invoker_of<S>(f).trampoline, reinterpret_cast<void *>(detail::fn_ptr(f)), Wrap::ClassMethod); }
    ClassBuilder &attr(const char *name, nb::handle value);
    nb::object build();

private:
    enum class Wrap { None, Property, ClassMethod };
    ClassBuilder &add(const Spec &s, Trampoline t, void *target, Wrap w);
    detail::Place place_;
    nb::object module_, name_, bases_, ns_, prefix_;
};

// One extension module's context: its name and namespace.
class PK_API Module {
public:
    Module(nb::module_ &m, const char *name, const char *doc) : m_(m), name_(nb::str(name)) {
        init_runtime(m);
        nb::set_leak_warnings(false);
        globals_ = PyModule_GetDict(m.ptr());
        if (doc) m.doc() = doc;
    }
    nb::handle globals() const { return globals_; }
    nb::handle name() const { return name_; }
    // Defines a module-level function (or one over `state`) and stores it under its name.
    template <const Spec &S, class F> nb::object def(F f, nb::handle state = nb::handle()) {
        nb::object fn = make<S>(f, state);
        set(S.name, fn);
        return fn;
    }
    // Creates a module-level function without storing it.
    template <const Spec &S, class F> nb::object make(F f, nb::handle state = nb::handle()) const {
        auto inv = detail::invoker_of<S>(f);
        return new_function(S, inv.trampoline, reinterpret_cast<void *>(detail::fn_ptr(f)), place(state));
    }
    void set(const char *name, nb::handle value) const;
    nb::object global(const char *name) const;
    // `from <module> import <names...>` into this module's namespace.
    void import_names(const char *module, std::initializer_list<const char *> names) const;
    // The same, done at the first use of one of the names (a module imported by only some of the
    // module's functions, or only for its annotations, costs nothing to those who never use it):
    // an attribute of the module, a function's call-time global, or a function's __globals__
    // (what typing.get_type_hints reads) imports the module then.
    void defer_names(const char *module, std::initializer_list<const char *> names) const;
    ClassBuilder klass(const char *name, nb::handle bases, const char *doc = nullptr) const {
        return ClassBuilder(place(nb::handle()), name, bases, doc);
    }
    detail::Place place(nb::handle state) const;

private:
    nb::module_ m_;
    nb::object name_;
    nb::handle globals_;
};

// `from <module> import <name>` with Python's own wording when the name is missing.
PK_API nb::object import_from(const char *module, const char *name);

// Runs `f`; an ordinary Exception it raises is dropped (KeyboardInterrupt and SystemExit pass,
// as with `except Exception`). guarded_or returns `fallback` instead of the failed result.
template <class F> void guarded(F &&f);
template <class T, class F> T guarded_or(T fallback, F &&f) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return fallback;
    }
}
// Runs `f`; when it raises an ordinary Exception, returns `on_error(e)` instead (for results made
// from the error, such as its text).
template <class F, class H> auto guarded_else(F &&f, H &&on_error) -> decltype(f()) {
    try {
        return f();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return on_error(e);
    }
}

// Raw C-API results: a new reference (nullptr means an error is set), or a status (-1 on error).
inline nb::object check(PyObject *new_ref) {
    if (!new_ref) throw nb::python_error();
    return nb::steal(new_ref);
}
inline int check(int status) {
    if (status < 0) throw nb::python_error();
    return status;
}
// Results whose error value is also a valid value (PyLong_AsLongLong's -1): an error is set.
template <class T> T check_value(T v) {
    if (v == static_cast<T>(-1) && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// The truth value of a value, as `if value:` takes it (errors of __bool__ / __len__ propagate).
inline bool truthy(nb::handle v) { return check(PyObject_IsTrue(v.ptr())) != 0; }

// getattr(obj, name, fallback) as Python has it: only a missing attribute gives `fallback` (which
// may be an empty handle, giving an invalid object); other errors propagate.
inline nb::object attr_or(nb::handle obj, const char *name, nb::handle fallback) {
    PyObject *v = nullptr;
    check(PyObject_GetOptionalAttrString(obj.ptr(), name, &v));
    return v ? nb::steal(v) : nb::borrow(fallback);
}

// The same by an interned name (hot paths), and the plain lookups and calls by one.
inline nb::object attr_or(nb::handle obj, Name &name, nb::handle fallback) {
    PyObject *v = nullptr;
    check(PyObject_GetOptionalAttr(obj.ptr(), name.get().ptr(), &v));
    return v ? nb::steal(v) : nb::borrow(fallback);
}
inline nb::object get_attr(nb::handle obj, Name &name) { return check(PyObject_GetAttr(obj.ptr(), name.get().ptr())); }
inline void set_attr(nb::handle obj, Name &name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.get().ptr(), value.ptr()));
}
// obj.<name>(args...) as Python evaluates it (the attribute looked up on obj, then called), made
// without a bound method in between when the attribute is a plain method.
template <class... A> nb::object call_method(nb::handle obj, Name &name, const A &...args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    return check(PyObject_VectorcallMethod(name.get().ptr(), argv, 1 + sizeof...(A), nullptr));
}

// The text of a value, or "" for None and for values that are empty or false.
PK_API nb::str text_or_empty(nb::handle v);

inline ClassBuilder Call::klass(const char *name, nb::handle bases, nb::handle state, const char *doc) const {
    return ClassBuilder(place(state), name, bases, doc);
}
inline ClassBuilder Call::module_class(const char *name, nb::handle bases, const char *doc) const {
    return ClassBuilder(module_place(), name, bases, doc);
}

// ---- helpers shared by every module -------------------------------------------------------

// Raises the given Python exception with a printf-style message (PyErr_Format rules).
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);

// The package's argument-type error, with the note for subclasses of built-in types.
[[noreturn]] void raise_arg_type(const char *param, const char *expected, nb::handle got,
                                 bool subclass_note);

// print(text, flush=True) through sys.stdout, as Python code would; a character the stream's
// encoding cannot show is written escaped (backslashreplace) instead of failing the line.
void print_line(nb::handle text);
void print_line(const char *utf8);
// str(text) with every character sys.stdout's encoding cannot show escaped (backslashreplace).
nb::str escaped_for_stdout(nb::handle text);

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

// Imports the deferred names (Module::defer_names) of a module namespace: the module `name` is
// waited for from (true), or nothing (false: `name` is not deferred there); or every one.
PK_API bool resolve_deferred(nb::handle globals, nb::handle name);
PK_API void resolve_deferred(nb::handle globals);

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

// Control characters as the console and addresses treat them: C0, DEL and C1.
inline bool is_control_char(Py_UCS4 ch) { return ch < 0x20 || (ch >= 0x7f && ch < 0xa0); }

// A wait of plain C++ (no Python inside: a socket, a condition variable) made with the interpreter
// released. It takes the interpreter back afterwards only while the interpreter lives: a program
// that ended meanwhile leaves this thread resting where it is, its frames never unwound (see
// pk_function.cpp). `wait` must not throw.
PK_API void *release_interpreter();
PK_API void take_interpreter_back(void *saved);
template <class F> auto without_interpreter(F &&wait) -> decltype(wait()) {
    static_assert(noexcept(wait()), "a wait without the interpreter must not throw");
    void *saved = release_interpreter();
    if constexpr (std::is_void_v<decltype(wait())>) {
        wait();
        take_interpreter_back(saved);
    } else {
        auto result = wait();
        take_interpreter_back(saved);
        return result;
    }
}

// Calls into Python code from a thread the program may end meanwhile (the client calls run on the
// program's own threads): Python code may give the interpreter away and wait to take it back,
// and the thread's end then arrives inside this call, which must rest the thread there instead of
// unwinding the frames of ours above it. On glibc every C API call that can run Python code does
// so (pk_exit_calls.cpp, linked through ld --wrap), so these only name such calls where they are
// made; elsewhere a thread's end unwinds nothing.
PK_API PyObject *call_resting(PyObject *fn, PyObject *const *args, std::size_t nargsf, PyObject *kwnames);
PK_API PyObject *getattr_resting(PyObject *obj, PyObject *name);
template <class... A> nb::object resting(nb::handle fn, const A &...args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    return check(call_resting(fn.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline nb::object resting_attr(nb::handle obj, const char *name) {
    return check(getattr_resting(obj.ptr(), nb::str(name).ptr()));
}

// Whether an address text (normalised) still holds what no browser navigates to as written: a
// control character (NUL included: engines cut the address there) or a lone surrogate (no
// engine can encode it). Such an address is refused as "invalid url" before anything navigates.
bool unusable_address(nb::handle text);

}  // namespace pk

#if !defined(_WIN32)
#  pragma GCC visibility pop
#endif
