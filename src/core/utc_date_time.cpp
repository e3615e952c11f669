#include "core/utc_date_time.hpp"

namespace tessellon {

std::int64_t span_millis(const UtcDateTime& start, const UtcDateTime& end) {
    const std::int64_t start_second = start.seconds_of_day();
    const std::int64_t end_second = end.seconds_of_day();
    std::int64_t whole_seconds =
        (static_cast<std::int64_t>(end.days_since_epoch()) - start.days_since_epoch()) * SECONDS_PER_DAY +
        (end_second - start_second);
    if (end_second > start_second && start.is_leap_second()) {
        whole_seconds += 1;
    } else if (end_second < start_second && end.is_leap_second()) {
        whole_seconds -= 1;
    }
    // The nanosecond total overflows 64 bits for ranges beyond ~292 years, so
    // the whole milliseconds and the sub-millisecond rest are kept apart.
    const std::int64_t nanos_difference =
        static_cast<std::int64_t>(end.nanoseconds()) - static_cast<std::int64_t>(start.nanoseconds());
    const std::int64_t millis = whole_seconds * 1000 + nanos_difference / 1'000'000;
    const std::int64_t rest = nanos_difference % 1'000'000;
    // Truncate millis + rest/1e6 toward zero; |rest| < 1e6.
    if (millis > 0 && rest < 0) {
        return millis - 1;
    }
    if (millis < 0 && rest > 0) {
        return millis + 1;
    }
    return millis;
}

}  // namespace tessellon
