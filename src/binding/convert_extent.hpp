// The extent of a key space from the arguments (start_datetime, end_datetime,
// bbox), converted and refused alike wherever a key space is built.
#pragma once

#include "binding/convert.hpp"
#include "core/hasher.hpp"

namespace tessellon::binding {

// A failed conversion gains the note "while processing '{argument_name}'".
template <class T>
Result<T> annotated(Result<T> converted, std::string_view argument_name) {
    if (!converted) {
        return std::unexpected(annotate_argument_error(std::move(converted.error()), argument_name));
    }
    return converted;
}

// `bbox` may be null or None for the whole world.
Result<Hasher> convert_extent(PyObject* start_datetime, PyObject* end_datetime, PyObject* bbox);

}  // namespace tessellon::binding
