// From a key back to the points that get it: the exact region of its cell,
// and cell centres for plotting.
#pragma once

#include <cstdint>
#include <span>

#include "core/hasher.hpp"

namespace tessellon {

// The region of one key, every bound inclusive: the whole milliseconds since
// the Unix epoch first_millis..last_millis, longitudes west..east and
// latitudes south..north (west <= east always: a cell never wraps).
//
// Found by binary search over the hasher's own quantisation (integer
// milliseconds across every representable instant; doubles in their bit
// order from -inf to +inf), so every point that hash_clamped maps to this key
// lies in the region, with two exceptions that no interval can hold: NaN
// coordinates (they hash to cell 0 of their axis) and instants whose
// milliseconds are shared through a leap second (they are counted by their
// milliseconds, as keys are). Any point outside the region gets another key.
//
// Boundary cells take in what clamps onto them: cell 0 of longitude on the
// world box starts at -inf, the first time cell at the earliest instant.
// Reversed extents map larger values to smaller cells; the bounds are still
// low..high. Degenerate extents (zero span: everything below or at the bound
// is cell 0, everything above is AXIS_MAX; NaN or infinite bounds: every
// value is cell 0) give whole-axis or empty regions. A cell that no value
// reaches (a time extent shorter than 2^21 ms leaves cells between
// milliseconds; degenerate extents leave most cells empty) has its lower
// bound above its upper one: first_millis = latest, last_millis = earliest,
// west/south = +inf, east/north = -inf.
struct CellRegion {
    std::int64_t first_millis;
    std::int64_t last_millis;
    double west;
    double south;
    double east;
    double north;
};

CellRegion cell_region(const Hasher& hasher, HashKey key);

// The centre of a key's cell within the extent, for plotting: the middle of
// the cell's share of the normalised axis, (cell + 0.5) / AXIS_MAX, mapped
// back through the extent (the last cell, a single normalised value 1, is the
// extent's end). Clamped boundary cells give their in-extent centre; NaN
// extent bounds give NaN.
struct CellCentre {
    double unix_millis;
    double longitude;
    double latitude;
};

// out must hold keys.size() centres. Negative keys (never produced) are read
// by their low 63 bits.
void decode_centres(const Hasher& hasher, std::span<const std::int64_t> keys, CellCentre* out);

}  // namespace tessellon
