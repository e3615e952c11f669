// Takes Arrow data from any object that offers it through the PyCapsule
// interface: __arrow_c_array__ (one array) or __arrow_c_stream__ (chunks).
#pragma once

#include <optional>
#include <vector>

#include "binding/binding_error.hpp"
#include "binding/tessellon_index/arrow_c.hpp"

namespace tessellon::binding {

struct ImportedArrow {
    OwnedArrowSchema schema;
    std::vector<OwnedArrowArray> arrays;
};

// Nothing if the object offers neither method.
Result<std::optional<ImportedArrow>> import_arrow(PyObject* object);

}  // namespace tessellon::binding
