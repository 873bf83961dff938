// panekit.helmwire: the request object the serving loop hands the handler (its `request`): the
// head the loop read, the answer the handler writes, and the wait of a request answered later.
#include "helmwire.hpp"

namespace helmwire {
namespace {

Incoming *as_incoming(PyObject *self) { return reinterpret_cast<Incoming *>(self); }

// write(data): the data added to the answer; answers its length.
PyObject *request_write(PyObject *self, PyObject *data) {
    PyObject *grown = PySequence_InPlaceConcat(as_incoming(self)->output, data);
    if (!grown) return nullptr;
    Py_SETREF(as_incoming(self)->output, grown);
    return PyLong_FromSsize_t(PyObject_Length(data));
}

PyMethodDef request_methods[] = {
    {"write", request_write, METH_O, "Adds data to the answer; returns its length."},
    {nullptr, nullptr, 0, nullptr},
};

int request_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_incoming(self)->output);
    Py_VISIT(as_incoming(self)->waiter);
    return 0;
}

int request_clear(PyObject *self) {
    Py_CLEAR(as_incoming(self)->output);
    Py_CLEAR(as_incoming(self)->waiter);
    return 0;
}

void request_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    request_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot request_slots[] = {
    {Py_tp_doc, const_cast<char *>("A control request as the serving loop hands it to the handler.")},
    {Py_tp_methods, request_methods},
    {Py_tp_traverse, reinterpret_cast<void *>(request_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(request_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(request_dealloc)},
    {0, nullptr},
};
PyType_Spec request_spec{"panekit.helmwire._Request", sizeof(Incoming), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, request_slots};

PyTypeObject *request_type() {
    static PyObject *type = nullptr;  // made on first use, kept for the process
    if (!type) type = pk::check(PyType_FromSpec(&request_spec)).release().ptr();
    return reinterpret_cast<PyTypeObject *>(type);
}

}  // namespace

nb::object incoming_new(const Head *head) {
    nb::object out = pk::check(PyByteArray_FromStringAndSize(nullptr, 0));
    auto *r = PyObject_GC_New(Incoming, request_type());
    if (!r) throw nb::python_error();
    r->output = out.release().ptr();
    r->waiter = nullptr;
    r->head = head;
    r->until = 0;
    r->open_only = false;
    PyObject_GC_Track(r);
    return nb::steal(reinterpret_cast<PyObject *>(r));
}

Incoming *incoming_of(nb::handle request) {
    if (!request.is_valid() || Py_TYPE(request.ptr()) != request_type()) return nullptr;
    return as_incoming(request.ptr());
}

}  // namespace helmwire
