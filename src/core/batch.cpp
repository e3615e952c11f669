#include "core/hasher.hpp"

namespace tessellon {
namespace {

std::optional<BatchError> check_lengths(std::span<const UtcDateTime> instants, std::span<const double> longitudes,
                                        std::span<const double> latitudes) {
    if (instants.size() != longitudes.size() || instants.size() != latitudes.size()) {
        return BatchError(LengthMismatch{instants.size(), longitudes.size(), latitudes.size()});
    }
    return std::nullopt;
}

}  // namespace

std::expected<BulkVector<HashSlot>, BatchError> Hasher::hash_all(std::span<const UtcDateTime> instants,
                                                                  std::span<const double> longitudes,
                                                                  std::span<const double> latitudes,
                                                                  bool skip_invalid) const {
    if (auto error = check_lengths(instants, longitudes, latitudes)) {
        return std::unexpected(std::move(*error));
    }
    BulkVector<HashSlot> slots;
    slots.reserve(instants.size());
    for (std::size_t i = 0; i < instants.size(); ++i) {
        auto key = hash(instants[i], longitudes[i], latitudes[i]);
        if (key) {
            slots.push_back(HashSlot::of(*key));
        } else if (skip_invalid) {
            slots.push_back(HashSlot::empty());
        } else {
            return std::unexpected(BatchError(ItemOutOfExtent{i, key.error()}));
        }
    }
    return slots;
}

std::expected<BulkVector<HashKey>, BatchError> Hasher::hash_all_clamped(std::span<const UtcDateTime> instants,
                                                                         std::span<const double> longitudes,
                                                                         std::span<const double> latitudes) const {
    if (auto error = check_lengths(instants, longitudes, latitudes)) {
        return std::unexpected(std::move(*error));
    }
    BulkVector<HashKey> keys(instants.size());
    for (std::size_t i = 0; i < instants.size(); ++i) {
        keys[i] = encode(instants[i], longitudes[i], latitudes[i]);
    }
    return keys;
}

}  // namespace tessellon
