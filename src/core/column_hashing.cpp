#include "core/column_hashing.hpp"

#include <cstring>
#include <limits>

namespace tessellon {
namespace {

constexpr std::int64_t INT64_LOWEST = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t INT64_HIGHEST = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t MILLIS_PER_DAY = std::int64_t{SECONDS_PER_DAY} * 1000;
// Whole milliseconds of the first and past the last supported day.
constexpr std::int64_t LOWEST_MILLIS = MIN_DAYS * MILLIS_PER_DAY;
constexpr std::int64_t HIGHEST_MILLIS = (MAX_DAYS + 1) * MILLIS_PER_DAY - 1;

constexpr std::int64_t units_per_second(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::Seconds: return 1;
        case TimeUnit::Millis: return 1'000;
        case TimeUnit::Micros: return 1'000'000;
        case TimeUnit::Nanos: return 1'000'000'000;
    }
    return 1;
}

constexpr std::int64_t nanos_per_unit(TimeUnit unit) { return 1'000'000'000 / units_per_second(unit); }

constexpr std::int64_t saturating_multiply(std::int64_t value, std::int64_t positive_factor) {
    if (value > INT64_HIGHEST / positive_factor) return INT64_HIGHEST;
    if (value < INT64_LOWEST / positive_factor) return INT64_LOWEST;
    return value * positive_factor;
}

constexpr std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > INT64_HIGHEST - b) return INT64_HIGHEST;
    if (b < 0 && a < INT64_LOWEST - b) return INT64_LOWEST;
    return a + b;
}

constexpr std::int64_t floor_divide(std::int64_t value, std::int64_t positive_divisor) {
    const std::int64_t quotient = value / positive_divisor;
    return quotient - ((value % positive_divisor) < 0 ? 1 : 0);
}

