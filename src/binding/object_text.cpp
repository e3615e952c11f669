// Texts of Python objects in messages, type mismatches and argument notes.
#include "binding/convert.hpp"
#include "binding/python_names.hpp"
#include "binding/text.hpp"

namespace tessellon::binding {
namespace {

std::string unprintable_text(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    std::optional<std::string> type_name = name ? utf8_of(name.get()) : std::nullopt;
    if (!name) {
        PyErr_Clear();
    }
    return type_name ? "<unprintable " + *type_name + " object>" : "<unprintable object>";
}

std::string object_text(PyObject* object, PyObject* (*render)(PyObject*)) {
    PyRef text = PyRef::steal(render(object));
    std::optional<std::string> utf8 = text ? utf8_of(text.get()) : std::nullopt;
    if (!text) {
        PyErr_WriteUnraisable(object);
    }
    return utf8 ? *utf8 : unprintable_text(object);
}

}  // namespace

std::string object_repr_text(PyObject* object) { return object_text(object, PyObject_Repr); }
std::string object_str_text(PyObject* object) { return object_text(object, PyObject_Str); }

std::optional<std::string> type_qualified_name(PyObject* type) {
    PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!name) {
        PyErr_Clear();
        return std::nullopt;
    }
    return utf8_of(name.get());
}

bool type_is_named(PyTypeObject* type, std::string_view module, std::initializer_list<std::string_view> names) {
    PyRef module_name = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned_names().module));
    if (!module_name || !text_equals(module_name.get(), module)) {
        PyErr_Clear();
        return false;
    }
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    for (std::string_view candidate : names) {
        if (text_equals(name.get(), candidate)) {
            return true;
        }
    }
    return false;
}

BindingError TypeMismatchError::to_binding_error() const {
    const std::string expected = type_qualified_name(expected_type).value_or("<failed to extract type name>");
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '" + expected + "'";
    } else {
        const std::string actual =
            type_qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object))).value_or("<failed to extract type name>");
        message = "'" + actual + "' object is not an instance of '" + expected + "'";
    }
    return BindingError::deferred(PyExc_TypeError, std::move(message));
}

BindingError annotate_argument_error(BindingError error, std::string_view argument_name) {
    PyObject* instance = error.exception_instance();
    if (instance == nullptr) {
        return error;
    }
    const std::string note = "while processing '" + std::string(argument_name) + "'";
    PyRef note_text = python_text(note);
    PyRef added = note_text ? PyRef::steal(PyObject_CallMethodObjArgs(instance, interned_names().add_note,
                                                                      note_text.get(), nullptr))
                            : PyRef();
    if (!added) {
        PyErr_Clear();  // a note that cannot be added is left out
    }
    return error;
}

}  // namespace tessellon::binding
