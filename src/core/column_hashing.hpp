// Hashing columns: timestamps as integers in a unit since the Unix epoch (or
// already converted instants) and coordinates as float64 or float32, each with
// an optional validity bitmap, straight from Arrow or numpy memory. The loop
// makes no allocation and calls nothing outside the core, so a caller may run
// it with every lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "core/extent_error.hpp"
#include "core/hasher.hpp"

namespace tessellon {

enum class TimeUnit { Seconds, Millis, Micros, Nanos };

// One bit per row, least significant bit first (the Arrow layout); a null
// pointer means every row is valid.
struct ValidityBits {
    const std::uint8_t* bits = nullptr;
    std::int64_t offset = 0;

    bool is_valid(std::int64_t row) const {
        if (bits == nullptr) return true;
        const std::int64_t bit = offset + row;
        return (bits[bit >> 3] >> (bit & 7)) & 1;
    }
};

// Integer timestamps at a byte stride. `nat_is_null` treats INT64_MIN as a
// null, as numpy's and pandas' NaT is.
struct TimestampColumn {
    const std::byte* data = nullptr;
    std::ptrdiff_t stride = 8;
    TimeUnit unit = TimeUnit::Micros;
    ValidityBits validity;
    bool nat_is_null = false;
};

// Instants already converted (from Python datetimes), contiguous.
struct InstantColumn {
    const UtcDateTime* data = nullptr;
};

struct CoordinateColumn {
    const std::byte* data = nullptr;
    std::ptrdiff_t stride = 8;
    bool is_float32 = false;
    ValidityBits validity;
};

enum class InvalidRows { Raise, Skip, Clamp };
enum class ColumnRole { Times, Longitudes, Latitudes };

struct NullValue {
    ColumnRole column;
};
// An integer timestamp beyond the years a key space can hold.
struct TimestampOutOfRange {
    std::int64_t value;
    TimeUnit unit;
};

struct RowError {
    std::size_t row;
    std::variant<ExtentError, NullValue, TimestampOutOfRange> reason;

    std::string message() const;
};

const char* column_role_name(ColumnRole role);
const char* time_unit_name(TimeUnit unit);

// Where the keys go: one int64 per row, -1 for a null key (no key is
// negative). Rows are addressed from `first_row`, so one output can be
// filled block by block.
inline constexpr std::int64_t NULL_KEY = -1;
struct KeyOutput {
    std::int64_t* keys;
    std::size_t first_row;
};

// The instant of an integer timestamp, or nothing beyond the supported years.
std::optional<UtcDateTime> instant_of(std::int64_t value, TimeUnit unit);

class ColumnHasher {
public:
    explicit ColumnHasher(const Hasher& hasher);

    // Hashes `count` rows; row numbers in errors count from `first_row`.
    // Adds the rows given a null key to `null_count`. On error the output up
    // to the failing row is written and the rest untouched.
    template <class Times>
    std::expected<void, RowError> hash_rows(const Times& times, const CoordinateColumn& longitudes,
                                            const CoordinateColumn& latitudes, std::size_t count, InvalidRows mode,
                                            const KeyOutput& output, std::size_t& null_count) const;

private:
    std::expected<void, RowError> hash_dense_timestamps(const TimestampColumn& times,
                                                        const CoordinateColumn& longitudes,
                                                        const CoordinateColumn& latitudes, std::size_t count,
                                                        InvalidRows mode, const KeyOutput& output,
                                                        std::size_t& null_count) const;
    template <class Times>
    std::expected<void, RowError> hash_rows_one_by_one(const Times& times, const CoordinateColumn& longitudes,
                                                       const CoordinateColumn& latitudes, std::size_t count,
                                                       InvalidRows mode, const KeyOutput& output,
                                                       std::size_t& null_count) const;

    // The instant bounds as timestamps of each unit: a timestamp v lies
    // within the extent when lower[unit] <= v <= upper[unit].
    struct UnitBounds {
        std::int64_t lower;
        std::int64_t upper;
    };
    UnitBounds bounds_[4];
    const Hasher* hasher_;
    std::int64_t start_millis_;
};

extern template std::expected<void, RowError> ColumnHasher::hash_rows<TimestampColumn>(
    const TimestampColumn&, const CoordinateColumn&, const CoordinateColumn&, std::size_t, InvalidRows,
    const KeyOutput&, std::size_t&) const;
extern template std::expected<void, RowError> ColumnHasher::hash_rows<InstantColumn>(
    const InstantColumn&, const CoordinateColumn&, const CoordinateColumn&, std::size_t, InvalidRows,
    const KeyOutput&, std::size_t&) const;

}  // namespace tessellon
