// The engine contract's shared part (see engine.hpp): operation names, the answers every engine
// gives alike, and an engine as a Python object.
#include "engine.hpp"

namespace pk::engine {

namespace {

constexpr const char *kOpNames[] = {
    "navigate",     "back",           "forward",        "reload",     "read_page",
    "run_script",   "run_script_in_frame", "capture_png", "capture_rect",
    "cookies",      "add_cookie",     "delete_cookies",
    "window_rect",  "set_window_rect", "maximize",      "minimize",
    "pointer_input", "key_input",
    "dialog",       "accept_dialog",  "dismiss_dialog",
};
static_assert(std::size(kOpNames) == static_cast<std::size_t>(Op::kCount));

constexpr const char *kCapsuleName = "panekit.engine";

void engine_free(PyObject *capsule) {
    delete static_cast<Engine *>(PyCapsule_GetPointer(capsule, kCapsuleName));
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
    nb::object capsule = nb::steal(PyCapsule_New(engine.get(), kCapsuleName, engine_free));
    if (!capsule.is_valid()) throw nb::python_error();
    engine.release();
    return capsule;
}

Engine *of(nb::handle object) {
    if (!object.is_valid() || !PyCapsule_IsValid(object.ptr(), kCapsuleName)) return nullptr;
    return static_cast<Engine *>(PyCapsule_GetPointer(object.ptr(), kCapsuleName));
}

}  // namespace pk::engine
