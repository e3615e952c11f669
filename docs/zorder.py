"""Draws docs/zorder.svg: the order in which tessellon's keys visit an 8 x 8 grid.

The order is not drawn from a formula: every cell centre is hashed by the
installed module at one instant, and the cells are ranked by key. Run from
the repository root after installing the package: python docs/zorder.py
"""

import colorsys
from datetime import datetime, timezone
from pathlib import Path

import tessellon

N = 8  # cells per axis: the top 3 bits of longitude and of latitude
CELL = 48
MARGIN = 44
UTC = timezone.utc


def ranks():
    """(column, row) of each cell in key order; row 0 is the southern edge."""
    instant = datetime(2020, 1, 1, 12, tzinfo=UTC)
    hasher = tessellon.Hasher(instant, datetime(2020, 1, 2, tzinfo=UTC), (0.0, 0.0, N, N))
    cells = [(col, row) for col in range(N) for row in range(N)]
    return sorted(cells, key=lambda c: hasher.hash(instant, c[0] + 0.5, c[1] + 0.5))


def centre(col, row):
    return MARGIN + col * CELL + CELL / 2, MARGIN + (N - 1 - row) * CELL + CELL / 2


def svg(order):
    size = 2 * MARGIN + N * CELL
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
           f'viewBox="0 0 {size} {size}" font-family="sans-serif" font-size="12">',
           '<rect width="100%" height="100%" fill="white"/>']
    for rank, (col, row) in enumerate(order):
        x, y = centre(col, row)
        red, green, blue = colorsys.hls_to_rgb(0.66 * rank / (N * N - 1), 0.88, 0.7)
        fill = f"#{round(red * 255):02x}{round(green * 255):02x}{round(blue * 255):02x}"
        out.append(f'<rect x="{x - CELL / 2}" y="{y - CELL / 2}" width="{CELL}" height="{CELL}" '
                   f'fill="{fill}" stroke="#bbb"/>')
    for step, width in ((4, 3), (2, 1.5)):  # the quadrants of the first bits
        for k in range(step, N, step):
            a, b = MARGIN + k * CELL, MARGIN + N * CELL
            out.append(f'<path d="M{a} {MARGIN}V{b}M{MARGIN} {a}H{b}" stroke="#555" stroke-width="{width}"/>')
    path = " ".join(f"{x},{y}" for x, y in (centre(*c) for c in order))
    out.append(f'<polyline points="{path}" fill="none" stroke="#c0392b" stroke-width="2" stroke-opacity="0.8"/>')
    for rank, (col, row) in enumerate(order):
        x, y = centre(col, row)
        out.append(f'<text x="{x + 3}" y="{y - 6}" fill="#333">{rank}</text>')
    mid, bottom = MARGIN + N * CELL / 2, MARGIN + N * CELL
    out.append(f'<text x="{mid}" y="{bottom + 28}" text-anchor="middle">longitude (key bits 0, 3, 6, …) →</text>')
    out.append(f'<text transform="translate({MARGIN - 14},{mid}) rotate(-90)" text-anchor="middle">'
               'latitude (key bits 1, 4, 7, …) →</text>')
    out.append(f'<text x="{mid}" y="{MARGIN - 16}" text-anchor="middle">'
               'cells of one instant, numbered in key order</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    target = Path(__file__).with_name("zorder.svg")
    target.write_text(svg(ranks()), encoding="utf-8")
    print(f"wrote {target}")
