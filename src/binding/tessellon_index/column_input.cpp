#include "binding/tessellon_index/column_input.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/convert.hpp"
#include "binding/tessellon_index/arrow_import.hpp"
#include "binding/tessellon_index/column_types.hpp"

namespace tessellon::binding {
namespace {

constexpr bool LITTLE_ENDIAN_HOST = std::endian::native == std::endian::little;

BindingError type_error(std::string message) { return BindingError::deferred(PyExc_TypeError, std::move(message)); }

std::optional<TimeUnit> arrow_time_unit(char code) {
    switch (code) {
        case 's': return TimeUnit::Seconds;
        case 'm': return TimeUnit::Millis;
        case 'u': return TimeUnit::Micros;
        case 'n': return TimeUnit::Nanos;
    }
    return std::nullopt;
}

// Checks what every chunk we read must be: a flat array with a validity
// buffer and one values buffer.
Result<void> check_flat_array(const ArrowArray& array) {
    if (array.n_children != 0 || array.dictionary != nullptr || array.n_buffers != 2 || array.length < 0 ||
        array.offset < 0 || (array.length > 0 && (array.buffers == nullptr || array.buffers[1] == nullptr))) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "malformed Arrow array"));
    }
    return {};
}

ValidityBits arrow_validity(const ArrowArray& array) {
    if (array.null_count == 0 || array.buffers[0] == nullptr) return {};
    return {static_cast<const std::uint8_t*>(array.buffers[0]), array.offset};
}

template <class Column, class MakeColumn>
Result<void> add_arrow_chunks(ColumnInput<Chunk<Column>>& input, ImportedArrow& imported, std::size_t item_size,
                              MakeColumn make_column) {
    for (OwnedArrowArray& owned : imported.arrays) {
        const ArrowArray& array = *owned;
        if (auto checked = check_flat_array(array); !checked) return checked;
        if (array.length == 0) continue;
        const auto* values = static_cast<const std::byte*>(array.buffers[1]) +
                             static_cast<std::ptrdiff_t>(array.offset) * static_cast<std::ptrdiff_t>(item_size);
        input.chunks.push_back({static_cast<std::size_t>(array.length), make_column(values, arrow_validity(array))});
        input.length += static_cast<std::size_t>(array.length);
        input.held.arrays.push_back(std::move(owned));
    }
    return {};
}

std::string arrow_format_of(const ImportedArrow& imported) {
    return imported.schema->format != nullptr ? imported.schema->format : "";
}

// numpy's __array_interface__ of a one-dimensional array: its typestr,
// address, length and byte stride.
struct ArrayInterface {
    std::string typestr;
    const std::byte* data;
    std::size_t length;
    std::ptrdiff_t stride;
};

Result<std::optional<ArrayInterface>> read_array_interface(PyObject* object) {
    PyRef interface = PyRef::steal(PyObject_GetAttrString(object, "__array_interface__"));
    if (!interface) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(fetch_pending_error());
        PyErr_Clear();
        return std::optional<ArrayInterface>();
    }
    auto malformed = [] { return type_error("malformed __array_interface__"); };
    if (!PyDict_Check(interface.get())) return std::unexpected(malformed());
    PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
    PyObject* data = PyDict_GetItemString(interface.get(), "data");
    PyObject* shape = PyDict_GetItemString(interface.get(), "shape");
    PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
    PyObject* mask = PyDict_GetItemString(interface.get(), "mask");
    if (typestr == nullptr || !PyUnicode_Check(typestr) || data == nullptr || !PyTuple_Check(data) ||
        PyTuple_Size(data) != 2 || shape == nullptr || !PyTuple_Check(shape)) {
        return std::unexpected(malformed());
    }
    if (PyTuple_Size(shape) != 1) {
        return std::unexpected(type_error("expected a one-dimensional array, got " +
                                          std::to_string(PyTuple_Size(shape)) + " dimensions"));
    }
    if (mask != nullptr && mask != Py_None) {
        return std::unexpected(type_error("masked arrays are not supported; fill or drop the masked rows first"));
    }
    const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
    if (length < 0) {
        if (PyErr_Occurred()) return std::unexpected(fetch_pending_error());
        return std::unexpected(malformed());
    }
    void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
    if (address == nullptr && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
    Py_ssize_t stride = 8;
    if (strides != nullptr && strides != Py_None) {
        if (!PyTuple_Check(strides) || PyTuple_Size(strides) != 1) return std::unexpected(malformed());
        stride = PyLong_AsSsize_t(PyTuple_GetItem(strides, 0));
        if (stride == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
    }
    const char* text = PyUnicode_AsUTF8AndSize(typestr, nullptr);
    if (text == nullptr) return std::unexpected(fetch_pending_error());
    if (address == nullptr && length > 0) return std::unexpected(malformed());
    return std::optional<ArrayInterface>(
        ArrayInterface{text, static_cast<const std::byte*>(address), static_cast<std::size_t>(length), stride});
}

// "<M8[ns]" and its kin; "=" and "|" mean native order.
std::optional<TimeUnit> numpy_datetime_unit(std::string_view typestr) {
    if (typestr.size() < 4 || typestr.substr(1, 2) != "M8") return std::nullopt;
    const char order = typestr[0];
    if (order == (LITTLE_ENDIAN_HOST ? '>' : '<')) return std::nullopt;
    const std::string_view unit = typestr.substr(3);
    if (unit == "[s]") return TimeUnit::Seconds;
    if (unit == "[ms]") return TimeUnit::Millis;
    if (unit == "[us]") return TimeUnit::Micros;
    if (unit == "[ns]") return TimeUnit::Nanos;
    return std::nullopt;
}

bool is_float_format(const char* format, char code) {
    if (format == nullptr) return false;
    std::string_view text(format);
    if (text.size() == 2 && (text[0] == '@' || text[0] == '=' || text[0] == (LITTLE_ENDIAN_HOST ? '<' : '>'))) {
        text.remove_prefix(1);
    }
    return text.size() == 1 && text[0] == code;
}

bool is_int64_format(const char* format) {
    if (format == nullptr) return false;
    std::string_view text(format);
    if (text.size() == 2 && (text[0] == '@' || text[0] == '=' || text[0] == (LITTLE_ENDIAN_HOST ? '<' : '>'))) {
        text.remove_prefix(1);
    }
    return text == "q" || (text == "l" && sizeof(long) == 8);
}

// Items and byte stride of a one-dimensional buffer view.
std::pair<Py_ssize_t, Py_ssize_t> length_and_stride(const Py_buffer& buffer) {
    return {buffer.shape != nullptr ? buffer.shape[0] : buffer.len / buffer.itemsize,
            buffer.strides != nullptr ? buffer.strides[0] : buffer.itemsize};
}

}  // namespace

