// Keys, cells and span_ms of the encoder on the reference extents: the world
// box over 2020-01-01 .. 2020-01-02 unless a case says otherwise.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "core/hasher.hpp"
#include "test_support.hpp"

namespace tessellon {
namespace {

using namespace testing_support;

constexpr std::uint32_t M = AXIS_MAX;
constexpr std::uint32_t HALF = 1048575;


struct Extent {
    UtcDateTime start;
    UtcDateTime end;
    std::optional<BoundingBox> box;
    Hasher hasher() const { return Hasher(start, end, box); }
};
constexpr Extent WORLD{DAY0, DAY1, std::nullopt};
constexpr Extent ZERO_SPAN{DAY0, DAY0, std::nullopt};
constexpr Extent SPAN_999{utc(2020, 1, 1, 0, 0, 0, 900'000), utc(2020, 1, 1, 0, 0, 1, 100'000), std::nullopt};
constexpr Extent REVERSED{DAY1, DAY0, std::nullopt};
constexpr Extent LEAP{utc(2020, 1, 1, 0, 0, 59, 1'900'000'000), utc(2020, 1, 1, 0, 1, 0, 500'000'000), std::nullopt};
constexpr Extent LON_POINT{DAY0, DAY1, BoundingBox::from_bbox(10, -90, 10, 90)};
constexpr Extent LON_REVERSED{DAY0, DAY1, BoundingBox::from_bbox(10, -90, -10, 90)};
constexpr Extent LON_NEG_ZERO_SPAN{DAY0, DAY1, BoundingBox::from_bbox(0.0, -90, -0.0, 90)};
// Spans for which a reciprocal multiplication would land one cell low.
constexpr Extent SPAN_AXIS_MAX{DAY0, utc(2020, 1, 1, 0, 34, 57, 151'000'000), std::nullopt};
constexpr Extent SEVEN_DEGREES{DAY0, DAY1, BoundingBox::from_bbox(0, 0, 7, 7)};
// const, not constexpr: clang refuses arithmetic that makes a NaN in constant expressions.
const Extent LON_NAN_BOUND{DAY0, DAY1, BoundingBox::from_bbox(NaN, -90, 180, 90)};

struct EncodeCase {
    const char* label;
    Extent extent;
    UtcDateTime instant;
    double longitude;
    double latitude;
    AxisCells cells;
    std::optional<HashKey> key;  // where the literal key is known
};

const EncodeCase ENCODE_CASES[] = {
    {"start_corner", WORLD, DAY0, -180, -90, {0, 0, 0}, 0},
    {"end_corner", WORLD, DAY1, 180, 90, {M, M, M}, 0x7FFFFFFFFFFFFFFF},
    {"centre", WORLD, NOON, 0, 0, {HALF, HALF, HALF}, 0x0FFFFFFFFFFFFFFF},
    {"start_origin", WORLD, DAY0, 0, 0, {0, HALF, HALF}, 0x06DB6DB6DB6DB6DB},
    {"longitude_only", WORLD, DAY0, 180, -90, {0, 0, M}, 0x1249249249249249},
    {"latitude_only", WORLD, DAY0, -180, 90, {0, M, 0}, 0x2492492492492492},
    {"time_only", WORLD, DAY1, -180, -90, {M, 0, 0}, 0x4924924924924924},
    {"just_below_east", WORLD, DAY0, 179.99999, -90, {0, 0, M - 1}, 0x1249249249249248},
    {"one_ms_after_start", WORLD, utc(2020, 1, 1, 0, 0, 0, 1'000'000), -180, -90, {0, 0, 0}, 0},
    {"day_before_start", WORLD, utc(2019, 12, 31), -180, -90, {0, 0, 0}, 0},
    {"day_after_end", WORLD, utc(2020, 1, 3), -180, -90, {M, 0, 0}, 0x4924924924924924},
    {"nan_latitude", WORLD, DAY1, 180, NaN, {M, 0, M}, 0x5B6DB6DB6DB6DB6D},
    {"nan_longitude", WORLD, DAY1, NaN, 90, {M, M, 0}, 0x6DB6DB6DB6DB6DB6},
    {"longitude_plus_inf", WORLD, DAY0, INF, -90, {0, 0, M}, std::nullopt},
    {"longitude_minus_inf", WORLD, DAY0, -INF, -90, {0, 0, 0}, std::nullopt},
    {"latitude_below_box", WORLD, NOON, 0, -1000, {HALF, 0, HALF}, std::nullopt},
    {"zero_span_start", ZERO_SPAN, DAY0, -180, -90, {0, 0, 0}, std::nullopt},
    {"zero_span_same_ms", ZERO_SPAN, utc(2020, 1, 1, 0, 0, 0, 999'000), -180, -90, {0, 0, 0}, std::nullopt},
    {"zero_span_next_ms", ZERO_SPAN, utc(2020, 1, 1, 0, 0, 0, 1'000'000), -180, -90, {M, 0, 0}, std::nullopt},
    {"zero_span_earlier", ZERO_SPAN, utc(2019, 12, 31, 23, 59, 59, 999'999'000), -180, -90, {0, 0, 0}, std::nullopt},
    {"span_999_end", SPAN_999, SPAN_999.end, -180, -90, {M, 0, 0}, std::nullopt},
    {"span_999_same_ms", SPAN_999, utc(2020, 1, 1, 0, 0, 0, 999'000), -180, -90, {0, 0, 0}, std::nullopt},
    {"span_999_half", SPAN_999, utc(2020, 1, 1, 0, 0, 0, 500'000'000), -180, -90, {1049625, 0, 0}, 0x4000000100004804},
    {"reversed_start", REVERSED, DAY1, -180, -90, {0, 0, 0}, std::nullopt},
    {"reversed_noon", REVERSED, NOON, -180, -90, {HALF, 0, 0}, std::nullopt},
    {"reversed_end", REVERSED, DAY0, -180, -90, {M, 0, 0}, std::nullopt},
    {"reversed_after_start", REVERSED, utc(2020, 1, 3), -180, -90, {0, 0, 0}, std::nullopt},
    {"reversed_before_end", REVERSED, utc(2019, 12, 31), -180, -90, {M, 0, 0}, std::nullopt},
    {"leap_second_end", LEAP, LEAP.end, 180, 90, {0, M, M}, 0x36DB6DB6DB6DB6DB},
    {"point_box_equal", LON_POINT, DAY0, 10, -90, {0, 0, 0}, std::nullopt},
    {"point_box_above", LON_POINT, DAY0, 11, -90, {0, 0, M}, std::nullopt},
    {"point_box_below", LON_POINT, DAY0, 9, -90, {0, 0, 0}, std::nullopt},
    {"reversed_box_middle", LON_REVERSED, DAY0, 0, -90, {0, 0, HALF}, std::nullopt},
    {"reversed_box_min", LON_REVERSED, DAY0, 10, -90, {0, 0, 0}, std::nullopt},
    {"reversed_box_max", LON_REVERSED, DAY0, -10, -90, {0, 0, M}, std::nullopt},
    {"reversed_box_beyond_min", LON_REVERSED, DAY0, 20, -90, {0, 0, 0}, std::nullopt},
    {"reversed_box_beyond_max", LON_REVERSED, DAY0, -20, -90, {0, 0, M}, std::nullopt},
    {"neg_zero_span_equal", LON_NEG_ZERO_SPAN, DAY0, 0, -90, {0, 0, 0}, std::nullopt},
    {"neg_zero_span_above", LON_NEG_ZERO_SPAN, DAY0, 1, -90, {0, 0, 0}, std::nullopt},
    {"neg_zero_span_below", LON_NEG_ZERO_SPAN, DAY0, -1, -90, {0, 0, M}, std::nullopt},
    {"true_division_time", SPAN_AXIS_MAX, utc(2020, 1, 1, 0, 0, 2, 49'000'000), -180, -90, {2049, 0, 0}, std::nullopt},
    {"true_division_space", SEVEN_DEGREES, DAY0, 5, 5, {0, 1497965, 1497965}, std::nullopt},
    {"nan_bound", LON_NAN_BOUND, DAY0, 180, -90, {0, 0, 0}, std::nullopt},
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.label; }

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, CellsAndKey) {
    const EncodeCase& c = GetParam();
    const Hasher hasher = c.extent.hasher();
    const AxisCells cells = hasher.quantize_point(c.instant, c.longitude, c.latitude);
    EXPECT_EQ(cells.time, c.cells.time);
    EXPECT_EQ(cells.latitude, c.cells.latitude);
    EXPECT_EQ(cells.longitude, c.cells.longitude);
    const HashKey key = hasher.encode(c.instant, c.longitude, c.latitude);
    EXPECT_EQ(key, c.key.value_or(interleave(c.cells)));
    EXPECT_EQ(hasher.hash_clamped(c.instant, c.longitude, c.latitude), key);
}

INSTANTIATE_TEST_SUITE_P(Examples, EncodeTest, testing::ValuesIn(ENCODE_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(SpanMs, TruncatedTowardZero) {
    struct Case {
        const char* label;
        Extent extent;
        double span_ms;
    };
    const Case cases[] = {
        {"one day", WORLD, 86'400'000},
        {"reversed day", REVERSED, -86'400'000},
        {"999.2 ms", SPAN_999, 999},
        {"equal", ZERO_SPAN, 0},
        {"leap second start", LEAP, 600},
        {"leap second at start, end after", {utc(2020, 1, 1, 23, 59, 59, 1'500'000'000), utc(2020, 1, 2), {}}, -500},
        {"-1.5 ms", {utc(2020, 1, 1, 0, 0, 0, 1'500'000), DAY0, {}}, -1},
        {"-0.5 ms", {utc(2020, 1, 1, 0, 0, 0, 500'000), DAY0, {}}, 0},
        {"+0.5 ms", {DAY0, utc(2020, 1, 1, 0, 0, 0, 500'000), {}}, 0},
        {"+0.5 ms over a second", {utc(2020, 1, 1, 0, 0, 0, 999'500'000), utc(2020, 1, 1, 0, 0, 1), {}}, 0},
        {"-0.5 ms over a second", {utc(2020, 1, 1, 0, 0, 1), utc(2020, 1, 1, 0, 0, 0, 999'500'000), {}}, 0},
        {"+1.5 ms over a second", {utc(2020, 1, 1, 0, 0, 0, 999'500'000), utc(2020, 1, 1, 0, 0, 1, 1'000'000), {}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.extent.hasher().span_ms(), c.span_ms);
    }
}

TEST(Quantize, ClampsAndTruncates) {
    const std::pair<double, std::uint32_t> cases[] = {
        {-1.0, 0}, {-0.0, 0}, {0.0, 0}, {NaN, 0}, {-INF, 0}, {0.5, HALF},
        {std::nextafter(1.0, 0.0), M - 1}, {1.0, M}, {1.5, M}, {INF, M},
    };
    for (const auto& [normalized, cell] : cases) {
        SCOPED_TRACE(normalized);
        EXPECT_EQ(quantize(normalized), cell);
    }
}

TEST(Interleave, MatchesBitByBitLayout) {
    EXPECT_EQ(interleave({1, 2, 3}), 29u);
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint32_t> cell(0, M);
    for (int i = 0; i < 20'000; ++i) {
        const AxisCells cells{cell(random), cell(random), cell(random)};
        HashKey expected = 0;
        for (unsigned k = 0; k < AXIS_BITS; ++k) {
            expected |= HashKey{(cells.longitude >> k) & 1u} << (3 * k);
            expected |= HashKey{(cells.latitude >> k) & 1u} << (3 * k + 1);
            expected |= HashKey{(cells.time >> k) & 1u} << (3 * k + 2);
        }
        ASSERT_EQ(interleave(cells), expected) << cells.time << ' ' << cells.latitude << ' ' << cells.longitude;
        // interleave may dispatch to pdep; the portable spreading must agree too.
        ASSERT_EQ(interleave_portable(cells), expected);
    }
}

}  // namespace
}  // namespace tessellon
