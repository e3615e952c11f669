#include "binding/tessellon_index/query_methods.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "binding/call_glue.hpp"
#include "binding/convert_extent.hpp"
#include "binding/tessellon_index/column_input.hpp"
#include "binding/tessellon_index/column_types.hpp"
#include "binding/tessellon_index/extent_type.hpp"
#include "core/cell_box.hpp"
#include "core/decode.hpp"
#include "core/key_query.hpp"

namespace tessellon::binding {
namespace {

struct QueryObject {
    PyObject_HEAD
    KeyQuery query;
    std::vector<CellBox> cells;
    PyRef start;
    PyRef end;
    PyRef bbox;  // the window's box, or None
    PyRef key_space;
};

QueryObject& as_query(PyObject* self) { return *reinterpret_cast<QueryObject*>(self); }

constexpr const char* QUERY_PARAMETERS[] = {"start_datetime", "end_datetime", "bbox", "key_space"};
constexpr CallSignature QUERY_SIGNATURE{"KeySpace", "query", QUERY_PARAMETERS, 0, 4, {}};
constexpr const char* KEY_PARAMETERS[] = {"key"};
constexpr CallSignature CELL_SIGNATURE{"KeySpace", "cell", KEY_PARAMETERS, 0, 1, {}};
constexpr CallSignature NEXT_KEY_SIGNATURE{"Query", "next_key", KEY_PARAMETERS, 1, 1, {}};
constexpr CallSignature PREVIOUS_KEY_SIGNATURE{"Query", "previous_key", KEY_PARAMETERS, 1, 1, {}};
constexpr const char* KEYS_PARAMETERS[] = {"keys"};
constexpr CallSignature DECODE_SIGNATURE{"KeySpace", "decode", KEYS_PARAMETERS, 0, 1, {}};
constexpr CallSignature CONTAINS_SIGNATURE{"Query", "contains", KEYS_PARAMETERS, 1, 1, {}};
constexpr CallSignature SELECT_SORTED_SIGNATURE{"Query", "select_sorted", KEYS_PARAMETERS, 1, 1, {}};
constexpr const char* RANGES_PARAMETERS[] = {"max_ranges"};
constexpr CallSignature RANGES_SIGNATURE{"Query", "ranges", RANGES_PARAMETERS, 0, 0, {}};
constexpr const char* ROW_GROUPS_PARAMETERS[] = {"min_keys", "max_keys"};
constexpr CallSignature ROW_GROUPS_SIGNATURE{"Query", "row_groups", ROW_GROUPS_PARAMETERS, 2, 2, {}};

constexpr std::int64_t HIGHEST_KEY = std::numeric_limits<std::int64_t>::max();

template <std::size_t SlotCount, class Body>
PyObject* call_frame(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names,
                     Body&& body) {
    return run_guarded([&]() -> Result<PyRef> {
        std::array<PyObject*, SlotCount> slots{};
        if (auto parsed = parse_fastcall_arguments(signature, args, nargs, keyword_names, slots); !parsed) {
            return std::unexpected(std::move(parsed.error()));
        }
        return body(slots);
    });
}

Result<std::int64_t> convert_key(PyObject* object) {
    if (!PyLong_Check(object)) {
        return std::unexpected(TypeMismatchError{object, reinterpret_cast<PyObject*>(&PyLong_Type)}.to_binding_error());
    }
    int overflow = 0;
    const long long key = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (key == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
    if (overflow != 0) return overflow > 0 ? HIGHEST_KEY : std::int64_t{-1};
    return key;
}

PyRef optional_key(const std::optional<HashKey>& key) {
    return key ? require_object(PyLong_FromUnsignedLongLong(*key)) : PyRef::borrow(Py_None);
}

const char* window_error_text(WindowError error) {
    switch (error) {
        case WindowError::StartAfterEnd: return "the window's start_datetime follows its end_datetime";
        case WindowError::NaNBound: return "the window's bbox holds NaN; give numbers (or +-inf for no bound)";
        case WindowError::SouthAboveNorth:
            return "the window's south lies above its north; latitudes do not wrap (only west > east does)";
    }
    return "invalid window";
}

PyRef cell_tuple(const CellBox& box) {
    return require_object(Py_BuildValue("((II)(II)(II))", box.time.first, box.time.last, box.longitude.first,
                                        box.longitude.last, box.latitude.first, box.latitude.last));
}

// Rows of a key input in one flat vector, nulls read as -1 (no key).
BulkVector<std::int64_t> flatten_keys(const KeyInput& input) {
    BulkVector<std::int64_t> keys;
    keys.reserve(input.length);
    for (const KeyChunk& chunk : input.chunks) {
        for (std::size_t row = 0; row < chunk.length; ++row) {
            keys.push_back(chunk.column.validity.is_valid(static_cast<std::int64_t>(row)) ? chunk.column.data[row]
                                                                                           : -1);
        }
    }
    return keys;
}

PyObject* query_cells(PyObject* self, void*) {
    return run_guarded([&]() -> Result<PyRef> {
        const auto& cells = as_query(self).cells;
        PyRef tuple = require_object(PyTuple_New(static_cast<Py_ssize_t>(cells.size())));
        for (std::size_t i = 0; i < cells.size(); ++i) {
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), cell_tuple(cells[i]).release());
        }
        return tuple;
    });
}

PyObject* owned_field(const PyRef& field) { return field.new_reference().release(); }
PyObject* query_start(PyObject* self, void*) { return owned_field(as_query(self).start); }
PyObject* query_end(PyObject* self, void*) { return owned_field(as_query(self).end); }
PyObject* query_bbox(PyObject* self, void*) { return owned_field(as_query(self).bbox); }
PyObject* query_key_space(PyObject* self, void*) { return owned_field(as_query(self).key_space); }

PyObject* query_ranges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(RANGES_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        long long max_ranges = 256;
        if (slots[0] != nullptr) {
            if (!PyLong_Check(slots[0])) {
                return std::unexpected(annotate_argument_error(
                    TypeMismatchError{slots[0], reinterpret_cast<PyObject*>(&PyLong_Type)}.to_binding_error(),
                    "max_ranges"));
            }
            max_ranges = PyLong_AsLongLong(slots[0]);
            if (max_ranges == -1 && PyErr_Occurred()) return std::unexpected(fetch_pending_error());
            if (max_ranges < 1) {
                return std::unexpected(BindingError::deferred(
                    PyExc_ValueError, "max_ranges must be at least 1, got " + std::to_string(max_ranges)));
            }
        }
        std::vector<KeyRange> ranges;
        const KeyQuery& query = as_query(self).query;
        Py_BEGIN_ALLOW_THREADS
        ranges = query.ranges(static_cast<std::size_t>(max_ranges));
        Py_END_ALLOW_THREADS
        PyRef list = require_object(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            PyRef pair = require_object(Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].first),
                                                      static_cast<unsigned long long>(ranges[i].last)));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return list;
    });
}

