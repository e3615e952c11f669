// The storage behind a result column. It is immutable once built and shared
// by its Python object and every Arrow array exported from it, so an Arrow
// consumer may release its array on any thread, without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/bulk_allocator.hpp"

namespace tessellon::binding {

enum class ColumnKind {
    Keys,             // int64; null slots hold -1
    Int64,            // row indices
    Bool,             // one byte per row, 0 or 1
    Float64,          // coordinates
    TimestampMillis,  // int64 milliseconds since the Unix epoch, UTC
};

struct ColumnData {
    ColumnKind kind = ColumnKind::Keys;
    BulkVector<std::int64_t> int64s;  // Keys, Int64, TimestampMillis
    BulkVector<double> doubles;       // Float64
    std::vector<std::uint8_t> bools;  // Bool
    std::vector<std::uint8_t> validity;  // Arrow bitmap; empty when nothing is null
    std::size_t null_count = 0;

    std::size_t length() const;
    std::size_t item_size() const;
    const void* values() const;  // never null, even when empty
    bool is_valid(std::size_t row) const {
        return validity.empty() || ((validity[row >> 3] >> (row & 7)) & 1);
    }
};

using SharedColumn = std::shared_ptr<const ColumnData>;

// A key column whose null slots hold -1: builds its validity bitmap and
// null count from those slots.
SharedColumn key_column_from(BulkVector<std::int64_t> keys, bool may_hold_nulls);
SharedColumn bool_column_from(std::vector<std::uint8_t> bools);
SharedColumn int64_column_from(BulkVector<std::int64_t> values);

}  // namespace tessellon::binding
