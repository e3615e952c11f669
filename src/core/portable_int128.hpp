// A signed 128-bit integer in standard C++, two's complement over two 64-bit
// words: the fallback of platform::Int128 where the compiler has no 128-bit
// type. Only what the project needs: +, -, *, division and remainder
// truncated toward zero, comparison, conversions.
#pragma once

#include <compare>
#include <cstdint>

namespace tessellon::platform {

class PortableInt128 {
public:
    constexpr PortableInt128() = default;
    constexpr PortableInt128(std::int64_t value)  // NOLINT: converts like a built-in integer
        : high_(value < 0 ? ~std::uint64_t{0} : 0), low_(static_cast<std::uint64_t>(value)) {}

    // The two's complement words: high * 2^64 + low.
    static constexpr PortableInt128 from_words(std::uint64_t high, std::uint64_t low) {
        PortableInt128 value;
        value.high_ = high;
        value.low_ = low;
        return value;
    }
    constexpr std::uint64_t high_word() const { return high_; }
    constexpr std::uint64_t low_word() const { return low_; }

    explicit constexpr operator std::int64_t() const { return static_cast<std::int64_t>(low_); }
    explicit constexpr operator std::int32_t() const { return static_cast<std::int32_t>(low_); }

    friend constexpr PortableInt128 operator+(PortableInt128 a, PortableInt128 b) {
        const std::uint64_t low = a.low_ + b.low_;
        return from_words(a.high_ + b.high_ + (low < a.low_ ? 1 : 0), low);
    }
    friend constexpr PortableInt128 operator-(PortableInt128 a) { return ~a + PortableInt128(1); }
    friend constexpr PortableInt128 operator-(PortableInt128 a, PortableInt128 b) { return a + -b; }

    // The low 128 bits of the product, as two's complement multiplication gives.
    friend constexpr PortableInt128 operator*(PortableInt128 a, PortableInt128 b) {
        const PortableInt128 low_product = multiply_words(a.low_, b.low_);
        return from_words(low_product.high_ + a.high_ * b.low_ + a.low_ * b.high_, low_product.low_);
    }

    friend constexpr PortableInt128 operator/(PortableInt128 a, PortableInt128 b) {
        PortableInt128 remainder;
        return divide(a, b, remainder);
    }
    friend constexpr PortableInt128 operator%(PortableInt128 a, PortableInt128 b) {
        PortableInt128 remainder;
        divide(a, b, remainder);
        return remainder;
    }

    constexpr PortableInt128& operator+=(PortableInt128 b) { return *this = *this + b; }
    constexpr PortableInt128& operator-=(PortableInt128 b) { return *this = *this - b; }

    friend constexpr bool operator==(PortableInt128, PortableInt128) = default;
    friend constexpr std::strong_ordering operator<=>(PortableInt128 a, PortableInt128 b) {
        if (a.high_ != b.high_) {
            return static_cast<std::int64_t>(a.high_) <=> static_cast<std::int64_t>(b.high_);
        }
        return a.low_ <=> b.low_;
    }

private:
    friend constexpr PortableInt128 operator~(PortableInt128 a) { return from_words(~a.high_, ~a.low_); }

    constexpr bool is_negative() const { return (high_ >> 63) != 0; }

    // The full 128-bit product of two unsigned words, from 32-bit halves.
    static constexpr PortableInt128 multiply_words(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32, b_low = b & 0xFFFFFFFFu, b_high = b >> 32;
        const std::uint64_t low_low = a_low * b_low, high_low = a_high * b_low, low_high = a_low * b_high;
        const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + (low_high & 0xFFFFFFFFu);
        return from_words(a_high * b_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32),
                          (middle << 32) | (low_low & 0xFFFFFFFFu));
    }

    // Shift-and-subtract on the magnitudes, then the signs of C++ division:
    // the quotient truncated toward zero, the remainder with the dividend's sign.
    static constexpr PortableInt128 divide(PortableInt128 dividend, PortableInt128 divisor,
                                           PortableInt128& remainder_out) {
        const bool negative_quotient = dividend.is_negative() != divisor.is_negative();
        const bool negative_remainder = dividend.is_negative();
        const PortableInt128 numerator = negative_remainder ? -dividend : dividend;
        const PortableInt128 denominator = divisor.is_negative() ? -divisor : divisor;
        PortableInt128 quotient, remainder;
        for (int bit = 127; bit >= 0; --bit) {
            remainder = from_words(remainder.high_ << 1 | remainder.low_ >> 63, remainder.low_ << 1);
            remainder.low_ |= (bit >= 64 ? numerator.high_ >> (bit - 64) : numerator.low_ >> bit) & 1;
            if (!unsigned_less(remainder, denominator)) {
                remainder = remainder - denominator;
                if (bit >= 64) {
                    quotient.high_ |= std::uint64_t{1} << (bit - 64);
                } else {
                    quotient.low_ |= std::uint64_t{1} << bit;
                }
            }
        }
        remainder_out = negative_remainder ? -remainder : remainder;
        return negative_quotient ? -quotient : quotient;
    }

    static constexpr bool unsigned_less(PortableInt128 a, PortableInt128 b) {
        return a.high_ != b.high_ ? a.high_ < b.high_ : a.low_ < b.low_;
    }

    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

}  // namespace tessellon::platform
