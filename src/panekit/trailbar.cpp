// panekit.trailbar: the address normaliser every navigation passes through, and the toolbar.
#include "pk.hpp"

namespace nb = nanobind;
using pk::Check;

namespace {

const char *const kModule = "panekit.trailbar";

// ---- norm_browser_url -----------------------------------------------------------------------

// Case-insensitive test of an ASCII prefix against code points of `s` from `start`. Only ASCII
// letters lower-case into ASCII letters of these prefixes, so a non-ASCII code point never matches.
bool has_prefix_ci(int kind, const void *data, Py_ssize_t start, Py_ssize_t end, const char *prefix) {
    Py_ssize_t i = start;
    for (; *prefix; ++prefix, ++i) {
        if (i >= end) return false;
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(*prefix)) return false;
    }
    return true;
}

bool contains_scheme_sep(int kind, const void *data, Py_ssize_t start, Py_ssize_t end) {
    for (Py_ssize_t i = start; i + 2 < end; ++i) {
        if (PyUnicode_READ(kind, data, i) == ':' && PyUnicode_READ(kind, data, i + 1) == '/' &&
            PyUnicode_READ(kind, data, i + 2) == '/')
            return true;
    }
    return false;
}

nb::object norm_browser_url(pk::Args &a) {
    PyObject *raw = a[0].ptr();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(raw);
    const int kind = PyUnicode_KIND(raw);
    const void *data = PyUnicode_DATA(raw);
    Py_ssize_t start = 0, end = len;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == end) return nb::str("");

    auto trimmed = [&]() -> nb::object {
        if (start == 0 && end == len) return nb::borrow(raw);
        return nb::steal(PyUnicode_Substring(raw, start, end));
    };
    static const char *const kKeep[] = {"about:", "file:", "edge:", "chrome:"};
    for (const char *p : kKeep)
        if (has_prefix_ci(kind, data, start, end, p)) return trimmed();
    if (contains_scheme_sep(kind, data, start, end)) return trimmed();

    nb::object s = trimmed();
    if (!s.is_valid()) throw nb::python_error();
    static PyObject *https = PyUnicode_InternFromString("https://");
    PyObject *r = PyUnicode_Concat(https, s.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

const pk::Param norm_params[] = {pk::pos("raw", "str", Check::Str)};
const pk::Spec norm_spec{"norm_browser_url", nullptr, norm_params, "str",
                         "Trim typed or received address text and add https:// when it names no "
                         "scheme; the empty string means there is nothing to navigate to.",
                         norm_browser_url};

}  // namespace

NB_MODULE(trailbar, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
    m.attr("norm_browser_url") = pk::make_function(norm_spec, kModule);
}
