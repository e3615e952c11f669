"""``tessellon-index``: index Parquet or CSV data by key, query it, inspect it, try it."""

from __future__ import annotations

import argparse
import os
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from tessellon_index._keyspace import KeySpace

_PRINTED_ROWS = 10


def _instant(text: str) -> datetime:
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 date-time: {text!r}") from None
    if moment.tzinfo is None:
        raise argparse.ArgumentTypeError(
            f"{text!r} has no UTC offset; write it with one, e.g. {text}Z or {text}+02:00")
    return moment


def _extent(values: list[str]) -> tuple[datetime, datetime, tuple[float, ...] | None]:
    if len(values) not in (2, 6):
        raise SystemExit("--extent takes START END, or START END WEST SOUTH EAST NORTH")
    try:
        start, end = _instant(values[0]), _instant(values[1])
        bbox = tuple(float(value) for value in values[2:]) or None
    except (argparse.ArgumentTypeError, ValueError) as error:
        raise SystemExit(f"--extent: {error}") from None
    return start, end, bbox


def _source_reader(source: Path, time_column: str, longitude: str, latitude: str, naive_utc: bool) -> Any:
    """A stream of record batches over a Parquet or CSV file or directory."""
    import pyarrow.dataset as ds

    files = [source] if source.is_file() else sorted(
        file for file in source.rglob("*") if file.suffix.lower() in (".parquet", ".csv") and file.is_file())
    if not files:
        raise SystemExit(f"no .parquet or .csv files at {source}")
    formats = {file.suffix.lower() for file in files}
    if len(formats) > 1:
        raise SystemExit(f"{source} mixes Parquet and CSV files; index them separately")
    file_format: Any = "parquet"
    if formats == {".csv"}:
        import pyarrow as pa
        import pyarrow.csv as csv

        # Text with an offset becomes a UTC instant; without one it is refused unless --naive-utc.
        time_type = pa.timestamp("us", None if naive_utc else "UTC")
        file_format = ds.CsvFileFormat(convert_options=csv.ConvertOptions(column_types={
            time_column: time_type, longitude: pa.float64(), latitude: pa.float64()}))
    dataset = ds.dataset([str(file) for file in files], format=file_format)
    return dataset, sum(file.stat().st_size for file in files)


def _fits_in_memory(source_bytes: int) -> bool:
    try:
        available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return True
    # Decoded, keyed, sorted and taken: several times the compressed size.
    return source_bytes * 8 < available


def _index(arguments: argparse.Namespace) -> int:
    from tessellon_index._progress import ProgressBar
    from tessellon_index.parquet import open_dataset, write_dataset

    start, end, bbox = _extent(arguments.extent)
    key_space = KeySpace(start, end, bbox)
    dataset, source_bytes = _source_reader(Path(arguments.source), arguments.time, arguments.lon, arguments.lat,
                                             arguments.naive_utc)
    sort = arguments.sort
    if sort == "auto":
        sort = "memory" if _fits_in_memory(source_bytes) else "duckdb"
    data = dataset.to_table() if sort == "memory" else dataset.scanner().to_reader()
    bar = ProgressBar(enabled=None if arguments.progress else False)
    try:
        write_dataset(data, arguments.destination, key_space, time=arguments.time, longitude=arguments.lon,
                      latitude=arguments.lat, invalid=arguments.invalid, row_group_size=arguments.row_group_size,
                      naive_utc=arguments.naive_utc, sort=sort, mode="append" if arguments.append else "error",
                      progress=bar)
    finally:
        bar.close()
    written = open_dataset(arguments.destination)
    print(f"indexed {written.num_rows:,} rows into {arguments.destination}: {len(written.files)} files, "
          f"{written.num_row_groups} row groups, {key_space!r}")
    return 0


def format_table(table: Any, limit: int = _PRINTED_ROWS) -> str:
    """The first rows of an Arrow table as aligned text."""
    shown = table.slice(0, limit).to_pylist()
    names = table.column_names
    cells = [[_cell(row[name]) for name in names] for row in shown]
    widths = [max([len(name)] + [len(row[index]) for row in cells]) for index, name in enumerate(names)]
    lines = ["  ".join(name.ljust(width) for name, width in zip(names, widths)),
             "  ".join("-" * width for width in widths)]
    lines += ["  ".join(value.ljust(width) for value, width in zip(row, widths)) for row in cells]
    if table.num_rows > limit:
        lines.append(f"... {table.num_rows - limit:,} more rows")
    return "\n".join(lines)


def _cell(value: Any) -> str:
    if isinstance(value, datetime):
        return value.isoformat()
    if isinstance(value, float):
        return f"{value:.6f}"
    return str(value)


def _write_output(table: Any, out: Path) -> None:
    if out.suffix.lower() == ".csv":
        import pyarrow.csv as csv

        csv.write_csv(table, out)
    elif out.suffix.lower() == ".parquet":
        import pyarrow.parquet as pq

        pq.write_table(table, out)
    else:
        raise SystemExit(f"--out must end in .parquet or .csv, got {out.name}")


