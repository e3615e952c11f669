// The Python types of result columns: Keys (a key column, int64 with nulls)
// and Column (booleans, row indices, coordinates or timestamps). Both are
// read-only, share their storage with every export, and expose it through
// the buffer protocol, __array_interface__ and __arrow_c_array__.
#pragma once

#include "binding/binding_error.hpp"
#include "binding/tessellon_index/column_data.hpp"

namespace tessellon::binding {

struct ColumnObject {
    PyObject_HEAD
    SharedColumn column;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
};

Result<PyObject*> keys_type();
Result<PyObject*> column_type();

// A new Keys (for a key column) or Column object over the storage.
Result<PyRef> wrap_column(SharedColumn column);

// The storage of a Keys or Column object, or null for anything else.
const ColumnData* column_data_of(PyObject* object);

// An aware UTC datetime for whole milliseconds since the epoch.
Result<PyRef> utc_datetime_from_millis(std::int64_t unix_millis);

}  // namespace tessellon::binding
