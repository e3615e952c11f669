// The error of a point outside a hasher's extent, and the text forms in which
// its values are shown.
#pragma once

#include <string>

#include "core/utc_date_time.hpp"

namespace tessellon {

class ExtentError {
public:
    enum class Kind { Datetime, Latitude, Longitude };

    static constexpr ExtentError datetime(const UtcDateTime& instant) { return {Kind::Datetime, instant, 0.0}; }
    static constexpr ExtentError latitude(double value) { return {Kind::Latitude, {}, value}; }
    static constexpr ExtentError longitude(double value) { return {Kind::Longitude, {}, value}; }

    constexpr Kind kind() const { return kind_; }
    constexpr const UtcDateTime& instant() const { return instant_; }
    constexpr double coordinate() const { return coordinate_; }

    std::string message() const;

    friend constexpr bool operator==(const ExtentError&, const ExtentError&) = default;

private:
    constexpr ExtentError(Kind kind, const UtcDateTime& instant, double coordinate)
        : kind_(kind), instant_(instant), coordinate_(coordinate) {}

    Kind kind_;
    UtcDateTime instant_;  // meaningful for Kind::Datetime only
    double coordinate_;    // meaningful for Kind::Latitude and Kind::Longitude
};

// "2021-03-04 05:06:07.500 UTC"; years outside 0..9999 carry a sign and at
// least four digits, and a leap second shows as :60.
std::string format_instant(const UtcDateTime& instant);

// Shortest round-trip digits in plain positional notation: "95", "0.0000001",
// "-0", "NaN", "inf", "-inf".
std::string format_double(double value);

}  // namespace tessellon
