// The native half of a KeySpace: the extent (a Hasher) and the column work on
// it. The Python class KeySpace holds one and adds what is read and kept.
#pragma once

#include "binding/binding_error.hpp"
#include "binding/heap_type.hpp"
#include "core/hasher.hpp"

namespace tessellon::binding {

struct ExtentObject {
    PyObject_HEAD
    Hasher hasher;  // written once by __new__, read-only afterwards
};

Result<PyObject*> extent_type();

// The hasher of an Extent object, or null for anything else.
const Hasher* hasher_of(PyObject* object);

}  // namespace tessellon::binding
