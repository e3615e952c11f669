// KeyQuery::ranges beyond brute-force sizes: the cap, soundness (no key
// inside is ever left out), optimality where the best cover can be listed,
// and bounded work for the whole key space.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "core/key_bits.hpp"
#include "core/key_query.hpp"

namespace tessellon {
namespace {

constexpr std::uint32_t M = AXIS_MAX;

// Sorted, disjoint, at most cap, ends inside, and the keys between ranges all outside.
void expect_sound_cover(const KeyQuery& query, const std::vector<KeyRange>& ranges, std::size_t cap) {
    ASSERT_FALSE(ranges.empty());
    ASSERT_LE(ranges.size(), cap);
    ASSERT_EQ(ranges.front().first, query.next_key(0));
    ASSERT_EQ(ranges.back().last, query.previous_key(ALL_KEY_BITS));
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        ASSERT_LE(ranges[i].first, ranges[i].last);
        ASSERT_TRUE(query.contains(ranges[i].first));
        ASSERT_TRUE(query.contains(ranges[i].last));
        if (i > 0) {
            ASSERT_GT(ranges[i].first, ranges[i - 1].last + 1);
            // The gap holds no key inside.
            ASSERT_EQ(query.next_key(ranges[i - 1].last + 1), ranges[i].first);
        }
    }
}

struct RangesCase {
    const char* label;
    std::vector<CellBox> boxes;
};

const RangesCase LARGE_CASES[] = {
    {"whole_key_space", {{{0, M}, {0, M}, {0, M}}}},
    {"all_but_last_longitude", {{{0, M}, {0, M - 1}, {0, M}}}},
    {"one_year_world_small_window", {{{900'000, 900'240}, {1'000'000, 1'002'913}, {700'000, 705'825}}}},
    {"wide_window", {{{100, 200'000}, {17, 400'000}, {333, 1'500'000}}}},
    {"antimeridian_pair", {{{5000, 9000}, {M - 3000, M}, {40'000, 41'000}}, {{5000, 9000}, {0, 2000}, {40'000, 41'000}}}},
    {"thin_slab", {{{0, M}, {12345, 12345}, {0, M}}}},
    {"single_key", {{{7, 7}, {8, 8}, {9, 9}}}},
};

class LargeRanges : public testing::TestWithParam<RangesCase> {};

TEST_P(LargeRanges, SoundCoverWithinCapAndQuickly) {
    const KeyQuery query(GetParam().boxes);
    for (std::size_t cap : {1, 2, 7, 64, 256, 2000}) {
        SCOPED_TRACE(cap);
        const auto started = std::chrono::steady_clock::now();
        const std::vector<KeyRange> ranges = query.ranges(cap);
        const auto elapsed = std::chrono::steady_clock::now() - started;
        expect_sound_cover(query, ranges, cap);
        // Generous: a sign of unbounded work, not a benchmark.
        EXPECT_LT(elapsed, std::chrono::milliseconds(500));
    }
}

TEST_P(LargeRanges, BoundNeverExceedsTheCover) {
    const KeyQuery query(GetParam().boxes);
    for (std::size_t cap : {1, 5, 64, 256}) {
        const RangeCover report = query.cover(cap);
        EXPECT_EQ(report.ranges, query.ranges(cap));
        EXPECT_LE(report.optimal_covered_at_least, report.covered) << cap;
        EXPECT_GT(report.optimal_covered_at_least, 0u);
    }
}

TEST_P(LargeRanges, MoreRangesNeverCoverMore) {
    const KeyQuery query(GetParam().boxes);
    std::uint64_t previous = ~std::uint64_t{0};
    for (std::size_t cap : {1, 2, 4, 16, 64, 256, 1024}) {
        std::uint64_t covered = 0;
        for (const KeyRange& r : query.ranges(cap)) {
            covered += r.last - r.first + 1;
        }
        EXPECT_LE(covered, previous) << cap;
        previous = covered;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LargeRanges, testing::ValuesIn(LARGE_CASES),
                         [](const auto& info) { return std::string(info.param.label); });

// Medium boxes whose keys can be listed: the merged cover is the optimal one.
TEST(MediumRanges, MergedCoverIsOptimal) {
    std::mt19937_64 random(5);
    std::uniform_int_distribution<std::uint32_t> anywhere(0, M - 40), length(1, 24);
    for (int round = 0; round < 40; ++round) {
        const auto axis = [&] {
            const std::uint32_t first = anywhere(random);
            return AxisRange{first, first + length(random) - 1};
        };
        const CellBox box{axis(), axis(), axis()};
        const KeyQuery query({box});
        std::vector<HashKey> inside;
        for (std::uint32_t t = box.time.first; t <= box.time.last; ++t) {
            for (std::uint32_t x = box.longitude.first; x <= box.longitude.last; ++x) {
                for (std::uint32_t y = box.latitude.first; y <= box.latitude.last; ++y) {
                    inside.push_back(interleave_portable({t, y, x}));
                }
            }
        }
        std::ranges::sort(inside);
        std::vector<std::uint64_t> gaps;
        std::size_t runs = 1;
        for (std::size_t i = 1; i < inside.size(); ++i) {
            if (inside[i] != inside[i - 1] + 1) {
                gaps.push_back(inside[i] - inside[i - 1] - 1);
                ++runs;
            }
        }
        std::ranges::sort(gaps, std::greater<>());
        for (std::size_t cap : {1, 3, 16, 64}) {
            std::uint64_t best = inside.back() - inside.front() + 1;
            for (std::size_t i = 0; i + 1 < cap && i < gaps.size(); ++i) {
                best -= gaps[i];
            }
            const std::vector<KeyRange> ranges = query.ranges(cap);
            std::uint64_t covered = 0;
            for (const KeyRange& r : ranges) {
                covered += r.last - r.first + 1;
            }
            ASSERT_EQ(ranges.size(), std::min(cap, runs));
            EXPECT_EQ(covered, best) << "round " << round << " cap " << cap;
            const RangeCover report = query.cover(cap);
            EXPECT_EQ(report.ranges, ranges);
            EXPECT_EQ(report.covered, covered);
            EXPECT_EQ(report.optimal_covered_at_least, best);
        }
    }
}

}  // namespace
}  // namespace tessellon
