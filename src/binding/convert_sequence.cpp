// Sequences of datetimes or numbers, read in one pass through their iterator.
#include <algorithm>

#include "binding/convert.hpp"
#include "binding/python_names.hpp"

namespace tessellon::binding {
namespace {

// A length reported by __len__ is only a hint: a lying or huge one must not
// make us reserve memory the items never fill. Lists and tuples hold their
// items already, so their length is trusted.
constexpr Py_ssize_t UNTRUSTED_RESERVATION_LIMIT = 1 << 16;

Result<void> check_sequence(PyObject* object) {
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
        return std::unexpected(BindingError::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    if (!PySequence_Check(object)) {
        return std::unexpected(TypeMismatchError{object, sequence_abc_type()}.to_binding_error());
    }
    return {};
}

std::size_t reservation_hint(PyObject* object) {
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    if (PyList_Check(object) || PyTuple_Check(object)) {
        return static_cast<std::size_t>(length);
    }
    return static_cast<std::size_t>(std::min(length, UNTRUSTED_RESERVATION_LIMIT));
}

template <class Value, class ConvertItem>
Result<std::vector<Value>> convert_sequence(PyObject* object, ConvertItem convert_item) {
    if (auto valid = check_sequence(object); !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    std::vector<Value> values;
    values.reserve(reservation_hint(object));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return std::unexpected(fetch_pending_error());
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        Result<Value> value = convert_item(item.get());
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        values.push_back(*value);
    }
    if (PyErr_Occurred()) {
        return std::unexpected(fetch_pending_error());
    }
    return values;
}

}  // namespace

Result<std::vector<UtcDateTime>> convert_datetime_sequence(PyObject* object) {
    return convert_sequence<UtcDateTime>(object, convert_datetime);
}

Result<std::vector<double>> convert_float_sequence(PyObject* object) {
    return convert_sequence<double>(object, convert_float);
}

}  // namespace tessellon::binding
