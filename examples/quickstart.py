"""tessellon at work: hash a few vehicle tracks and sort them by key.

Run: python examples/quickstart.py
"""

import math
import random
from datetime import datetime, timedelta, timezone

import tessellon

START = datetime(2024, 5, 1, 8, 0, tzinfo=timezone.utc)
END = START + timedelta(minutes=90)
BBOX = (2.20, 48.80, 2.45, 48.92)  # west, south, east, north: central Paris


def tracks(vehicles=4, fixes=6, seed=7):
    """Yield (vehicle, datetime, longitude, latitude): one fix every 10 minutes."""
    rng = random.Random(seed)
    for vehicle in range(vehicles):
        lon, lat = rng.uniform(2.25, 2.40), rng.uniform(48.83, 48.89)
        heading = rng.uniform(0, 2 * math.pi)
        when = START + timedelta(minutes=rng.randrange(0, 60))
        for _ in range(fixes):
            yield f"van-{vehicle}", when, round(lon, 5), round(lat, 5)
            heading += rng.uniform(-0.6, 0.6)
            lon += 0.004 * math.cos(heading)
            lat += 0.003 * math.sin(heading)
            when += timedelta(minutes=10)


def main():
    hasher = tessellon.Hasher(START, END, BBOX)
    rows = list(tracks())
    vehicles, times, lons, lats = zip(*rows)
    # One call for the whole batch; a fix outside the extent would become None.
    keys = hasher.hash_all(times, lons, lats, skip_invalid=True)
    assert keys[0] == hasher.hash(times[0], lons[0], lats[0])

    print(f"tessellon {tessellon.__version__}: {len(rows)} fixes, sorted by key\n")
    print(f"{'key':>19}  {'time (UTC)':8}  {'vehicle':7}  {'longitude':>9}  {'latitude':>8}")
    ordered = sorted(zip(keys, vehicles, times, lons, lats), key=lambda row: (row[0] is None, row[0] or 0))
    for key, vehicle, when, lon, lat in ordered:
        shown = "outside the extent" if key is None else str(key)
        print(f"{shown:>19}  {when:%H:%M:%S}  {vehicle:7}  {lon:9.5f}  {lat:8.5f}")


if __name__ == "__main__":
    main()
