// Every compiler- and CPU-specific construct of the project, each with a
// portable fallback, so that the rest is plain C++23:
//   - Int128: a signed 128-bit integer;
//   - TESSELLON_X86_FAST_PATHS, cpuid(): x86-64 feature detection;
//   - TESSELLON_BMI2_TARGET, pdep(): BMI2's parallel bit deposit;
//   - TESSELLON_INITIAL_EXEC_TLS: the cheapest thread-local model;
//   - ForcedUnwind: the exception with which glibc unwinds ending threads.
// CMake's TESSELLON_X86_FAST_PATHS=OFF defines TESSELLON_NO_X86_FAST_PATHS,
// so that the portable paths can be built and tested on x86-64 too.
#pragma once

#include <array>
#include <cstdint>
#include <exception>

#include "core/portable_int128.hpp"

#if !defined(TESSELLON_NO_X86_FAST_PATHS) && (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__GNUC__) || defined(_MSC_VER))
#define TESSELLON_X86_FAST_PATHS 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#include <immintrin.h>
#endif
#endif

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tessellon::platform {

#if defined(__SIZEOF_INT128__)
#define TESSELLON_NATIVE_INT128 1
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UnsignedInt128;
#else
using Int128 = PortableInt128;
#endif

// Thread-local variables touched on every call: initial-exec spares the
// __tls_get_addr call of the general model where the compiler lets us say so.
#if defined(__GNUC__)
#define TESSELLON_INITIAL_EXEC_TLS __attribute__((tls_model("initial-exec")))
#else
#define TESSELLON_INITIAL_EXEC_TLS
#endif

// glibc ends a thread (pthread_exit, and so a daemon thread at interpreter
// exit) by unwinding it with this exception, which must be let through.
// Elsewhere no such exception exists: a type that is never thrown stands in.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

// Registers EAX, EBX, ECX and EDX of the cpuid instruction; all zero where
// there is none.
struct CpuidRegisters {
    std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

inline CpuidRegisters cpuid([[maybe_unused]] std::uint32_t leaf, [[maybe_unused]] std::uint32_t subleaf) {
    CpuidRegisters registers;
#if defined(TESSELLON_X86_FAST_PATHS) && defined(_MSC_VER) && !defined(__clang__)
    int words[4];
    __cpuidex(words, static_cast<int>(leaf), static_cast<int>(subleaf));
    registers = {static_cast<std::uint32_t>(words[0]), static_cast<std::uint32_t>(words[1]),
                 static_cast<std::uint32_t>(words[2]), static_cast<std::uint32_t>(words[3])};
#elif defined(TESSELLON_X86_FAST_PATHS)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(leaf, subleaf, &eax, &ebx, &ecx, &edx) != 0) {
        registers = {eax, ebx, ecx, edx};
    }
#endif
    return registers;
}

// The function attribute that lets BMI2 instructions be used in a function
// of a build for any x86-64; MSVC needs none.
#if defined(TESSELLON_X86_FAST_PATHS) && defined(__GNUC__)
#define TESSELLON_BMI2_TARGET __attribute__((target("bmi2")))
#else
#define TESSELLON_BMI2_TARGET
#endif

// Deposits the low bits of value, in order, at the set bits of mask.
constexpr std::uint64_t pdep_portable(std::uint64_t value, std::uint64_t mask) {
    std::uint64_t result = 0;
    for (std::uint64_t bit = 1; mask != 0; bit <<= 1) {
        const std::uint64_t lowest = mask & (~mask + 1);
        if ((value & bit) != 0) {
            result |= lowest;
        }
        mask &= mask - 1;
    }
    return result;
}

#if defined(TESSELLON_X86_FAST_PATHS)
// The BMI2 instruction: callable only from TESSELLON_BMI2_TARGET functions,
// and only on a CPU that has BMI2.
TESSELLON_BMI2_TARGET inline std::uint64_t pdep_bmi2(std::uint64_t value, std::uint64_t mask) {
    return _pdep_u64(value, mask);
}
#endif

}  // namespace tessellon::platform
