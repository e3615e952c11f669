"""``tessellon-index demo``: synthetic tracks, indexed, then queried."""

from __future__ import annotations

import shutil
import tempfile
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

import numpy as np

from tessellon_index._keyspace import KeySpace
from tessellon_index._synthetic import WORLD, YEAR_END, YEAR_START, tracks


def demo_queries(table, seed: int) -> list[tuple[str, datetime, datetime, tuple[float, ...] | None]]:
    """Windows placed on real points (so they match something) plus fixed ones."""
    generator = np.random.default_rng(seed + 1)
    tracked = table.filter(table.column("vehicle").to_numpy() >= 0) if table.num_rows else table
    queries = []
    sizes = [("0.5 deg x 1 hour", 0.5, 0.5, timedelta(hours=1)), ("5 deg x 1 day", 5, 5, timedelta(days=1)),
             ("10 deg x 7 days", 10, 10, timedelta(days=7)), ("60x40 deg x 30 days", 60, 40, timedelta(days=30))]
    for label, width, height, span in sizes:
        if tracked.num_rows:
            row = int(generator.integers(0, tracked.num_rows))
            centre_time = tracked.column("time")[row].as_py()
            longitude = tracked.column("longitude")[row].as_py()
            latitude = tracked.column("latitude")[row].as_py()
        else:
            centre_time, longitude, latitude = YEAR_START + timedelta(days=180), 0.0, 0.0
        west = (longitude - width / 2 + 180) % 360 - 180
        east = (longitude + width / 2 + 180) % 360 - 180
        south, north = max(latitude - height / 2, -90), min(latitude + height / 2, 90)
        queries.append((label, centre_time - span / 2, centre_time + span / 2, (west, south, east, north)))
    antimeridian_start = datetime(2024, 6, 1, tzinfo=timezone.utc)
    queries.append(("Fiji, across the antimeridian, 30 days", antimeridian_start,
                    antimeridian_start + timedelta(days=30), (175.0, -22.0, -175.0, -13.0)))
    queries.append(("New Year's Eve 2024, anywhere (outliers included)", datetime(2024, 12, 31, 23, tzinfo=timezone.utc),
                    datetime(2025, 1, 1, 1, tzinfo=timezone.utc), None))
    return queries


def run_demo(rows: int, directory: str | None, seed: int, progress: bool) -> int:
    from tessellon_index._progress import ProgressBar
    from tessellon_index.cli import format_table
    from tessellon_index.parquet import open_dataset, query_with_stats, write_dataset

    temporary = directory is None
    root = Path(tempfile.mkdtemp(prefix="tessellon-demo-")) if temporary else Path(directory)
    target = root / "tracks"
    try:
        began = time.perf_counter()
        table = tracks(rows, seed=seed)
        print(f"generated {table.num_rows:,} points of {len(set(table.column('vehicle').unique().to_pylist())) - 1:,} "
              f"tracks around hubs, a uniform background and a few outliers in "
              f"{time.perf_counter() - began:.1f} s")
        key_space = KeySpace(YEAR_START, YEAR_END, WORLD)
        began = time.perf_counter()
        bar = ProgressBar(enabled=None if progress else False)
        try:
            # Outliers beyond the year or the poles keep a clamped key: nothing is dropped.
            write_dataset(table, target, key_space, invalid="clamp", progress=bar)
        finally:
            bar.close()
        dataset = open_dataset(target)
        print(f"indexed into {target} in {time.perf_counter() - began:.1f} s: {len(dataset.files)} files, "
              f"{dataset.num_row_groups} row groups of up to 131,072 rows\n")
        for label, start, end, bbox in demo_queries(table, seed):
            result, stats = query_with_stats(dataset, start, end, bbox)
            box = "anywhere" if bbox is None else "(" + ", ".join(f"{value:.2f}" for value in bbox) + ")"
            print(f"== {label}: {start:%Y-%m-%d %H:%M} .. {end:%Y-%m-%d %H:%M} UTC, {box}")
            print(format_table(result.drop_columns([dataset.columns.key]), 3))
            print(f"   {stats.rows_matched:,} rows in {1000 * stats.seconds:.1f} ms, read "
                  f"{100 * stats.share_read:.2f}% of the rows ({stats.row_groups_read}/{stats.row_groups} "
                  f"row groups, {100 * stats.bytes_read / max(stats.bytes, 1):.2f}% of the bytes)\n")
        if not temporary:
            print(f"the dataset stays in {target}: try `tessellon-index info {target}`")
    finally:
        if temporary:
            shutil.rmtree(root, ignore_errors=True)
    return 0
