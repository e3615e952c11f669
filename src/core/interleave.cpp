#include <cmath>

#include "core/interleave_kernels.hpp"
#include "core/key_bits.hpp"
#include "core/platform.hpp"

namespace tessellon {
namespace {

constexpr HashKey spread_and_merge(const AxisCells& cells) {
    return key_of_cells(cells.time, cells.longitude, cells.latitude);
}

static_assert(spread_and_merge({1, 2, 3}) == 29);
static_assert(spread_and_merge({0, 0, AXIS_MAX}) == 0x1249249249249249ull);
static_assert(spread_and_merge({AXIS_MAX, AXIS_MAX, AXIS_MAX}) == 0x7FFFFFFFFFFFFFFFull);

#ifdef TESSELLON_X86_FAST_PATHS
TESSELLON_BMI2_TARGET HashKey interleave_pdep(const AxisCells& cells) {
    return platform::pdep_bmi2(cells.longitude, LONGITUDE_BITS) |
           platform::pdep_bmi2(cells.latitude, LATITUDE_BITS) |
           platform::pdep_bmi2(cells.time, TIME_BITS);
}

// cpuid leaf 7, subleaf 0: EBX bit 8 is BMI2 (no operating-system state to
// check, as it uses general-purpose registers only).
bool cpu_has_bmi2() {
    const platform::CpuidRegisters highest = platform::cpuid(0, 0);
    return highest.eax >= 7 && (platform::cpuid(7, 0).ebx & (1u << 8)) != 0;
}
#endif

enum class CpuMaker { intel, amd, other };

// The vendor string of cpuid leaf 0 is in EBX, EDX, ECX.
CpuMaker cpu_maker() {
    const platform::CpuidRegisters vendor = platform::cpuid(0, 0);
    constexpr auto word = [](const char (&text)[5]) {
        return static_cast<std::uint32_t>(text[0]) | static_cast<std::uint32_t>(text[1]) << 8 |
               static_cast<std::uint32_t>(text[2]) << 16 | static_cast<std::uint32_t>(text[3]) << 24;
    };
    if (vendor.ebx == word("Genu") && vendor.edx == word("ineI") && vendor.ecx == word("ntel")) {
        return CpuMaker::intel;
    }
    if (vendor.ebx == word("Auth") && vendor.edx == word("enti") && vendor.ecx == word("cAMD")) {
        return CpuMaker::amd;
    }
    return CpuMaker::other;
}

// The display family of cpuid leaf 1: the extended family is added to the
// base family 0xF.
std::uint32_t cpu_family() {
    const std::uint32_t signature = platform::cpuid(1, 0).eax;
    const std::uint32_t base = signature >> 8 & 0xF;
    return base == 0xF ? base + (signature >> 20 & 0xFF) : base;
}

// pdep takes 3 cycles on every Intel CPU with BMI2 and on AMD from Zen 3
// (family 0x19); on Zen 1 and 2 it is microcoded and slower than shifting.
// Any other maker is not known to be fast.
bool pdep_is_fast() {
    switch (cpu_maker()) {
        case CpuMaker::intel:
            return true;
        case CpuMaker::amd:
            return cpu_family() >= 0x19;
        case CpuMaker::other:
            return false;
    }
    return false;
}

// TESSELLON_INTERLEAVE_KERNEL (a CMake option) may force a kernel, so that
// tests run each one whatever the CPU's maker: bmi2 wherever the CPU has it.
enum class KernelChoice { automatic, portable, bmi2 };

#if defined(TESSELLON_FORCE_PORTABLE_KERNEL)
constexpr KernelChoice BUILD_CHOICE = KernelChoice::portable;
#elif defined(TESSELLON_FORCE_BMI2_KERNEL)
constexpr KernelChoice BUILD_CHOICE = KernelChoice::bmi2;
#else
constexpr KernelChoice BUILD_CHOICE = KernelChoice::automatic;
#endif

InterleaveKernel choose_kernel() {
    const bool bmi2_available = kernel_is_available(InterleaveKernel::bmi2);
    switch (BUILD_CHOICE) {
        case KernelChoice::portable:
            return InterleaveKernel::portable;
        case KernelChoice::bmi2:
            return bmi2_available ? InterleaveKernel::bmi2 : InterleaveKernel::portable;
        case KernelChoice::automatic:
            return bmi2_available && pdep_is_fast() ? InterleaveKernel::bmi2 : InterleaveKernel::portable;
    }
    return InterleaveKernel::portable;
}

const InterleaveKernel active_kernel = choose_kernel();

}  // namespace

HashKey interleave(const AxisCells& cells) {
#ifdef TESSELLON_X86_FAST_PATHS
    if (active_kernel == InterleaveKernel::bmi2) {
        return interleave_pdep(cells);
    }
#endif
    return spread_and_merge(cells);
}

HashKey interleave_portable(const AxisCells& cells) { return spread_and_merge(cells); }

bool kernel_is_available(InterleaveKernel kernel) {
#ifdef TESSELLON_X86_FAST_PATHS
    static const bool has_bmi2 = cpu_has_bmi2();
    return kernel == InterleaveKernel::portable || (kernel == InterleaveKernel::bmi2 && has_bmi2);
#else
    // Built without the x86 fast paths: no BMI2 kernel to run.
    return kernel == InterleaveKernel::portable;
#endif
}

InterleaveKernel selected_kernel() { return active_kernel; }

HashKey interleave_with(InterleaveKernel kernel, const AxisCells& cells) {
#ifdef TESSELLON_X86_FAST_PATHS
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
