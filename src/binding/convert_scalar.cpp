// Numbers, the bbox tuple and the skip_invalid flag.
#include <cstring>

#include "binding/convert.hpp"
#include "binding/python_names.hpp"
#include "binding/text.hpp"

namespace tessellon::binding {
namespace {

// numpy's booleans are recognised by name, so numpy is never imported.
bool is_numpy_bool_type(PyTypeObject* type) { return type_is_named(type, "numpy", {"bool_", "bool"}); }

Result<bool> call_bool_method(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef method = PyRef::steal(PyObject_GetAttr(type, interned_names().bool_method));
    if (!method) {
        PyErr_Clear();
        return std::unexpected(BindingError::deferred(
            PyExc_TypeError, "object of type '" + object_str_text(type) + "' does not define a '__bool__' conversion"));
    }
    using DescriptorGet = PyObject* (*)(PyObject*, PyObject*, PyObject*);
    if (auto bind = reinterpret_cast<DescriptorGet>(PyType_GetSlot(Py_TYPE(method.get()), Py_tp_descr_get))) {
        method = PyRef::steal(bind(method.get(), object, type));
        if (!method) {
            return std::unexpected(fetch_pending_error());
        }
    }
    PyRef result = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!result) {
        return std::unexpected(fetch_pending_error());
    }
    if (Py_TYPE(result.get()) != &PyBool_Type) {
        return std::unexpected(
            TypeMismatchError{result.get(), reinterpret_cast<PyObject*>(&PyBool_Type)}.to_binding_error());
    }
    return result.get() == Py_True;
}

}  // namespace

Result<double> convert_float(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        return std::unexpected(fetch_pending_error());
    }
    return value;
}

Result<std::array<double, 4>> convert_bbox(PyObject* object) {
    if (!PyTuple_Check(object)) {
        return std::unexpected(
            TypeMismatchError{object, reinterpret_cast<PyObject*>(&PyTuple_Type)}.to_binding_error());
    }
    const Py_ssize_t length = PyTuple_Size(object);
    if (length != 4) {
        return std::unexpected(BindingError::deferred(
            PyExc_ValueError, "expected tuple of length 4, but got tuple of length " + std::to_string(length)));
    }
    std::array<double, 4> numbers{};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        Result<double> number = convert_float(PyTuple_GetItem(object, i));
        if (!number) {
            return std::unexpected(std::move(number.error()));
        }
        numbers[static_cast<std::size_t>(i)] = *number;
    }
    return numbers;
}

Result<bool> convert_bool(PyObject* object) {
    if (Py_TYPE(object) == &PyBool_Type) {
        return object == Py_True;
    }
    if (is_numpy_bool_type(Py_TYPE(object))) {
        return call_bool_method(object);
    }
    return std::unexpected(TypeMismatchError{object, reinterpret_cast<PyObject*>(&PyBool_Type)}.to_binding_error());
}

}  // namespace tessellon::binding
