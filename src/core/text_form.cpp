#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "core/extent_error.hpp"

namespace tessellon {
namespace {

void append_padded(std::string& out, std::uint64_t value, int width) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    const auto length = static_cast<int>(result.ptr - digits);
    if (length < width) {
        out.append(static_cast<std::size_t>(width - length), '0');
    }
    out.append(digits, result.ptr);
}

void append_year(std::string& out, std::int32_t year) {
    if (year >= 0 && year <= 9999) {
        append_padded(out, static_cast<std::uint64_t>(year), 4);
        return;
    }
    out.push_back(year < 0 ? '-' : '+');
    append_padded(out, static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(year))), 4);
}

void append_fraction(std::string& out, std::uint32_t nanoseconds) {
    if (nanoseconds == 0) {
        return;
    }
    out.push_back('.');
    if (nanoseconds % 1'000'000 == 0) {
        append_padded(out, nanoseconds / 1'000'000, 3);
    } else if (nanoseconds % 1'000 == 0) {
        append_padded(out, nanoseconds / 1'000, 6);
    } else {
        append_padded(out, nanoseconds, 9);
    }
}

}  // namespace

std::string format_instant(const UtcDateTime& instant) {
    const CivilDate date = instant.date();
    const std::uint32_t seconds_of_day = instant.seconds_of_day();
    std::uint32_t second = seconds_of_day % 60;
    std::uint32_t nanoseconds = instant.nanoseconds();
    if (instant.is_leap_second()) {
        second += 1;
        nanoseconds -= NANOS_PER_SECOND;
    }
    std::string out;
    out.reserve(40);
    append_year(out, date.year);
    out.push_back('-');
    append_padded(out, date.month, 2);
    out.push_back('-');
    append_padded(out, date.day, 2);
    out.push_back(' ');
    append_padded(out, seconds_of_day / 3600, 2);
    out.push_back(':');
    append_padded(out, seconds_of_day / 60 % 60, 2);
    out.push_back(':');
    append_padded(out, second, 2);
    append_fraction(out, nanoseconds);
    out.append(" UTC");
    return out;
}

std::string format_double(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    if (value == 0.0) {
        return std::signbit(value) ? "-0" : "0";
    }
    // Shortest round-trip digits as d.ddde±x; the value is 0.dddd × 10^exponent.
    char scientific[32];
    const auto written = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                                       std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<std::size_t>(written.ptr - scientific));
    const std::size_t exponent_mark = text.find('e');
    std::string digits;
    for (char c : text.substr(0, exponent_mark)) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    int exponent = 0;
    const std::string_view exponent_text = text.substr(exponent_mark + 1);
    const char* exponent_begin = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
    std::from_chars(exponent_begin, exponent_text.data() + exponent_text.size(), exponent);
    exponent += 1;

    const auto digit_count = static_cast<int>(digits.size());
    std::string out;
    if (value < 0) {
        out.push_back('-');
    }
    if (exponent <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-exponent), '0');
        out.append(digits);
    } else if (exponent < digit_count) {
        out.append(digits, 0, static_cast<std::size_t>(exponent));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(exponent));
    } else {
        out.append(digits);
        out.append(static_cast<std::size_t>(exponent - digit_count), '0');
    }
    return out;
}

std::string ExtentError::message() const {
    switch (kind_) {
        case Kind::Datetime:
            return "datetime outside of the hasher's temporal extent: " + format_instant(instant_);
        case Kind::Latitude:
            return "latitude outside of the hasher's spatial extent: " + format_double(coordinate_);
        case Kind::Longitude:
            return "longitude outside of the hasher's spatial extent: " + format_double(coordinate_);
    }
    return {};
}

}  // namespace tessellon
