"""Recipe: index a Parquet dataset that outgrew one process, with Dask.

Each partition is keyed where it is loaded, in a key space given once for
all the data (not derived from it: appending next month's data must not
change any key), sorted by key across files and written with the key space
in every file's footer, so that tessellon_index.parquet.query and
`tessellon-index query` read it back by window and box.

Needs the dask extra: python -m pip install '.[dask]'
Run: python examples/dask_parquet.py SOURCE_DIR TARGET_DIR --time ts --lon lon --lat lat \
         --extent 2024-01-01T00:00Z 2025-01-01T00:00Z [-180 -90 180 90] [--workers N]
"""

import argparse
from datetime import datetime

import dask
import dask.dataframe as dd

from tessellon_index import KeySpace
from tessellon_index.dask import write_dataset


def index_parquet(source, target, key_space, time="time", longitude="longitude", latitude="latitude",
                  invalid="raise", scheduler="processes", workers=2):
    """Reads SOURCE, adds the key column, sorts by it and writes TARGET."""
    with dask.config.set(scheduler=scheduler, num_workers=workers):
        write_dataset(dd.read_parquet(source), target, key_space, time=time, longitude=longitude,
                      latitude=latitude, invalid=invalid)


def parse_extent(values):
    if len(values) not in (2, 6):
        raise SystemExit("--extent takes START END, or START END WEST SOUTH EAST NORTH")
    bbox = tuple(float(value) for value in values[2:]) or None
    return KeySpace(datetime.fromisoformat(values[0]), datetime.fromisoformat(values[1]), bbox)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("target")
    parser.add_argument("--time", default="time")
    parser.add_argument("--lon", default="longitude")
    parser.add_argument("--lat", default="latitude")
    parser.add_argument("--extent", nargs="+", required=True, metavar="VALUE",
                        help="START END [WEST SOUTH EAST NORTH], times in ISO 8601 with an offset")
    parser.add_argument("--invalid", choices=["raise", "skip", "clamp"], default="raise")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    space = parse_extent(args.extent)
    index_parquet(args.source, args.target, space, args.time, args.lon, args.lat, args.invalid, workers=args.workers)
    print(f"indexed {args.source} into {args.target} in {space!r}")
