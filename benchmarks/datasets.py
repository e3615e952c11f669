#!/usr/bin/env python3
"""Indexed Parquet datasets against raw-column scans, in one run.

20,000,000 synthetic points (clustered tracks plus a uniform background,
the world over 2024) are written once sorted by key (``write_dataset``) and
once sorted by time, in 100,000-row groups. Four query sizes, placed on
random points of the data, are answered by ``tessellon_index.parquet.query``,
by a pyarrow dataset filter on the raw columns and by DuckDB SQL on the raw
columns, over each layout. Row groups read for the raw scans are those
their own min/max statistics cannot rule out (what a statistics-pruning
reader keeps). ``index`` is timed against DuckDB sorting the same source
file by one int64 column and writing it.

    python -m pip install '.[test]' matplotlib
    python benchmarks/datasets.py [--rows N] [--placements N] [--output DIR]
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import tempfile
import time
from datetime import timedelta
from pathlib import Path

import duckdb
import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.dataset as ds
import pyarrow.parquet as pq

from tessellon_index import KeySpace
from tessellon_index._synthetic import WORLD, YEAR_END, YEAR_START, tracks
from tessellon_index.parquet import open_dataset, query_with_stats, write_dataset

ROW_GROUP = 100_000
SIZES = [("0.5deg x 1h", 0.5, 0.5, timedelta(hours=1)), ("5deg x 1d", 5, 5, timedelta(days=1)),
         ("10deg x 7d", 10, 10, timedelta(days=7)), ("60x40deg x 30d", 60, 40, timedelta(days=30))]


def placements(table, count, seed):
    generator = np.random.default_rng(seed)
    rows = generator.integers(0, table.num_rows, count)
    times = table.column("time").take(pa.array(rows)).to_pylist()
    longitudes = table.column("longitude").take(pa.array(rows)).to_pylist()
    latitudes = table.column("latitude").take(pa.array(rows)).to_pylist()
    for label, width, height, span in SIZES:
        windows = []
        for moment, longitude, latitude in zip(times, longitudes, latitudes):
            longitude, latitude = max(min(longitude, 179.0), -179.0), max(min(latitude, 89.0), -89.0)
            west, east = max(longitude - width / 2, -180.0), min(longitude + width / 2, 180.0)
            south, north = max(latitude - height / 2, -90.0), min(latitude + height / 2, 90.0)
            windows.append((moment - span / 2, moment + span / 2, (west, south, east, north)))
        yield label, windows


def raw_row_groups(files, start, end, bbox):
    """Row groups whose raw-column min/max statistics may hold a match."""
    west, south, east, north = bbox
    kept = rows = 0
    for metadata in files:
        names = metadata.schema.to_arrow_schema().names
        index = {name: names.index(name) for name in ("time", "longitude", "latitude")}
        for group in range(metadata.num_row_groups):
            chunk = metadata.row_group(group)
            stats = {name: chunk.column(position).statistics for name, position in index.items()}
            if (stats["time"].max < start or stats["time"].min > end or stats["longitude"].max < west
                    or stats["longitude"].min > east or stats["latitude"].max < south or stats["latitude"].min > north):
                continue
            kept += 1
            rows += chunk.num_rows
    return kept, rows


def pyarrow_scan(path, start, end, bbox):
    west, south, east, north = bbox
    expression = ((ds.field("time") >= pa.scalar(start, pa.timestamp("us", "UTC")))
                  & (ds.field("time") <= pa.scalar(end, pa.timestamp("us", "UTC")))
                  & (ds.field("longitude") >= west) & (ds.field("longitude") <= east)
                  & (ds.field("latitude") >= south) & (ds.field("latitude") <= north))
    return ds.dataset(path, format="parquet").to_table(filter=expression).num_rows


def duckdb_scan(connection, path, start, end, bbox):
    west, south, east, north = bbox
    result = connection.execute(
        f"SELECT * FROM read_parquet('{path}/*.parquet') WHERE time BETWEEN ? AND ? "
        "AND longitude BETWEEN ? AND ? AND latitude BETWEEN ? AND ?",
        [start, end, west, east, south, north])
    # DuckDB 1.x fetch_arrow_table, 2.x to_arrow_table.
    fetch = getattr(result, "to_arrow_table", None) or result.fetch_arrow_table
    return fetch().num_rows


def summary(values):
    ordered = sorted(values)
    return {"median": statistics.median(ordered), "p95": ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--placements", type=int, default=50)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--output", default=str(Path(__file__).parent / "results"))
    arguments = parser.parse_args()
    output = Path(arguments.output)
    output.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="tessellon-datasets-"))
    try:
        run(arguments, output, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(arguments, output, work):
    table = tracks(arguments.rows, seed=arguments.seed, background_share=0.3)
    source = work / "source.parquet"
    pq.write_table(table, source, row_group_size=ROW_GROUP, use_dictionary=False)
    space = KeySpace(YEAR_START, YEAR_END, WORLD)

    began = time.perf_counter()
    write_dataset(pq.read_table(source), work / "by_key", space, invalid="clamp", row_group_size=ROW_GROUP,
                  rows_per_file=20 * ROW_GROUP)
    index_seconds = time.perf_counter() - began
    connection = duckdb.connect()
    began = time.perf_counter()
    connection.execute(f"COPY (SELECT * FROM read_parquet('{source}') ORDER BY epoch_us(time)) TO "
                       f"'{work / 'duckdb_sorted.parquet'}' (FORMAT PARQUET, ROW_GROUP_SIZE {ROW_GROUP})")
    duckdb_sort_seconds = time.perf_counter() - began

    by_time = work / "by_time"
    by_time.mkdir()
    ordered = table.take(pc.sort_indices(table, [("time", "ascending")]))
    for number, offset in enumerate(range(0, ordered.num_rows, 20 * ROW_GROUP)):
        pq.write_table(ordered.slice(offset, 20 * ROW_GROUP), by_time / f"part-{number:03d}.parquet",
                       row_group_size=ROW_GROUP, use_dictionary=False)
    del ordered
    dataset = open_dataset(work / "by_key")
    layouts = {"by key": work / "by_key", "by time": by_time}
    footers = {name: [pq.read_metadata(file) for file in sorted(path.glob("*.parquet"))]
               for name, path in layouts.items()}

    results = {"rows": table.num_rows, "row_groups": dataset.num_row_groups, "placements": arguments.placements,
               "index_seconds": index_seconds, "duckdb_sort_seconds": duckdb_sort_seconds, "queries": {}}
    for label, windows in placements(table, arguments.placements, arguments.seed):
        timings = {name: [] for name in ("tessellon query", "pyarrow by key", "pyarrow by time",
                                         "duckdb by key", "duckdb by time")}
        groups = {"tessellon query": [], "raw stats by key": [], "raw stats by time": []}
        rows_per_match = {"tessellon query": [], "raw stats by key": [], "raw stats by time": []}
        for start, end, bbox in windows:
            began = time.perf_counter()
            matched, stats = query_with_stats(dataset, start, end, bbox)
            timings["tessellon query"].append(time.perf_counter() - began)
            matches = max(matched.num_rows, 1)
            groups["tessellon query"].append(stats.row_groups_read)
            rows_per_match["tessellon query"].append(stats.rows_read / matches)
            for layout, path in layouts.items():
                began = time.perf_counter()
                found = pyarrow_scan(path, start, end, bbox)
                timings[f"pyarrow {layout}"].append(time.perf_counter() - began)
                began = time.perf_counter()
                found_duckdb = duckdb_scan(connection, path, start, end, bbox)
                timings[f"duckdb {layout}"].append(time.perf_counter() - began)
                assert found == found_duckdb == matched.num_rows, (label, found, found_duckdb, matched.num_rows)
                kept, rows = raw_row_groups(footers[layout], start, end, bbox)
                groups[f"raw stats {layout}"].append(kept)
                rows_per_match[f"raw stats {layout}"].append(rows / matches)
        results["queries"][label] = {
            "seconds": {name: summary(values) for name, values in timings.items()},
            "row_groups_read": {name: summary(values) for name, values in groups.items()},
            "rows_read_per_match": {name: summary(values) for name, values in rows_per_match.items()},
        }
    report(results, output)


def report(results, output):
    print(f"{results['rows']:,} rows, {results['row_groups']} row groups of {ROW_GROUP:,}; "
          f"{results['placements']} placements per size")
    print(f"index (read, key, sort, write): {results['index_seconds']:.2f} s; DuckDB sort by one int64 column "
          f"and write: {results['duckdb_sort_seconds']:.2f} s "
          f"(ratio {results['index_seconds'] / results['duckdb_sort_seconds']:.2f})")
    header = f"{'query':<16}{'engine':<18}{'median ms':>10}{'p95 ms':>10}"
    print(header)
    for label, figures in results["queries"].items():
        for engine, seconds in figures["seconds"].items():
            print(f"{label:<16}{engine:<18}{1000 * seconds['median']:>10.1f}{1000 * seconds['p95']:>10.1f}")
        for engine, groups in figures["row_groups_read"].items():
            per_match = figures["rows_read_per_match"][engine]["median"]
            print(f"{'':<16}{engine:<18} row groups read median {groups['median']:.0f} "
                  f"(p95 {groups['p95']:.0f}) of {results['row_groups']}; rows read per match {per_match:,.1f}")
    (output / "datasets.json").write_text(json.dumps(results, indent=2))
    try:
        plot(results, output)
    except ImportError:
        print("matplotlib is not installed: no plot")


def plot(results, output):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = list(results["queries"])
    figure, (timing, reading) = plt.subplots(1, 2, figsize=(13, 4.8))
    engines = list(results["queries"][labels[0]]["seconds"])
    colours = plt.get_cmap("tab10").colors
    width = 0.8 / len(engines)
    for number, engine in enumerate(engines):
        values = [1000 * results["queries"][label]["seconds"][engine]["median"] for label in labels]
        timing.bar(np.arange(len(labels)) + number * width, values, width, label=engine, color=colours[number])
    timing.set_yscale("log")
    timing.set_xticks(np.arange(len(labels)) + 0.4 - width / 2, labels)
    timing.set_ylabel("median milliseconds (log)")
    timing.set_title("How long does a window-and-box query take?")
    timing.legend(fontsize=8)
    readers = list(results["queries"][labels[0]]["row_groups_read"])
    width = 0.8 / len(readers)
    for number, reader in enumerate(readers):
        values = [100 * results["queries"][label]["row_groups_read"][reader]["median"] / results["row_groups"]
                  for label in labels]
        reading.bar(np.arange(len(labels)) + number * width, values, width, label=reader,
                    color=colours[len(engines) + number])
    reading.set_xticks(np.arange(len(labels)) + 0.4 - width / 2, labels)
    reading.set_ylabel("% of row groups read (median)")
    reading.set_title("How much of the data does it read?")
    reading.legend(fontsize=8)
    figure.suptitle(f"{results['rows']:,} points, {results['row_groups']} row groups")
    figure.tight_layout()
    figure.savefig(output / "datasets.png", dpi=110)
    docs = Path(__file__).resolve().parents[1] / "docs"
    shutil.copyfile(output / "datasets.png", docs / "datasets-benchmark.png")


if __name__ == "__main__":
    main()
