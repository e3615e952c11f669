// The hasher: a temporal and spatial extent that turns (instant, longitude,
// latitude) into a sortable 63-bit Z-order key.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "core/batch_error.hpp"
#include "core/bulk_allocator.hpp"
#include "core/extent_error.hpp"
#include "core/utc_date_time.hpp"

namespace tessellon {

// Bits 0..62 carry the interleaved dimensions; bit 63 is always 0.
using HashKey = std::uint64_t;

inline constexpr unsigned AXIS_BITS = 21;
inline constexpr std::uint32_t AXIS_MAX = (1u << AXIS_BITS) - 1;

// One result of hash_all: a key, or empty for a skipped item. Keys never use
// bit 63, so an all-ones word marks the empty slot without extra storage.
class HashSlot {
public:
    static constexpr HashSlot empty() { return HashSlot(EMPTY_BITS); }
    static constexpr HashSlot of(HashKey key) { return HashSlot(key); }
    constexpr bool has_key() const { return bits_ != EMPTY_BITS; }
    constexpr HashKey key() const { return bits_; }

private:
    static constexpr std::uint64_t EMPTY_BITS = ~std::uint64_t{0};
    constexpr explicit HashSlot(std::uint64_t bits) : bits_(bits) {}
    std::uint64_t bits_;
};

struct BoundingBox {
    double min_longitude;
    double max_longitude;
    double longitude_span;
    double min_latitude;
    double max_latitude;
    double latitude_span;

    static constexpr BoundingBox world() { return {-180.0, 180.0, 360.0, -90.0, 90.0, 180.0}; }

    // Takes the numbers in the order of the Python bbox tuple; checks nothing.
    static constexpr BoundingBox from_bbox(double west, double south, double east, double north) {
        return {west, east, east - west, south, north, north - south};
    }
};

// The quantised position of one point on each axis, 0..AXIS_MAX.
struct AxisCells {
    std::uint32_t time;
    std::uint32_t latitude;
    std::uint32_t longitude;
};

// Maps a normalised value onto 0..AXIS_MAX, clamping below 0 and above 1;
// NaN and -0.0 give 0.
std::uint32_t quantize(double normalized);

// Bit k of longitude, latitude and time goes to key bit 3k, 3k+1 and 3k+2.
// Uses BMI2 pdep where it is fast, else interleave_portable.
HashKey interleave(const AxisCells& cells);
HashKey interleave_portable(const AxisCells& cells);

class Hasher {
public:
    Hasher(const UtcDateTime& start, const UtcDateTime& end, const std::optional<BoundingBox>& bbox = std::nullopt);

    // Clamps every dimension onto the extent; never fails.
    HashKey encode(const UtcDateTime& instant, double longitude, double latitude) const;
    AxisCells quantize_point(const UtcDateTime& instant, double longitude, double latitude) const;
    // The same quantisation from whole milliseconds since the Unix epoch.
    AxisCells quantize_millis(std::int64_t unix_millis, double longitude, double latitude) const;

    // Checks datetime, then latitude, then longitude; bounds are inclusive and
    // NaN coordinates pass.
    std::optional<ExtentError> check_extent(const UtcDateTime& instant, double longitude, double latitude) const;

    std::expected<HashKey, ExtentError> hash(const UtcDateTime& instant, double longitude, double latitude) const;
    HashKey hash_clamped(const UtcDateTime& instant, double longitude, double latitude) const;

    std::expected<BulkVector<HashSlot>, BatchError> hash_all(std::span<const UtcDateTime> instants,
                                                              std::span<const double> longitudes,
                                                              std::span<const double> latitudes,
                                                              bool skip_invalid) const;
    std::expected<BulkVector<HashKey>, BatchError> hash_all_clamped(std::span<const UtcDateTime> instants,
                                                                     std::span<const double> longitudes,
                                                                     std::span<const double> latitudes) const;

    double span_ms() const { return span_ms_; }
    const BoundingBox& bbox() const { return bbox_; }
    const UtcDateTime& start() const { return start_; }
    const UtcDateTime& end() const { return end_; }
    std::int64_t start_millis() const { return start_millis_; }

private:
    double span_ms_;
    BoundingBox bbox_;
    UtcDateTime start_;
    UtcDateTime end_;
    std::int64_t start_millis_;  // unix_millis of start, derived once
};

}  // namespace tessellon
