// The portable fallbacks of platform.hpp against what they stand in for:
// PortableInt128 against the compiler's 128-bit integer, pdep_portable
// against a table and, on CPUs with BMI2, against the instruction.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "core/interleave_kernels.hpp"
#include "core/platform.hpp"

namespace tessellon {
namespace {

using platform::PortableInt128;

constexpr std::int64_t MIN64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t MAX64 = std::numeric_limits<std::int64_t>::max();

// Operands at the edges of every word and sign, then random ones of every size.
std::vector<std::int64_t> operands() {
    std::vector<std::int64_t> values = {0, 1, -1, 2, -2, 1'000'000, -1'000'000, 86'400'000'000, MIN64, MAX64,
                                        MIN64 + 1, MAX64 - 1, 0xFFFFFFFF, -0xFFFFFFFFll, 0x100000000, -0x100000000};
    std::mt19937_64 random(3);
    for (int bits = 1; bits <= 64; ++bits) {
        for (int i = 0; i < 8; ++i) {
            const auto raw = static_cast<std::int64_t>(random());
            values.push_back(bits == 64 ? raw : raw >> (64 - bits));
        }
    }
    return values;
}

#if defined(TESSELLON_NATIVE_INT128)
using NativeInt128 = platform::Int128;

// Products and sums of two operands reach every part of 128 bits.
std::vector<NativeInt128> wide_values() {
    std::vector<NativeInt128> values;
    const std::vector<std::int64_t> small = operands();
    for (std::size_t i = 0; i < small.size(); i += 23) {
        for (std::size_t j = 0; j < small.size(); j += 29) {
            values.push_back(NativeInt128{small[i]} * small[j] + small[(i + j) % small.size()]);
        }
    }
    return values;
}

PortableInt128 portable(NativeInt128 value) {
    const auto bits = static_cast<platform::UnsignedInt128>(value);
    return PortableInt128::from_words(static_cast<std::uint64_t>(bits >> 64), static_cast<std::uint64_t>(bits));
}

bool same(PortableInt128 got, NativeInt128 expected) {
    const auto bits = static_cast<platform::UnsignedInt128>(expected);
    return got.high_word() == static_cast<std::uint64_t>(bits >> 64) &&
           got.low_word() == static_cast<std::uint64_t>(bits);
}

TEST(PortableInt128, MatchesTheCompilersInt128) {
    const std::vector<NativeInt128> values = wide_values();
    for (NativeInt128 a : values) {
        ASSERT_TRUE(same(portable(a), a));
        ASSERT_EQ(static_cast<std::int64_t>(portable(a)), static_cast<std::int64_t>(a));
        ASSERT_TRUE(same(PortableInt128(static_cast<std::int64_t>(a)), static_cast<std::int64_t>(a)));
        for (NativeInt128 b : values) {
            const PortableInt128 pa = portable(a), pb = portable(b);
            ASSERT_TRUE(same(pa + pb, a + b));
            ASSERT_TRUE(same(pa - pb, a - b));
            ASSERT_EQ(pa < pb, a < b);
            ASSERT_EQ(pa == pb, a == b);
            // Wrapping products, computed unsigned to keep the reference defined.
            const auto product = static_cast<NativeInt128>(static_cast<platform::UnsignedInt128>(a) *
                                                           static_cast<platform::UnsignedInt128>(b));
            ASSERT_TRUE(same(pa * pb, product));
            if (b != 0 && !(b == -1 && a == (NativeInt128{1} << 127))) {
                ASSERT_TRUE(same(pa / pb, a / b));
                ASSERT_TRUE(same(pa % pb, a % b));
            }
        }
    }
}
#endif

TEST(PortableInt128, ExactWhereInt64Overflows) {
    struct Case {
        std::int64_t a, b, divisor, quotient, remainder;
    };
    // (a * b) / divisor and (a * b) % divisor, a * b beyond 64 bits.
    const Case cases[] = {
        {MAX64, 2, 2, MAX64, 0},
        {MIN64, 2, -2, MIN64, 0},
        {MAX64, 1'000'000, 1'000'000, MAX64, 0},
        {MIN64, 3, 4, -6917529027641081856, 0},
        {86'400'000'000, 106'751'991'167, 86'400'000'000, 106'751'991'167, 0},
        {-7, 3, 2, -10, -1},
        {7, -3, 2, -10, -1},
        {-7, -3, 2, 10, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a);
        const PortableInt128 product = PortableInt128(c.a) * c.b;
        EXPECT_EQ(static_cast<std::int64_t>(product / c.divisor), c.quotient);
        EXPECT_EQ(static_cast<std::int64_t>(product % c.divisor), c.remainder);
    }
    EXPECT_LT(PortableInt128(MIN64) * 2, PortableInt128(MIN64));
    EXPECT_GT(PortableInt128(MAX64) * 2, PortableInt128(MAX64));
}

TEST(Pdep, PortableMatchesTable) {
    struct Case {
        std::uint64_t value, mask, deposited;
    };
    const Case cases[] = {
        {0, 0, 0},
        {~0ull, 0, 0},
        {~0ull, ~0ull, ~0ull},
        {0b1011, 0b11110000, 0b10110000},
        {0b101, 0b1010100, 0b1000100},
        {1, 0x8000000000000000ull, 0x8000000000000000ull},
        {0x1FFFFF, 0x1249249249249249ull, 0x1249249249249249ull},
        {0x1FFFFF, 0x2492492492492492ull, 0x2492492492492492ull},
        {0x155555, 0x1249249249249249ull, 0x1041041041041041ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::pdep_portable(c.value, c.mask), c.deposited) << c.value << ' ' << c.mask;
    }
}

#if defined(TESSELLON_X86_FAST_PATHS)
TESSELLON_BMI2_TARGET std::uint64_t instruction_pdep(std::uint64_t value, std::uint64_t mask) {
    return platform::pdep_bmi2(value, mask);
}

TEST(Pdep, InstructionMatchesPortable) {
    if (!kernel_is_available(InterleaveKernel::bmi2)) {
        GTEST_SKIP() << "this CPU has no BMI2";
    }
    std::mt19937_64 random(5);
    for (int i = 0; i < 100'000; ++i) {
        const std::uint64_t value = random(), mask = random() & random();
        ASSERT_EQ(instruction_pdep(value, mask), platform::pdep_portable(value, mask)) << value << ' ' << mask;
    }
}
#endif

}  // namespace
}  // namespace tessellon