Result<TimeInput> read_time_column(PyObject* object, bool numpy_holds_utc) {
    TimeInput input;
    auto imported = import_arrow(object);
    if (!imported) return std::unexpected(std::move(imported.error()));
    if (*imported) {
        const std::string format = arrow_format_of(**imported);
        const auto unit = format.size() >= 4 && format.starts_with("ts") && format[3] == ':'
                              ? arrow_time_unit(format[2])
                              : std::nullopt;
        if (!unit) {
            return std::unexpected(type_error("expected an Arrow timestamp array, got Arrow format '" + format +
                                              "'; integers and dates must be cast to pa.timestamp(unit, tz=\"UTC\")"));
        }
        input.is_naive = format.size() == 4;
        input.naive_source = "Arrow timestamps without a time zone";
        auto added = add_arrow_chunks(input, **imported, 8, [&](const std::byte* values, ValidityBits validity) {
            return std::variant<TimestampColumn, InstantColumn>(TimestampColumn{values, 8, *unit, validity, false});
        });
        if (!added) return std::unexpected(std::move(added.error()));
        return input;
    }
    auto interface = read_array_interface(object);
    if (!interface) return std::unexpected(std::move(interface.error()));
    if (*interface && (*interface)->typestr.find("M8") != std::string::npos) {
        const ArrayInterface& array = **interface;
        const auto unit = numpy_datetime_unit(array.typestr);
        if (!unit) {
            return std::unexpected(type_error("unsupported datetime64 layout '" + array.typestr +
                                              "'; convert with .astype(\"datetime64[ns]\")"));
        }
        input.is_naive = !numpy_holds_utc;
        input.naive_source = "numpy datetime64 values";
        input.held.objects.push_back(PyRef::borrow(object));
        if (array.length > 0) {
            input.chunks.push_back({array.length, TimestampColumn{array.data, array.stride, *unit, {}, true}});
        }
        input.length = array.length;
        return input;
    }
    // The fallback reads Python datetimes exactly as Hasher.hash_all does.
    auto instants = convert_datetime_sequence(object);
    if (!instants) return std::unexpected(std::move(instants.error()));
    input.held.instants = std::move(*instants);
    input.length = input.held.instants.size();
    if (input.length > 0) input.chunks.push_back({input.length, InstantColumn{input.held.instants.data()}});
    return input;
}

