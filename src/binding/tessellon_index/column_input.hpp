// Reads the columns a caller hands in: Arrow arrays and streams through the
// PyCapsule interface, numpy datetime64 arrays through __array_interface__,
// numeric buffers through the buffer protocol, our own result columns, and,
// as the last resort, any sequence read item by item as Hasher.hash_all
// reads it. Each input keeps alive whatever its chunks point into.
#pragma once

#include <memory>
#include <variant>
#include <vector>

#include "binding/binding_error.hpp"
#include "binding/buffer_view.hpp"
#include "binding/tessellon_index/arrow_c.hpp"
#include "core/column_hashing.hpp"

namespace tessellon::binding {

// The owners behind a column's chunks; moved, never copied.
struct HeldMemory {
    std::vector<OwnedArrowArray> arrays;
    std::vector<PyRef> objects;
    std::vector<std::unique_ptr<BufferView>> views;
    BulkVector<UtcDateTime> instants;
    BulkVector<double> doubles;
    BulkVector<std::int64_t> int64s;
};

template <class Column>
struct Chunk {
    std::size_t length;
    Column column;
};

using TimeChunk = Chunk<std::variant<TimestampColumn, InstantColumn>>;
using CoordinateChunk = Chunk<CoordinateColumn>;

struct KeyColumnView {
    const std::int64_t* data;
    ValidityBits validity;
};
using KeyChunk = Chunk<KeyColumnView>;

template <class ChunkType>
struct ColumnInput {
    HeldMemory held;
    std::vector<ChunkType> chunks;
    std::size_t length = 0;
};

struct TimeInput : ColumnInput<TimeChunk> {
    // Integer timestamps without a zone: numpy datetime64, Arrow timestamps
    // without a time zone, naive pandas columns.
    bool is_naive = false;
    const char* naive_source = "";
};
using CoordinateInput = ColumnInput<CoordinateChunk>;
using KeyInput = ColumnInput<KeyChunk>;

// `numpy_holds_utc`: a numpy datetime64 input holds UTC instants (the caller
// took it from a zone-aware pandas column).
Result<TimeInput> read_time_column(PyObject* object, bool numpy_holds_utc);
Result<CoordinateInput> read_coordinate_column(PyObject* object);
// Keys as Keys, int64 Arrow arrays, int64 buffers or sequences of ints.
Result<KeyInput> read_key_column(PyObject* object);

}  // namespace tessellon::binding
