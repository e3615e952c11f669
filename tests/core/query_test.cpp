// KeyQuery against brute force: boxes of a few cells anywhere in key space
// (across high bit boundaries too), whose keys are few enough to list, and
// boxes inside one small octree node, whose every key is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "core/key_bits.hpp"
#include "core/key_query.hpp"

namespace tessellon {
namespace {

constexpr std::uint32_t M = AXIS_MAX;

// Every key inside the union of boxes, ascending.
std::vector<HashKey> keys_inside(const std::vector<CellBox>& boxes) {
    std::set<HashKey> keys;
    for (const CellBox& b : boxes) {
        for (std::uint32_t t = b.time.first; t <= b.time.last; ++t) {
            for (std::uint32_t x = b.longitude.first; x <= b.longitude.last; ++x) {
                for (std::uint32_t y = b.latitude.first; y <= b.latitude.last; ++y) {
                    keys.insert(interleave_portable({t, y, x}));
                }
            }
        }
    }
    return {keys.begin(), keys.end()};
}

std::vector<KeyRange> runs_of(const std::vector<HashKey>& sorted) {
    std::vector<KeyRange> runs;
    for (HashKey key : sorted) {
        if (!runs.empty() && runs.back().last + 1 == key) {
            runs.back().last = key;
        } else {
            runs.push_back({key, key});
        }
    }
    return runs;
}

// Keys covered by the best cover of sorted with at most cap ranges: the span
// minus the cap - 1 largest gaps.
std::uint64_t optimal_covered(const std::vector<KeyRange>& runs, std::size_t cap) {
    std::vector<std::uint64_t> gaps;
    for (std::size_t i = 1; i < runs.size(); ++i) {
        gaps.push_back(runs[i].first - runs[i - 1].last - 1);
    }
    std::ranges::sort(gaps, std::greater<>());
    std::uint64_t covered = runs.back().last - runs.front().first + 1;
    for (std::size_t i = 0; i + 1 < cap && i < gaps.size(); ++i) {
        covered -= gaps[i];
    }
    return covered;
}

std::uint64_t covered_by(const std::vector<KeyRange>& ranges) {
    std::uint64_t covered = 0;
    for (const KeyRange& r : ranges) {
        covered += r.last - r.first + 1;
    }
    return covered;
}

// Keys near the inside ones, near box corners and at random: where mistakes show.
std::vector<HashKey> probe_keys(const std::vector<HashKey>& inside, std::mt19937_64& random) {
    std::vector<HashKey> probes{0, 1, ALL_KEY_BITS - 1, ALL_KEY_BITS};
    for (HashKey key : inside) {
        for (HashKey delta : {HashKey{1}, HashKey{2}, HashKey{7}, HashKey{64}}) {
            probes.push_back(key - std::min(key, delta));
            probes.push_back(std::min(key + delta, ALL_KEY_BITS));
        }
        probes.push_back(key);
    }
    std::uniform_int_distribution<HashKey> any(0, ALL_KEY_BITS);
    std::uniform_int_distribution<HashKey> near(0, inside.back() - inside.front() + 2);
    for (int i = 0; i < 200; ++i) {
        probes.push_back(any(random));
        probes.push_back(std::min(inside.front() - std::min<HashKey>(inside.front(), 1) + near(random), ALL_KEY_BITS));
    }
    return probes;
}

// Random boxes of 1..span cells per axis, placed anywhere or straddling a power of two.
CellBox random_box(std::mt19937_64& random, std::uint32_t span) {
    std::uniform_int_distribution<std::uint32_t> length(1, span), anywhere(0, M), power(1, 20), coin(0, 2);
    const auto axis = [&]() {
        const std::uint32_t n = length(random);
        std::uint32_t first = anywhere(random);
        if (coin(random) == 0) {  // straddle a high bit boundary
            const std::uint32_t boundary = std::uint32_t{1} << power(random);
            first = boundary - std::min(boundary, std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random));
        }
        first = std::min(first, M - (n - 1));
        return AxisRange{first, first + n - 1};
    };
    return CellBox{axis(), axis(), axis()};
}

void check_against_brute_force(const std::vector<CellBox>& boxes, std::mt19937_64& random) {
    const KeyQuery query(boxes);
    const std::vector<HashKey> inside = keys_inside(boxes);
    const std::vector<KeyRange> runs = runs_of(inside);
    const std::vector<HashKey> probes = probe_keys(inside, random);

    for (HashKey key : probes) {
        SCOPED_TRACE(key);
        const auto at_or_after = std::ranges::lower_bound(inside, key);
        const auto after = std::ranges::upper_bound(inside, key);
        ASSERT_EQ(query.contains(key), std::ranges::binary_search(inside, key));
        ASSERT_EQ(query.next_key(key), at_or_after == inside.end() ? std::nullopt : std::optional(*at_or_after));
        ASSERT_EQ(query.previous_key(key), after == inside.begin() ? std::nullopt : std::optional(*(after - 1)));
    }

    for (std::size_t cap : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, runs.size() - 1,
                            runs.size(), runs.size() + 1, std::size_t{256}}) {
        if (cap == 0) {
            continue;
        }
        SCOPED_TRACE(cap);
        const std::vector<KeyRange> ranges = query.ranges(cap);
        ASSERT_LE(ranges.size(), cap);
        if (runs.size() <= cap) {
            ASSERT_EQ(ranges, runs);
            continue;
        }
        for (std::size_t i = 1; i < ranges.size(); ++i) {
            ASSERT_GT(ranges[i].first, ranges[i - 1].last + 1);  // sorted, disjoint, not touching
        }
        for (const KeyRange& run : runs) {
            const auto holder = std::ranges::upper_bound(ranges, run.first, {}, &KeyRange::first);
            ASSERT_NE(holder, ranges.begin());
            ASSERT_LE(run.last, (holder - 1)->last);
        }
        EXPECT_EQ(covered_by(ranges), optimal_covered(runs, cap));
    }

