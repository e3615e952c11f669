// KeySpace methods over the query engine: query(), cell() and decode().
#pragma once

#include "binding/binding_error.hpp"

namespace tessellon::binding {

PyObject* extent_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names);
PyObject* extent_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names);
PyObject* extent_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names);

Result<PyObject*> query_type();

}  // namespace tessellon::binding
