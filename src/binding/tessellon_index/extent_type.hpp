// The native half of a KeySpace: the extent (a Hasher) and the column work on
// it. The Python class KeySpace holds one and adds what is read and kept.
#pragma once

#include "binding/binding_error.hpp"
#include "core/hasher.hpp"

namespace tessellon::binding {

struct ExtentObject {
    PyObject_HEAD
    Hasher hasher;  // written once by __new__, read-only afterwards
};

Result<PyObject*> extent_type();

// The hasher of an Extent object, or null for anything else.
const Hasher* hasher_of(PyObject* object);

using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <FastcallMethod Method>
constexpr PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

}  // namespace tessellon::binding
