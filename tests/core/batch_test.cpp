// Batch hashing: length checks, the first bad item, skipped slots, and
// agreement with the single-point operations.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/hasher.hpp"

namespace tessellon {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

UtcDateTime utc(int y, unsigned mo, unsigned d, unsigned h = 0) {
    return UtcDateTime::from_civil({y, mo, d}, h * 3600, 0);
}

const Hasher WORLD(utc(2020, 1, 1), utc(2020, 1, 2));

struct Batch {
    std::vector<UtcDateTime> instants;
    std::vector<double> longitudes;
    std::vector<double> latitudes;

    auto all(bool skip_invalid) const { return WORLD.hash_all(instants, longitudes, latitudes, skip_invalid); }
    auto clamped() const { return WORLD.hash_all_clamped(instants, longitudes, latitudes); }
};

TEST(Batch, EmptySequences) {
    const Batch empty;
    EXPECT_TRUE(empty.all(false).value().empty());
    EXPECT_TRUE(empty.all(true).value().empty());
    EXPECT_TRUE(empty.clamped().value().empty());
}

TEST(Batch, LengthMismatchWinsOverExtentErrors) {
    const std::pair<Batch, const char*> cases[] = {
        {{{utc(1900, 1, 1), utc(2020, 1, 1)}, {0, 500, 0}, {95, 0}},
         "sequences must be the same length: 2 datetimes, 3 longitudes, 2 latitudes"},
        {{{utc(2020, 1, 1)}, {0}, {}}, "sequences must be the same length: 1 datetimes, 1 longitudes, 0 latitudes"},
        {{{}, {0}, {0}}, "sequences must be the same length: 0 datetimes, 1 longitudes, 1 latitudes"},
    };
    for (const auto& [batch, message] : cases) {
        SCOPED_TRACE(message);
        const auto strict = batch.all(false), skipping = batch.all(true);
        const auto clamped = batch.clamped();
        ASSERT_FALSE(strict.has_value() || skipping.has_value() || clamped.has_value());
        const auto& lengths = std::get<LengthMismatch>(strict.error().reason());
        EXPECT_EQ(lengths, (LengthMismatch{batch.instants.size(), batch.longitudes.size(), batch.latitudes.size()}));
        EXPECT_EQ(strict.error().message(), message);
        EXPECT_EQ(skipping.error(), strict.error());
        EXPECT_EQ(clamped.error(), strict.error());
    }
}

TEST(Batch, FirstBadItemIsReported) {
    const UtcDateTime noon = utc(2020, 1, 1, 12);
    struct Case {
        Batch batch;
        const char* message;
    };
    const Case cases[] = {
        // The items around the bad one lie on the bounds.
        {{{utc(2020, 1, 1), noon, utc(2020, 1, 2)}, {-180, 2, 180}, {-90, 95, 90}},
         "item 1: latitude outside of the hasher's spatial extent: 95"},
        {{{noon, noon, utc(2021, 1, 1)}, {1, 200, 3}, {-91, 0, 0}},
         "item 0: latitude outside of the hasher's spatial extent: -91"},
        {{{noon, utc(2019, 1, 1), noon}, {1, 2, 3}, {0, 95, 0}},
         "item 1: datetime outside of the hasher's temporal extent: 2019-01-01 00:00:00 UTC"},
        {{{noon, noon}, {NaN, -180.5}, {NaN, 0}}, "item 1: longitude outside of the hasher's spatial extent: -180.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const auto strict = c.batch.all(false);
        ASSERT_FALSE(strict.has_value());
        EXPECT_EQ(strict.error().message(), c.message);
        const auto skipped = c.batch.all(true);
        ASSERT_TRUE(skipped.has_value());
        ASSERT_EQ(skipped->size(), c.batch.instants.size());
        for (std::size_t i = 0; i < skipped->size(); ++i) {
            const auto key = WORLD.hash(c.batch.instants[i], c.batch.longitudes[i], c.batch.latitudes[i]);
            ASSERT_EQ((*skipped)[i].has_key(), key.has_value()) << i;
            if (key) {
                EXPECT_EQ((*skipped)[i].key(), *key) << i;
            }
        }
    }
}

TEST(Batch, ClampedEqualsHashClampedItemByItem) {
    const Batch batch{
        {utc(2020, 1, 1), utc(2020, 1, 2), utc(1969, 7, 20), utc(2100, 1, 1), utc(2020, 1, 1, 6), utc(2020, 1, 1, 18)},
        {-180, 180, -200, 400, NaN, 12.25},
        {-90, 90, 91, -1e9, 45, NaN},
    };
    const auto clamped = batch.clamped();
    ASSERT_TRUE(clamped.has_value());
    ASSERT_EQ(clamped->size(), batch.instants.size());
    for (std::size_t i = 0; i < clamped->size(); ++i) {
        EXPECT_EQ((*clamped)[i], WORLD.hash_clamped(batch.instants[i], batch.longitudes[i], batch.latitudes[i])) << i;
    }
}

}  // namespace
}  // namespace tessellon
