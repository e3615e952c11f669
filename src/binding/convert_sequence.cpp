// Sequences of datetimes or numbers, read in one pass through their iterator.
#include <algorithm>
#include <cstring>
#include <bit>
#include <optional>

#include "binding/buffer_view.hpp"
#include "binding/convert.hpp"
#include "binding/python_names.hpp"
#include "binding/text.hpp"

namespace tessellon::binding {
namespace {

// A length reported by __len__ is only a hint: a lying or huge one must not
// make us reserve memory the items never fill. Lists and tuples hold their
// items already, so the length of an exact one is trusted (a subclass may
// override __len__).
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
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        return static_cast<std::size_t>(length);
    }
    return static_cast<std::size_t>(std::min(length, UNTRUSTED_RESERVATION_LIMIT));
}

// Converts the items of an object that passed check_sequence.
template <class Value, class ConvertItem>
Result<BulkVector<Value>> convert_items(PyObject* object, ConvertItem convert_item) {
    BulkVector<Value> values;
    values.reserve(reservation_hint(object));
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // What their iterators do, without the iterator: the length is read
        // again before every item (an item's conversion may run Python code
        // that changes the list), and each item is held while it converts.
        const bool is_list = PyList_CheckExact(object);
        for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(object) : PyTuple_Size(object)); ++i) {
            PyRef item = PyRef::borrow(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
            Result<Value> value = convert_item(item.get());
            if (!value) {
                return std::unexpected(std::move(value.error()));
            }
            values.push_back(*value);
        }
        return values;
    }
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

// Exactly array.array or numpy.ndarray, told by name so numpy is never
// imported. Both are immutable types, which a Python class cannot pose as.
bool is_exact_float_array_type(PyTypeObject* type) {
    if ((PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
        return false;
    }
    return type_is_named(type, "array", {"array"}) || type_is_named(type, "numpy", {"ndarray"});
}

bool is_native_float64_format(const char* format) {
    if (format == nullptr) {
        return false;
    }
    if (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 || std::strcmp(format, "=d") == 0) {
        return true;
    }
    constexpr bool little_endian = std::endian::native == std::endian::little;
    return std::strcmp(format, little_endian ? "<d" : ">d") == 0;
}

// One-dimensional native float64 buffers are copied straight out; iterating
// them would give the very same doubles, one Python float at a time.
std::optional<BulkVector<double>> try_read_float64_buffer(PyObject* object) {
    if (!is_exact_float_array_type(Py_TYPE(object))) {
        return std::nullopt;
    }
    BufferView buffer(object);
    if (!buffer.held()) {
        return std::nullopt;
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !is_native_float64_format(view.format)) {
        return std::nullopt;
    }
    const Py_ssize_t count = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    BulkVector<double> values(static_cast<std::size_t>(count));
    const auto* bytes = static_cast<const char*>(view.buf);
    if (count == 0) {
        return values;  // data() may be null, and memcpy must not see that
    }
    if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
        std::memcpy(values.data(), bytes, values.size() * sizeof(double));
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::memcpy(&values[static_cast<std::size_t>(i)], bytes + i * stride, sizeof(double));
        }
    }
    return values;
}

}  // namespace

Result<BulkVector<UtcDateTime>> convert_datetime_sequence(PyObject* object) {
    if (auto valid = check_sequence(object); !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    TimezoneMemo memo;
    return convert_items<UtcDateTime>(object, [&memo](PyObject* item) { return convert_datetime(item, &memo); });
}

Result<BulkVector<double>> convert_float_sequence(PyObject* object) {
    if (auto valid = check_sequence(object); !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    if (auto values = try_read_float64_buffer(object)) {
        return std::move(*values);
    }
    return convert_items<double>(object, convert_float);
}

}  // namespace tessellon::binding
