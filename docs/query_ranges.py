"""Draws docs/query_ranges.svg: a query's key ranges over the Z-order grid.

Nothing is drawn from a formula: a key space whose longitude and latitude
cells are one degree wide is queried through tessellon_index, every cell of
a 16 x 16 corner is hashed by the module at the first instant, and each cell
is coloured by the range of Query.ranges that holds its key. Run from the
repository root after installing the package: python docs/query_ranges.py
"""

from datetime import datetime, timedelta, timezone
from pathlib import Path

import tessellon_index as ti

N = 16
CELL = 30
MARGIN = 40
AXIS_MAX = (1 << 21) - 1
UTC = timezone.utc
START = datetime(2020, 1, 1, tzinfo=UTC)
PALETTE = ["#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#edc948", "#76b7b2"]


def main(max_ranges=4):
    key_space = ti.KeySpace(START, START + timedelta(milliseconds=AXIS_MAX), (0.0, 0.0, AXIS_MAX, AXIS_MAX))
    window = (3.0, 2.0, 11.5, 9.5)
    query = key_space.query(START, START, window)
    ranges = query.ranges(max_ranges)
    hasher = key_space.hasher()
    cells = {(x, y): hasher.hash(START, x + 0.5, y + 0.5) for x in range(N) for y in range(N)}
    inside = dict(zip(cells, query.contains(list(cells.values()))))
    size = N * CELL + 2 * MARGIN
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size + 40}" font-family="sans-serif" '
             f'font-size="12"><rect width="100%" height="100%" fill="white"/>']
    for (x, y), key in cells.items():
        index = next((i for i, (a, b) in enumerate(ranges) if a <= key <= b), None)
        px, py = MARGIN + x * CELL, MARGIN + (N - 1 - y) * CELL
        fill = "#f4f4f4" if index is None else PALETTE[index % len(PALETTE)]
        opacity = 1.0 if inside[(x, y)] else 0.35
        parts.append(f'<rect x="{px}" y="{py}" width="{CELL}" height="{CELL}" fill="{fill}" '
                     f'fill-opacity="{opacity}" stroke="#bbb"/>')
    order = sorted(cells, key=cells.get)
    path = " ".join(f"{MARGIN + x * CELL + CELL / 2},{MARGIN + (N - 1 - y) * CELL + CELL / 2}" for x, y in order)
    parts.append(f'<polyline points="{path}" fill="none" stroke="#333" stroke-width="1" stroke-opacity="0.5"/>')
    west, south, east, north = window
    parts.append(f'<rect x="{MARGIN + west * CELL}" y="{MARGIN + (N - north) * CELL}" '
                 f'width="{(east - west) * CELL}" height="{(north - south) * CELL}" fill="none" stroke="black" '
                 f'stroke-width="2" stroke-dasharray="6 3"/>')
    parts.append(f'<text x="{MARGIN}" y="{size + 10}">dashed: the query box; solid cells: keys inside; '
                 f'pale cells: keys a range adds</text>')
    parts.append(f'<text x="{MARGIN}" y="{size + 28}">{len(ranges)} ranges (max_ranges={max_ranges}); the grey '
                 f'line is the key order</text>')
    parts.append("</svg>")
    target = Path(__file__).with_name("query_ranges.svg")
    target.write_text("\n".join(parts) + "\n")
    print(f"wrote {target}: {ranges}")


if __name__ == "__main__":
    main()
