// The text forms in which instants and coordinates appear in messages.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "core/extent_error.hpp"
#include "test_support.hpp"

namespace tessellon {
namespace {

std::string zeros(std::size_t count) { return std::string(count, '0'); }

using testing_support::utc;

TEST(FormatInstant, Table) {
    const std::pair<UtcDateTime, const char*> cases[] = {
        {utc(2020, 1, 1), "2020-01-01 00:00:00 UTC"},
        {utc(2021, 3, 4, 5, 6, 7, 500'000'000), "2021-03-04 05:06:07.500 UTC"},
        {utc(2021, 3, 4, 5, 6, 7, 5'000'000), "2021-03-04 05:06:07.005 UTC"},
        {utc(2021, 3, 4, 5, 6, 7, 123'456'000), "2021-03-04 05:06:07.123456 UTC"},
        {utc(2021, 3, 4, 5, 6, 7, 1), "2021-03-04 05:06:07.000000001 UTC"},
        {utc(2021, 3, 4, 5, 6, 7, 120'000'010), "2021-03-04 05:06:07.120000010 UTC"},
        {utc(0, 12, 31, 23), "0000-12-31 23:00:00 UTC"},
        {utc(1, 2, 3), "0001-02-03 00:00:00 UTC"},
        {utc(9999, 12, 31, 23, 59, 59), "9999-12-31 23:59:59 UTC"},
        {utc(10000, 1, 1, 4), "+10000-01-01 04:00:00 UTC"},
        {utc(-1, 6, 15, 10, 20, 30), "-0001-06-15 10:20:30 UTC"},
        {utc(-12345, 2, 28), "-12345-02-28 00:00:00 UTC"},
        {utc(MIN_YEAR, 1, 1), "-262143-01-01 00:00:00 UTC"},
        {utc(MAX_YEAR, 12, 31, 23, 59, 59, 999'999'999), "+262142-12-31 23:59:59.999999999 UTC"},
        {utc(2016, 12, 31, 23, 59, 59, 1'000'000'000), "2016-12-31 23:59:60 UTC"},
        {utc(2016, 12, 31, 23, 59, 59, 1'500'000'000), "2016-12-31 23:59:60.500 UTC"},
        {utc(2016, 12, 31, 12, 34, 59, 1'000'001'000), "2016-12-31 12:34:60.000001 UTC"},
    };
    for (const auto& [instant, text] : cases) {
        EXPECT_EQ(format_instant(instant), text);
    }
}

TEST(FormatDouble, Table) {
    constexpr double INF = std::numeric_limits<double>::infinity();
    const std::pair<double, std::string> cases[] = {
        {95.0, "95"},
        {95.5, "95.5"},
        {-180.0, "-180"},
        {180.00000000000003, "180.00000000000003"},
        {0.1, "0.1"},
        {1e-7, "0.0000001"},
        {-1e-5, "-0.00001"},
        {123.456, "123.456"},
        {0.30000000000000004, "0.30000000000000004"},
        {1e300, "1" + zeros(300)},
        {1e23, "1" + zeros(23)},
        {1.2345678901234568e20, "123456789012345680000"},
        {9007199254740993.0, "9007199254740992"},
        {std::numeric_limits<double>::max(), "17976931348623157" + zeros(292)},
        {std::numeric_limits<double>::min(), "0." + zeros(307) + "22250738585072014"},
        {std::numeric_limits<double>::denorm_min(), "0." + zeros(323) + "5"},
        {-3 * std::numeric_limits<double>::denorm_min(), "-0." + zeros(322) + "15"},
        {1e-310, "0." + zeros(309) + "1"},
        {0.0, "0"},
        {-0.0, "-0"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {INF, "inf"},
        {-INF, "-inf"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(format_double(value), text);
    }
}

// Any finite double: positional digits that read back as the same value,
// with fewer significant digits never enough.
TEST(FormatDouble, ShortestPositionalRoundTrip) {
    std::mt19937_64 random(3);
    for (int i = 0; i < 20'000; ++i) {
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value) || value == 0) {
            continue;
        }
        const std::string text = format_double(value);
        ASSERT_EQ(text.find_first_not_of("-.0123456789"), std::string::npos) << text;
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        std::string digits;
        for (char c : text) {
            if (c >= '0' && c <= '9' && (c != '0' || !digits.empty())) {
                digits.push_back(c);
            }
        }
        const auto significant = static_cast<int>(digits.find_last_not_of('0') + 1);
        if (significant > 1) {
            char shorter[64];
            std::snprintf(shorter, sizeof shorter, "%.*e", significant - 2, value);
            ASSERT_NE(std::strtod(shorter, nullptr), value) << text << " vs " << shorter;
        }
    }
}

}  // namespace
}  // namespace tessellon
