// Cell regions and centres: every point that hashes to a key lies in its
// region, the values just beyond each bound hash elsewhere, and centres
// hash back to their key.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>

#include "core/decode.hpp"
#include "core/key_bits.hpp"
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
    {"world_year", utc(2023, 1, 1), utc(2024, 1, 1), std::nullopt},
    {"paris_two_hours", utc(2024, 5, 1, 8), utc(2024, 5, 1, 10), BoundingBox::from_bbox(2.20, 48.80, 2.45, 48.92)},
    {"reversed", DAY1, DAY0, BoundingBox::from_bbox(10, 50, -10, -50)},
    {"short_span", DAY0, utc(2020, 1, 1, 0, 0, 1), std::nullopt},
    {"zero_span", NOON, NOON, BoundingBox::from_bbox(5, 5, 5, 5)},
};

void PrintTo(const Extent& e, std::ostream* os) { *os << e.label; }

class CellRegions : public testing::TestWithParam<Extent> {};

TEST_P(CellRegions, BoundsAreExact) {
    const Extent& extent = GetParam();
    const Hasher hasher(extent.start, extent.end, extent.box);
    std::mt19937_64 random(23);
    std::uniform_int_distribution<std::int64_t> millis(extent.start.unix_millis() - 1000,
                                                       extent.start.unix_millis() + 40 * MILLIS_PER_DAY);
    std::uniform_real_distribution<double> longitude(-15, 15), latitude(-60, 60);
    for (int round = 0; round < 150; ++round) {
        // Keys of real points, so the region is never empty, boundary cells included.
        const double lon = round % 10 == 0 ? -INF : longitude(random);
        const double lat = round % 10 == 1 ? INF : latitude(random);
        const HashKey key = hasher.hash_clamped(at_millis(millis(random)), lon, lat);
        const AxisCells cells = deinterleave(key);
        const CellRegion region = cell_region(hasher, key);
        SCOPED_TRACE(testing::Message() << key << " t " << region.first_millis << ".." << region.last_millis << " lon "
                                        << region.west << ".." << region.east << " lat " << region.south << ".."
                                        << region.north);
        ASSERT_LE(region.first_millis, region.last_millis);
        ASSERT_LE(region.west, region.east);
        ASSERT_LE(region.south, region.north);
        const auto time_cell = [&](std::int64_t m) { return hasher.quantize_point(at_millis(m), 0, 0).time; };
        const auto lon_cell = [&](double v) { return hasher.quantize_point(DAY0, v, 0).longitude; };
        const auto lat_cell = [&](double v) { return hasher.quantize_point(DAY0, 0, v).latitude; };
        EXPECT_EQ(time_cell(region.first_millis), cells.time);
        EXPECT_EQ(time_cell(region.last_millis), cells.time);
        EXPECT_EQ(time_cell((region.first_millis + region.last_millis) / 2), cells.time);
        if (region.first_millis > -8'000'000'000'000'000) {
            EXPECT_NE(time_cell(region.first_millis - 1), cells.time);
        }
        if (region.last_millis < 8'000'000'000'000'000) {
            EXPECT_NE(time_cell(region.last_millis + 1), cells.time);
        }
        const auto check_axis = [&](double low, double high, std::uint32_t cell, auto cell_of) {
            EXPECT_EQ(cell_of(low), cell);
            EXPECT_EQ(cell_of(high), cell);
            if (std::isfinite(low) && std::isfinite(high)) {
                EXPECT_EQ(cell_of(low + (high - low) / 2), cell);
            }
            if (low != -INF) {
                EXPECT_NE(cell_of(std::nextafter(low, -INF)), cell);
            }
            if (high != INF) {
                EXPECT_NE(cell_of(std::nextafter(high, INF)), cell);
            }
        };
        check_axis(region.west, region.east, cells.longitude, lon_cell);
        check_axis(region.south, region.north, cells.latitude, lat_cell);
    }
}

INSTANTIATE_TEST_SUITE_P(Extents, CellRegions, testing::ValuesIn(EXTENTS),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CellRegion, UnreachedCellIsEmpty) {
    // One second over 2^21 cells: most time cells hold no whole millisecond.
    const Hasher hasher(DAY0, utc(2020, 1, 1, 0, 0, 1));
    const CellRegion region = cell_region(hasher, key_of_cells(1, 0, 0));
    EXPECT_GT(region.first_millis, region.last_millis);
    const Hasher point(NOON, NOON, BoundingBox::from_bbox(5, 5, 5, 5));
    const CellRegion middle = cell_region(point, key_of_cells(0, 1000, 1000));
    EXPECT_GT(middle.west, middle.east);
    EXPECT_GT(middle.south, middle.north);
}

TEST(CellRegion, WorldEdgesReachInfinity) {
    const Hasher hasher(DAY0, DAY1);
    const CellRegion first = cell_region(hasher, 0);
    EXPECT_EQ(first.west, -INF);
    EXPECT_EQ(first.south, -INF);
    EXPECT_LT(first.east, -179.99);
    const CellRegion last = cell_region(hasher, ALL_KEY_BITS);
    // The last cell is the edge, what rounds up onto it, and what clamps onto it.
    EXPECT_LE(last.west, 180.0);
    EXPECT_GT(last.west, 179.999999);
    EXPECT_EQ(last.east, INF);
    EXPECT_EQ(last.first_millis, DAY1.unix_millis());
}

TEST(DecodeCentres, CentresHashBackToTheirKey) {
    const Hasher hasher(utc(2023, 1, 1), utc(2024, 1, 1));
    std::mt19937_64 random(29);
    std::uniform_int_distribution<std::uint32_t> cell(0, AXIS_MAX);
    std::vector<std::int64_t> keys;
    for (int i = 0; i < 1000; ++i) {
        keys.push_back(static_cast<std::int64_t>(key_of_cells(cell(random), cell(random), cell(random))));
    }
    keys.push_back(0);
    keys.push_back(static_cast<std::int64_t>(ALL_KEY_BITS));
    std::vector<CellCentre> centres(keys.size());
    decode_centres(hasher, keys, centres.data());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const CellRegion region = cell_region(hasher, static_cast<HashKey>(keys[i]));
        const CellCentre& c = centres[i];
        EXPECT_GE(c.longitude, region.west);
        EXPECT_LE(c.longitude, region.east);
        EXPECT_GE(c.latitude, region.south);
        EXPECT_LE(c.latitude, region.north);
        EXPECT_GE(std::floor(c.unix_millis), static_cast<double>(region.first_millis));
        EXPECT_LE(std::floor(c.unix_millis), static_cast<double>(region.last_millis));
    }
    EXPECT_EQ(centres[keys.size() - 1].longitude, 180.0);
}

}  // namespace
}  // namespace tessellon
