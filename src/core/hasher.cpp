#include "core/hasher.hpp"

namespace tessellon {

Hasher::Hasher(const UtcDateTime& start, const UtcDateTime& end, const std::optional<BoundingBox>& bbox)
    : span_ms_(static_cast<double>(span_millis(start, end))),
      bbox_(bbox.value_or(BoundingBox::world())),
      start_(start),
      end_(end),
      start_millis_(start.unix_millis()) {}

AxisCells Hasher::quantize_point(const UtcDateTime& instant, double longitude, double latitude) const {
    return quantize_millis(instant.unix_millis(), longitude, latitude);
}

AxisCells Hasher::quantize_millis(std::int64_t unix_millis, double longitude, double latitude) const {
    const auto offset_ms = static_cast<double>(unix_millis - start_millis_);
    return AxisCells{
        .time = quantize(offset_ms / span_ms_),
        .latitude = quantize((latitude - bbox_.min_latitude) / bbox_.latitude_span),
        .longitude = quantize((longitude - bbox_.min_longitude) / bbox_.longitude_span),
    };
}

HashKey Hasher::encode(const UtcDateTime& instant, double longitude, double latitude) const {
    return interleave(quantize_point(instant, longitude, latitude));
}

std::optional<ExtentError> Hasher::check_extent(const UtcDateTime& instant, double longitude,
                                                double latitude) const {
    if (instant < start_ || instant > end_) {
        return ExtentError::datetime(instant);
    }
    if (latitude < bbox_.min_latitude || latitude > bbox_.max_latitude) {
        return ExtentError::latitude(latitude);
    }
    if (longitude < bbox_.min_longitude || longitude > bbox_.max_longitude) {
        return ExtentError::longitude(longitude);
    }
    return std::nullopt;
}

std::expected<HashKey, ExtentError> Hasher::hash(const UtcDateTime& instant, double longitude,
                                                 double latitude) const {
    if (auto error = check_extent(instant, longitude, latitude)) {
        return std::unexpected(*error);
    }
    return encode(instant, longitude, latitude);
}

HashKey Hasher::hash_clamped(const UtcDateTime& instant, double longitude, double latitude) const {
    return encode(instant, longitude, latitude);
}

}  // namespace tessellon
