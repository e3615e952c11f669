// The Hasher type: construction, the four methods and deallocation.
#include <array>
#include <new>
#include <type_traits>

#include "binding/call_glue.hpp"
#include "binding/convert.hpp"
#include "binding/convert_extent.hpp"
#include "binding/heap_type.hpp"
#include "binding/tessellon/docstrings.hpp"
#include "binding/tessellon/module.hpp"

namespace tessellon::binding {
namespace {

static_assert(std::is_trivially_destructible_v<Hasher>, "the deallocator runs no destructor");

constexpr const char* NEW_PARAMETERS[] = {"start_datetime", "end_datetime", "bbox"};
constexpr const char* POINT_PARAMETERS[] = {"datetime", "longitude", "latitude"};
constexpr const char* BATCH_PARAMETERS[] = {"datetimes", "longitudes", "latitudes", "skip_invalid"};

constexpr CallSignature NEW_SIGNATURE{"Hasher", "__new__", NEW_PARAMETERS, 0, 2, {}};
constexpr CallSignature HASH_SIGNATURE{"Hasher", "hash", POINT_PARAMETERS, 0, 3, {}};
constexpr CallSignature HASH_CLAMPED_SIGNATURE{"Hasher", "hash_clamped", POINT_PARAMETERS, 0, 3, {}};
constexpr CallSignature HASH_ALL_SIGNATURE{"Hasher", "hash_all", BATCH_PARAMETERS, 0, 3, {}};
constexpr CallSignature HASH_ALL_CLAMPED_SIGNATURE{
    "Hasher", "hash_all_clamped", std::span(BATCH_PARAMETERS).first(3), 0, 3, {}};

// Shared (read-only) use of an instance for the duration of a method call.
class SharedUse {
public:
    explicit SharedUse(HasherObject& object) : count_(object.borrow_count) {
        Py_ssize_t current = count_.load(std::memory_order_relaxed);
        while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
        }
    }
    ~SharedUse() { count_.fetch_sub(1, std::memory_order_release); }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

private:
    std::atomic<Py_ssize_t>& count_;
};

template <std::size_t SlotCount, class Body>
PyObject* method_frame(const CallSignature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* keyword_names, Body&& body) {
    return run_guarded([&]() -> Result<PyRef> {
        std::array<PyObject*, SlotCount> slots{};
        if (auto parsed = parse_fastcall_arguments(signature, args, nargs, keyword_names, slots); !parsed) {
            return std::unexpected(std::move(parsed.error()));
        }
        auto& object = *reinterpret_cast<HasherObject*>(self);
        SharedUse use(object);
        return body(object.hasher, slots);
    });
}

PyRef key_to_int(HashKey key) { return require_object(PyLong_FromUnsignedLongLong(key)); }

BindingError core_error(const std::string& message) { return BindingError::deferred(PyExc_ValueError, message); }

struct Point {
    UtcDateTime instant;
    double longitude;
    double latitude;
};

Result<Point> convert_point(const std::array<PyObject*, 3>& slots) {
    auto instant = annotated(convert_datetime(slots[0]), POINT_PARAMETERS[0]);
    if (!instant) return std::unexpected(std::move(instant.error()));
    auto longitude = annotated(convert_float(slots[1]), POINT_PARAMETERS[1]);
    if (!longitude) return std::unexpected(std::move(longitude.error()));
    auto latitude = annotated(convert_float(slots[2]), POINT_PARAMETERS[2]);
    if (!latitude) return std::unexpected(std::move(latitude.error()));
    return Point{*instant, *longitude, *latitude};
}

struct Batch {
    BulkVector<UtcDateTime> instants;
    BulkVector<double> longitudes;
    BulkVector<double> latitudes;
};

template <std::size_t SlotCount>
Result<Batch> convert_batch(const std::array<PyObject*, SlotCount>& slots) {
    auto instants = annotated(convert_datetime_sequence(slots[0]), BATCH_PARAMETERS[0]);
    if (!instants) return std::unexpected(std::move(instants.error()));
    auto longitudes = annotated(convert_float_sequence(slots[1]), BATCH_PARAMETERS[1]);
    if (!longitudes) return std::unexpected(std::move(longitudes.error()));
    auto latitudes = annotated(convert_float_sequence(slots[2]), BATCH_PARAMETERS[2]);
    if (!latitudes) return std::unexpected(std::move(latitudes.error()));
    return Batch{std::move(*instants), std::move(*longitudes), std::move(*latitudes)};
}

// The result list is made once at its final length and filled by position.
template <class Item, class ToObject>
PyRef build_list(const BulkVector<Item>& items, ToObject to_object) {
    PyRef list = require_object(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_object(items[i]).release()) < 0) {
            raise_fault_from_pending_error("could not fill the result list");
        }
    }
    return list;
}

PyObject* hasher_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return method_frame<3>(HASH_SIGNATURE, self, args, nargs, keyword_names,
                           [](const Hasher& hasher, const std::array<PyObject*, 3>& slots) -> Result<PyRef> {
                               auto point = convert_point(slots);
                               if (!point) return std::unexpected(std::move(point.error()));
                               auto key = hasher.hash(point->instant, point->longitude, point->latitude);
                               if (!key) return std::unexpected(core_error(key.error().message()));
                               return key_to_int(*key);
                           });
}

