// Every interleave kernel this build and CPU can run, each called directly,
// against the bit-by-bit layout and against the others; and the dispatched
// interleave() against the kernel it says it selected.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/interleave_kernels.hpp"

namespace tessellon {
namespace {

constexpr std::uint32_t M = AXIS_MAX;

// Bit k of longitude, latitude and time at key bits 3k, 3k+1, 3k+2.
HashKey bit_by_bit(const AxisCells& cells) {
    HashKey key = 0;
    for (unsigned k = 0; k < AXIS_BITS; ++k) {
        key |= HashKey{(cells.longitude >> k) & 1u} << (3 * k);
        key |= HashKey{(cells.latitude >> k) & 1u} << (3 * k + 1);
        key |= HashKey{(cells.time >> k) & 1u} << (3 * k + 2);
    }
    return key;
}

// Single bits of each axis, the corners and a few patterns, then random cells.
std::vector<AxisCells> sample_cells() {
    std::vector<AxisCells> cells = {
        {0, 0, 0}, {M, M, M}, {M, 0, 0}, {0, M, 0}, {0, 0, M}, {1, 2, 3},
        {0x155555, 0x0AAAAA, 0x1FFFFF}, {0x0AAAAA, 0x155555, 0},
    };
    for (unsigned k = 0; k < AXIS_BITS; ++k) {
        cells.push_back({1u << k, 0, 0});
        cells.push_back({0, 1u << k, 0});
        cells.push_back({0, 0, 1u << k});
    }
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint32_t> cell(0, M);
    for (int i = 0; i < 20'000; ++i) {
        cells.push_back({cell(random), cell(random), cell(random)});
    }
    return cells;
}

struct KernelCase {
    InterleaveKernel kernel;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << kernel_name(c.kernel); }

class KernelTest : public testing::TestWithParam<KernelCase> {
protected:
    void SetUp() override {
        if (!kernel_is_available(GetParam().kernel)) {
            GTEST_SKIP() << kernel_name(GetParam().kernel) << " is not available in this build or on this CPU";
        }
    }
};

TEST_P(KernelTest, MatchesBitByBitLayout) {
    const InterleaveKernel kernel = GetParam().kernel;
    for (const AxisCells& cells : sample_cells()) {
        ASSERT_EQ(interleave_with(kernel, cells), bit_by_bit(cells))
            << cells.time << ' ' << cells.latitude << ' ' << cells.longitude;
    }
}

TEST_P(KernelTest, MatchesPortableKernel) {
    const InterleaveKernel kernel = GetParam().kernel;
    for (const AxisCells& cells : sample_cells()) {
        ASSERT_EQ(interleave_with(kernel, cells), interleave_portable(cells))
            << cells.time << ' ' << cells.latitude << ' ' << cells.longitude;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelTest,
                         testing::Values(KernelCase{InterleaveKernel::portable}, KernelCase{InterleaveKernel::bmi2}),
                         [](const auto& info) { return std::string(kernel_name(info.param.kernel)); });

TEST(Interleave, DispatchUsesTheSelectedKernel) {
    const InterleaveKernel selected = selected_kernel();
    ASSERT_TRUE(kernel_is_available(selected)) << kernel_name(selected);
    for (const AxisCells& cells : sample_cells()) {
        ASSERT_EQ(interleave(cells), interleave_with(selected, cells));
    }
    std::cout << "[ INFO     ] interleave() uses the " << kernel_name(selected) << " kernel\n";
}

}  // namespace
}  // namespace tessellon
