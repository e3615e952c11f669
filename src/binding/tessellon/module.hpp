// The module as the interpreter meets it: its definition, the Hasher type,
// and the memory layout of a Hasher instance.
#pragma once

#include <atomic>

#include "binding/binding_error.hpp"
#include "core/hasher.hpp"

namespace tessellon::binding {

struct HasherObject {
    PyObject_HEAD
    Hasher hasher;  // written once by __new__, read-only afterwards
    std::atomic<Py_ssize_t> borrow_count;  // method calls currently using the instance
};

// The process-wide Hasher type, created on first request.
Result<PyObject*> hasher_type();

// Runs when the interpreter executes the module definition.
int module_exec(PyObject* module);

}  // namespace tessellon::binding

PyMODINIT_FUNC PyInit_tessellon(void);
