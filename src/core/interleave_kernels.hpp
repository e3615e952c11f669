// The interleave kernels, for the tests and the benchmark: which exist in this
// build and on this CPU, which one interleave() uses, and each run directly.
#pragma once

#include "core/hasher.hpp"

namespace tessellon {

enum class InterleaveKernel {
    portable,  // shifts and masks, everywhere
    bmi2,      // pdep; x86-64 builds with the fast paths, on CPUs with BMI2
};

// Whether this build holds the kernel and this CPU can run it.
bool kernel_is_available(InterleaveKernel kernel);

// The kernel interleave() uses, chosen once per process.
InterleaveKernel selected_kernel();

// Runs the given kernel, which must be available.
HashKey interleave_with(InterleaveKernel kernel, const AxisCells& cells);

const char* kernel_name(InterleaveKernel kernel);

}  // namespace tessellon
