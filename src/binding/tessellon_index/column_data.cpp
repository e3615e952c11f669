#include "binding/tessellon_index/column_data.hpp"

namespace tessellon::binding {
namespace {

// Empty vectors may have no storage; buffers handed out must not be null.
alignas(8) constexpr std::uint8_t EMPTY_STORAGE[8] = {};

}  // namespace

std::size_t ColumnData::length() const {
    switch (kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64:
        case ColumnKind::TimestampMillis: return int64s.size();
        case ColumnKind::Bool: return bools.size();
        case ColumnKind::Float64: return doubles.size();
    }
    return 0;
}

std::size_t ColumnData::item_size() const { return kind == ColumnKind::Bool ? 1 : 8; }

const void* ColumnData::values() const {
    const void* data = nullptr;
    switch (kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64:
        case ColumnKind::TimestampMillis: data = int64s.data(); break;
        case ColumnKind::Bool: data = bools.data(); break;
        case ColumnKind::Float64: data = doubles.data(); break;
    }
    return data != nullptr ? data : EMPTY_STORAGE;
}

SharedColumn key_column_from(BulkVector<std::int64_t> keys, bool may_hold_nulls) {
    auto column = std::make_shared<ColumnData>();
    column->kind = ColumnKind::Keys;
    if (may_hold_nulls) {
        std::size_t nulls = 0;
        for (std::int64_t key : keys) nulls += key < 0;
        if (nulls > 0) {
            column->validity.assign((keys.size() + 7) / 8, 0);
            for (std::size_t row = 0; row < keys.size(); ++row) {
                if (keys[row] >= 0) column->validity[row >> 3] |= static_cast<std::uint8_t>(1u << (row & 7));
            }
        }
        column->null_count = nulls;
    }
    column->int64s = std::move(keys);
    return column;
}

SharedColumn bool_column_from(std::vector<std::uint8_t> bools) {
    auto column = std::make_shared<ColumnData>();
    column->kind = ColumnKind::Bool;
    column->bools = std::move(bools);
    return column;
}

SharedColumn int64_column_from(BulkVector<std::int64_t> values) {
    auto column = std::make_shared<ColumnData>();
    column->kind = ColumnKind::Int64;
    column->int64s = std::move(values);
    return column;
}

}  // namespace tessellon::binding
