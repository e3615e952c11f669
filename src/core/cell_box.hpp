// A query window (a time range and a longitude/latitude box) turned into
// boxes of cells, by the same normalisation, clamping and quantisation that
// make keys.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "core/hasher.hpp"
#include "core/utc_date_time.hpp"

namespace tessellon {

// Inclusive cell numbers on one axis, 0..AXIS_MAX.
struct AxisRange {
    std::uint32_t first;
    std::uint32_t last;

    friend constexpr bool operator==(const AxisRange&, const AxisRange&) = default;
};

struct CellBox {
    AxisRange time;
    AxisRange longitude;
    AxisRange latitude;

    friend constexpr bool operator==(const CellBox&, const CellBox&) = default;
};

// A window over a hasher's key space: instants from start to end and the box
// west..east, south..north in degrees, all bounds inclusive. west > east
// means the box crosses the antimeridian: longitudes >= west or <= east.
// Bounds may be infinite (unbounded on that side).
struct QueryWindow {
    UtcDateTime start;
    UtcDateTime end;
    double west;
    double south;
    double east;
    double north;
};

enum class WindowError {
    StartAfterEnd,    // start > end
    NaNBound,         // a longitude or latitude bound is NaN
    SouthAboveNorth,  // south > north: latitudes do not wrap, so such a window holds no point
};

// The cell boxes holding every key that a point of the window hashes to,
// strictly or clamped:
//
// - Each axis maps a value to its cell by the hasher's own quantize_point, a
//   monotone map: increasing for an ordinary extent, decreasing for a
//   reversed one (end before start, east < west, north < south), a step or a
//   constant for degenerate extents (zero span: one side of the bound gives
//   cell 0, the other AXIS_MAX; NaN or infinite extent bounds: cell 0 for
//   every value). So the cells of the values between two bounds are exactly
//   those between the cells of the bounds, and each axis range is the min and
//   max of the cells of the window's two corners. Values beyond the extent
//   clamp onto its boundary cells, so a window that reaches past the extent
//   or misses it keeps the boundary cells where clamped keys fall.
// - Time is read in whole milliseconds, as keys are. An instant inside a leap
//   second shares its milliseconds with the following second, so a window
//   that starts in a leap second and runs past it, or ends just after one it
//   contains, takes those milliseconds in too.
// - One box, or two when west > east: box A for [west, +inf) and box B for
//   (-inf, east]. When their longitude cells overlap or touch (as they do on
//   an extent narrower than the window's gap), the two become one box.
//
// Errors, checked in this order: NaNBound, StartAfterEnd, SouthAboveNorth.
std::expected<std::vector<CellBox>, WindowError> cell_boxes(const Hasher& hasher, const QueryWindow& window);

}  // namespace tessellon
