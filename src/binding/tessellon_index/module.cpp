// tessellon_index._native: the native types behind the tessellon_index package.
#include "binding/call_glue.hpp"
#include "binding/exit_watch.hpp"
#include "binding/tessellon_index/column_types.hpp"
#include "binding/tessellon_index/extent_type.hpp"
#include "binding/tessellon_index/query_methods.hpp"

namespace tessellon::binding {
namespace {

Result<void> add_type(PyObject* module, const char* name, Result<PyObject*> type) {
    if (!type) return std::unexpected(std::move(type.error()));
    if (PyModule_AddObjectRef(module, name, *type) < 0) return std::unexpected(fetch_pending_error());
    return {};
}

int execute_index_module(PyObject* module) {
    return run_guarded_status([&]() -> Result<void> {
        watch_interpreter_exit();
        if (auto added = add_type(module, "Extent", extent_type()); !added) return added;
        if (auto added = add_type(module, "Keys", keys_type()); !added) return added;
        if (auto added = add_type(module, "Column", column_type()); !added) return added;
        return add_type(module, "Query", query_type());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_index_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tessellon_index._native", "Native types of tessellon_index.", 0, nullptr,
    module_slots,          nullptr,                    nullptr,                           nullptr,
};

}  // namespace
}  // namespace tessellon::binding

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tessellon::binding::module_definition); }