PyObject* query_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(CONTAINS_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        auto keys = annotated(read_key_column(slots[0]), "keys");
        if (!keys) return std::unexpected(std::move(keys.error()));
        std::vector<std::uint8_t> inside(keys->length);
        const KeyQuery& query = as_query(self).query;
        Py_BEGIN_ALLOW_THREADS
        std::size_t row = 0;
        for (const KeyChunk& chunk : keys->chunks) {
            query.contains_many({chunk.column.data, chunk.length}, chunk.column.validity.bits,
                                chunk.column.validity.offset, inside.data() + row);
            row += chunk.length;
        }
        Py_END_ALLOW_THREADS
        return wrap_column(bool_column_from(std::move(inside)));
    });
}

PyObject* query_select_sorted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(SELECT_SORTED_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        auto keys = annotated(read_key_column(slots[0]), "keys");
        if (!keys) return std::unexpected(std::move(keys.error()));
        BulkVector<std::int64_t> rows;
        const KeyQuery& query = as_query(self).query;
        Py_BEGIN_ALLOW_THREADS
        std::int64_t first_row = 0;
        for (const KeyChunk& chunk : keys->chunks) {
            for (std::int64_t row : query.select_sorted({chunk.column.data, chunk.length})) {
                // A null slot holds no key, whatever value lies under it.
                if (chunk.column.validity.is_valid(row)) rows.push_back(first_row + row);
            }
            first_row += static_cast<std::int64_t>(chunk.length);
        }
        Py_END_ALLOW_THREADS
        return wrap_column(int64_column_from(std::move(rows)));
    });
}

