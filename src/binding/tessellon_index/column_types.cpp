#include "binding/tessellon_index/column_types.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "binding/call_glue.hpp"
#include "binding/convert.hpp"
#include "binding/heap_type.hpp"
#include "binding/once_cell.hpp"
#include "binding/python_names.hpp"
#include "binding/python_names.hpp"
#include "binding/tessellon_index/arrow_export.hpp"
#include "core/utc_date_time.hpp"

namespace tessellon::binding {
namespace {

ColumnObject& as_column(PyObject* self) { return *reinterpret_cast<ColumnObject*>(self); }

const char* buffer_format(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64:
        case ColumnKind::TimestampMillis: return "q";
        case ColumnKind::Bool: return "?";
        case ColumnKind::Float64: return "d";
    }
    return "q";
}

const char* array_typestr(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64: return "<i8";
        case ColumnKind::Bool: return "|b1";
        case ColumnKind::Float64: return "<f8";
        case ColumnKind::TimestampMillis: return "<M8[ms]";
    }
    return "<i8";
}

Result<PyRef> item_at(const ColumnData& data, std::size_t row) {
    if (!data.is_valid(row)) {
        return PyRef::borrow(Py_None);
    }
    switch (data.kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64: return require_object(PyLong_FromLongLong(data.int64s[row]));
        case ColumnKind::Bool: return PyRef::borrow(data.bools[row] ? Py_True : Py_False);
        case ColumnKind::Float64: return require_object(PyFloat_FromDouble(data.doubles[row]));
        case ColumnKind::TimestampMillis: return utc_datetime_from_millis(data.int64s[row]);
    }
    return PyRef::borrow(Py_None);
}

Result<std::size_t> checked_row(const ColumnData& data, Py_ssize_t index) {
    const auto length = static_cast<Py_ssize_t>(data.length());
    if (index < 0) index += length;
    if (index < 0 || index >= length) {
        return std::unexpected(BindingError::deferred(PyExc_IndexError, "index out of range"));
    }
    return static_cast<std::size_t>(index);
}

Py_ssize_t column_length(PyObject* self) { return static_cast<Py_ssize_t>(as_column(self).column->length()); }

PyObject* column_item(PyObject* self, Py_ssize_t index) {
    return run_guarded([&]() -> Result<PyRef> {
        const ColumnData& data = *as_column(self).column;
        auto row = checked_row(data, index);
        if (!row) return std::unexpected(std::move(row.error()));
        return item_at(data, *row);
    });
}

