// Moving text between Python str and UTF-8. Lone surrogates (which a str may
// hold, say in a keyword name) pass through both ways unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"

namespace tessellon::binding {

// The UTF-8 bytes of a str, or nothing (with the error cleared).
std::optional<std::string> utf8_of(PyObject* text);

// Whether the object is a str equal to the expected text; never raises.
bool text_equals(PyObject* text, std::string_view expected);

// A new str from UTF-8 bytes; null with an exception set on failure.
PyRef python_text(std::string_view utf8);

}  // namespace tessellon::binding