def _query(arguments: argparse.Namespace) -> int:
    from tessellon_index.parquet import query_with_stats

    bbox = tuple(arguments.bbox) if arguments.bbox else None
    if arguments.out and Path(arguments.out).suffix.lower() not in (".parquet", ".csv"):
        raise SystemExit(f"--out must end in .parquet or .csv, got {Path(arguments.out).name}")
    table, stats = query_with_stats(arguments.dataset, arguments.start, arguments.end, bbox, arguments.columns)
    if arguments.out:
        _write_output(table, Path(arguments.out))
        print(f"wrote {table.num_rows:,} rows to {arguments.out}")
    else:
        print(format_table(table, arguments.limit))
    print(stats)
    return 0


def _info(arguments: argparse.Namespace) -> int:
    from tessellon_index.parquet import open_dataset

    dataset = open_dataset(arguments.dataset)
    key_range = dataset.key_range()
    resolution = dataset.key_space.resolution
    print(f"dataset     {dataset.path}")
    print(f"key space   {dataset.key_space!r}")
    print(f"cell size   {resolution.milliseconds:.1f} ms x {resolution.longitude:.3g} deg x "
          f"{resolution.latitude:.3g} deg")
    print(f"columns     time={dataset.columns.time} longitude={dataset.columns.longitude} "
          f"latitude={dataset.columns.latitude} key={dataset.columns.key}")
    print(f"files       {len(dataset.files)}")
    print(f"rows        {dataset.num_rows:,}")
    print(f"row groups  {dataset.num_row_groups:,}")
    print(f"key range   {key_range[0]} .. {key_range[1]}" if key_range else "key range   (no keys)")
    return 0


def _demo(arguments: argparse.Namespace) -> int:
    from tessellon_index._demo import run_demo

    return run_demo(rows=arguments.rows, directory=arguments.dir, seed=arguments.seed, progress=arguments.progress)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessellon-index",
        description="Index point data (time, longitude, latitude) into Parquet sorted by tessellon keys, "
                    "and query it by time window and box, reading only the row groups that may match.")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="draw no progress bar")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    index = commands.add_parser("index", help="key, sort and write a Parquet or CSV source",
                                description="Add a key column to SRC (a Parquet or CSV file or directory), sort "
                                            "by it and write an indexed Parquet dataset to DST.")
    index.add_argument("source", metavar="SRC")
    index.add_argument("destination", metavar="DST")
    index.add_argument("--time", required=True, metavar="COL", help="the timestamp column")
    index.add_argument("--lon", required=True, metavar="COL", help="the longitude column")
    index.add_argument("--lat", required=True, metavar="COL", help="the latitude column")
    index.add_argument("--extent", required=True, nargs="+", metavar="VALUE",
                       help="the key space: START END [WEST SOUTH EAST NORTH]; times in ISO 8601 with an offset. "
                            "Choose it once for all the data you will ever add, not from this file")
    index.add_argument("--invalid", choices=["raise", "skip", "clamp"], default="raise",
                       help="points outside the extent: fail (default), keep with a null key, or clamp their key")
    index.add_argument("--row-group-size", type=_positive, default=131_072, metavar="ROWS")
    index.add_argument("--naive-utc", action="store_true", help="read times without a zone as UTC")
    index.add_argument("--sort", choices=["auto", "memory", "duckdb"], default="auto",
                       help="sort in memory with pyarrow, or out of core with DuckDB (auto: by size)")
    index.add_argument("--append", action="store_true", help="add files to an existing dataset of the same extent")
    index.set_defaults(run=_index)

    query = commands.add_parser("query", help="rows in a time window and box",
                                description="Print (or write) the rows of DST in [--start, --end] and the box, "
                                            "and what was read to find them.")
    query.add_argument("dataset", metavar="DST")
    query.add_argument("--start", required=True, type=_instant, help="ISO 8601 with an offset; inclusive")
    query.add_argument("--end", required=True, type=_instant, help="ISO 8601 with an offset; inclusive")
    query.add_argument("--bbox", nargs=4, type=float, metavar=("WEST", "SOUTH", "EAST", "NORTH"),
                       help="WEST > EAST crosses the antimeridian; default: anywhere")
    query.add_argument("--columns", nargs="+", metavar="COL", help="columns to return (default: all)")
    query.add_argument("--out", metavar="FILE", help="write the rows to FILE (.parquet or .csv)")
    query.add_argument("--limit", type=_positive, default=_PRINTED_ROWS, help="rows to print")
    query.set_defaults(run=_query)

    info = commands.add_parser("info", help="key space, rows, row groups and key range of a dataset",
                               description="Describe an indexed dataset from its files' footers.")
    info.add_argument("dataset", metavar="DST")
    info.set_defaults(run=_info)

    demo = commands.add_parser("demo", help="generate, index and query synthetic tracks",
                               description="Generate seeded synthetic vessel and vehicle tracks, index them and run "
                                           "a few window-and-box queries, printing rows, time and share read.")
    demo.add_argument("--rows", type=_positive, default=3_000_000)
    demo.add_argument("--dir", help="where to write the dataset (default: a temporary directory, removed after)")
    demo.add_argument("--seed", type=int, default=7)
    demo.set_defaults(run=_demo)
    return parser


def main(argv: list[str] | None = None) -> int:
    arguments = build_parser().parse_args(argv)
    try:
        return int(arguments.run(arguments))
    except ImportError as error:
        print(f"tessellon-index: {error}; install the extra: pip install 'tessellon[parquet]'", file=sys.stderr)
        return 2
    except (ValueError, TypeError, KeyError, FileNotFoundError, FileExistsError, OSError) as error:
        print(f"tessellon-index {arguments.command}: {error}", file=sys.stderr)
        return 1