PyObject* column_subscript(PyObject* self, PyObject* key) {
    return run_guarded([&]() -> Result<PyRef> {
        if (!PyIndex_Check(key)) {
            return std::unexpected(BindingError::deferred(
                PyExc_TypeError, "indices must be integers; for slices and masks use numpy.asarray(column)[...]"));
        }
        const Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (index == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
        const ColumnData& data = *as_column(self).column;
        auto row = checked_row(data, index);
        if (!row) return std::unexpected(std::move(row.error()));
        return item_at(data, *row);
    });
}

PyObject* column_null_count(PyObject* self, void*) {
    return run_guarded([&]() -> Result<PyRef> {
        return require_object(PyLong_FromSize_t(as_column(self).column->null_count));
    });
}

PyObject* column_array_interface(PyObject* self, void*) {
    return run_guarded([&]() -> Result<PyRef> {
        const ColumnData& data = *as_column(self).column;
        // Null rows read as their stored values (-1 for keys); Arrow keeps them null.
        PyRef interface = require_object(Py_BuildValue(
            "{s:i,s:s,s:(n),s:(NO),s:O}", "version", 3, "typestr", array_typestr(data.kind), "shape",
            static_cast<Py_ssize_t>(data.length()), "data", PyLong_FromVoidPtr(const_cast<void*>(data.values())),
            Py_True, "strides", Py_None));
        return interface;
    });
}

PyObject* column_arrow_c_array(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* keyword_names) {
    return run_guarded([&]() -> Result<PyRef> {
        // The requested schema, if any, is a hint a producer may ignore.
        const Py_ssize_t keyword_count = keyword_names ? PyTuple_Size(keyword_names) : 0;
        if (nargs + keyword_count > 1) {
            return std::unexpected(
                BindingError::deferred(PyExc_TypeError, "__arrow_c_array__ takes at most one argument"));
        }
        return export_arrow_capsules(as_column(self).column);
    });
}

PyObject* column_repr(PyObject* self) {
    return run_guarded([&]() -> Result<PyRef> {
        const ColumnData& data = *as_column(self).column;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        std::string text = (type_qualified_name(type).value_or("Column")) + "([";
        const std::size_t length = data.length();
        constexpr std::size_t SHOWN = 6;
        for (std::size_t row = 0; row < length && row < SHOWN; ++row) {
            if (row > 0) text += ", ";
            auto item = item_at(data, row);
            if (!item) return std::unexpected(std::move(item.error()));
            text += object_repr_text(item->get());
        }
        if (length > SHOWN) text += ", ...";
        text += "], length=" + std::to_string(length) + ", null_count=" + std::to_string(data.null_count) + ")";
        return require_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

int column_get_buffer(PyObject* self, Py_buffer* view, int flags) {
    return run_guarded_status([&]() -> Result<void> {
        ColumnObject& object = as_column(self);
        const ColumnData& data = *object.column;
        if (flags & PyBUF_WRITABLE) {
            return std::unexpected(BindingError::deferred(PyExc_BufferError, "the column is read-only"));
        }
        if (data.kind == ColumnKind::TimestampMillis) {
            return std::unexpected(BindingError::deferred(
                PyExc_BufferError, "timestamps have no buffer format; numpy.asarray reads them as datetime64[ms]"));
        }
        object.shape[0] = static_cast<Py_ssize_t>(data.length());
        object.strides[0] = static_cast<Py_ssize_t>(data.item_size());
        view->buf = const_cast<void*>(data.values());
        view->obj = Py_NewRef(self);
        view->len = object.shape[0] * object.strides[0];
        view->readonly = 1;
        view->itemsize = object.strides[0];
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(buffer_format(data.kind)) : nullptr;
        view->ndim = 1;
        view->shape = (flags & PyBUF_ND) ? object.shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? object.strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return {};
    });
}

void column_dealloc(PyObject* self) {
    run_guarded_unraisable([&]() -> Result<void> {
        PyTypeObject* type = Py_TYPE(self);
        as_column(self).column.~SharedColumn();
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_instance(self);
        Py_DECREF(type);
        return {};
    });
}

PyMethodDef column_methods[] = {
    {"__arrow_c_array__", as_cfunction<column_arrow_c_array>(), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\nThe column as an Arrow array (PyCapsule interface)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"null_count", column_null_count, nullptr, "The number of null rows.", nullptr},
    {"__array_interface__", column_array_interface, nullptr, "The numpy array interface (no copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* KEYS_DOC =
    "A column of keys: int64, one per row, None where a row has no key.\n\n"
    "numpy.asarray(keys) is a zero-copy int64 array (null rows hold -1, which no key can be);\n"
    "pyarrow.array(keys), polars.Series(keys) and DuckDB read it as a nullable int64 Arrow array.";
constexpr const char* COLUMN_DOC =
    "A read-only result column: booleans, row indices, coordinates or UTC timestamps.\n\n"
    "numpy.asarray(column) reads it without a copy; pyarrow.array(column) takes it as an Arrow array.";

// Keys and Column differ only in their name and docstring.
constexpr std::size_t COLUMN_SLOT_COUNT = 11;
std::array<PyType_Slot, COLUMN_SLOT_COUNT> column_type_slots(const char* doc) {
    return {{
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, column_methods},
        {Py_tp_getset, column_getset},
        {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
        {Py_sq_length, reinterpret_cast<void*>(column_length)},
        {Py_sq_item, reinterpret_cast<void*>(column_item)},
        {Py_mp_length, reinterpret_cast<void*>(column_length)},
        {Py_mp_subscript, reinterpret_cast<void*>(column_subscript)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(column_get_buffer)},
        {0, nullptr},
    }};
}

std::array<PyType_Slot, COLUMN_SLOT_COUNT> keys_slots = column_type_slots(KEYS_DOC);
std::array<PyType_Slot, COLUMN_SLOT_COUNT> column_slots = column_type_slots(COLUMN_DOC);

PyType_Spec keys_spec = {"tessellon_index.Keys", static_cast<int>(sizeof(ColumnObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                         keys_slots.data()};
PyType_Spec column_spec = {"tessellon_index.Column", static_cast<int>(sizeof(ColumnObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                           column_slots.data()};


std::atomic<PyObject*> stored_keys_type{nullptr};

// datetime.timezone.utc, fetched once and kept for the life of the process.
OnceCell<PyObject*> utc_cell;

PyObject* utc_timezone() {
    return utc_cell.get_or_fill([] {
        PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
        PyRef timezone = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "timezone")) : PyRef();
        PyRef utc = timezone ? PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc")) : PyRef();
        if (!utc) {
            raise_fault_from_pending_error("could not fetch datetime.timezone.utc");
        }
        return utc.release();
    });
}
std::atomic<PyObject*> stored_column_type{nullptr};

}  // namespace

Result<PyObject*> keys_type() { return process_wide_type(stored_keys_type, keys_spec); }
Result<PyObject*> column_type() { return process_wide_type(stored_column_type, column_spec); }

Result<PyRef> wrap_column(SharedColumn column) {
    Result<PyObject*> type = column->kind == ColumnKind::Keys ? keys_type() : column_type();
    if (!type) return std::unexpected(std::move(type.error()));
    auto* type_object = reinterpret_cast<PyTypeObject*>(*type);
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
    PyRef instance = PyRef::steal(allocate(type_object, 0));
    if (!instance) return std::unexpected(fetch_pending_error());
    auto& object = as_column(instance.get());
    new (&object.column) SharedColumn(std::move(column));
    object.shape[0] = 0;
    object.strides[0] = 0;
    return instance;
}

const ColumnData* column_data_of(PyObject* object) {
    PyObject* keys = stored_keys_type.load(std::memory_order_acquire);
    PyObject* column = stored_column_type.load(std::memory_order_acquire);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if ((keys != nullptr && type == keys) || (column != nullptr && type == column)) {
        return as_column(object).column.get();
    }
    return nullptr;
}

Result<PyRef> utc_datetime_from_millis(std::int64_t unix_millis) {
    constexpr std::int64_t MILLIS_PER_DAY = 86'400'000;
    std::int64_t days = unix_millis / MILLIS_PER_DAY;
    std::int64_t rest = unix_millis % MILLIS_PER_DAY;
    if (rest < 0) {
        rest += MILLIS_PER_DAY;
        --days;
    }
    const CivilDate date = civil_from_days(days);
    if (date.year < 1 || date.year > 9999) {
        return std::unexpected(BindingError::deferred(
            PyExc_OverflowError, "the instant lies outside the years 1 to 9999 that datetime can hold"));
    }
    const auto seconds = static_cast<int>(rest / 1000);
    PyRef arguments = require_object(Py_BuildValue("(iIIiiii)", date.year, date.month, date.day, seconds / 3600,
                                                   seconds / 60 % 60, seconds % 60,
                                                   static_cast<int>(rest % 1000) * 1000));
    PyRef keywords = require_object(Py_BuildValue("{s:O}", "tzinfo", utc_timezone()));
    PyRef instance = PyRef::steal(PyObject_Call(datetime_types().datetime, arguments.get(), keywords.get()));
    if (!instance) return std::unexpected(fetch_pending_error());
    return instance;
}

}  // namespace tessellon::binding
