// The docstrings of the Hasher type. Each begins with the signature line the
// interpreter turns into __text_signature__.
#pragma once

namespace tessellon::binding::docstrings {

inline constexpr const char HASHER[] =
    "Hasher(start_datetime, end_datetime, bbox=None)\n--\n\n"
    "Creates sortable spatio-temporal hashes.\n\n"
    "The hasher is built from a datetime range and, optionally, a bounding box.\n"
    "Without a `bbox` the hasher covers the whole world.";

inline constexpr const char HASH[] =
    "hash($self, datetime, longitude, latitude)\n--\n\n"
    "Hashes a datetime and a point into an `int`.";

inline constexpr const char HASH_CLAMPED[] =
    "hash_clamped($self, datetime, longitude, latitude)\n--\n\n"
    "Hashes a datetime and a point into an `int`, clamping anything outside\n"
    "of this hasher's extent onto its boundary.\n\n"
    "Unlike `hash`, this never raises for out-of-extent input. A datetime\n"
    "before the hasher's start hashes as that start, a longitude west of the\n"
    "minimum hashes as that minimum, and so on.";

inline constexpr const char HASH_ALL[] =
    "hash_all($self, datetimes, longitudes, latitudes, skip_invalid=False)\n--\n\n"
    "Hashes parallel sequences of datetimes, longitudes, and latitudes.\n\n"
    "Raises a `ValueError` if the sequences are not the same length, or if\n"
    "any item falls outside the hasher's extent. Pass `skip_invalid=True` to\n"
    "get `None` for out-of-extent items instead of raising.";

inline constexpr const char HASH_ALL_CLAMPED[] =
    "hash_all_clamped($self, datetimes, longitudes, latitudes)\n--\n\n"
    "Hashes parallel sequences, clamping anything outside of this hasher's\n"
    "extent onto its boundary.\n\n"
    "Raises a `ValueError` only if the sequences are not the same length.\n"
    "No item can fall outside the extent, so there is no `skip_invalid`.";

}  // namespace tessellon::binding::docstrings