PyObject* hasher_hash_clamped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return method_frame<3>(HASH_CLAMPED_SIGNATURE, self, args, nargs, keyword_names,
                           [](const Hasher& hasher, const std::array<PyObject*, 3>& slots) -> Result<PyRef> {
                               auto point = convert_point(slots);
                               if (!point) return std::unexpected(std::move(point.error()));
                               return key_to_int(hasher.hash_clamped(point->instant, point->longitude, point->latitude));
                           });
}

PyObject* hasher_hash_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return method_frame<4>(
        HASH_ALL_SIGNATURE, self, args, nargs, keyword_names,
        [](const Hasher& hasher, const std::array<PyObject*, 4>& slots) -> Result<PyRef> {
            auto batch = convert_batch(slots);
            if (!batch) return std::unexpected(std::move(batch.error()));
            bool skip_invalid = false;
            if (slots[3] != nullptr) {
                auto flag = annotated(convert_bool(slots[3]), BATCH_PARAMETERS[3]);
                if (!flag) return std::unexpected(std::move(flag.error()));
                skip_invalid = *flag;
            }
            auto slots_or_error = hasher.hash_all(batch->instants, batch->longitudes, batch->latitudes, skip_invalid);
            if (!slots_or_error) return std::unexpected(core_error(slots_or_error.error().message()));
            return build_list(*slots_or_error, [](HashSlot slot) {
                return slot.has_key() ? key_to_int(slot.key()) : PyRef::borrow(Py_None);
            });
        });
}

PyObject* hasher_hash_all_clamped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* keyword_names) {
    return method_frame<3>(HASH_ALL_CLAMPED_SIGNATURE, self, args, nargs, keyword_names,
                           [](const Hasher& hasher, const std::array<PyObject*, 3>& slots) -> Result<PyRef> {
                               auto batch = convert_batch(slots);
                               if (!batch) return std::unexpected(std::move(batch.error()));
                               auto keys = hasher.hash_all_clamped(batch->instants, batch->longitudes,
                                                                   batch->latitudes);
                               if (!keys) return std::unexpected(core_error(keys.error().message()));
                               return build_list(*keys, key_to_int);
                           });
}

PyObject* hasher_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    return run_guarded([&]() -> Result<PyRef> {
        std::array<PyObject*, 3> slots{};
        if (auto parsed = parse_tuple_dict_arguments(NEW_SIGNATURE, args, keywords, slots); !parsed) {
            return std::unexpected(std::move(parsed.error()));
        }
        auto converted = convert_extent(slots[0], slots[1], slots[2]);
        if (!converted) return std::unexpected(std::move(converted.error()));
        const Hasher hasher = *converted;

        auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        if (base_new == nullptr) {
            return std::unexpected(BindingError::deferred(PyExc_TypeError, "base type without tp_new"));
        }
        PyRef no_arguments = require_object(PyTuple_New(0));
        PyRef instance = PyRef::steal(base_new(type, no_arguments.get(), nullptr));
        if (!instance) {
            return std::unexpected(fetch_pending_error());
        }
        auto* object = reinterpret_cast<HasherObject*>(instance.get());
        new (&object->hasher) Hasher(hasher);
        new (&object->borrow_count) std::atomic<Py_ssize_t>(0);
        return instance;
    });
}

void hasher_dealloc(PyObject* self) {
    run_guarded_unraisable([&]() -> Result<void> {
        PyTypeObject* type = Py_TYPE(self);
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (free_instance == nullptr) {
            raise_internal_fault("PyBaseObject_Type should have tp_free");
        }
        free_instance(self);
        // Instances of a heap type hold a reference to it.
        Py_DECREF(type);
        return {};
    });
}

PyMethodDef hasher_methods[] = {
    {"hash", as_cfunction<hasher_hash>(), METH_FASTCALL | METH_KEYWORDS, docstrings::HASH},
    {"hash_clamped", as_cfunction<hasher_hash_clamped>(), METH_FASTCALL | METH_KEYWORDS, docstrings::HASH_CLAMPED},
    {"hash_all", as_cfunction<hasher_hash_all>(), METH_FASTCALL | METH_KEYWORDS, docstrings::HASH_ALL},
    {"hash_all_clamped", as_cfunction<hasher_hash_all_clamped>(), METH_FASTCALL | METH_KEYWORDS,
     docstrings::HASH_ALL_CLAMPED},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hasher_slots[] = {
    {Py_tp_doc, const_cast<char*>(docstrings::HASHER)},
    {Py_tp_new, reinterpret_cast<void*>(hasher_new)},
    {Py_tp_methods, hasher_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(hasher_dealloc)},
    {0, nullptr},
};

PyType_Spec hasher_spec = {
    "tessellon.Hasher",
    static_cast<int>(sizeof(HasherObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    hasher_slots,
};

std::atomic<PyObject*> stored_hasher_type{nullptr};

}  // namespace

Result<PyObject*> hasher_type() { return process_wide_type(stored_hasher_type, hasher_spec); }

}  // namespace tessellon::binding
