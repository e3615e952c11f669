// The strict extent check of hash and its messages, and the clamping of
// hash_clamped onto the nearest point of the extent.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "core/hasher.hpp"
#include "test_support.hpp"

namespace tessellon {
namespace {

using namespace testing_support;



const Hasher WORLD(DAY0, DAY1);
const Hasher REVERSED_TIME(DAY1, DAY0);
const Hasher EAST_OF_ZERO(DAY0, DAY1, BoundingBox::from_bbox(1, -90, 10, 90));
const Hasher REVERSED_LATITUDE(DAY0, DAY1, BoundingBox::from_bbox(-180, 10, 180, -10));
const Hasher INFINITE_LONGITUDE(DAY0, DAY1, BoundingBox::from_bbox(-INF, -90, INF, 90));

using enum ExtentError::Kind;

struct ExtentCase {
    const char* label;
    const Hasher* hasher;
    UtcDateTime instant;
    double longitude;
    double latitude;
    std::optional<ExtentError::Kind> kind;  // none: the point passes
    const char* value_text;
};

constexpr ExtentCase EXTENT_CASES[] = {
    {"start", &WORLD, DAY0, 0, 0, {}, ""},
    {"end", &WORLD, DAY1, 0, 0, {}, ""},
    {"corners_south_west", &WORLD, NOON, -180, -90, {}, ""},
    {"corners_north_east", &WORLD, NOON, 180, 90, {}, ""},
    {"before_start", &WORLD, utc(2019, 12, 31, 23, 59, 59, 999'999'000), 0, 0, Datetime,
     "2019-12-31 23:59:59.999999 UTC"},
    {"after_end", &WORLD, utc(2020, 1, 2, 0, 0, 0, 1000), 0, 0, Datetime, "2020-01-02 00:00:00.000001 UTC"},
    {"hour_before", &WORLD, utc(2019, 12, 31, 23), 0, 0, Datetime, "2019-12-31 23:00:00 UTC"},
    {"latitude_95", &WORLD, NOON, 0, 95.0, Latitude, "95"},
    {"longitude_west", &WORLD, NOON, -180.5, 0, Longitude, "-180.5"},
    {"all_outside", &WORLD, utc(2021, 1, 1), 200, 100, Datetime, "2021-01-01 00:00:00 UTC"},
    {"latitude_before_longitude", &WORLD, NOON, 200, -100, Latitude, "-100"},
    {"nan_latitude", &WORLD, NOON, 0, NaN, {}, ""},
    {"nan_longitude", &WORLD, NOON, NaN, 0, {}, ""},
    {"latitude_inf", &WORLD, NOON, 0, INF, Latitude, "inf"},
    {"latitude_minus_inf", &WORLD, NOON, 0, -INF, Latitude, "-inf"},
    {"longitude_inf", &WORLD, NOON, INF, 0, Longitude, "inf"},
    {"longitude_negative_zero", &EAST_OF_ZERO, NOON, -0.0, 0, Longitude, "-0"},
    {"reversed_time_start", &REVERSED_TIME, DAY1, 0, 0, Datetime, "2020-01-02 00:00:00 UTC"},
    {"reversed_time_middle", &REVERSED_TIME, NOON, 0, 0, Datetime, "2020-01-01 12:00:00 UTC"},
    {"reversed_latitude_zero", &REVERSED_LATITUDE, NOON, 0, 0, Latitude, "0"},
    {"reversed_latitude_bound", &REVERSED_LATITUDE, NOON, 0, 10, Latitude, "10"},
    {"reversed_latitude_nan", &REVERSED_LATITUDE, NOON, 0, NaN, {}, ""},
    {"infinite_bound", &INFINITE_LONGITUDE, NOON, -INF, 0, {}, ""},
};

void PrintTo(const ExtentCase& c, std::ostream* os) { *os << c.label; }

class ExtentTest : public testing::TestWithParam<ExtentCase> {};

// Indexed by ExtentError::Kind.
constexpr const char* MESSAGE_PREFIXES[] = {
    "datetime outside of the hasher's temporal extent: ",
    "latitude outside of the hasher's spatial extent: ",
    "longitude outside of the hasher's spatial extent: ",
};

TEST_P(ExtentTest, CheckHashAndMessage) {
    const ExtentCase& c = GetParam();
    const Hasher& hasher = *c.hasher;
    const auto error = hasher.check_extent(c.instant, c.longitude, c.latitude);
    const auto key = hasher.hash(c.instant, c.longitude, c.latitude);
    if (!c.kind) {
        EXPECT_FALSE(error) << error->message();
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(*key, hasher.encode(c.instant, c.longitude, c.latitude));
        EXPECT_EQ(*key, hasher.hash_clamped(c.instant, c.longitude, c.latitude));
        return;
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, *c.kind == Datetime   ? ExtentError::datetime(c.instant)
                      : *c.kind == Latitude ? ExtentError::latitude(c.latitude)
                                            : ExtentError::longitude(c.longitude));
    EXPECT_EQ(error->message(), std::string(MESSAGE_PREFIXES[static_cast<int>(*c.kind)]) + c.value_text);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error(), *error);
}

INSTANTIATE_TEST_SUITE_P(Examples, ExtentTest, testing::ValuesIn(EXTENT_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(HashClamped, EqualsHashOfNearestPoint) {
    struct Case {
        UtcDateTime instant;
        double longitude, latitude;
        UtcDateTime nearest_instant;
        double nearest_longitude, nearest_latitude;
    };
    const Case cases[] = {
        {utc(1900, 1, 1), -500, -91, DAY0, -180, -90},
        {utc(3000, 1, 1), 181, 90.5, DAY1, 180, 90},
        {NOON, -INF, INF, NOON, -180, 90},
        {utc(2020, 1, 2, 0, 0, 0, 1000), 12.5, -1e300, DAY1, 12.5, -90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(format_instant(c.instant));
        ASSERT_TRUE(WORLD.check_extent(c.instant, c.longitude, c.latitude).has_value());
        EXPECT_EQ(WORLD.hash_clamped(c.instant, c.longitude, c.latitude),
                  WORLD.hash(c.nearest_instant, c.nearest_longitude, c.nearest_latitude).value());
    }
}

}  // namespace
}  // namespace tessellon
