// Shared values of the core tests: instants written as calendar readings and
// the reference day 2020-01-01 .. 2020-01-02 UTC.
#pragma once

#include <limits>

#include "core/utc_date_time.hpp"

namespace tessellon::testing_support {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

constexpr UtcDateTime utc(int y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0,
                          unsigned ns = 0) {
    return UtcDateTime::from_civil({y, mo, d}, h * 3600 + mi * 60 + s, ns);
}
constexpr UtcDateTime DAY0 = utc(2020, 1, 1);
constexpr UtcDateTime DAY1 = utc(2020, 1, 2);
constexpr UtcDateTime NOON = utc(2020, 1, 1, 12);

}  // namespace tessellon::testing_support
