#include "core/cell_box.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessellon {
namespace {

constexpr double INFINITE = std::numeric_limits<double>::infinity();

struct CellSpan {
    std::uint32_t low = AXIS_MAX;
    std::uint32_t high = 0;

    void take(std::uint32_t cell) {
        low = std::min(low, cell);
        high = std::max(high, cell);
    }
    AxisRange range() const { return {low, high}; }
};

// The first instant of the second after instant's second.
UtcDateTime next_second(const UtcDateTime& instant) {
    if (instant.seconds_of_day() + 1 == SECONDS_PER_DAY) {
        return UtcDateTime::from_days(instant.days_since_epoch() + 1, 0, 0);
    }
    return UtcDateTime::from_days(instant.days_since_epoch(), instant.seconds_of_day() + 1, 0);
}

// The last instant of the leap second that may precede instant's second, whose
// milliseconds are those of instant's second.
UtcDateTime last_leap_instant_before(const UtcDateTime& instant) {
    constexpr std::uint32_t LAST_LEAP_NANOS = 2 * NANOS_PER_SECOND - 1;
    if (instant.seconds_of_day() == 0) {
        return UtcDateTime::from_days(instant.days_since_epoch() - 1, SECONDS_PER_DAY - 1, LAST_LEAP_NANOS);
    }
    return UtcDateTime::from_days(instant.days_since_epoch(), instant.seconds_of_day() - 1, LAST_LEAP_NANOS);
}

// Time cells of every instant from start to end. Milliseconds grow with the
// instant except across a leap second, whose milliseconds repeat those of the
// next second: the lowest and highest milliseconds of the window may belong
// to instants other than its ends.
AxisRange time_cells(const Hasher& hasher, const UtcDateTime& start, const UtcDateTime& end) {
    CellSpan cells;
    const auto time_cell = [&](const UtcDateTime& instant) { return hasher.quantize_point(instant, 0.0, 0.0).time; };
    cells.take(time_cell(start));
    cells.take(time_cell(end));
    if (start.is_leap_second() && next_second(start) <= end) {
        cells.take(time_cell(next_second(start)));
    }
    if (!end.is_leap_second() && end.seconds_of_day() % 60 == 0 && end.days_since_epoch() > MIN_DAYS) {
        const UtcDateTime leap = last_leap_instant_before(end);
        if (start <= leap) {
            cells.take(time_cell(leap));
        }
    }
    return cells.range();
}

AxisRange longitude_cells(const Hasher& hasher, double from, double to) {
    CellSpan cells;
    cells.take(hasher.quantize_point(hasher.start(), from, 0.0).longitude);
    cells.take(hasher.quantize_point(hasher.start(), to, 0.0).longitude);
    return cells.range();
}

AxisRange latitude_cells(const Hasher& hasher, double from, double to) {
    CellSpan cells;
    cells.take(hasher.quantize_point(hasher.start(), 0.0, from).latitude);
    cells.take(hasher.quantize_point(hasher.start(), 0.0, to).latitude);
    return cells.range();
}

bool overlap_or_touch(const AxisRange& a, const AxisRange& b) {
    return std::uint64_t{a.first} <= std::uint64_t{b.last} + 1 && std::uint64_t{b.first} <= std::uint64_t{a.last} + 1;
}

}  // namespace

std::expected<std::vector<CellBox>, WindowError> cell_boxes(const Hasher& hasher, const QueryWindow& window) {
    if (std::isnan(window.west) || std::isnan(window.south) || std::isnan(window.east) || std::isnan(window.north)) {
        return std::unexpected(WindowError::NaNBound);
    }
    if (window.start > window.end) {
        return std::unexpected(WindowError::StartAfterEnd);
    }
    if (window.south > window.north) {
        return std::unexpected(WindowError::SouthAboveNorth);
    }
    const AxisRange time = time_cells(hasher, window.start, window.end);
    const AxisRange latitude = latitude_cells(hasher, window.south, window.north);
    if (window.west <= window.east) {
        return std::vector<CellBox>{{time, longitude_cells(hasher, window.west, window.east), latitude}};
    }
    const AxisRange eastward = longitude_cells(hasher, window.west, INFINITE);
    const AxisRange westward = longitude_cells(hasher, -INFINITE, window.east);
    if (overlap_or_touch(eastward, westward)) {
        const AxisRange merged{std::min(eastward.first, westward.first), std::max(eastward.last, westward.last)};
        return std::vector<CellBox>{{time, merged, latitude}};
    }
    return std::vector<CellBox>{{time, eastward, latitude}, {time, westward, latitude}};
}

}  // namespace tessellon
