// Process-wide Python values: interned attribute names and the reference
// types fetched from the standard library. Each is made once and kept.
#pragma once

#include "binding/python.hpp"

namespace tessellon::binding {

struct InternedNames {
    PyObject* tzinfo;
    PyObject* utcoffset;
    PyObject* year;
    PyObject* month;
    PyObject* day;
    PyObject* hour;
    PyObject* minute;
    PyObject* second;
    PyObject* microsecond;
    PyObject* days;
    PyObject* seconds;
    PyObject* microseconds;
    PyObject* module;       // "__module__"
    PyObject* bool_method;  // "__bool__"
    PyObject* add_note;
    PyObject* all;  // "__all__"
};

struct DatetimeTypes {
    PyObject* datetime;
    PyObject* tzinfo;
    PyObject* timedelta;
};

const InternedNames& interned_names();
const DatetimeTypes& datetime_types();
PyObject* sequence_abc_type();

}  // namespace tessellon::binding
