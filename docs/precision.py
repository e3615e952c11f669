"""Prints the README's precision table: the size of one key cell per extent.

Each axis of an extent is cut into 2**21 - 1 equal cells. Distances are on a
sphere of the Earth's mean radius. Run: python docs/precision.py
"""

import math

CELLS = 2**21 - 1
METRES_PER_DEGREE = 2 * math.pi * 6_371_008.8 / 360
DAY_MS = 86_400_000
EXTENTS = [  # name, (west, south, east, north), duration in ms
    ("whole world, 1 day", (-180, -90, 180, 90), DAY_MS),
    ("whole world, 1 year", (-180, -90, 180, 90), 365 * DAY_MS),
    ("whole world, 10 years", (-180, -90, 180, 90), 3653 * DAY_MS),
    ("Europe (-25..45 E, 34..72 N), 30 days", (-25, 34, 45, 72), 30 * DAY_MS),
    ("a country (10 x 10 degrees), 1 day", (0, 40, 10, 50), DAY_MS),
    ("a city (0.5 x 0.5 degrees), 1 hour", (2.1, 48.6, 2.6, 49.1), 3_600_000),
]


def scaled(value, units):
    """value in the largest unit (factor, name) it reaches, 3 significant digits."""
    factor, name = next((f, n) for f, n in units if value >= f or f == units[-1][0])
    return f"{value / factor:.3g} {name}"


def main():
    print("| extent | longitude cell | latitude cell | time cell |\n|---|---|---|---|")
    for name, (west, south, east, north), span_ms in EXTENTS:
        lon, lat, mid = (east - west) / CELLS, (north - south) / CELLS, (south + north) / 2
        cells = []
        for degrees, cosine in ((lon, math.cos(math.radians(mid))), (lat, 1)):
            size = scaled(degrees * METRES_PER_DEGREE * cosine, [(1000, "km"), (1, "m"), (0.01, "cm")])
            cells.append(f"{degrees:.{2 - math.floor(math.log10(degrees))}f}° = {size}")
        where = "the equator" if mid == 0 else f"{abs(mid):g}° {'S' if mid < 0 else 'N'}"
        duration = scaled(span_ms / CELLS, [(60_000, "min"), (1000, "s"), (1, "ms")])
        print(f"| {name} | {cells[0]} at {where} | {cells[1]} | {duration} |")


if __name__ == "__main__":
    main()
