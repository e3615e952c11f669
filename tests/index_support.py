"""Shared helpers for the tessellon_index tests: key spaces, points and the
reference keys that tessellon.Hasher gives for them."""

import datetime as dt

import numpy as np

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def datetimes_from_ns(values):
    """Aware datetimes (microsecond precision, floored) for int64 nanoseconds."""
    return [EPOCH + dt.timedelta(microseconds=int(v) // 1000) for v in values]


def reference_keys(key_space, datetimes, longitudes, latitudes, invalid):
    hasher = key_space.hasher()
    lons = [float(x) for x in longitudes]
    lats = [float(y) for y in latitudes]
    if invalid == "clamp":
        return hasher.hash_all_clamped(datetimes, lons, lats)
    return hasher.hash_all(datetimes, lons, lats, skip_invalid=invalid == "skip")


def random_points(rng, key_space_start, span_ns, count, margin=0.1):
    """int64 nanoseconds, longitudes and latitudes, some just outside the world."""
    start_ns = (key_space_start - EPOCH) // dt.timedelta(microseconds=1) * 1000
    low = start_ns - int(span_ns * margin)
    high = start_ns + int(span_ns * (1 + margin))
    times = rng.integers(low, high, count, dtype=np.int64)
    longitudes = rng.uniform(-180 * (1 + margin), 180 * (1 + margin), count)
    latitudes = rng.uniform(-90 * (1 + margin), 90 * (1 + margin), count)
    return times, longitudes, latitudes
