#include "binding/exit_watch.hpp"

#include "binding/py_ref.hpp"

namespace tessellon::binding {
namespace {

std::atomic<bool> watching{false};

PyObject* on_interpreter_exit(PyObject*, PyObject*) {
    interpreter_exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef exit_callback_definition = {"_tessellon_interpreter_exit", on_interpreter_exit, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
    if (watching.exchange(true)) {
        return;
    }
    PyRef callback = PyRef::steal(PyCFunction_New(&exit_callback_definition, nullptr));
    PyRef atexit = callback ? PyRef::steal(PyImport_ImportModule("atexit")) : PyRef();
    PyRef registered =
        atexit ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get())) : PyRef();
    if (!registered) {
        PyErr_Clear();
        watching.store(false);
    }
}

}  // namespace tessellon::binding
