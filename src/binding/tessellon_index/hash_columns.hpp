// Hashes three input columns into a Keys object.
#pragma once

#include "binding/binding_error.hpp"
#include "core/column_hashing.hpp"

namespace tessellon::binding {

struct HashColumnsOptions {
    InvalidRows invalid = InvalidRows::Raise;
    bool naive_utc = false;
    bool numpy_holds_utc = false;
};

Result<PyRef> hash_columns(const Hasher& hasher, PyObject* times, PyObject* longitudes, PyObject* latitudes,
                           const HashColumnsOptions& options);

}  // namespace tessellon::binding