Result<CoordinateInput> read_coordinate_column(PyObject* object) {
    CoordinateInput input;
    auto imported = import_arrow(object);
    if (!imported) return std::unexpected(std::move(imported.error()));
    if (*imported) {
        const std::string format = arrow_format_of(**imported);
        if (format != "g" && format != "f") {
            return std::unexpected(type_error("expected an Arrow float64 or float32 array, got Arrow format '" +
                                              format + "'; cast it with .cast(pa.float64())"));
        }
        const bool is_float32 = format == "f";
        const std::size_t item_size = is_float32 ? 4 : 8;
        auto added = add_arrow_chunks(input, **imported, item_size, [&](const std::byte* values, ValidityBits validity) {
            return CoordinateColumn{values, static_cast<std::ptrdiff_t>(item_size), is_float32, validity};
        });
        if (!added) return std::unexpected(std::move(added.error()));
        return input;
    }
    if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
        auto view = std::make_unique<BufferView>(object);
        if (view->held()) {
            const Py_buffer& buffer = view->view();
            const bool is_double = is_float_format(buffer.format, 'd') && buffer.itemsize == 8;
            const bool is_float32 = is_float_format(buffer.format, 'f') && buffer.itemsize == 4;
            if (buffer.ndim == 1 && (is_double || is_float32)) {
                const auto [count, stride] = length_and_stride(buffer);
                input.length = static_cast<std::size_t>(count);
                if (count > 0) {
                    input.chunks.push_back({input.length, CoordinateColumn{static_cast<const std::byte*>(buffer.buf),
                                                                           stride, is_float32, {}}});
                }
                input.held.views.push_back(std::move(view));
                return input;
            }
        }
    }
    auto values = convert_float_sequence(object);
    if (!values) return std::unexpected(std::move(values.error()));
    input.held.doubles = std::move(*values);
    input.length = input.held.doubles.size();
    if (input.length > 0) {
        input.chunks.push_back({input.length, CoordinateColumn{reinterpret_cast<const std::byte*>(
                                                                   input.held.doubles.data()),
                                                               8, false, {}}});
    }
    return input;
}

Result<KeyInput> read_key_column(PyObject* object) {
    KeyInput input;
    if (const ColumnData* data = column_data_of(object)) {
        if (data->kind != ColumnKind::Keys && data->kind != ColumnKind::Int64) {
            return std::unexpected(type_error("expected keys, got a column of another kind"));
        }
        input.held.objects.push_back(PyRef::borrow(object));
        input.length = data->length();
        if (input.length > 0) {
            input.chunks.push_back(
                {input.length, KeyColumnView{data->int64s.data(),
                                             data->validity.empty() ? ValidityBits{}
                                                                    : ValidityBits{data->validity.data(), 0}}});
        }
        return input;
    }
    auto imported = import_arrow(object);
    if (!imported) return std::unexpected(std::move(imported.error()));
    if (*imported) {
        const std::string format = arrow_format_of(**imported);
        if (format != "l") {
            return std::unexpected(type_error("expected an Arrow int64 array of keys, got Arrow format '" + format + "'"));
        }
        auto added = add_arrow_chunks(input, **imported, 8, [](const std::byte* values, ValidityBits validity) {
            return KeyColumnView{reinterpret_cast<const std::int64_t*>(values), validity};
        });
        if (!added) return std::unexpected(std::move(added.error()));
        return input;
    }
    if (PyObject_CheckBuffer(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
        auto view = std::make_unique<BufferView>(object);
        if (view->held()) {
            const Py_buffer& buffer = view->view();
            if (buffer.ndim == 1 && buffer.itemsize == 8 && is_int64_format(buffer.format)) {
                const auto [count, stride] = length_and_stride(buffer);
                input.length = static_cast<std::size_t>(count);
                if (stride == 8) {
                    if (count > 0) {
                        input.chunks.push_back(
                            {input.length, KeyColumnView{static_cast<const std::int64_t*>(buffer.buf), {}}});
                    }
                    input.held.views.push_back(std::move(view));
                    return input;
                }
                // Strided keys are gathered once so every reader sees them contiguous.
                input.held.int64s.resize(input.length);
                for (Py_ssize_t i = 0; i < count; ++i) {
                    std::memcpy(&input.held.int64s[static_cast<std::size_t>(i)],
                                static_cast<const std::byte*>(buffer.buf) + i * stride, 8);
                }
                if (count > 0) input.chunks.push_back({input.length, KeyColumnView{input.held.int64s.data(), {}}});
                return input;
            }
        }
    }
    // Any other sequence of ints (None for a null is refused: keys must be ints).
    if (PyType_GetFlags(Py_TYPE(object)) & (Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS)) {
        return std::unexpected(type_error("expected a column of keys, got a string"));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::unexpected(fetch_pending_error());
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyLong_Check(item.get())) {
            return std::unexpected(
                type_error("keys must be ints, got '" + type_qualified_name(reinterpret_cast<PyObject*>(
                                                            Py_TYPE(item.get()))).value_or("?") + "'"));
        }
        const long long key = PyLong_AsLongLong(item.get());
        if (key == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
        input.held.int64s.push_back(key);
    }
    if (PyErr_Occurred()) return std::unexpected(fetch_pending_error());
    input.length = input.held.int64s.size();
    if (input.length > 0) input.chunks.push_back({input.length, KeyColumnView{input.held.int64s.data(), {}}});
    return input;
}

}  // namespace tessellon::binding
