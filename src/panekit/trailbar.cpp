// panekit.trailbar: the address normaliser every navigation passes through, and the toolbar.
#include "pk.hpp"

#include <cstring>

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
    if (kind == PyUnicode_1BYTE_KIND) {  // the common case: scan with memchr
        const auto *p = static_cast<const unsigned char *>(data);
        const unsigned char *at = p + start, *stop = p + end;
        while (stop - at >= 3) {
            at = static_cast<const unsigned char *>(std::memchr(at, ':', static_cast<std::size_t>(stop - at - 2)));
            if (!at) return false;
            if (at[1] == '/' && at[2] == '/') return true;
            ++at;
        }
        return false;
    }
    for (Py_ssize_t i = start; i + 2 < end; ++i) {
        if (PyUnicode_READ(kind, data, i) == ':' && PyUnicode_READ(kind, data, i + 1) == '/' &&
            PyUnicode_READ(kind, data, i + 2) == '/')
            return true;
    }
    return false;
}

// "https://" followed by raw[start:end], built in one allocation.
PyObject *with_https(PyObject *raw, Py_ssize_t start, Py_ssize_t end) {
    static const char kHttps[] = "https://";
    constexpr Py_ssize_t kLen = sizeof kHttps - 1;
    // The result must use the narrowest representation of what it holds, and the stripped
    // blanks may have been the widest characters of raw.
    Py_UCS4 maxchar = 127;
    const int rkind = PyUnicode_KIND(raw);
    const void *rdata = PyUnicode_DATA(raw);
    if (!PyUnicode_IS_ASCII(raw)) {
        for (Py_ssize_t i = start; i < end; ++i) {
            Py_UCS4 c = PyUnicode_READ(rkind, rdata, i);
            if (c > maxchar) maxchar = c;
        }
    }
    PyObject *r = PyUnicode_New(kLen + (end - start), maxchar);
    if (!r) return nullptr;
    const int kind = PyUnicode_KIND(r);
    void *out = PyUnicode_DATA(r);
    for (Py_ssize_t i = 0; i < kLen; ++i) PyUnicode_WRITE(kind, out, i, static_cast<Py_UCS4>(kHttps[i]));
    if (rkind == kind) {
        std::memcpy(static_cast<char *>(out) + kLen * kind, static_cast<const char *>(rdata) + start * kind,
                    static_cast<std::size_t>((end - start) * kind));
    } else {
        for (Py_ssize_t i = start; i < end; ++i)
            PyUnicode_WRITE(kind, out, kLen + (i - start), PyUnicode_READ(rkind, rdata, i));
    }
    return r;
}

nb::object norm_browser_url(pk::Args &a) {
    PyObject *raw = a[0].ptr();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(raw);
    const int kind = PyUnicode_KIND(raw);
    const void *data = PyUnicode_DATA(raw);
    Py_ssize_t start = 0, end = len;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == end) return nb::steal(PyUnicode_New(0, 0));

    static const char *const kKeep[] = {"about:", "file:", "edge:", "chrome:"};
    bool keep = contains_scheme_sep(kind, data, start, end);
    for (const char *p : kKeep) {
        if (keep) break;
        keep = has_prefix_ci(kind, data, start, end, p);
    }
    PyObject *r;
    if (!keep)
        r = with_https(raw, start, end);
    else if (start == 0 && end == len)
        r = Py_NewRef(raw);
    else
        r = PyUnicode_Substring(raw, start, end);
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
