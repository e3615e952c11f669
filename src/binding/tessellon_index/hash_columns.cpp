#include "binding/tessellon_index/hash_columns.hpp"

#include <algorithm>
#include <string>

#include "binding/convert_extent.hpp"
#include "binding/tessellon_index/column_input.hpp"
#include "binding/tessellon_index/column_types.hpp"

namespace tessellon::binding {
namespace {

// Rows hashed per release of the interpreter lock; between blocks a pending
// KeyboardInterrupt stops the work.
constexpr std::size_t BLOCK_ROWS = std::size_t{1} << 20;

template <class Column>
struct Cursor {
    const std::vector<Chunk<Column>>& chunks;
    std::size_t chunk = 0;
    std::size_t row = 0;  // within the chunk

    std::size_t remaining_in_chunk() const { return chunks[chunk].length - row; }
    void advance(std::size_t count) {
        row += count;
        if (row == chunks[chunk].length) {
            ++chunk;
            row = 0;
        }
    }
};

ValidityBits shifted(ValidityBits validity, std::size_t rows) {
    if (validity.bits != nullptr) validity.offset += static_cast<std::int64_t>(rows);
    return validity;
}

CoordinateColumn at_row(const CoordinateColumn& column, std::size_t row) {
    return {column.data + static_cast<std::ptrdiff_t>(row) * column.stride, column.stride, column.is_float32,
            shifted(column.validity, row)};
}

std::variant<TimestampColumn, InstantColumn> at_row(const std::variant<TimestampColumn, InstantColumn>& column,
                                                    std::size_t row) {
    if (const auto* timestamps = std::get_if<TimestampColumn>(&column)) {
        return TimestampColumn{timestamps->data + static_cast<std::ptrdiff_t>(row) * timestamps->stride,
                               timestamps->stride, timestamps->unit, shifted(timestamps->validity, row),
                               timestamps->nat_is_null};
    }
    return InstantColumn{std::get<InstantColumn>(column).data + row};
}

Result<void> check_naive(const TimeInput& times, const HashColumnsOptions& options) {
    if (times.is_naive && !options.naive_utc) {
        return std::unexpected(BindingError::deferred(
            PyExc_TypeError,
            std::string("times are ") + times.naive_source +
                ", which name no instant; state their time zone: pass naive_utc=True if they hold UTC, or give "
                "zone-aware timestamps (pandas: series.dt.tz_localize(\"UTC\"); pyarrow: "
                "values.cast(pa.timestamp(unit, tz=\"UTC\")))"));
    }
    return {};
}

}  // namespace

Result<PyRef> hash_columns(const Hasher& hasher, PyObject* times_object, PyObject* longitudes_object,
                           PyObject* latitudes_object, const HashColumnsOptions& options) {
    auto times = annotated(read_time_column(times_object, options.numpy_holds_utc), "times");
    if (!times) return std::unexpected(std::move(times.error()));
    if (auto naive = check_naive(*times, options); !naive) return std::unexpected(std::move(naive.error()));
    auto longitudes = annotated(read_coordinate_column(longitudes_object), "longitudes");
    if (!longitudes) return std::unexpected(std::move(longitudes.error()));
    auto latitudes = annotated(read_coordinate_column(latitudes_object), "latitudes");
    if (!latitudes) return std::unexpected(std::move(latitudes.error()));

    const std::size_t length = times->length;
    if (longitudes->length != length || latitudes->length != length) {
        return std::unexpected(BindingError::deferred(
            PyExc_ValueError, "columns must be the same length: " + std::to_string(length) + " times, " +
                                  std::to_string(longitudes->length) + " longitudes, " +
                                  std::to_string(latitudes->length) + " latitudes"));
    }

    BulkVector<std::int64_t> keys(length);
    const ColumnHasher column_hasher(hasher);
    Cursor time_cursor{times->chunks};
    Cursor longitude_cursor{longitudes->chunks};
    Cursor latitude_cursor{latitudes->chunks};
    std::size_t done = 0;
    std::size_t null_count = 0;
    while (done < length) {
        std::expected<void, RowError> outcome;
        std::size_t block_end = std::min(length, done + BLOCK_ROWS);
        Py_BEGIN_ALLOW_THREADS
        while (done < block_end && outcome) {
            const std::size_t count =
                std::min({block_end - done, time_cursor.remaining_in_chunk(), longitude_cursor.remaining_in_chunk(),
                          latitude_cursor.remaining_in_chunk()});
            const auto time_column = at_row(times->chunks[time_cursor.chunk].column, time_cursor.row);
            const auto longitude_column = at_row(longitudes->chunks[longitude_cursor.chunk].column, longitude_cursor.row);
            const auto latitude_column = at_row(latitudes->chunks[latitude_cursor.chunk].column, latitude_cursor.row);
            const KeyOutput output{keys.data(), done};
            outcome = std::visit(
                [&](const auto& column) {
                    return column_hasher.hash_rows(column, longitude_column, latitude_column, count,
                                                   options.invalid, output, null_count);
                },
                time_column);
            time_cursor.advance(count);
            longitude_cursor.advance(count);
            latitude_cursor.advance(count);
            done += count;
        }
        Py_END_ALLOW_THREADS
        if (!outcome) {
            return std::unexpected(BindingError::deferred(PyExc_ValueError, outcome.error().message()));
        }
        if (done < length && PyErr_CheckSignals() < 0) return std::unexpected(fetch_pending_error());
    }
    return wrap_column(key_column_from(std::move(keys), options.invalid == InvalidRows::Skip));
}

}  // namespace tessellon::binding
