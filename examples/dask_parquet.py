"""Recipe: key a Parquet dataset that outgrew one process, with Dask.

Each partition is hashed where it is loaded. A Hasher cannot be pickled, so
the workers receive the extent (start, end, bbox: plain values) and build
their own Hasher from it; every worker then computes the same keys. The
output is the input plus an int64 column "key", sorted by it across files.

Needs the recipes extra: python -m pip install '.[recipes]'
Run: python examples/dask_parquet.py SOURCE_DIR TARGET_DIR [--workers N]
"""

import argparse

import dask
import dask.dataframe as dd
import pandas as pd

import tessellon


def utc_times(times):
    """A pandas datetime column in UTC, as tessellon wants it: naive means
    UTC, and a zone with rules (Europe/Paris...) is converted."""
    return times.dt.tz_localize("UTC") if times.dt.tz is None else times.dt.tz_convert("UTC")


def data_extent(frame, time="time", longitude="longitude", latitude="latitude"):
    """(start, end, bbox) covering every row of a Dask frame, in one pass."""
    times = frame[time].map_partitions(utc_times)
    start, end, west, south, east, north = dask.compute(
        times.min(), times.max(), frame[longitude].min(), frame[latitude].min(),
        frame[longitude].max(), frame[latitude].max())
    return start, end, (float(west), float(south), float(east), float(north))


def add_keys(partition, start, end, bbox, time="time", longitude="longitude", latitude="latitude"):
    """Runs in a worker: builds the Hasher there and keys one pandas partition.

    Points outside the extent are clamped onto its boundary; with the extent
    of data_extent() there are none."""
    hasher = tessellon.Hasher(start, end, bbox)
    # Plain datetimes hash faster than pandas Timestamps; float64 arrays are read as a block.
    times = pd.DatetimeIndex(utc_times(partition[time])).to_pydatetime()
    keys = hasher.hash_all_clamped(times, partition[longitude].to_numpy("float64"),
                                   partition[latitude].to_numpy("float64"))
    return partition.assign(key=pd.Series(keys, index=partition.index, dtype="int64"))


def key_parquet(source, target, extent=None, scheduler="processes", workers=2):
    """Reads SOURCE, adds the key column, sorts by it and writes TARGET."""
    with dask.config.set(scheduler=scheduler, num_workers=workers):
        frame = dd.read_parquet(source)
        start, end, bbox = extent if extent is not None else data_extent(frame)
        meta = frame._meta.assign(key=pd.Series(dtype="int64"))
        keyed = frame.map_partitions(add_keys, start, end, bbox, meta=meta)
        keyed.sort_values("key").to_parquet(target, write_index=False)
    return start, end, bbox


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    start, end, bbox = key_parquet(args.source, args.target, workers=args.workers)
    print(f"keyed {args.source} into {args.target}: extent {start} .. {end}, bbox {bbox}")
