#include "binding/tessellon/module.hpp"

#include "binding/call_glue.hpp"
#include "binding/convert.hpp"
#include "binding/exit_watch.hpp"
#include "binding/python_names.hpp"
#include "binding/version.hpp"

namespace tessellon::binding {
namespace {

// Appends the name to the module's __all__ (made on first use), then sets the
// attribute.
Result<void> add_module_attribute(PyObject* module, const char* name, PyRef value) {
    PyObject* all_name = interned_names().all;
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::unexpected(fetch_pending_error());
        }
        PyErr_Clear();
        all = require_object(PyList_New(0));
        if (PyObject_SetAttr(module, all_name, all.get()) < 0) {
            return std::unexpected(fetch_pending_error());
        }
    } else if (!PyList_Check(all.get())) {
        return std::unexpected(
            TypeMismatchError{all.get(), reinterpret_cast<PyObject*>(&PyList_Type)}.to_binding_error());
    }
    PyRef name_text = require_object(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), name_text.get()) < 0) {
        raise_fault_from_pending_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name_text.get(), value.get()) < 0) {
        return std::unexpected(fetch_pending_error());
    }
    return {};
}

Result<void> execute_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        return std::unexpected(
            TypeMismatchError{module, reinterpret_cast<PyObject*>(&PyModule_Type)}.to_binding_error());
    }
    watch_interpreter_exit();
    Result<PyObject*> type = hasher_type();
    if (!type) {
        return std::unexpected(
            BindingError::deferred(PyExc_RuntimeError, "An error occurred while initializing class Hasher")
                .with_cause(std::move(type.error())));
    }
    if (auto added = add_module_attribute(module, "Hasher", PyRef::borrow(*type)); !added) {
        return added;
    }
    return add_module_attribute(module, "__version__", require_object(PyUnicode_FromString(TESSELLON_VERSION)));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessellon",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

int module_exec(PyObject* module) {
    return run_guarded_status([&] { return execute_module(module); });
}

}  // namespace tessellon::binding

PyMODINIT_FUNC PyInit_tessellon(void) {
    return PyModuleDef_Init(&tessellon::binding::module_definition);
}
