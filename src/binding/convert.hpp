// Conversion of Python arguments into the core's values. Each conversion
// takes a borrowed object and keeps no reference to it.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "binding/binding_error.hpp"
#include "core/bulk_allocator.hpp"
#include "core/utc_date_time.hpp"

namespace tessellon::binding {

// The refusal of an object whose type is not the expected one; raised as
// TypeError "'{}' object is not an instance of '{}'".
struct TypeMismatchError {
    PyObject* object;         // borrowed
    PyObject* expected_type;  // borrowed

    BindingError to_binding_error() const;
};

// The last exact datetime.timezone met while one sequence is converted, held
// for that call only, with its offset.
struct TimezoneMemo {
    PyRef timezone;
    std::int32_t offset = 0;
};

Result<UtcDateTime> convert_datetime(PyObject* object);
Result<UtcDateTime> convert_datetime(PyObject* object, TimezoneMemo* memo);
Result<std::int32_t> convert_fixed_offset(PyObject* tzinfo);
Result<std::int32_t> convert_fixed_offset(PyObject* tzinfo, TimezoneMemo* memo);
Result<double> convert_float(PyObject* object);
Result<BulkVector<UtcDateTime>> convert_datetime_sequence(PyObject* object);
Result<BulkVector<double>> convert_float_sequence(PyObject* object);
// (minimum longitude, minimum latitude, maximum longitude, maximum latitude)
Result<std::array<double, 4>> convert_bbox(PyObject* object);
Result<bool> convert_bool(PyObject* object);

// Adds the note "while processing '{name}'" to the error's exception.
BindingError annotate_argument_error(BindingError error, std::string_view argument_name);

// repr() or str() of an object for messages; a failure goes to the
// unraisable hook and "<unprintable {type} object>" stands in.
std::string object_repr_text(PyObject* object);
std::string object_str_text(PyObject* object);

// The __qualname__ of a type as UTF-8, or nothing (error cleared).
std::optional<std::string> type_qualified_name(PyObject* type);

// Whether the type's __module__ is `module` and its name one of `names`; how
// numpy's types are told apart without importing numpy. Never raises.
bool type_is_named(PyTypeObject* type, std::string_view module, std::initializer_list<std::string_view> names);

}  // namespace tessellon::binding
