"""Columnar hashing benchmark: KeySpace.hash_columns against its baselines.

One run, one machine, ratios in the same run:
  - Arrow timestamp[us, UTC] + float64 columns -> Keys (the target path);
  - numpy datetime64[ns] columns and a pandas DataFrame's aware columns;
  - Hasher.hash_all over Python lists (what users had);
  - a numpy-vectorised encoder written here, the way a user would write one
    (same keys, checked);
  - two threads each hashing their own columns against one thread;
  - peak memory above inputs and result at 10,000,000 rows (in a child).

    python benchmarks/columns.py [--rows N] [--quick] [--output DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
UTC = timezone.utc
START = datetime(2020, 1, 1, tzinfo=UTC)
END = datetime(2021, 1, 1, tzinfo=UTC)
AXIS_MAX = (1 << 21) - 1


def make_columns(rows, seed=7):
    rng = np.random.default_rng(seed)
    start_us = int(START.timestamp() * 1e6)
    micros = rng.integers(start_us, start_us + 366 * 86_400 * 10**6, rows, dtype=np.int64)
    return micros, rng.uniform(-180, 180, rows), rng.uniform(-90, 90, rows)


def spread(cells):
    x = cells.astype(np.uint64) & np.uint64(AXIS_MAX)
    for shift, mask in ((32, 0x001F00000000FFFF), (16, 0x001F0000FF0000FF), (8, 0x100F00F00F00F00F),
                        (4, 0x10C30C30C30C30C3), (2, 0x1249249249249249)):
        x = (x | (x << np.uint64(shift))) & np.uint64(mask)
    return x


def numpy_encoder(micros, lons, lats, start_ms, span_ms):
    """What a user writes with numpy: the same IEEE steps, vectorised."""
    millis = np.floor_divide(micros, 1000)
    def quantize(normalized):
        scaled = np.clip(normalized, 0.0, 1.0) * float(AXIS_MAX)
        return np.where(np.isnan(scaled), 0, scaled).astype(np.uint32)
    t = quantize((millis - start_ms).astype(np.float64) / span_ms)
    y = quantize((lats - -90.0) / 180.0)
    x = quantize((lons - -180.0) / 360.0)
    return (spread(x) | (spread(y) << np.uint64(1)) | (spread(t) << np.uint64(2))).astype(np.int64)


def best_of(fn, repeats):
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        fn()
        times.append(time.perf_counter() - began)
    return min(times), statistics.median(times)


def memory_child(rows):
    import resource

    import pyarrow as pa

    import tessellon_index as ti

    micros, lons, lats = make_columns(rows)
    times = pa.array(micros, pa.timestamp("us", "UTC"))
    key_space = ti.KeySpace(START, END)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    keys = key_space.hash_columns(times, lons, lats)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"rows": rows, "peak_above_inputs_and_result": after - before - 8 * len(keys)}))


def run(rows, repeats, list_rows):
    import pandas as pd
    import pyarrow as pa

    import tessellon_index as ti

    key_space = ti.KeySpace(START, END)
    hasher = key_space.hasher()
    micros, lons, lats = make_columns(rows)
    arrow_times = pa.array(micros, pa.timestamp("us", "UTC"))
    arrow_lons, arrow_lats = pa.array(lons), pa.array(lats)
    numpy_ns = (micros * 1000).astype("datetime64[ns]")
    frame = pd.DataFrame({"ts": pd.to_datetime(micros * 1000, utc=True), "lon": lons, "lat": lats})
    start_ms = int(START.timestamp() * 1000)
    span_ms = float(int(END.timestamp() * 1000) - start_ms)

    reference = np.asarray(key_space.hash_columns(arrow_times, arrow_lons, arrow_lats))
    assert np.array_equal(numpy_encoder(micros, lons, lats, start_ms, span_ms), reference), "numpy encoder differs"
    sample = slice(0, list_rows)
    datetimes = pd.to_datetime(micros[sample] * 1000, utc=True).to_pydatetime().tolist()
    list_lons, list_lats = lons[sample].tolist(), lats[sample].tolist()
    assert hasher.hash_all(datetimes[:1000], list_lons[:1000], list_lats[:1000]) == reference[:1000].tolist()

    results = {}
    def record(name, fn, n=rows, reps=repeats):
        best, median = best_of(fn, reps)
        results[name] = {"rows": n, "ns_per_row": best / n * 1e9, "median_ns_per_row": median / n * 1e9}

    record("arrow us -> Keys", lambda: key_space.hash_columns(arrow_times, arrow_lons, arrow_lats))
    record("numpy datetime64[ns] -> Keys", lambda: key_space.hash_columns(numpy_ns, lons, lats, naive_utc=True))
    record("pandas aware columns -> Keys", lambda: key_space.hash_columns(frame.ts, frame.lon, frame.lat))
    record("baseline: hash_all over lists", lambda: hasher.hash_all(datetimes, list_lons, list_lats),
           n=list_rows, reps=max(1, repeats // 2))
    record("baseline: numpy-vectorised encoder", lambda: numpy_encoder(micros, lons, lats, start_ms, span_ms))

    # Two threads, each over its own columns, against one thread doing one.
    second = [pa.array(c) if i else pa.array(c, pa.timestamp("us", "UTC")) for i, c in enumerate(make_columns(rows, 8))]
    def one():
        key_space.hash_columns(arrow_times, arrow_lons, arrow_lats)
    def two():
        worker = threading.Thread(target=lambda: key_space.hash_columns(*second))
        worker.start()
        one()
        worker.join()
    single, _ = best_of(one, repeats)
    double, _ = best_of(two, repeats)
    results["two threads: throughput vs one"] = {"ratio": 2 * single / double}

    child = subprocess.run([sys.executable, __file__, "--memory-child", str(10_000_000)], capture_output=True,
                           text=True, check=True)
    results["peak memory at 10,000,000 rows"] = json.loads(child.stdout)
    return results


def report(results):
    arrow = results["arrow us -> Keys"]["ns_per_row"]
    lines = [f"{'case':40} {'ns/row':>9} {'vs arrow':>9}"]
    for name, figures in results.items():
        if "ns_per_row" in figures:
            lines.append(f"{name:40} {figures['ns_per_row']:9.2f} {figures['ns_per_row'] / arrow:8.2f}x")
    lines.append(f"{'two threads: throughput vs one':40} {results['two threads: throughput vs one']['ratio']:9.2f}x")
    peak = results["peak memory at 10,000,000 rows"]["peak_above_inputs_and_result"]
    lines.append(f"{'peak memory above inputs+result, 10M':40} {peak / 2**20:8.2f} MiB")
    return "\n".join(lines)


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, (speed, ratio) = plt.subplots(1, 2, figsize=(12, 4.5))
    names = [n for n, f in results.items() if "ns_per_row" in f]
    values = [results[n]["ns_per_row"] for n in names]
    colours = plt.get_cmap("tab10").colors
    speed.barh(names, values, color=[colours[i] for i in range(len(names))])
    speed.set_xscale("log")
    speed.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    speed.set_xlabel("ns per row (log scale, lower is better)")
    speed.set_title("What does one row cost, by input form?")
    arrow = results["arrow us -> Keys"]["ns_per_row"]
    speedups = {n: results[n]["ns_per_row"] / arrow for n in names if n.startswith("baseline")}
    labels = [name.removeprefix("baseline: ").replace(" over ", "\nover ").replace("-vectorised ", "-vectorised\n")
              for name in speedups]
    ratio.bar(labels, list(speedups.values()), color=[colours[7], colours[9]])
    ratio.set_ylabel("times slower than hash_columns on Arrow")
    ratio.set_title("How much faster than the alternatives?")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="100,000 rows, few repeats")
    parser.add_argument("--output", type=Path, default=HERE / "results")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    rows = 100_000 if args.quick else args.rows
    results = run(rows, 3 if args.quick else 7, min(rows, 200_000))
    print(report(results))
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "columns.json").write_text(json.dumps(results, indent=2))
    plot(results, args.output / "columns.png")
    print(f"wrote {args.output / 'columns.json'} and columns.png", file=sys.stderr)


if __name__ == "__main__":
    main()
