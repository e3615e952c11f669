"""Seeded synthetic tracks: vessels and vehicles moving around hubs, over one year.

Each track starts near one of a few dozen hubs (ports, cities) at a random
moment of the year and reports its position every 30 to 120 seconds while
it drifts on a slowly turning heading. A share of uniform background
points covers the world, and a few outliers lie outside the key space
(beyond the year, beyond the poles or the antimeridian), as real feeds have.
Everything is vectorised with numpy.
"""

from __future__ import annotations

from datetime import datetime, timezone

import numpy as np
import pyarrow as pa

YEAR_START = datetime(2024, 1, 1, tzinfo=timezone.utc)
YEAR_END = datetime(2025, 1, 1, tzinfo=timezone.utc)
WORLD = (-180.0, -90.0, 180.0, 90.0)
_YEAR_SECONDS = int((YEAR_END - YEAR_START).total_seconds())
_POINTS_PER_TRACK = 1_000


def hubs(generator: np.random.Generator, count: int = 40) -> np.ndarray:
    """Hub centres (longitude, latitude), one of them near the antimeridian."""
    centres = np.column_stack([generator.uniform(-170, 170, count), generator.uniform(-55, 65, count)])
    centres[0] = (179.0, -17.5)
    return centres


def tracks(rows: int, seed: int = 7, background_share: float = 0.1, outlier_share: float = 0.0002) -> pa.Table:
    """A table of ``rows`` points: vehicle, time (UTC, microseconds), longitude, latitude, speed."""
    generator = np.random.default_rng(seed)
    centres = hubs(generator)
    background = int(rows * background_share)
    outliers = max(1, int(rows * outlier_share)) if rows >= 100 else 0
    tracked = max(rows - background - outliers, 0)
    track_count = -(-tracked // _POINTS_PER_TRACK) if tracked else 0

    hub = generator.integers(0, len(centres), track_count)
    origin = centres[hub] + generator.normal(0, 1.5, (track_count, 2))
    start = generator.integers(0, _YEAR_SECONDS - 2 * 86_400, track_count)
    interval = generator.integers(30, 121, track_count)
    speed = generator.uniform(0.0005, 0.01, track_count)  # degrees per report
    heading = generator.uniform(0, 2 * np.pi, track_count)[:, None] + np.cumsum(
        generator.normal(0, 0.05, (track_count, _POINTS_PER_TRACK)), axis=1)
    step = np.arange(_POINTS_PER_TRACK)
    seconds = (start[:, None] + interval[:, None] * step).ravel()[:tracked]
    longitude = (origin[:, :1] + np.cumsum(speed[:, None] * np.cos(heading), axis=1)).ravel()[:tracked]
    latitude = (origin[:, 1:] + np.cumsum(speed[:, None] * np.sin(heading), axis=1)).ravel()[:tracked]
    vehicle = np.repeat(np.arange(track_count), _POINTS_PER_TRACK)[:tracked]
    speeds = np.repeat(speed * 111_000 / interval, _POINTS_PER_TRACK)[:tracked]  # metres per second

    seconds = np.concatenate([seconds, generator.integers(0, _YEAR_SECONDS, background),
                              generator.integers(-86_400, _YEAR_SECONDS + 86_400, outliers)])
    longitude = np.concatenate([longitude, generator.uniform(-180, 180, background),
                                generator.choice([-181.5, 0.0, 185.0], outliers)])
    latitude = np.concatenate([latitude, generator.uniform(-90, 90, background),
                               generator.choice([-91.0, 0.0, 95.0], outliers)])
    vehicle = np.concatenate([vehicle, np.full(background + outliers, -1)])
    speeds = np.concatenate([speeds, np.zeros(background + outliers)])
    # Tracks leaving the world wrap at the antimeridian and stop at the poles.
    inside = np.arange(len(longitude)) < tracked + background
    longitude[inside] = (longitude[inside] + 180.0) % 360.0 - 180.0
    latitude[inside] = np.clip(latitude[inside], -89.9, 89.9)
    order = generator.permutation(len(seconds))  # as a feed delivers them: not sorted
    epoch_us = int(YEAR_START.timestamp()) * 1_000_000
    micros = epoch_us + seconds[order] * 1_000_000 + generator.integers(0, 1_000_000, len(order))
    return pa.table({
        "vehicle": pa.array(vehicle[order], pa.int32()),
        "time": pa.array(micros, pa.timestamp("us", "UTC")),
        "longitude": pa.array(longitude[order]),
        "latitude": pa.array(latitude[order]),
        "speed": pa.array(speeds[order].astype(np.float32)),
    })