PyObject* query_row_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<2>(ROW_GROUPS_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        auto mins = annotated(read_key_column(slots[0]), "min_keys");
        if (!mins) return std::unexpected(std::move(mins.error()));
        auto maxs = annotated(read_key_column(slots[1]), "max_keys");
        if (!maxs) return std::unexpected(std::move(maxs.error()));
        if (mins->length != maxs->length) {
            return std::unexpected(BindingError::deferred(
                PyExc_ValueError, "min_keys and max_keys must be the same length: " + std::to_string(mins->length) +
                                      " and " + std::to_string(maxs->length)));
        }
        BulkVector<std::int64_t> lows = flatten_keys(*mins);
        BulkVector<std::int64_t> highs = flatten_keys(*maxs);
        // Missing statistics prove nothing: such a group is read.
        for (std::size_t i = 0; i < lows.size(); ++i) {
            if (lows[i] < 0) lows[i] = 0;
            if (highs[i] < 0) highs[i] = HIGHEST_KEY;
        }
        std::vector<std::uint8_t> may_hold(lows.size());
        as_query(self).query.row_groups(lows, highs, may_hold.data());
        return wrap_column(bool_column_from(std::move(may_hold)));
    });
}

template <bool Next>
PyObject* query_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(Next ? NEXT_KEY_SIGNATURE : PREVIOUS_KEY_SIGNATURE, args, nargs, keyword_names,
                         [&](const auto& slots) -> Result<PyRef> {
                             auto key = annotated(convert_key(slots[0]), "key");
                             if (!key) return std::unexpected(std::move(key.error()));
                             const KeyQuery& query = as_query(self).query;
                             if (*key < 0) return Next ? optional_key(query.next_key(0)) : PyRef::borrow(Py_None);
                             const auto unsigned_key = static_cast<HashKey>(*key);
                             return optional_key(Next ? query.next_key(unsigned_key) : query.previous_key(unsigned_key));
                         });
}