    // A sorted column of probes, some repeated; selected rows and row groups against the list.
    std::vector<std::int64_t> column;
    for (HashKey key : probes) {
        column.push_back(static_cast<std::int64_t>(key));
    }
    column.push_back(-5);
    column.push_back(-5);
    std::ranges::sort(column);
    std::vector<std::int64_t> expected_rows;
    for (std::size_t i = 0; i < column.size(); ++i) {
        if (column[i] >= 0 && std::ranges::binary_search(inside, static_cast<HashKey>(column[i]))) {
            expected_rows.push_back(static_cast<std::int64_t>(i));
        }
    }
    ASSERT_EQ(query.select_sorted(column), expected_rows);

    std::vector<std::int64_t> mins, maxs;
    std::uniform_int_distribution<std::size_t> pick(0, column.size() - 1);
    for (int i = 0; i < 300; ++i) {
        const std::size_t a = pick(random), b = pick(random);
        mins.push_back(column[std::min(a, b)]);
        maxs.push_back(column[std::max(a, b)]);
    }
    std::vector<std::uint8_t> kept(mins.size());
    query.row_groups(mins, maxs, kept.data());
    for (std::size_t i = 0; i < mins.size(); ++i) {
        const auto first_inside = std::ranges::lower_bound(inside, static_cast<HashKey>(std::max<std::int64_t>(mins[i], 0)));
        const bool holds = maxs[i] >= 0 && first_inside != inside.end() && static_cast<std::int64_t>(*first_inside) <= maxs[i];
        ASSERT_EQ(kept[i], holds) << mins[i] << ".." << maxs[i];
    }
}

class SmallBoxes : public testing::TestWithParam<int> {};

