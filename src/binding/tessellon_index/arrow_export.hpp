// Exports a result column through the Arrow PyCapsule interface.
#pragma once

#include "binding/binding_error.hpp"
#include "binding/tessellon_index/column_data.hpp"

namespace tessellon::binding {

// The (schema capsule, array capsule) pair of __arrow_c_array__. The array
// shares the column's storage (booleans are packed into bits on export).
Result<PyRef> export_arrow_capsules(const SharedColumn& column);

}  // namespace tessellon::binding