PyObject* query_repr(PyObject* self) {
    return run_guarded([&]() -> Result<PyRef> {
        const QueryObject& object = as_query(self);
        std::string text = "Query(start=" + object_str_text(object.start.get()) + ", end=" + object_str_text(object.end.get()) +
                           ", bbox=" + object_repr_text(object.bbox.get()) + ", boxes=" + std::to_string(object.cells.size()) +
                           ")";
        return require_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

void query_dealloc(PyObject* self) {
    run_guarded_unraisable([&]() -> Result<void> {
        PyTypeObject* type = Py_TYPE(self);
        QueryObject& object = as_query(self);
        object.start.~PyRef();
        object.end.~PyRef();
        object.bbox.~PyRef();
        object.key_space.~PyRef();
        object.query.~KeyQuery();
        object.cells.~vector();
        auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_instance(self);
        Py_DECREF(type);
        return {};
    });
}

PyMethodDef query_methods[] = {
    {"ranges", as_cfunction<query_ranges>(), METH_FASTCALL | METH_KEYWORDS,
     "ranges($self, /, max_ranges=256)\n--\n\n"
     "Sorted, disjoint, inclusive (first, last) key ranges covering every key of the query's cells,\n"
     "never more than max_ranges. When the exact cover fits, these are exactly the runs of keys inside;\n"
     "otherwise the smallest gaps between them are filled."},
    {"contains", as_cfunction<query_contains>(), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, keys, /)\n--\n\n"
     "A boolean Column, true where a key lies in the query's cells (null keys are false).\n"
     "keys: Keys, an int64 buffer or Arrow int64 array, or a sequence of ints."},
    {"next_key", as_cfunction<query_step<true>>(), METH_FASTCALL | METH_KEYWORDS,
     "next_key($self, key, /)\n--\n\nThe smallest key at or above key inside the query's cells, or None."},
    {"previous_key", as_cfunction<query_step<false>>(), METH_FASTCALL | METH_KEYWORDS,
     "previous_key($self, key, /)\n--\n\nThe largest key at or below key inside the query's cells, or None."},
    {"select_sorted", as_cfunction<query_select_sorted>(), METH_FASTCALL | METH_KEYWORDS,
     "select_sorted($self, keys, /)\n--\n\n"
     "The ascending row indices (an int64 Column) of the keys inside the query's cells, for keys sorted\n"
     "ascending. Skips from key to key inside instead of reading every key. On unsorted keys the rows\n"
     "returned are unspecified (but always valid, distinct row indices)."},
    {"row_groups", as_cfunction<query_row_groups>(), METH_FASTCALL | METH_KEYWORDS,
     "row_groups($self, min_keys, max_keys, /)\n--\n\n"
     "A boolean Column, true where a group of rows whose keys span [min, max] may hold a key inside\n"
     "the query's cells. Groups without statistics (null min and max) are kept."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef query_getset[] = {
    {"cells", query_cells, nullptr,
     "The cell boxes: ((time_first, time_last), (longitude_first, longitude_last), (latitude_first, "
     "latitude_last)) each, inclusive; two when the window crosses the antimeridian.",
     nullptr},
    {"start", query_start, nullptr, "The window's start, as given.", nullptr},
    {"end", query_end, nullptr, "The window's end, as given.", nullptr},
    {"bbox", query_bbox, nullptr, "The window's box as given, or None for the key space's box.", nullptr},
    {"key_space", query_key_space, nullptr, "The KeySpace queried.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* QUERY_DOC =
    "A time window and box over a KeySpace, as boxes of cells: made by KeySpace.query().\n\n"
    "Every point inside the window hashes, strictly or clamped, to a key inside the cells.";

PyType_Slot query_slots[] = {
    {Py_tp_doc, const_cast<char*>(QUERY_DOC)},
    {Py_tp_methods, query_methods},
    {Py_tp_getset, query_getset},
    {Py_tp_repr, reinterpret_cast<void*>(query_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {0, nullptr},
};

PyType_Spec query_spec = {"tessellon_index.Query", static_cast<int>(sizeof(QueryObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          query_slots};

std::atomic<PyObject*> stored_query_type{nullptr};

}  // namespace

Result<PyObject*> query_type() { return process_wide_type(stored_query_type, query_spec); }

PyObject* extent_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<4>(QUERY_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        const Hasher& hasher = *hasher_of(self);
        auto start = annotated(convert_datetime(slots[0]), "start_datetime");
        if (!start) return std::unexpected(std::move(start.error()));
        auto end = annotated(convert_datetime(slots[1]), "end_datetime");
        if (!end) return std::unexpected(std::move(end.error()));
        constexpr double INF = std::numeric_limits<double>::infinity();
        // No box: every point, those clamped onto the key space's edges too.
        QueryWindow window{*start, *end, -INF, -INF, INF, INF};
        if (slots[2] != Py_None) {
            auto numbers = annotated(convert_bbox(slots[2]), "bbox");
            if (!numbers) return std::unexpected(std::move(numbers.error()));
            const auto& [west, south, east, north] = *numbers;
            window.west = west;
            window.south = south;
            window.east = east;
            window.north = north;
        }
        auto cells = cell_boxes(hasher, window);
        if (!cells) return std::unexpected(BindingError::deferred(PyExc_ValueError, window_error_text(cells.error())));

        Result<PyObject*> type = query_type();
        if (!type) return std::unexpected(std::move(type.error()));
        auto* type_object = reinterpret_cast<PyTypeObject*>(*type);
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
        PyRef instance = PyRef::steal(allocate(type_object, 0));
        if (!instance) return std::unexpected(fetch_pending_error());
        QueryObject& object = as_query(instance.get());
        new (&object.cells) std::vector<CellBox>(*cells);
        new (&object.query) KeyQuery(std::move(*cells));
        new (&object.start) PyRef(PyRef::borrow(slots[0]));
        new (&object.end) PyRef(PyRef::borrow(slots[1]));
        new (&object.bbox) PyRef(PyRef::borrow(slots[2]));
        new (&object.key_space) PyRef(PyRef::borrow(slots[3]));
        return instance;
    });
}

PyObject* extent_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(CELL_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        auto key = annotated(convert_key(slots[0]), "key");
        if (!key) return std::unexpected(std::move(key.error()));
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(slots[0], &overflow);
        if (*key < 0 || overflow != 0) {
            return std::unexpected(BindingError::deferred(
                PyExc_ValueError, "a key lies between 0 and 2**63 - 1, got " + object_repr_text(slots[0])));
        }
        const CellRegion region = cell_region(*hasher_of(self), static_cast<HashKey>(*key));
        return require_object(Py_BuildValue("(LLdddd)", static_cast<long long>(region.first_millis),
                                            static_cast<long long>(region.last_millis), region.west, region.south,
                                            region.east, region.north));
    });
}

PyObject* extent_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names) {
    return call_frame<1>(DECODE_SIGNATURE, args, nargs, keyword_names, [&](const auto& slots) -> Result<PyRef> {
        auto keys = annotated(read_key_column(slots[0]), "keys");
        if (!keys) return std::unexpected(std::move(keys.error()));
        BulkVector<std::int64_t> flat = flatten_keys(*keys);
        auto times = std::make_shared<ColumnData>();
        auto longitudes = std::make_shared<ColumnData>();
        auto latitudes = std::make_shared<ColumnData>();
        times->kind = ColumnKind::TimestampMillis;
        longitudes->kind = latitudes->kind = ColumnKind::Float64;
        times->int64s.resize(flat.size());
        longitudes->doubles.resize(flat.size());
        latitudes->doubles.resize(flat.size());
        std::vector<CellCentre> centres(flat.size());
        decode_centres(*hasher_of(self), flat, centres.data());
        constexpr double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();
        std::vector<std::uint8_t> validity((flat.size() + 7) / 8, 0xFF);
        for (std::size_t row = 0; row < flat.size(); ++row) {
            const bool known = flat[row] >= 0 && std::isfinite(centres[row].unix_millis);
            times->int64s[row] = known ? static_cast<std::int64_t>(std::floor(centres[row].unix_millis)) : 0;
            longitudes->doubles[row] = flat[row] >= 0 ? centres[row].longitude : NAN_VALUE;
            latitudes->doubles[row] = flat[row] >= 0 ? centres[row].latitude : NAN_VALUE;
            if (!known) {
                validity[row >> 3] = static_cast<std::uint8_t>(validity[row >> 3] & ~(1u << (row & 7)));
                ++times->null_count;
            }
        }
        if (times->null_count > 0) times->validity = std::move(validity);
        auto time_column = wrap_column(std::move(times));
        if (!time_column) return std::unexpected(std::move(time_column.error()));
        auto longitude_column = wrap_column(std::move(longitudes));
        if (!longitude_column) return std::unexpected(std::move(longitude_column.error()));
        auto latitude_column = wrap_column(std::move(latitudes));
        if (!latitude_column) return std::unexpected(std::move(latitude_column.error()));
        return require_object(Py_BuildValue("(OOO)", time_column->get(), longitude_column->get(),
                                            latitude_column->get()));
    });
}

}  // namespace tessellon::binding
