// Calendar arithmetic and the millisecond counts derived from instants,
// checked against 128-bit computations over the whole supported range.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/platform.hpp"
#include "core/utc_date_time.hpp"

namespace tessellon {
namespace {

using platform::Int128;

constexpr std::int64_t NANOS_PER_MILLI = 1'000'000;

TEST(Calendar, EveryDayRoundTrips) {
    ASSERT_EQ(days_from_civil(1970, 1, 1), 0);
    ASSERT_EQ(days_from_civil(2000, 3, 1), 11017);
    ASSERT_EQ(days_from_civil(0, 1, 1), -719528);
    // Walk the calendar day by day from the first to the last supported day.
    CivilDate date{MIN_YEAR, 1, 1};
    for (std::int64_t days = MIN_DAYS; days <= MAX_DAYS; ++days) {
        if (civil_from_days(days) != date || days_from_civil(date.year, date.month, date.day) != days) {
            FAIL() << "day " << days << " vs " << date.year << '-' << date.month << '-' << date.day;
        }
        if (++date.day > days_in_month(date.year, date.month)) {
            date.day = 1;
            if (++date.month > 12) {
                date.month = 1;
                ++date.year;
            }
        }
    }
    EXPECT_EQ(date, (CivilDate{MAX_YEAR + 1, 1, 1}));
}

UtcDateTime at(std::int64_t days, std::uint32_t seconds, std::uint32_t nanos) {
    return UtcDateTime::from_days(static_cast<std::int32_t>(days), seconds, nanos);
}

TEST(UtcDateTime, OrderIsTimeOrder) {
    const UtcDateTime ascending[] = {
        at(MIN_DAYS, 0, 0),          at(-1, 86399, 999'999'999), at(0, 0, 0),
        at(0, 59, 999'999'999),      at(0, 59, 1'000'000'000),   at(0, 59, 1'999'999'999),
        at(0, 60, 0),                at(1, 0, 0),                at(MAX_DAYS, 86399, 999'999'999),
    };
    for (std::size_t i = 1; i < std::size(ascending); ++i) {
        EXPECT_LT(ascending[i - 1], ascending[i]) << i;
    }
    EXPECT_EQ(at(5, 6, 7), at(5, 6, 7));
}

// Floor of the instant in milliseconds, leap-second nanoseconds counting on.
std::int64_t reference_unix_millis(const UtcDateTime& t) {
    const Int128 nanos = (Int128{t.days_since_epoch()} * SECONDS_PER_DAY + t.seconds_of_day()) * NANOS_PER_SECOND +
                         t.nanoseconds();
    const Int128 floor = nanos / NANOS_PER_MILLI - (nanos % NANOS_PER_MILLI < 0 ? 1 : 0);
    return static_cast<std::int64_t>(floor);
}

std::int64_t reference_span_millis(const UtcDateTime& a, const UtcDateTime& b) {
    Int128 seconds = (Int128{b.days_since_epoch()} - a.days_since_epoch()) * SECONDS_PER_DAY +
                     (Int128{b.seconds_of_day()} - a.seconds_of_day());
    if (b.seconds_of_day() > a.seconds_of_day() && a.is_leap_second()) {
        seconds += 1;
    } else if (b.seconds_of_day() < a.seconds_of_day() && b.is_leap_second()) {
        seconds -= 1;
    }
    const Int128 nanos = seconds * NANOS_PER_SECOND + b.nanoseconds() - Int128{a.nanoseconds()};
    return static_cast<std::int64_t>(nanos / NANOS_PER_MILLI);  // truncates toward zero
}

TEST(UtcDateTime, UnixMillisRoundsDown) {
    const std::pair<UtcDateTime, std::int64_t> cases[] = {
        {at(0, 0, 0), 0},
        {at(-1, 86399, 999'500'000), -1},
        {at(-1, 86399, 0), -1000},
        {at(0, 0, 999'999), 0},
        {at(0, 59, 1'500'000'000), 60'500},
        {at(MIN_DAYS, 0, 0), MIN_DAYS * 86'400'000},
        {at(MAX_DAYS, 86399, 999'999'999), MAX_DAYS * 86'400'000 + 86'399'999},
    };
    for (const auto& [instant, millis] : cases) {
        EXPECT_EQ(instant.unix_millis(), millis) << instant.days_since_epoch();
    }
}

TEST(SpanMillis, ExactAtTheExtremes) {
    const UtcDateTime first = UtcDateTime::from_civil({MIN_YEAR, 1, 1}, 0, 0);
    const UtcDateTime last = UtcDateTime::from_civil({MAX_YEAR, 12, 31}, 86399, 999'999'999);
    EXPECT_EQ(span_millis(first, last), reference_span_millis(first, last));
    EXPECT_EQ(span_millis(last, first), reference_span_millis(last, first));
    EXPECT_EQ(span_millis(last, first), -span_millis(first, last));
    EXPECT_EQ(span_millis(first, last), (MAX_DAYS - MIN_DAYS + 1) * 86'400'000 - 1);
}

TEST(SpanMillis, RandomPairsMatchReference) {
    std::mt19937_64 random(11);
    std::uniform_int_distribution<std::int64_t> day(MIN_DAYS, MAX_DAYS), near(-2, 2);
    std::uniform_int_distribution<std::uint32_t> second(0, 86399), nano(0, 999'999'999), leap(0, 3);
    // Fractions near both ends of the second reach every rounding branch.
    const auto nanos = [&] {
        const std::uint32_t n = nano(random);
        return n % 3 == 0 ? n : n % 3 == 1 ? n % 2'000'000 : 999'999'999 - n % 2'000'000;
    };
    // One instant in four is moved into the leap second at the end of its minute.
    const auto instant = [&](std::int64_t days, std::uint32_t s) {
        return leap(random) == 0 ? at(days, s - s % 60 + 59, NANOS_PER_SECOND + nanos())
                                 : at(days, s, nanos());
    };
    for (int i = 0; i < 300'000; ++i) {
        const std::int64_t d = day(random);
        const UtcDateTime a = instant(d, second(random));
        // Far apart, days apart, or seconds apart.
        const UtcDateTime b = i % 3 == 0   ? instant(day(random), second(random))
                              : i % 3 == 1 ? instant(std::clamp(d + near(random), MIN_DAYS, MAX_DAYS), second(random))
                                           : instant(d, static_cast<std::uint32_t>(std::clamp<std::int64_t>(
                                                            a.seconds_of_day() + near(random), 0, 86399)));
        ASSERT_EQ(span_millis(a, b), reference_span_millis(a, b)) << i;
        ASSERT_EQ(a.unix_millis(), reference_unix_millis(a)) << i;
    }
}

}  // namespace
}  // namespace tessellon
