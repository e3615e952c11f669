// The bit layout of a key seen from the other side: one axis's bits picked
// out of a key, and a key split back into its three cell numbers.
#pragma once

#include <cstdint>

#include "core/hasher.hpp"

namespace tessellon {

// Bits of a key that carry one axis (bit 3k + offset for k < AXIS_BITS).
inline constexpr HashKey LONGITUDE_BITS = 0x1249249249249249ull;
inline constexpr HashKey LATITUDE_BITS = LONGITUDE_BITS << 1;
inline constexpr HashKey TIME_BITS = LONGITUDE_BITS << 2;
inline constexpr HashKey ALL_KEY_BITS = LONGITUDE_BITS | LATITUDE_BITS | TIME_BITS;

// Bit k of the low 21 bits of cell goes to bit 3k; the rest is dropped.
constexpr HashKey spread_cell(std::uint32_t cell) {
    std::uint64_t x = cell & AXIS_MAX;
    x = (x | x << 32) & 0x001F00000000FFFFull;
    x = (x | x << 16) & 0x001F0000FF0000FFull;
    x = (x | x << 8) & 0x100F00F00F00F00Full;
    x = (x | x << 4) & 0x10C30C30C30C30C3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

// The inverse of spread_cell: bit 3k of bits goes to bit k; other bits are ignored.
constexpr std::uint32_t compact_cell(HashKey bits) {
    std::uint64_t x = bits & LONGITUDE_BITS;
    x = (x | x >> 2) & 0x10C30C30C30C30C3ull;
    x = (x | x >> 4) & 0x100F00F00F00F00Full;
    x = (x | x >> 8) & 0x001F0000FF0000FFull;
    x = (x | x >> 16) & 0x001F00000000FFFFull;
    x = (x | x >> 32) & AXIS_MAX;
    return static_cast<std::uint32_t>(x);
}

// The key of three cell numbers, usable in constant expressions; equal to interleave().
constexpr HashKey key_of_cells(std::uint32_t time, std::uint32_t longitude, std::uint32_t latitude) {
    return spread_cell(longitude) | spread_cell(latitude) << 1 | spread_cell(time) << 2;
}

// The inverse of interleave; bit 63, never set in a key, is ignored.
AxisCells deinterleave(HashKey key);

}  // namespace tessellon
