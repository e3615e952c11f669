#include "core/decode.hpp"

#include <bit>
#include <limits>

#include "core/key_bits.hpp"

namespace tessellon {
namespace {

constexpr std::int64_t MILLIS_PER_DAY = std::int64_t{SECONDS_PER_DAY} * 1000;
constexpr std::int64_t EARLIEST_MILLIS = MIN_DAYS * MILLIS_PER_DAY;
// The last day's last instant is a leap second whose milliseconds run past the day.
constexpr std::int64_t LATEST_MILLIS = MAX_DAYS * MILLIS_PER_DAY + MILLIS_PER_DAY + 999;
constexpr double INFINITE = std::numeric_limits<double>::infinity();

// An instant whose unix_millis() is millis, for millis in EARLIEST..LATEST.
UtcDateTime instant_at(std::int64_t millis) {
    std::int64_t days = millis / MILLIS_PER_DAY;
    std::int64_t rest = millis % MILLIS_PER_DAY;
    if (rest < 0) {
        days -= 1;
        rest += MILLIS_PER_DAY;
    }
    if (days > MAX_DAYS) {  // inside the final leap second
        return UtcDateTime::from_days(static_cast<std::int32_t>(MAX_DAYS), SECONDS_PER_DAY - 1,
                                      static_cast<std::uint32_t>(NANOS_PER_SECOND + rest * 1'000'000));
    }
    return UtcDateTime::from_days(static_cast<std::int32_t>(days), static_cast<std::uint32_t>(rest / 1000),
                                  static_cast<std::uint32_t>(rest % 1000 * 1'000'000));
}

// Doubles as unsigned integers in numeric order: -inf < ... < -0 < +0 < ... < +inf.
constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
std::uint64_t ordered_code(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits & SIGN) != 0 ? ~bits : bits | SIGN;
}
double from_ordered_code(std::uint64_t code) {
    return std::bit_cast<double>((code & SIGN) != 0 ? code & ~SIGN : ~code);
}

// The first code in [low, high] where at(code) holds, for at false then true;
// high + 1 if none.
template <typename Code, typename Predicate>
Code first_where(Code low, Code high, Predicate at) {
    Code count = high - low + 1;
    while (count > 0) {
        const Code step = count / 2;
        if (!at(low + step)) {
            low = low + step + 1;
            count -= step + 1;
        } else {
            count = step;
        }
    }
    return low;
}

// The codes in [low, high] that cell_of, monotone in either direction, maps
// onto cell; nullopt when none.
template <typename Code, typename CellOf>
std::optional<std::pair<Code, Code>> preimage(Code low, Code high, std::uint32_t cell, CellOf cell_of) {
    const bool increasing = cell_of(low) <= cell_of(high);
    const auto at_or_past = [&](Code code) { return increasing ? cell_of(code) >= cell : cell_of(code) <= cell; };
    const auto past = [&](Code code) { return increasing ? cell_of(code) > cell : cell_of(code) < cell; };
    const Code first = first_where(low, high, at_or_past);
    if (first > high || past(first)) {
        return std::nullopt;
    }
    const Code after = first_where(first, high, past);
    return std::pair{first, after - 1};
}

std::pair<double, double> double_preimage(std::uint32_t cell, auto cell_of_value) {
    const auto found = preimage(ordered_code(-INFINITE), ordered_code(INFINITE), cell,
                                [&](std::uint64_t code) { return cell_of_value(from_ordered_code(code)); });
    if (!found) {
        return {INFINITE, -INFINITE};
    }
    return {from_ordered_code(found->first), from_ordered_code(found->second)};
}

}  // namespace

CellRegion cell_region(const Hasher& hasher, HashKey key) {
    const AxisCells cells = deinterleave(key);
    const auto millis = preimage(EARLIEST_MILLIS, LATEST_MILLIS, cells.time, [&](std::int64_t at) {
        return hasher.quantize_point(instant_at(at), 0.0, 0.0).time;
    });
    const auto [west, east] = double_preimage(cells.longitude, [&](double longitude) {
        return hasher.quantize_point(hasher.start(), longitude, 0.0).longitude;
    });
    const auto [south, north] = double_preimage(cells.latitude, [&](double latitude) {
        return hasher.quantize_point(hasher.start(), 0.0, latitude).latitude;
    });
    return CellRegion{
        .first_millis = millis ? millis->first : LATEST_MILLIS,
        .last_millis = millis ? millis->second : EARLIEST_MILLIS,
        .west = west,
        .south = south,
        .east = east,
        .north = north,
    };
}

namespace {

double centre_on_axis(std::uint32_t cell, double origin, double span, double end) {
    if (cell == AXIS_MAX) {
        return end;
    }
    return origin + span * ((static_cast<double>(cell) + 0.5) / static_cast<double>(AXIS_MAX));
}

}  // namespace

void decode_centres(const Hasher& hasher, std::span<const std::int64_t> keys, CellCentre* out) {
    const BoundingBox& box = hasher.bbox();
    const auto start_millis = static_cast<double>(hasher.start().unix_millis());
    const double end_millis = start_millis + hasher.span_ms();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const AxisCells cells = deinterleave(static_cast<HashKey>(keys[i]));
        out[i] = CellCentre{
            .unix_millis = centre_on_axis(cells.time, start_millis, hasher.span_ms(), end_millis),
            .longitude = centre_on_axis(cells.longitude, box.min_longitude, box.longitude_span, box.max_longitude),
            .latitude = centre_on_axis(cells.latitude, box.min_latitude, box.latitude_span, box.max_latitude),
        };
    }
}

}  // namespace tessellon
