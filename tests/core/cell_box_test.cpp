// Windows to cell boxes: every point of a window, hashed with clamping, lands
// in the boxes (so in the query and its ranges), on ordinary, reversed,
// degenerate, NaN and infinite extents, across the antimeridian and through
// leap seconds; and the boxes are no larger than the window's corners need.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

#include "core/cell_box.hpp"
#include "core/key_bits.hpp"
#include "core/key_query.hpp"
#include "test_support.hpp"

namespace tessellon {
namespace {

using namespace testing_support;

constexpr std::int64_t MILLIS_PER_DAY = 86'400'000;

UtcDateTime at_millis(std::int64_t millis) {
    const std::int64_t days = millis / MILLIS_PER_DAY - (millis % MILLIS_PER_DAY < 0);
    const std::int64_t rest = millis - days * MILLIS_PER_DAY;
    return UtcDateTime::from_days(static_cast<std::int32_t>(days), static_cast<std::uint32_t>(rest / 1000),
                                  static_cast<std::uint32_t>(rest % 1000) * 1'000'000);
}

struct Extent {
    const char* label;
    UtcDateTime start;
    UtcDateTime end;
    std::optional<BoundingBox> box;
};

const Extent EXTENTS[] = {
    {"world_day", DAY0, DAY1, std::nullopt},
    {"paris_two_hours", utc(2024, 5, 1, 8), utc(2024, 5, 1, 10), BoundingBox::from_bbox(2.20, 48.80, 2.45, 48.92)},
    {"reversed_time", DAY1, DAY0, std::nullopt},
    {"reversed_box", DAY0, DAY1, BoundingBox::from_bbox(10, 50, -10, -50)},
    {"zero_span", NOON, NOON, BoundingBox::from_bbox(5, 5, 5, 5)},
    {"short_span", DAY0, utc(2020, 1, 1, 0, 0, 1), std::nullopt},
    {"nan_bound", DAY0, DAY1, BoundingBox::from_bbox(NaN, -90, 180, NaN)},
    {"infinite_bound", DAY0, DAY1, BoundingBox::from_bbox(-INF, -90, 180, INF)},
    {"huge_span", DAY0, DAY1, BoundingBox::from_bbox(-1e308, -1e308, 1e308, 1e308)},
};

void PrintTo(const Extent& e, std::ostream* os) { *os << e.label; }

class WindowCompleteness : public testing::TestWithParam<Extent> {};

TEST_P(WindowCompleteness, EveryPointOfTheWindowIsInside) {
    const Extent& extent = GetParam();
    const Hasher hasher(extent.start, extent.end, extent.box);
    std::mt19937_64 random(17);
    std::uniform_int_distribution<std::int64_t> millis(DAY0.unix_millis() - MILLIS_PER_DAY,
                                                       DAY1.unix_millis() + 200 * MILLIS_PER_DAY);
    std::uniform_real_distribution<double> longitude(-200, 200), latitude(-100, 100), unit(0, 1);
    const double specials[] = {-INF, INF, 2.2, 2.45, 48.8, 48.92, 10, -10, 50, -50, 5, 180, -180, 90, -90};
    std::uniform_int_distribution<std::size_t> special(0, std::size(specials) - 1);
    const auto bound = [&](auto& distribution) { return unit(random) < 0.3 ? specials[special(random)] : distribution(random); };
    for (int round = 0; round < 300; ++round) {
        std::int64_t a = millis(random), b = millis(random);
        if (round % 3 == 0) {  // short windows near the extent
            a = extent.start.unix_millis() + (a % 7'200'000);
            b = a + (b % 3'600'000 + 3'600'000) % 3'600'000;
        }
        double west = bound(longitude), east = bound(longitude), south = bound(latitude), north = bound(latitude);
        if (south > north) {
            std::swap(south, north);
        }
        const QueryWindow window{at_millis(std::min(a, b)), at_millis(std::max(a, b)), west, south, east, north};
        const auto boxes = cell_boxes(hasher, window);
        ASSERT_TRUE(boxes.has_value());
        ASSERT_TRUE(boxes->size() == 1 || (boxes->size() == 2 && west > east));
        const KeyQuery query(*boxes);
        const std::vector<KeyRange> ranges = query.ranges(16);
        const auto in_ranges = [&](HashKey key) {
            const auto after = std::ranges::upper_bound(ranges, key, {}, &KeyRange::first);
            return after != ranges.begin() && key <= (after - 1)->last;
        };
        const std::int64_t first = window.start.unix_millis(), last = window.end.unix_millis();
        for (int point = 0; point < 40; ++point) {
            const std::int64_t t = point < 2 ? (point == 0 ? first : last)
                                             : std::uniform_int_distribution<std::int64_t>(first, last)(random);
            double lon = 0;
            if (west <= east) {
                lon = point % 4 == 0 ? west : point % 4 == 1 ? east : west + (east - west) * unit(random);
            } else {  // beyond west, or before east
                lon = point % 2 == 0 ? (point % 4 == 0 ? west : std::max(west, 180 * unit(random) + west))
                                     : (point % 4 == 1 ? east : std::min(east, east - 180 * unit(random)));
            }
            const double lat = point % 3 == 0 ? south : point % 3 == 1 ? north : south + (north - south) * unit(random);
            if (std::isnan(lon) || std::isnan(lat)) {
                continue;  // inf - inf: no point to try
            }
            const HashKey key = hasher.hash_clamped(at_millis(t), lon, lat);
            ASSERT_TRUE(query.contains(key)) << "t " << t << " lon " << lon << " lat " << lat;
            ASSERT_TRUE(in_ranges(key));
        }
        // No larger than needed: each box bound is the cell of a window corner.
        const AxisCells low = hasher.quantize_point(window.start, west, south);
        const AxisCells high = hasher.quantize_point(window.end, east, north);
        const CellBox& box = boxes->front();
        EXPECT_EQ(box.time.first, std::min(low.time, high.time));
        EXPECT_EQ(box.time.last, std::max(low.time, high.time));
        EXPECT_EQ(box.latitude.first, std::min(low.latitude, high.latitude));
        EXPECT_EQ(box.latitude.last, std::max(low.latitude, high.latitude));
        if (west <= east) {
            EXPECT_EQ(box.longitude.first, std::min(low.longitude, high.longitude));
            EXPECT_EQ(box.longitude.last, std::max(low.longitude, high.longitude));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Extents, WindowCompleteness, testing::ValuesIn(EXTENTS),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CellBoxes, AntimeridianWindowIsTwoBoxes) {
    const Hasher hasher(DAY0, DAY1);
    const auto boxes = cell_boxes(hasher, {DAY0, DAY1, 170, -10, -170, 10});
    ASSERT_TRUE(boxes.has_value());
    ASSERT_EQ(boxes->size(), 2u);
    const KeyQuery query(*boxes);
    for (double lon : {170.0, 175.0, 180.0, INF, -180.0, -175.0, -170.0, -INF}) {
        EXPECT_TRUE(query.contains(hasher.hash_clamped(NOON, lon, 0))) << lon;
    }
    for (double lon : {169.9, 0.0, -169.9}) {
        EXPECT_FALSE(query.contains(hasher.hash_clamped(NOON, lon, 0))) << lon;
    }
    EXPECT_FALSE(query.contains(hasher.hash_clamped(NOON, 175, 11)));
}

TEST(CellBoxes, TouchingAntimeridianBoxesMerge) {
    // On a narrow extent the gap between east and west holds no cell of its own.
    const Hasher hasher(DAY0, DAY1, BoundingBox::from_bbox(0, 0, 1e-300, 1));
    const auto boxes = cell_boxes(hasher, {DAY0, DAY1, 1e-310, 0, 0.0, 1});
    ASSERT_TRUE(boxes.has_value());
    ASSERT_EQ(boxes->size(), 1u);
    EXPECT_EQ(boxes->front().longitude, (AxisRange{0, AXIS_MAX}));
    // A window wrapping beyond a whole extent.
    const Hasher paris(DAY0, DAY1, BoundingBox::from_bbox(2.2, 48.8, 2.45, 48.92));
    const auto wrapped = cell_boxes(paris, {DAY0, DAY1, 2.3, 48.8, 2.3, 48.9});
    ASSERT_TRUE(wrapped.has_value());
    EXPECT_EQ(wrapped->size(), 1u);
}

TEST(CellBoxes, Errors) {
    const Hasher hasher(DAY0, DAY1);
    EXPECT_EQ(cell_boxes(hasher, {DAY1, DAY0, 0, 0, 1, 1}).error(), WindowError::StartAfterEnd);
    EXPECT_EQ(cell_boxes(hasher, {DAY0, DAY1, NaN, 0, 1, 1}).error(), WindowError::NaNBound);
    EXPECT_EQ(cell_boxes(hasher, {DAY1, DAY0, 0, 0, 1, NaN}).error(), WindowError::NaNBound);
    EXPECT_EQ(cell_boxes(hasher, {DAY0, DAY1, 0, 2, 1, 1}).error(), WindowError::SouthAboveNorth);
    EXPECT_TRUE(cell_boxes(hasher, {DAY0, DAY0, 1, 1, 1, 1}).has_value());  // a single instant and point
}

TEST(CellBoxes, LeapSecondMillisecondsAreTakenIn) {
    // A one-second extent just after a leap second: cells are 0.5 ms wide.
    const Hasher hasher(utc(2020, 1, 2), utc(2020, 1, 2, 0, 0, 1));
    const UtcDateTime in_leap = utc(2020, 1, 1, 23, 59, 59, 1'600'000'000);  // milliseconds of 00:00:00.600
    const UtcDateTime after = utc(2020, 1, 2, 0, 0, 0, 100'000'000);
    struct Case {
        QueryWindow window;
        UtcDateTime inside;
    };
    const Case cases[] = {
        {{in_leap, utc(2020, 1, 2, 0, 0, 0, 900'000'000), 0, 0, 0, 0}, after},    // starts in the leap second
        {{utc(2020, 1, 1, 23, 59, 59, 1'000'000'000), after, 0, 0, 0, 0}, in_leap},  // ends after it
    };
    for (const Case& c : cases) {
        const auto boxes = cell_boxes(hasher, c.window);
        ASSERT_TRUE(boxes.has_value());
        EXPECT_TRUE(KeyQuery(*boxes).contains(hasher.hash_clamped(c.inside, 0, 0)));
    }
}

}  // namespace
}  // namespace tessellon
