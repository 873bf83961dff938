// The engine contract's shared part (see engine.hpp): operation names, the answers every engine
// gives alike, and an engine as a Python object.
#include "engine.hpp"

namespace pk::engine {

namespace {

constexpr const char *kOpNames[] = {
    "navigate",     "back",           "forward",        "reload",     "read_page",
    "run_script",   "run_script_in_frame", "capture_png", "capture_rect",
    "cookies",      "add_cookie",     "delete_cookies",
    "window_rect",  "set_window_rect", "maximize",      "minimize",     "fullscreen",
    "pointer_input", "key_input",
    "dialog",       "accept_dialog",  "dismiss_dialog",
    "close_window",
    "print_pdf",
};
static_assert(std::size(kOpNames) == static_cast<std::size_t>(Op::kCount));

// The Python object that owns one engine.
struct EngineObject {
    PyObject_HEAD
    Engine *engine;
};

int engine_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Engine *e = reinterpret_cast<EngineObject *>(self)->engine;
    return e ? e->traverse(visit, arg) : 0;
}

int engine_clear(PyObject *self) {
    if (Engine *e = reinterpret_cast<EngineObject *>(self)->engine) e->clear();
    return 0;
}

void engine_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<EngineObject *>(self)->engine;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot engine_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(engine_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(engine_dealloc)},
    {0, nullptr},
};
PyType_Spec engine_spec{"panekit.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        engine_slots};

PyTypeObject *engine_type() {
    static PyObject *type = nullptr;  // made on first use, kept for the process
    if (!type) type = pk::check(PyType_FromSpec(&engine_spec)).release().ptr();
    return reinterpret_cast<PyTypeObject *>(type);
}

}  // namespace

Engine::~Engine() = default;

const char *op_name(Op op) { return kOpNames[static_cast<std::size_t>(op)]; }

nb::dict unsupported(Op op) {
    nb::dict d;
    d["ok"] = false;
    d["error"] = nb::str("{} is not supported by this engine").format(op_name(op));
    d["unsupported"] = true;
    return d;
}

bool is_unsupported(nb::handle answer) {
    if (!PyDict_Check(answer.ptr())) return false;
    PyObject *flag = PyDict_GetItemString(answer.ptr(), "unsupported");
    return flag == Py_True;
}

nb::dict not_ready() {
    nb::dict d;
    d["ok"] = false;
    d["error"] = "browser not ready";
    return d;
}

nb::object wrap(std::unique_ptr<Engine> engine) {
    PyTypeObject *type = engine_type();
    auto *self = PyObject_GC_New(EngineObject, type);
    if (!self) throw nb::python_error();
    self->engine = engine.release();
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

Engine *of(nb::handle object) {
    if (!object.is_valid() || Py_TYPE(object.ptr()) != engine_type()) return nullptr;
    return reinterpret_cast<EngineObject *>(object.ptr())->engine;
}

}  // namespace pk::engine
