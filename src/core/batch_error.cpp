#include "core/batch_error.hpp"

namespace tessellon {

std::string BatchError::message() const {
    if (const auto* mismatch = std::get_if<LengthMismatch>(&reason_)) {
        return "sequences must be the same length: " + std::to_string(mismatch->datetimes) + " datetimes, " +
               std::to_string(mismatch->longitudes) + " longitudes, " + std::to_string(mismatch->latitudes) +
               " latitudes";
    }
    const auto& item = std::get<ItemOutOfExtent>(reason_);
    return "item " + std::to_string(item.index) + ": " + item.error.message();
}

}  // namespace tessellon
