// Helpers every module shares: errors, console lines, JSON bytes, module lookups.
#include "pk.hpp"

#include <cstdarg>
#include <iterator>

namespace pk {

using namespace nb::literals;

void raise(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

void raise_arg_type(const char *param, const char *expected, nb::handle got, bool subclass_note) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(got.ptr())->tp_name);
    if (!subclass_note) throw nb::python_error();
    // Attach the note to the pending exception, keeping it as the one raised.
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *note = PyUnicode_FromFormat(
        "panekit accepts exactly the built-in type %s here; subclasses of built-in types are "
        "refused, pass %s(value) instead",
        expected, expected);
    if (note) {
        PyObject *r = PyObject_CallMethod(exc, "add_note", "O", note);
        Py_XDECREF(r);
        Py_DECREF(note);
        if (!r) {
            Py_DECREF(exc);
            throw nb::python_error();
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
    throw nb::python_error();
}

nb::object import(const char *name) {
    // sys.modules first: a full import statement costs microseconds even for a loaded module.
    nb::str key(name);
    PyObject *m = PyImport_GetModule(key.ptr());
    if (m) return nb::steal(m);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::module_::import_(key);
}

void print_line(nb::handle text) {
    nb::object print = nb::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "print"));
    if (!print.is_valid()) print = import("builtins").attr("print");
    try {
        print(text, "flush"_a = true);
        return;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
    }
    // The stream's encoding cannot show a character (a cp1252 console or a redirected stream on
    // Windows, say): the same line with such characters escaped. A text stream encodes the whole
    // line before writing any of it, so nothing was written by the failed call.
    print(escaped_for_stdout(text), "flush"_a = true);
}

nb::str escaped_for_stdout(nb::handle text) {
    nb::object stream = nb::borrow(PySys_GetObject("stdout"));
    nb::object encoding = stream.is_valid() ? attr_or(stream, "encoding", nb::none()) : nb::none();
    nb::str line(text);
    if (nb::isinstance<nb::str>(encoding)) {
        try {
            return nb::str(line.attr("encode")(encoding, "backslashreplace").attr("decode")(encoding));
        } catch (nb::python_error &) {  // an encoding that cannot decode its own output
        }
    }
    return nb::str(line.attr("encode")("ascii", "backslashreplace").attr("decode")("ascii"));
}

void print_line(const char *utf8) { print_line(nb::str(utf8)); }

nb::bytes json_bytes(nb::handle obj) {
    // json.dumps(obj, ensure_ascii=False) builds this very encoder on every call; it keeps no
    // state between encode() calls, so one serves the whole process (owned for its life).
    static PyObject *encode = nullptr;
    if (!encode) {
        nb::object enc = import("json").attr("JSONEncoder")("ensure_ascii"_a = false);
        encode = nb::object(enc.attr("encode")).release().ptr();
    }
    nb::object text = resting(nb::handle(encode), obj);
    PyObject *b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace");
    if (!b) throw nb::python_error();
    return nb::steal<nb::bytes>(b);
}

nb::str format1(const char *templ, nb::handle value) {
    return nb::str(nb::str(templ).attr("__mod__")(nb::make_tuple(nb::str(value))));
}

nb::object module_global(nb::handle module_dict, const char *name) {
    PyObject *v = PyDict_GetItemString(module_dict.ptr(), name);
    if (!v && resolve_deferred(module_dict, nb::str(name))) v = PyDict_GetItemString(module_dict.ptr(), name);
    if (!v) raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(v);
}

nb::object env_get(const char *name) {
    return resting(import("os").attr("environ").attr("get"), nb::str(name));
}

nb::object first_nonempty(std::initializer_list<nb::handle> values) {
    nb::handle last;
    for (nb::handle v : values) {
        last = v;
        if (v.is_none()) continue;
        if (truthy(v)) return nb::borrow(v);
    }
    return nb::borrow(last.is_valid() ? last : nb::none());
}

namespace {
void event_update(nb::handle obj, const char *event, nb::handle fn, bool add) {
    nb::object ev = nb::getattr(obj, event);
    PyObject *r = add ? PyNumber_InPlaceAdd(ev.ptr(), fn.ptr()) : PyNumber_InPlaceSubtract(ev.ptr(), fn.ptr());
    if (!r) throw nb::python_error();
    nb::setattr(obj, event, nb::steal(r));
}
}  // namespace

void event_add(nb::handle obj, const char *event, nb::handle fn) { event_update(obj, event, fn, true); }
void event_remove(nb::handle obj, const char *event, nb::handle fn) { event_update(obj, event, fn, false); }

nb::str text_or_empty(nb::handle v) {
    if (!v.is_valid() || v.is_none()) return nb::str("");
    if (!truthy(v)) return nb::str("");
    return nb::str(v);
}


bool on_windows() {
    nb::object plat = import("sys").attr("platform");
    return PyUnicode_Check(plat.ptr()) && PyUnicode_EqualToUTF8(plat.ptr(), "win32");
}

bool unusable_address(nb::handle text) {
    PyObject *t = text.ptr();
    if (!PyUnicode_Check(t)) return false;
    const int kind = PyUnicode_KIND(t);
    const void *data = PyUnicode_DATA(t);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (is_control_char(ch) || (ch >= 0xd800 && ch <= 0xdfff)) return true;
    }
    return false;
}

}  // namespace pk
