#include <cmath>

#include "core/interleave_kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSELLON_HAVE_PDEP_DISPATCH 1
#endif

namespace tessellon {
namespace {

// Spreads the low 21 bits of value so that bit k lands at bit 3k.
constexpr std::uint64_t spread_bits(std::uint32_t value) {
    std::uint64_t x = value & AXIS_MAX;
    x = (x | x << 32) & 0x001F00000000FFFFull;
    x = (x | x << 16) & 0x001F0000FF0000FFull;
    x = (x | x << 8) & 0x100F00F00F00F00Full;
    x = (x | x << 4) & 0x10C30C30C30C30C3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

constexpr HashKey spread_and_merge(const AxisCells& cells) {
    return spread_bits(cells.longitude) | spread_bits(cells.latitude) << 1 | spread_bits(cells.time) << 2;
}

static_assert(spread_and_merge({1, 2, 3}) == 29);
static_assert(spread_and_merge({0, 0, AXIS_MAX}) == 0x1249249249249249ull);
static_assert(spread_and_merge({AXIS_MAX, AXIS_MAX, AXIS_MAX}) == 0x7FFFFFFFFFFFFFFFull);

#ifdef TESSELLON_HAVE_PDEP_DISPATCH
__attribute__((target("bmi2"))) HashKey interleave_pdep(const AxisCells& cells) {
    constexpr std::uint64_t LONGITUDE_MASK = 0x1249249249249249ull;
    return _pdep_u64(cells.longitude, LONGITUDE_MASK) | _pdep_u64(cells.latitude, LONGITUDE_MASK << 1) |
           _pdep_u64(cells.time, LONGITUDE_MASK << 2);
}

bool cpu_has_bmi2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2");
}

// pdep is microcoded and slow on AMD before Zen 3; only Intel gets it.
bool pdep_is_fast() { return cpu_has_bmi2() && __builtin_cpu_is("intel"); }
#else
bool cpu_has_bmi2() { return false; }
bool pdep_is_fast() { return false; }
#endif

// TESSELLON_INTERLEAVE_KERNEL (a CMake option) may force a kernel, so that
// tests run each one whatever the CPU's maker: bmi2 wherever the CPU has it.
InterleaveKernel choose_kernel() {
#if defined(TESSELLON_FORCE_PORTABLE_KERNEL)
    return InterleaveKernel::portable;
#elif defined(TESSELLON_FORCE_BMI2_KERNEL)
    return cpu_has_bmi2() ? InterleaveKernel::bmi2 : InterleaveKernel::portable;
#else
    return pdep_is_fast() ? InterleaveKernel::bmi2 : InterleaveKernel::portable;
#endif
}

const InterleaveKernel active_kernel = choose_kernel();

}  // namespace

HashKey interleave(const AxisCells& cells) {
#ifdef TESSELLON_HAVE_PDEP_DISPATCH
    if (active_kernel == InterleaveKernel::bmi2) {
        return interleave_pdep(cells);
    }
#endif
    return spread_and_merge(cells);
}

HashKey interleave_portable(const AxisCells& cells) { return spread_and_merge(cells); }

bool kernel_is_available(InterleaveKernel kernel) {
    return kernel == InterleaveKernel::portable || (kernel == InterleaveKernel::bmi2 && cpu_has_bmi2());
}

InterleaveKernel selected_kernel() { return active_kernel; }

HashKey interleave_with(InterleaveKernel kernel, const AxisCells& cells) {
#ifdef TESSELLON_HAVE_PDEP_DISPATCH
    if (kernel == InterleaveKernel::bmi2) {
        return interleave_pdep(cells);
    }
#endif
    (void)kernel;
    return spread_and_merge(cells);
}

const char* kernel_name(InterleaveKernel kernel) {
    return kernel == InterleaveKernel::bmi2 ? "bmi2" : "portable";
}

std::uint32_t quantize(double normalized) {
    if (normalized < 0.0) {
        normalized = 0.0;
    } else if (normalized > 1.0) {
        normalized = 1.0;
    }
    const double scaled = normalized * static_cast<double>(AXIS_MAX);
    // NaN survives both comparisons above and maps to cell 0.
    return std::isnan(scaled) ? 0 : static_cast<std::uint32_t>(scaled);
}

}  // namespace tessellon
