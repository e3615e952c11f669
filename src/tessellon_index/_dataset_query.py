"""Querying an indexed Parquet dataset by time window and box.

Row groups are pruned on the key column's statistics (``Query.row_groups``);
the kept ones are read in parallel over files, tested with
``Query.contains`` and then judged exactly on the original time and
coordinate columns. Row groups holding null keys (rows written with
``invalid="skip"``) are always read: their rows have no key to prune on,
and one outside the key space may still lie inside the window.
"""

from __future__ import annotations

import os
import time as clock
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from tessellon_index._dataset_metadata import ColumnNames, Dataset, DatasetFile, open_dataset

Bbox = tuple[float, float, float, float]


@dataclass(frozen=True)
class QueryStats:
    """What a query read, against what the dataset holds.

    Bytes are the compressed sizes of the column chunks read (the columns
    a query needs, in the row groups it kept), against those of every
    column chunk of the dataset.
    """

    files_read: int
    files: int
    row_groups_read: int
    row_groups: int
    rows_read: int
    rows: int
    bytes_read: int
    bytes: int
    rows_matched: int
    seconds: float

    @property
    def share_read(self) -> float:
        """The share of the dataset's rows that were read."""
        return self.rows_read / self.rows if self.rows else 0.0

    def __str__(self) -> str:
        return (f"{self.rows_matched:,} rows matched; read {self.row_groups_read:,}/{self.row_groups:,} "
                f"row groups, {self.rows_read:,}/{self.rows:,} rows ({100 * self.share_read:.2f}%), "
                f"{self.bytes_read:,}/{self.bytes:,} bytes, {self.files_read}/{self.files} files "
                f"in {self.seconds:.3f} s")


class QueryResult(NamedTuple):
    """The rows a query matched and what it read to find them."""

    table: pa.Table
    stats: QueryStats


class _Plan(NamedTuple):
    file: DatasetFile
    kept: list[int]
    rows: int
    bytes_read: int


