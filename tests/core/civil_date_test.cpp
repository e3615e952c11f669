// The civil-date check that guards every datetime read from Python: the last
// day of every month, the day after it, leap years with their century rules,
// and the supported years' edges.
#include <gtest/gtest.h>

#include "core/utc_date_time.hpp"

namespace tessellon {
namespace {

struct DateCase {
    std::int64_t year;
    std::uint64_t month;
    std::uint64_t day;
    bool valid;
};

void PrintTo(const DateCase& c, std::ostream* os) { *os << c.year << '-' << c.month << '-' << c.day; }

constexpr DateCase DATE_CASES[] = {
    // Last day of each month in a common year, and the day after it.
    {2021, 1, 31, true}, {2021, 1, 32, false},
    {2021, 2, 28, true}, {2021, 2, 29, false},
    {2021, 3, 31, true}, {2021, 3, 32, false},
    {2021, 4, 30, true}, {2021, 4, 31, false},
    {2021, 5, 31, true}, {2021, 5, 32, false},
    {2021, 6, 30, true}, {2021, 6, 31, false},
    {2021, 7, 31, true}, {2021, 7, 32, false},
    {2021, 8, 31, true}, {2021, 8, 32, false},
    {2021, 9, 30, true}, {2021, 9, 31, false},
    {2021, 10, 31, true}, {2021, 10, 32, false},
    {2021, 11, 30, true}, {2021, 11, 31, false},
    {2021, 12, 31, true}, {2021, 12, 32, false},
    // February 29: years divisible by 4 are leap, centuries only when
    // divisible by 400, on both sides of year 0 (proleptic Gregorian).
    {2020, 2, 29, true}, {2020, 2, 30, false}, {2024, 2, 29, true}, {2023, 2, 29, false},
    {1900, 2, 29, false}, {1900, 2, 28, true}, {2100, 2, 29, false}, {2000, 2, 29, true},
    {2400, 2, 29, true}, {1600, 2, 29, true}, {1700, 2, 29, false},
    {0, 2, 29, true}, {-4, 2, 29, true}, {-1, 2, 29, false}, {-100, 2, 29, false}, {-400, 2, 29, true},
    // Months that do not depend on the year keep their length in leap years.
    {2020, 1, 31, true}, {2020, 4, 30, true}, {2020, 4, 31, false}, {2020, 12, 31, true},
    // Out of range fields.
    {2021, 0, 1, false}, {2021, 13, 1, false}, {2021, 1, 0, false}, {2021, 6, 0, false},
    {2021, 1, 1, true},
    // Supported years, and the first years beyond them.
    {MIN_YEAR, 1, 1, true}, {MIN_YEAR - 1, 12, 31, false},
    {MAX_YEAR, 12, 31, true}, {MAX_YEAR + 1, 1, 1, false},
    // Fields far beyond 32 bits are refused, not wrapped.
    {2021, 0x1'0000'0001ull, 1, false}, {2021, 1, 0x1'0000'0001ull, false},
};

class CivilDateTest : public testing::TestWithParam<DateCase> {};

TEST_P(CivilDateTest, IsValidCivilDate) {
    const DateCase& c = GetParam();
    EXPECT_EQ(is_valid_civil_date(c.year, c.month, c.day), c.valid);
}

INSTANTIATE_TEST_SUITE_P(Table, CivilDateTest, testing::ValuesIn(DATE_CASES));

// Every month of a 400-year cycle (which holds every leap-year rule): its
// last day is valid and the next one is not, with the length counted from
// the day numbers of consecutive first days.
TEST(CivilDate, LastDayOfEveryMonthOverA400YearCycle) {
    for (std::int64_t year = 1600; year < 2000; ++year) {
        for (std::uint32_t month = 1; month <= 12; ++month) {
            const std::int64_t next_first = month == 12 ? days_from_civil(year + 1, 1, 1)
                                                        : days_from_civil(year, month + 1, 1);
            const auto length = static_cast<std::uint64_t>(next_first - days_from_civil(year, month, 1));
            ASSERT_TRUE(is_valid_civil_date(year, month, length)) << year << '-' << month;
            ASSERT_FALSE(is_valid_civil_date(year, month, length + 1)) << year << '-' << month;
        }
    }
}

}  // namespace
}  // namespace tessellon