TEST_P(SmallBoxes, OneBoxMatchesBruteForce) {
    std::mt19937_64 random(GetParam());
    for (int round = 0; round < 20; ++round) {
        const std::vector<CellBox> boxes{random_box(random, 5)};
        SCOPED_TRACE(testing::Message() << "box t " << boxes[0].time.first << ".." << boxes[0].time.last << " x "
                                        << boxes[0].longitude.first << ".." << boxes[0].longitude.last << " y "
                                        << boxes[0].latitude.first << ".." << boxes[0].latitude.last);
        check_against_brute_force(boxes, random);
    }
}

TEST_P(SmallBoxes, TwoBoxesMatchBruteForce) {
    std::mt19937_64 random(1000 + GetParam());
    for (int round = 0; round < 20; ++round) {
        CellBox a = random_box(random, 4);
        CellBox b = random_box(random, 4);
        if (round % 2 == 0) {  // the shape of an antimeridian query: same time and latitude
            b.time = a.time;
            b.latitude = a.latitude;
        }
        if (round % 5 == 0) {  // overlapping
            b = a;
            b.longitude.last = std::min(M, b.longitude.last + 2);
            b.time.first = b.time.first > 0 ? b.time.first - 1 : 0;
        }
        check_against_brute_force({a, b}, random);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SmallBoxes, testing::Range(1, 9));

// Every key of an 8 x 8 x 8 node, for boxes inside it, so no key escapes the check.
TEST(SubcubeBoxes, EveryKeyOfTheNode) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint32_t> node(0, M >> 3), cell(0, 7);
    for (int round = 0; round < 200; ++round) {
        const AxisCells corner{node(random) << 3, node(random) << 3, node(random) << 3};
        const auto axis = [&](std::uint32_t base) {
            std::uint32_t a = cell(random), b = cell(random);
            return AxisRange{base + std::min(a, b), base + std::max(a, b)};
        };
        const CellBox box{axis(corner.time), axis(corner.longitude), axis(corner.latitude)};
        const KeyQuery query({box});
        const HashKey first = interleave_portable(corner);
        std::vector<std::int64_t> column;
        std::vector<HashKey> inside;
        for (HashKey key = first; key < first + 512; ++key) {
            column.push_back(static_cast<std::int64_t>(key));
            const AxisCells c = deinterleave(key);
            const bool in = c.time >= box.time.first && c.time <= box.time.last &&
                            c.longitude >= box.longitude.first && c.longitude <= box.longitude.last &&
                            c.latitude >= box.latitude.first && c.latitude <= box.latitude.last;
            ASSERT_EQ(query.contains(key), in) << key;
            if (in) {
                inside.push_back(key);
            }
        }
        for (HashKey key = first - std::min<HashKey>(first, 3); key < first + 515; ++key) {
            const auto next = std::ranges::lower_bound(inside, key);
            ASSERT_EQ(query.next_key(key), next == inside.end() ? std::nullopt : std::optional(*next));
        }
        std::vector<std::uint8_t> flags(column.size());
        query.contains_many(column, nullptr, 0, flags.data());
        std::vector<std::int64_t> rows;
        for (std::size_t i = 0; i < column.size(); ++i) {
            if (flags[i]) {
                rows.push_back(static_cast<std::int64_t>(i));
            }
        }
        ASSERT_EQ(rows.size(), inside.size());
        ASSERT_EQ(query.select_sorted(column), rows);
        ASSERT_EQ(query.ranges(512), runs_of(inside));
    }
}

