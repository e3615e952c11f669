// Why a batch was refused: unequal sequence lengths, or the first item
// outside the extent.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "core/extent_error.hpp"

namespace tessellon {

struct LengthMismatch {
    std::size_t datetimes;
    std::size_t longitudes;
    std::size_t latitudes;

    friend bool operator==(const LengthMismatch&, const LengthMismatch&) = default;
};

struct ItemOutOfExtent {
    std::size_t index;
    ExtentError error;

    friend bool operator==(const ItemOutOfExtent&, const ItemOutOfExtent&) = default;
};

class BatchError {
public:
    BatchError(LengthMismatch reason) : reason_(reason) {}
    BatchError(ItemOutOfExtent reason) : reason_(reason) {}

    const std::variant<LengthMismatch, ItemOutOfExtent>& reason() const { return reason_; }

    std::string message() const;

    friend bool operator==(const BatchError&, const BatchError&) = default;

private:
    std::variant<LengthMismatch, ItemOutOfExtent> reason_;
};

}  // namespace tessellon
