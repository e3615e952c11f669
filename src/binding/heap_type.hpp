// What every heap type of both modules needs: the fast-call method cast and
// the process-wide type object made from its spec on first request.
#pragma once

#include <atomic>

#include "binding/binding_error.hpp"

namespace tessellon::binding {

// The fast-call method type, which the 3.11 limited API does not declare.
using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastcallMethod Method>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

// The type made from `spec`, created once and kept for the life of the
// process; a thread that loses the race to store it drops its own.
inline Result<PyObject*> process_wide_type(std::atomic<PyObject*>& store, PyType_Spec& spec) {
    if (PyObject* type = store.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* created = PyType_FromSpec(&spec);
    if (created == nullptr) {
        return std::unexpected(fetch_pending_error());
    }
    PyObject* expected = nullptr;
    if (!store.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

}  // namespace tessellon::binding