TEST(ContainsMany, ValidityBitmapAtAnyOffset) {
    const CellBox box{{10, 20}, {100, 300}, {5, 5}};
    const KeyQuery query({box});
    std::mt19937_64 random(3);
    std::uniform_int_distribution<std::uint32_t> t(0, 30), x(50, 350), y(4, 6);
    std::vector<std::int64_t> keys;
    for (int i = 0; i < 1000; ++i) {
        keys.push_back(static_cast<std::int64_t>(interleave_portable({t(random), y(random), x(random)})));
    }
    keys[17] = -1;
    keys[18] = static_cast<std::int64_t>(interleave_portable({10, 5, 100}) | (HashKey{1} << 63));
    std::vector<std::uint8_t> validity(140);
    for (auto& byte : validity) {
        byte = static_cast<std::uint8_t>(random());
    }
    for (std::int64_t offset : {0, 1, 5, 8, 13, 64}) {
        for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{9}, std::size_t{1000}}) {
            SCOPED_TRACE(testing::Message() << offset << " " << length);
            const std::span<const std::int64_t> part(keys.data(), length);
            std::vector<std::uint8_t> out(length + 1, 0xEE);
            query.contains_many(part, validity.data(), offset, out.data());
            std::vector<std::uint8_t> plain(length);
            query.contains_many(part, nullptr, 0, plain.data());
            for (std::size_t i = 0; i < length; ++i) {
                const auto bit = static_cast<std::size_t>(offset) + i;
                const bool valid = (validity[bit / 8] >> (bit % 8)) & 1;
                ASSERT_EQ(plain[i], keys[i] >= 0 && query.contains(static_cast<HashKey>(keys[i])));
                ASSERT_EQ(out[i], valid && plain[i]);
            }
            ASSERT_EQ(out[length], 0xEE);  // nothing written past the end
        }
    }
}

TEST(KeyQueryEdges, NegativeKeysAndEmptyQueries) {
    const KeyQuery query({CellBox{{0, 3}, {0, 3}, {0, 3}}});
    const auto negative = static_cast<HashKey>(std::int64_t{-8});
    EXPECT_FALSE(query.contains(negative));
    EXPECT_EQ(query.next_key(negative), HashKey{0});
    EXPECT_EQ(query.previous_key(negative), std::nullopt);
    // Key 0 is inside: a group ending below it holds nothing, one reaching it does.
    const std::vector<std::int64_t> mins{-100, -1, -1}, maxs{-50, -1, 1000};
    std::vector<std::uint8_t> out(3);
    query.row_groups(mins, maxs, out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 0, 1}));
}

TEST(KeyQueryEdges, BoxesAreNormalised) {
    const KeyQuery query({CellBox{{5, 4}, {0, 1}, {0, 1}}, CellBox{{M - 1, M + 100}, {0, 0}, {0, 0}}});
    ASSERT_EQ(query.boxes().size(), 1u);
    EXPECT_EQ(query.boxes()[0].time, (AxisRange{M - 1, M}));
    const KeyQuery empty({CellBox{{1, 0}, {0, 0}, {0, 0}}});
    EXPECT_TRUE(empty.ranges(10).empty());
    EXPECT_EQ(empty.next_key(0), std::nullopt);
    EXPECT_FALSE(empty.contains(0));
    EXPECT_TRUE(empty.select_sorted(std::vector<std::int64_t>{0, 1, 2}).empty());
}

TEST(RowGroups, InconsistentStatisticsAreKept) {
    const KeyQuery query({CellBox{{M, M}, {M, M}, {M, M}}});  // only the last key
    const std::vector<std::int64_t> mins{10, 0, -4}, maxs{5, 100, -1};
    std::vector<std::uint8_t> out(3);
    query.row_groups(mins, maxs, out.data());
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 0, 0}));
}

TEST(SelectSorted, UnsortedInputStaysInBounds) {
    const KeyQuery query({CellBox{{0, 100}, {0, 100}, {0, 100}}});
    std::mt19937_64 random(11);
    std::uniform_int_distribution<std::int64_t> any(-10, 4'000'000);
    std::vector<std::int64_t> keys(5000);
    for (auto& key : keys) {
        key = any(random);
    }
    const std::vector<std::int64_t> rows = query.select_sorted(keys);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_GE(rows[i], 0);
        ASSERT_LT(rows[i], static_cast<std::int64_t>(keys.size()));
        ASSERT_TRUE(query.contains(static_cast<HashKey>(keys[static_cast<std::size_t>(rows[i])])));
        ASSERT_TRUE(i == 0 || rows[i] > rows[i - 1]);
    }
}

}  // namespace
}  // namespace tessellon