def _key_statistics(file: DatasetFile, key: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per row group: key min, key max, and whether it must be read whatever they say."""
    metadata = file.metadata
    index = metadata.schema.to_arrow_schema().get_field_index(key)
    count = metadata.num_row_groups
    lows, highs = np.zeros(count, np.int64), np.zeros(count, np.int64)
    forced = np.zeros(count, bool)
    for group in range(count):
        chunk = metadata.row_group(group)
        stats = chunk.column(index).statistics
        if stats is None or not stats.has_min_max:
            # No statistics, or only null keys: nothing to prune on.
            forced[group] = chunk.num_rows > 0
            continue
        lows[group], highs[group] = stats.min, stats.max
        forced[group] = not stats.has_null_count or stats.null_count > 0
    return lows, highs, forced


def _plan(file: DatasetFile, query: Any, columns: ColumnNames, read_columns: list[str]) -> _Plan:
    lows, highs, forced = _key_statistics(file, columns.key)
    keep = np.asarray(query.row_groups(lows, highs), dtype=bool) | forced
    kept = np.flatnonzero(keep).tolist()
    names = set(read_columns)
    metadata = file.metadata
    rows = bytes_read = 0
    for group in kept:
        chunk = metadata.row_group(group)
        rows += chunk.num_rows
        for column in range(chunk.num_columns):
            if chunk.column(column).path_in_schema.split(".")[0] in names:
                bytes_read += chunk.column(column).total_compressed_size
    return _Plan(file, kept, rows, bytes_read)


def _total_bytes(dataset: Dataset) -> int:
    return sum(file.metadata.row_group(group).column(column).total_compressed_size
               for file in dataset.files for group in range(file.metadata.num_row_groups)
               for column in range(file.metadata.num_columns))


def _utc(moment: datetime) -> datetime:
    if not isinstance(moment, datetime) or moment.utcoffset() is None:
        raise TypeError(f"start and end must be aware datetimes, got {moment!r}")
    return moment.astimezone(timezone.utc)


def _time_bound(moment: datetime, column_type: pa.DataType, naive_utc: bool) -> tuple[pa.Scalar, pa.DataType]:
    """The bound as a scalar of a type that compares exactly with the column
    (seconds and milliseconds are widened to microseconds, a datetime's own
    precision, so a bound is never rounded)."""
    unit = "ns" if column_type.unit == "ns" else "us"
    compare_type = pa.timestamp(unit, column_type.tz)
    value = _utc(moment)
    if column_type.tz is None:
        if not naive_utc:
            raise TypeError("the time column holds naive timestamps; the dataset was not written with "
                            "naive_utc=True")
        value = value.replace(tzinfo=None)
    return pa.scalar(value, type=compare_type), compare_type


def exact_mask(table: pa.Table, start: datetime, end: datetime, bbox: Bbox | None,
               columns: ColumnNames) -> pa.ChunkedArray:
    """True where a row's own time (and, with a bbox, position) lies in the
    window: both ends inclusive, ``west > east`` crossing the antimeridian.
    Null or NaN values never match what they are judged on."""
    times = table.column(columns.time)
    low, compare_type = _time_bound(start, times.type, columns.naive_utc)
    high, _ = _time_bound(end, times.type, columns.naive_utc)
    if times.type != compare_type:
        times = times.cast(compare_type)
    mask = pc.and_kleene(pc.greater_equal(times, low), pc.less_equal(times, high))
    if bbox is not None:
        west, south, east, north = (float(value) for value in bbox)
        longitudes = table.column(columns.longitude).cast(pa.float64())
        latitudes = table.column(columns.latitude).cast(pa.float64())
        after_west, before_east = pc.greater_equal(longitudes, west), pc.less_equal(longitudes, east)
        inside_longitude = (pc.or_kleene(after_west, before_east) if west > east
                            else pc.and_kleene(after_west, before_east))
        inside_latitude = pc.and_kleene(pc.greater_equal(latitudes, south), pc.less_equal(latitudes, north))
        mask = pc.and_kleene(mask, pc.and_kleene(inside_longitude, inside_latitude))
    return mask


def _read(plan: _Plan, query: Any, read_columns: list[str], start: datetime, end: datetime,
          bbox: Bbox | None, columns: ColumnNames, output: list[str]) -> pa.Table:
    parquet = pq.ParquetFile(plan.file.path, metadata=plan.file.metadata)
    table = parquet.read_row_groups(plan.kept, columns=read_columns, use_threads=False)
    keys = table.column(columns.key)
    candidates = table.filter(pc.or_(pa.array(query.contains(keys)), pc.is_null(keys)))
    matched = candidates.filter(exact_mask(candidates, start, end, bbox, columns), null_selection_behavior="drop")
    return matched.select(output)


def query_with_stats(
    dataset: Dataset | str | os.PathLike[str],
    start: datetime,
    end: datetime,
    bbox: Bbox | None = None,
    columns: list[str] | None = None,
    *,
    max_workers: int | None = None,
) -> QueryResult:
    """``query``'s table together with a ``QueryStats`` of what it read."""
    began = clock.perf_counter()
    if not isinstance(dataset, Dataset):
        dataset = open_dataset(dataset)
    names = dataset.columns
    schema = dataset.schema
    output = list(schema.names) if columns is None else list(columns)
    unknown = [name for name in output if schema.get_field_index(name) < 0]
    if unknown:
        raise KeyError(f"column(s) {unknown} not in the dataset; its columns are {schema.names}")
    read_columns = list(dict.fromkeys([*output, names.time, names.longitude, names.latitude, names.key]))
    query = dataset.key_space.query(start, end, bbox)
    # Checked before any read, so a bad bound fails the same on an empty plan.
    _time_bound(start, schema.field(names.time).type, names.naive_utc)
    plans = [_plan(file, query, names, read_columns) for file in dataset.files]
    work = [plan for plan in plans if plan.kept]
    workers = max_workers or min(len(work), os.cpu_count() or 1) or 1
    with ThreadPoolExecutor(max_workers=workers) as pool:
        parts = list(pool.map(lambda plan: _read(plan, query, read_columns, start, end, bbox, names, output),
                              work))
    output_schema = pa.schema([schema.field(name) for name in output], metadata=schema.metadata)
    table = pa.concat_tables([part.cast(output_schema) for part in parts]) if parts else output_schema.empty_table()
    stats = QueryStats(
        files_read=len(work), files=len(plans),
        row_groups_read=sum(len(plan.kept) for plan in plans), row_groups=dataset.num_row_groups,
        rows_read=sum(plan.rows for plan in plans), rows=dataset.num_rows,
        bytes_read=sum(plan.bytes_read for plan in plans), bytes=_total_bytes(dataset),
        rows_matched=table.num_rows, seconds=clock.perf_counter() - began)
    return QueryResult(table, stats)


def query(
    dataset: Dataset | str | os.PathLike[str],
    start: datetime,
    end: datetime,
    bbox: Bbox | None = None,
    columns: list[str] | None = None,
    *,
    max_workers: int | None = None,
) -> pa.Table:
    """The rows of an indexed dataset whose own time lies in [start, end]
    and, when ``bbox=(west, south, east, north)`` is given, whose position
    lies in the box (inclusive; ``west > east`` crosses the antimeridian).
    ``bbox=None`` judges time only. ``columns`` picks the columns returned
    (all by default). ``dataset`` is a path or an ``open_dataset`` result
    (which saves reading the footers again). Row order: by key within each
    file, files in path order.
    """
    return query_with_stats(dataset, start, end, bbox, columns, max_workers=max_workers).table
