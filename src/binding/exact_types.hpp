// Direct field access for the exact built-in datetime types. These types are
// static and immutable and their instances have no __dict__, so calling the
// type's own descriptor gives exactly what an attribute lookup would, without
// the lookup. Anything else (subclasses included) takes the general path.
#pragma once

#include "binding/python.hpp"

namespace tessellon::binding {

class FieldReader {
public:
    using DescriptorGet = PyObject* (*)(PyObject*, PyObject*, PyObject*);

    FieldReader() = default;
    FieldReader(PyObject* descriptor, DescriptorGet get, PyObject* owner)
        : descriptor_(descriptor), get_(get), owner_(owner) {}

    // A new reference, or null with an exception set.
    PyObject* read(PyObject* instance) const { return get_(descriptor_, instance, owner_); }

private:
    PyObject* descriptor_ = nullptr;
    DescriptorGet get_ = nullptr;
    PyObject* owner_ = nullptr;
};

struct ExactDatetimeTypes {
    PyTypeObject* datetime;
    PyTypeObject* timedelta;
    PyTypeObject* timezone;
    PyObject* utc;  // datetime.timezone.utc: its offset is zero, always
    FieldReader tzinfo, year, month, day, hour, minute, second, microsecond;
    FieldReader days, seconds, microseconds;
};

// Null when the datetime module does not hold the genuine static types (it
// was tampered with); callers then use the general path only.
const ExactDatetimeTypes* exact_datetime_types();

}  // namespace tessellon::binding