// Whole milliseconds since the epoch, rounded toward negative infinity and
// held within the supported days, so that later arithmetic cannot overflow
// and clamping stays monotone.
constexpr std::int64_t clamped_millis(std::int64_t value, TimeUnit unit) {
    std::int64_t millis = 0;
    switch (unit) {
        case TimeUnit::Seconds: millis = saturating_multiply(value, 1000); break;
        case TimeUnit::Millis: millis = value; break;
        case TimeUnit::Micros: millis = floor_divide(value, 1'000); break;
        case TimeUnit::Nanos: millis = floor_divide(value, 1'000'000); break;
    }
    return millis < LOWEST_MILLIS ? LOWEST_MILLIS : millis > HIGHEST_MILLIS ? HIGHEST_MILLIS : millis;
}

std::int64_t unix_seconds(const UtcDateTime& instant) {
    return std::int64_t{instant.days_since_epoch()} * SECONDS_PER_DAY + instant.seconds_of_day();
}

// The smallest timestamp whose instant is not before `instant`. A leap
// second sorts after every instant of its own second, so the next whole
// second is the first timestamp at or after it.
std::int64_t first_timestamp_from(const UtcDateTime& instant, TimeUnit unit) {
    const std::int64_t per_second = units_per_second(unit);
    const std::int64_t seconds = unix_seconds(instant);
    if (instant.is_leap_second()) {
        return saturating_multiply(seconds + 1, per_second);
    }
    const std::int64_t step = nanos_per_unit(unit);
    const std::int64_t part = (std::int64_t{instant.nanoseconds()} + step - 1) / step;
    return saturating_add(saturating_multiply(seconds, per_second), part);
}

// The largest timestamp whose instant is not after `instant`.
std::int64_t last_timestamp_until(const UtcDateTime& instant, TimeUnit unit) {
    const std::int64_t per_second = units_per_second(unit);
    const std::int64_t seconds = unix_seconds(instant);
    if (instant.is_leap_second()) {
        return saturating_add(saturating_multiply(seconds + 1, per_second), -1);
    }
    const std::int64_t part = std::int64_t{instant.nanoseconds()} / nanos_per_unit(unit);
    return saturating_add(saturating_multiply(seconds, per_second), part);
}

double read_coordinate(const CoordinateColumn& column, std::size_t row) {
    const std::byte* at = column.data + static_cast<std::ptrdiff_t>(row) * column.stride;
    if (column.is_float32) {
        float value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::int64_t read_timestamp(const TimestampColumn& column, std::size_t row) {
    std::int64_t value;
    std::memcpy(&value, column.data + static_cast<std::ptrdiff_t>(row) * column.stride, sizeof value);
    return value;
}

}  // namespace

const char* column_role_name(ColumnRole role) {
    switch (role) {
        case ColumnRole::Times: return "times";
        case ColumnRole::Longitudes: return "longitudes";
        case ColumnRole::Latitudes: return "latitudes";
    }
    return "?";
}

const char* time_unit_name(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::Seconds: return "s";
        case TimeUnit::Millis: return "ms";
        case TimeUnit::Micros: return "us";
        case TimeUnit::Nanos: return "ns";
    }
    return "?";
}

std::string RowError::message() const {
    std::string text = "row " + std::to_string(row) + ": ";
    if (const auto* extent = std::get_if<ExtentError>(&reason)) {
        return text + extent->message();
    }
    if (const auto* null = std::get_if<NullValue>(&reason)) {
        return text + "null value in " + column_role_name(null->column) +
               "; pass invalid=\"skip\" to give such rows a null key";
    }
    const auto& out_of_range = std::get<TimestampOutOfRange>(reason);
    return text + "timestamp " + std::to_string(out_of_range.value) + " " + time_unit_name(out_of_range.unit) +
           " lies outside the years " + std::to_string(MIN_YEAR) + " to " + std::to_string(MAX_YEAR);
}

std::optional<UtcDateTime> instant_of(std::int64_t value, TimeUnit unit) {
    const std::int64_t per_second = units_per_second(unit);
    const std::int64_t seconds = floor_divide(value, per_second);
    const std::int64_t fraction = value - seconds * per_second;
    const std::int64_t days = floor_divide(seconds, SECONDS_PER_DAY);
    if (days < MIN_DAYS || days > MAX_DAYS) {
        return std::nullopt;
    }
    return UtcDateTime::from_days(static_cast<std::int32_t>(days),
                                  static_cast<std::uint32_t>(seconds - days * SECONDS_PER_DAY),
                                  static_cast<std::uint32_t>(fraction * nanos_per_unit(unit)));
}

ColumnHasher::ColumnHasher(const Hasher& hasher) : hasher_(&hasher), start_millis_(hasher.start_millis()) {
    for (TimeUnit unit : {TimeUnit::Seconds, TimeUnit::Millis, TimeUnit::Micros, TimeUnit::Nanos}) {
        bounds_[static_cast<int>(unit)] = {first_timestamp_from(hasher.start(), unit),
                                           last_timestamp_until(hasher.end(), unit)};
    }
}

template <class Times>
std::expected<void, RowError> ColumnHasher::hash_rows(const Times& times, const CoordinateColumn& longitudes,
                                                      const CoordinateColumn& latitudes, std::size_t count,
                                                      InvalidRows mode, const KeyOutput& output,
                                                      std::size_t& null_count) const {
    if constexpr (std::is_same_v<Times, TimestampColumn>) {
        if (times.validity.bits == nullptr && longitudes.validity.bits == nullptr &&
            latitudes.validity.bits == nullptr) {
            return hash_dense_timestamps(times, longitudes, latitudes, count, mode, output, null_count);
        }
    }
    return hash_rows_one_by_one(times, longitudes, latitudes, count, mode, output, null_count);
}

// Columns without validity bitmaps, the common case: a row inside the
// extent costs a few compares and the encoding. Any other row (NaT, outside
// the extent) goes through the general loop, which decides what it becomes.
std::expected<void, RowError> ColumnHasher::hash_dense_timestamps(const TimestampColumn& times,
                                                                  const CoordinateColumn& longitudes,
                                                                  const CoordinateColumn& latitudes,
                                                                  std::size_t count, InvalidRows mode,
                                                                  const KeyOutput& output,
                                                                  std::size_t& null_count) const {
    const BoundingBox& box = hasher_->bbox();
    const UnitBounds bounds = bounds_[static_cast<int>(times.unit)];
    const bool checks_extent = mode != InvalidRows::Clamp;
    for (std::size_t row = 0; row < count; ++row) {
        const std::int64_t timestamp = read_timestamp(times, row);
        const double longitude = read_coordinate(longitudes, row);
        const double latitude = read_coordinate(latitudes, row);
        bool unusual = times.nat_is_null && timestamp == INT64_LOWEST;
        if (checks_extent) {
            // NaN coordinates compare false and pass, as they do in hash_all.
            unusual |= (timestamp < bounds.lower) | (timestamp > bounds.upper) | (latitude < box.min_latitude) |
                       (latitude > box.max_latitude) | (longitude < box.min_longitude) |
                       (longitude > box.max_longitude);
        }
        if (unusual) {
            const auto offset = static_cast<std::ptrdiff_t>(row);
            const TimestampColumn time_row{times.data + offset * times.stride, times.stride, times.unit, {},
                                           times.nat_is_null};
            const CoordinateColumn longitude_row{longitudes.data + offset * longitudes.stride, longitudes.stride,
                                                 longitudes.is_float32, {}};
            const CoordinateColumn latitude_row{latitudes.data + offset * latitudes.stride, latitudes.stride,
                                                latitudes.is_float32, {}};
            auto handled = hash_rows_one_by_one(time_row, longitude_row, latitude_row, 1, mode,
                                                KeyOutput{output.keys, output.first_row + row}, null_count);
            if (!handled) return handled;
            continue;
        }
        output.keys[output.first_row + row] = static_cast<std::int64_t>(
            interleave(hasher_->quantize_millis(clamped_millis(timestamp, times.unit), longitude, latitude)));
    }
    return {};
}

template <class Times>
std::expected<void, RowError> ColumnHasher::hash_rows_one_by_one(const Times& times,
                                                                 const CoordinateColumn& longitudes,
                                                                 const CoordinateColumn& latitudes, std::size_t count,
                                                                 InvalidRows mode, const KeyOutput& output,
                                                                 std::size_t& null_count) const {
    const BoundingBox& box = hasher_->bbox();
    for (std::size_t row = 0; row < count; ++row) {
        const auto signed_row = static_cast<std::int64_t>(row);
        const std::size_t output_row = output.first_row + row;
        // Nulls first, time before coordinates.
        std::optional<ColumnRole> null_column;
        std::int64_t timestamp = 0;
        if constexpr (std::is_same_v<Times, TimestampColumn>) {
            timestamp = read_timestamp(times, row);
            if (!times.validity.is_valid(signed_row) || (times.nat_is_null && timestamp == INT64_LOWEST)) {
                null_column = ColumnRole::Times;
            }
        }
        if (!null_column && !longitudes.validity.is_valid(signed_row)) null_column = ColumnRole::Longitudes;
        if (!null_column && !latitudes.validity.is_valid(signed_row)) null_column = ColumnRole::Latitudes;
        if (null_column) {
            if (mode != InvalidRows::Skip) {
                return std::unexpected(RowError{output_row, NullValue{*null_column}});
            }
            output.keys[output_row] = NULL_KEY;
            ++null_count;
            continue;
        }
        const double longitude = read_coordinate(longitudes, row);
        const double latitude = read_coordinate(latitudes, row);

        std::optional<RowError> outside;
        HashKey key = 0;
        if constexpr (std::is_same_v<Times, TimestampColumn>) {
            if (mode != InvalidRows::Clamp) {
                const UnitBounds& bounds = bounds_[static_cast<int>(times.unit)];
                if (timestamp < bounds.lower || timestamp > bounds.upper) {
                    auto instant = instant_of(timestamp, times.unit);
                    outside = instant ? RowError{output_row, ExtentError::datetime(*instant)}
                                      : RowError{output_row, TimestampOutOfRange{timestamp, times.unit}};
                } else if (latitude < box.min_latitude || latitude > box.max_latitude) {
                    outside = RowError{output_row, ExtentError::latitude(latitude)};
                } else if (longitude < box.min_longitude || longitude > box.max_longitude) {
                    outside = RowError{output_row, ExtentError::longitude(longitude)};
                }
            }
            if (!outside) {
                key = interleave(hasher_->quantize_millis(clamped_millis(timestamp, times.unit), longitude, latitude));
            }
        } else {
            const UtcDateTime& instant = times.data[row];
            if (mode != InvalidRows::Clamp) {
                if (auto error = hasher_->check_extent(instant, longitude, latitude)) {
                    outside = RowError{output_row, *error};
                }
            }
            if (!outside) {
                key = hasher_->encode(instant, longitude, latitude);
            }
        }
        if (outside) {
            if (mode == InvalidRows::Raise) {
                return std::unexpected(std::move(*outside));
            }
            output.keys[output_row] = NULL_KEY;
            ++null_count;
            continue;
        }
        output.keys[output_row] = static_cast<std::int64_t>(key);
    }
    return {};
}

template std::expected<void, RowError> ColumnHasher::hash_rows<TimestampColumn>(
    const TimestampColumn&, const CoordinateColumn&, const CoordinateColumn&, std::size_t, InvalidRows,
    const KeyOutput&, std::size_t&) const;
template std::expected<void, RowError> ColumnHasher::hash_rows<InstantColumn>(
    const InstantColumn&, const CoordinateColumn&, const CoordinateColumn&, std::size_t, InvalidRows,
    const KeyOutput&, std::size_t&) const;

}  // namespace tessellon
