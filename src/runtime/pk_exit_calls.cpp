// Calls into Python from a thread that the program's end may reach (glibc only).
//
// CPython 3.13 ends a thread that takes the interpreter back after finalisation began with
// pthread_exit, which glibc carries out as an unwinding through every frame above: our C++ frames
// would release the Python objects they hold on the way, without the interpreter, and crash the
// exiting process. Any call into Python may give the interpreter away and take it back (Python
// code, an import, a property, a __getitem__ written in Python), so the calls of the C API that
// can run Python code are linked through the wrappers below (ld --wrap, see CMakeLists.txt): when
// the thread's end arrives inside one of them, before any frame of ours is unwound, the thread
// rests there for the rest of the process instead, as later CPython releases do themselves.
// Nothing else can come out of the C API as a C++ exception (our own functions let none out), and
// outside finalisation anything that does goes on unchanged.
#include <Python.h>

#if defined(__GLIBC__)
#include <chrono>
#include <thread>

namespace {
[[noreturn]] void rest_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}
template <class F> auto resting(F &&call) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        if (Py_IsFinalizing()) rest_forever();
        throw;
    }
}
}  // namespace

#define PK_WRAP(ret, name, params, args)                                                    \
    extern "C" ret __real_##name params;                                                    \
    extern "C" __attribute__((visibility("default"))) ret __wrap_##name params {            \
        return resting([&] { return __real_##name args; });                                \
    }

PK_WRAP(PyObject *, PyObject_Vectorcall, (PyObject * f, PyObject *const *a, size_t n, PyObject *k), (f, a, n, k))
PK_WRAP(PyObject *, PyObject_VectorcallMethod, (PyObject * name, PyObject *const *a, size_t n, PyObject *k), (name, a, n, k))
PK_WRAP(PyObject *, PyObject_CallNoArgs, (PyObject * f), (f))
PK_WRAP(PyObject *, PyObject_CallOneArg, (PyObject * f, PyObject *a), (f, a))
PK_WRAP(PyObject *, PyObject_GetAttr, (PyObject * o, PyObject *n), (o, n))
PK_WRAP(PyObject *, PyObject_GetAttrString, (PyObject * o, const char *n), (o, n))
PK_WRAP(int, PyObject_SetAttr, (PyObject * o, PyObject *n, PyObject *v), (o, n, v))
PK_WRAP(int, PyObject_SetAttrString, (PyObject * o, const char *n, PyObject *v), (o, n, v))
PK_WRAP(PyObject *, PyObject_GetItem, (PyObject * o, PyObject *k), (o, k))
PK_WRAP(int, PyObject_SetItem, (PyObject * o, PyObject *k, PyObject *v), (o, k, v))
PK_WRAP(int, PyObject_DelItem, (PyObject * o, PyObject *k), (o, k))
PK_WRAP(PyObject *, PyObject_GetIter, (PyObject * o), (o))
PK_WRAP(PyObject *, PyIter_Next, (PyObject * o), (o))
PK_WRAP(int, PyObject_IsTrue, (PyObject * o), (o))
PK_WRAP(PyObject *, PyObject_Str, (PyObject * o), (o))
PK_WRAP(PyObject *, PyObject_Repr, (PyObject * o), (o))
PK_WRAP(int, PyObject_RichCompareBool, (PyObject * a, PyObject *b, int op), (a, b, op))
PK_WRAP(Py_ssize_t, PyObject_Size, (PyObject * o), (o))
PK_WRAP(PyObject *, PyImport_Import, (PyObject * name), (name))
PK_WRAP(PyObject *, PyImport_ImportModule, (const char *name), (name))
PK_WRAP(PyObject *, PyImport_ImportModuleLevel,
        (const char *name, PyObject *g, PyObject *l, PyObject *from, int level), (name, g, l, from, level))
PK_WRAP(int, PySequence_Contains, (PyObject * s, PyObject *v), (s, v))
PK_WRAP(PyObject *, PySequence_GetItem, (PyObject * s, Py_ssize_t i), (s, i))
PK_WRAP(PyObject *, PySequence_List, (PyObject * s), (s))
PK_WRAP(PyObject *, PySequence_Tuple, (PyObject * s), (s))
PK_WRAP(PyObject *, PyMapping_Items, (PyObject * o), (o))
#endif
