// An instant in UTC on the proleptic Gregorian calendar, and the calendar
// arithmetic behind it.
#pragma once

#include <compare>
#include <cstdint>

namespace tessellon {

inline constexpr std::int32_t MIN_YEAR = -262143;
inline constexpr std::int32_t MAX_YEAR = 262142;
inline constexpr std::uint32_t SECONDS_PER_DAY = 86400;
inline constexpr std::uint32_t NANOS_PER_SECOND = 1'000'000'000;

struct CivilDate {
    std::int32_t year;
    std::uint32_t month;  // 1..12
    std::uint32_t day;    // 1..31

    friend constexpr bool operator==(const CivilDate&, const CivilDate&) = default;
};

constexpr bool is_leap_year(std::int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr std::uint32_t days_in_month(std::int64_t year, std::uint32_t month) {
    constexpr std::uint8_t lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : lengths[month - 1];
}

// True for a real calendar day within the supported years.
constexpr bool is_valid_civil_date(std::int64_t year, std::uint64_t month, std::uint64_t day) {
    return year >= MIN_YEAR && year <= MAX_YEAR && month >= 1 && month <= 12 && day >= 1 &&
           day <= days_in_month(year, static_cast<std::uint32_t>(month));
}

// Days from 1970-01-01 to the given day (Howard Hinnant's days_from_civil).
constexpr std::int64_t days_from_civil(std::int64_t year, std::uint32_t month, std::uint32_t day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<std::uint32_t>(year - era * 400);
    const std::uint32_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::uint32_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// The inverse of days_from_civil.
constexpr CivilDate civil_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto day_of_era = static_cast<std::uint32_t>(days - era * 146097);
    const std::uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint32_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint32_t shifted_month = (5 * day_of_year + 2) / 153;
    const std::uint32_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const std::uint32_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2);
    return CivilDate{static_cast<std::int32_t>(year), month, day};
}

inline constexpr std::int64_t MIN_DAYS = days_from_civil(MIN_YEAR, 1, 1);
inline constexpr std::int64_t MAX_DAYS = days_from_civil(MAX_YEAR, 12, 31);

// The date is held as its day count since the Unix epoch, so comparison and
// the millisecond arithmetic of encoding need no calendar work.
class UtcDateTime {
public:
    constexpr UtcDateTime() = default;

    // The caller guarantees the ranges: days within MIN_DAYS..MAX_DAYS,
    // seconds_of_day below 86400, and nanoseconds below 2e9 (from 1e9 only
    // while the second of the minute is 59, marking a leap second).
    static constexpr UtcDateTime from_days(std::int32_t days_since_epoch, std::uint32_t seconds_of_day,
                                           std::uint32_t nanoseconds) {
        UtcDateTime instant;
        instant.days_ = days_since_epoch;
        instant.seconds_of_day_ = seconds_of_day;
        instant.nanoseconds_ = nanoseconds;
        return instant;
    }

    static constexpr UtcDateTime from_civil(const CivilDate& date, std::uint32_t seconds_of_day,
                                            std::uint32_t nanoseconds) {
        return from_days(static_cast<std::int32_t>(days_from_civil(date.year, date.month, date.day)),
                         seconds_of_day, nanoseconds);
    }

    constexpr std::int32_t days_since_epoch() const { return days_; }
    constexpr CivilDate date() const { return civil_from_days(days_); }
    constexpr std::uint32_t seconds_of_day() const { return seconds_of_day_; }
    constexpr std::uint32_t nanoseconds() const { return nanoseconds_; }
    constexpr bool is_leap_second() const { return nanoseconds_ >= NANOS_PER_SECOND; }

    // Whole milliseconds since the epoch, rounded toward negative infinity;
    // leap-second nanoseconds spill into the following second.
    constexpr std::int64_t unix_millis() const {
        return (static_cast<std::int64_t>(days_) * SECONDS_PER_DAY + seconds_of_day_) * 1000 +
               nanoseconds_ / 1'000'000;
    }

    friend constexpr auto operator<=>(const UtcDateTime&, const UtcDateTime&) = default;

private:
    std::int32_t days_ = 0;
    std::uint32_t seconds_of_day_ = 0;
    std::uint32_t nanoseconds_ = 0;
};

// Milliseconds from start to end, truncated toward zero, with the
// leap-second correction; exact for every pair of instants.
std::int64_t span_millis(const UtcDateTime& start, const UtcDateTime& end);

}  // namespace tessellon
