#include "core/key_bits.hpp"

namespace tessellon {

static_assert(compact_cell(spread_cell(AXIS_MAX)) == AXIS_MAX);
static_assert(compact_cell(spread_cell(0x15555)) == 0x15555);
static_assert(key_of_cells(AXIS_MAX, AXIS_MAX, AXIS_MAX) == ALL_KEY_BITS);

AxisCells deinterleave(HashKey key) {
    return AxisCells{
        .time = compact_cell(key >> 2),
        .latitude = compact_cell(key >> 1),
        .longitude = compact_cell(key),
    };
}

}  // namespace tessellon
