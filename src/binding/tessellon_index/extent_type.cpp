#include "binding/tessellon_index/extent_type.hpp"

#include <array>
#include <atomic>
#include <new>
#include <string>
#include <type_traits>

#include "binding/call_glue.hpp"
#include "binding/convert_extent.hpp"
#include "binding/tessellon_index/hash_columns.hpp"
#include "binding/tessellon_index/query_methods.hpp"
#include "binding/text.hpp"

namespace tessellon::binding {
namespace {

static_assert(std::is_trivially_destructible_v<Hasher>, "the deallocator runs no destructor");

constexpr const char* NEW_PARAMETERS[] = {"start_datetime", "end_datetime", "bbox"};
constexpr CallSignature NEW_SIGNATURE{"Extent", "__new__", NEW_PARAMETERS, 0, 2, {}};
constexpr const char* HASH_COLUMNS_PARAMETERS[] = {"times", "longitudes", "latitudes", "invalid", "naive_utc",
                                                   "numpy_holds_utc"};
constexpr CallSignature HASH_COLUMNS_SIGNATURE{"Extent", "hash_columns", HASH_COLUMNS_PARAMETERS, 0, 6, {}};

Result<InvalidRows> convert_invalid_mode(PyObject* object) {
    if (text_equals(object, "raise")) return InvalidRows::Raise;
    if (text_equals(object, "skip")) return InvalidRows::Skip;
    if (text_equals(object, "clamp")) return InvalidRows::Clamp;
    return std::unexpected(BindingError::deferred(
        PyExc_ValueError, "invalid must be \"raise\", \"skip\" or \"clamp\", got " + object_repr_text(object)));
}

const Hasher& hasher_of_self(PyObject* self) { return reinterpret_cast<ExtentObject*>(self)->hasher; }

PyObject* extent_hash_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return run_guarded([&]() -> Result<PyRef> {
        std::array<PyObject*, 6> slots{};
        if (auto parsed = parse_fastcall_arguments(HASH_COLUMNS_SIGNATURE, args, nargs, keyword_names, slots);
            !parsed) {
            return std::unexpected(std::move(parsed.error()));
        }
        HashColumnsOptions options;
        auto invalid = annotated(convert_invalid_mode(slots[3]), "invalid");
        if (!invalid) return std::unexpected(std::move(invalid.error()));
        options.invalid = *invalid;
        auto naive_utc = annotated(convert_bool(slots[4]), "naive_utc");
        if (!naive_utc) return std::unexpected(std::move(naive_utc.error()));
        options.naive_utc = *naive_utc;
        auto holds_utc = annotated(convert_bool(slots[5]), "numpy_holds_utc");
        if (!holds_utc) return std::unexpected(std::move(holds_utc.error()));
        options.numpy_holds_utc = *holds_utc;
        return hash_columns(hasher_of_self(self), slots[0], slots[1], slots[2], options);
    });
}

// Everything that decides the keys, for equality, hashing and pickling:
// (start days, seconds, nanoseconds, end days, seconds, nanoseconds,
//  west, south, east, north).
PyObject* extent_identity(PyObject* self, PyObject*) {
    return run_guarded([&]() -> Result<PyRef> {
        const Hasher& hasher = hasher_of_self(self);
        const BoundingBox& box = hasher.bbox();
        return require_object(Py_BuildValue(
            "(iIIiIIdddd)", hasher.start().days_since_epoch(), hasher.start().seconds_of_day(),
            hasher.start().nanoseconds(), hasher.end().days_since_epoch(), hasher.end().seconds_of_day(),
            hasher.end().nanoseconds(), box.min_longitude, box.min_latitude, box.max_longitude, box.max_latitude));
    });
}

PyObject* extent_span_ms(PyObject* self, void*) {
    return run_guarded([&]() -> Result<PyRef> { return require_object(PyFloat_FromDouble(hasher_of_self(self).span_ms())); });
}

PyObject* extent_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return run_guarded([&]() -> Result<PyRef> {
        std::array<PyObject*, 3> slots{};
        if (auto parsed = parse_tuple_dict_arguments(NEW_SIGNATURE, args, keywords, slots); !parsed) {
            return std::unexpected(std::move(parsed.error()));
        }
        auto hasher = convert_extent(slots[0], slots[1], slots[2]);
        if (!hasher) return std::unexpected(std::move(hasher.error()));
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyRef instance = PyRef::steal(allocate(type, 0));
        if (!instance) return std::unexpected(fetch_pending_error());
        new (&reinterpret_cast<ExtentObject*>(instance.get())->hasher) Hasher(*hasher);
        return instance;
    });
}

void extent_dealloc(PyObject* self) {
    run_guarded_unraisable([&]() -> Result<void> {
        PyTypeObject* type = Py_TYPE(self);
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_instance(self);
        Py_DECREF(type);
        return {};
    });
}

PyMethodDef extent_methods[] = {
    {"hash_columns", as_cfunction<extent_hash_columns>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"identity", extent_identity, METH_NOARGS, nullptr},
    {"query", as_cfunction<extent_query>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"cell", as_cfunction<extent_cell>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"decode", as_cfunction<extent_decode>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef extent_getset[] = {
    {"span_ms", extent_span_ms, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot extent_slots[] = {
    {Py_tp_doc, const_cast<char*>("The extent behind a KeySpace (internal).")},
    {Py_tp_new, reinterpret_cast<void*>(extent_new)},
    {Py_tp_methods, extent_methods},
    {Py_tp_getset, extent_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(extent_dealloc)},
    {0, nullptr},
};

PyType_Spec extent_spec = {"tessellon_index._native.Extent", static_cast<int>(sizeof(ExtentObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, extent_slots};

std::atomic<PyObject*> stored_extent_type{nullptr};

}  // namespace

Result<PyObject*> extent_type() { return process_wide_type(stored_extent_type, extent_spec); }

const Hasher* hasher_of(PyObject* object) {
    PyObject* type = stored_extent_type.load(std::memory_order_acquire);
    if (type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(object)) != type) return nullptr;
    return &reinterpret_cast<ExtentObject*>(object)->hasher;
}

}  // namespace tessellon::binding
