"""Writing an indexed Parquet dataset: add the key column, sort by it, write.

Data that fits in memory is sorted by pyarrow. A stream of batches (a
record-batch reader, or anything with ``__arrow_c_stream__``) is sorted out
of core by DuckDB when it is installed: the keyed batches are staged to
Parquet, DuckDB sorts them spilling to disk, and pyarrow writes the result
with the original schema restored (DuckDB keeps timestamps in microseconds,
so timestamps and durations pass through it as their int64 values).
"""

from __future__ import annotations

import os
import shutil
import tempfile
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from tessellon_index._dataset_metadata import ColumnNames, data_files, footer_entries, read_file_index
from tessellon_index._keyspace import KeySpace

DEFAULT_ROW_GROUP_SIZE = 131_072
DEFAULT_ROW_GROUPS_PER_FILE = 16
_SORT_MODES = ("auto", "memory", "duckdb")
_MODES = ("error", "append")

Progress = Callable[[str, int, int], None]


def _no_progress(stage: str, done: int, total: int) -> None:
    pass


def as_arrow(data: Any) -> pa.Table | pa.RecordBatchReader:
    """A table for in-memory data, a reader for streams."""
    if isinstance(data, (pa.Table, pa.RecordBatchReader)):
        return data
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    if type(data).__module__.startswith("pandas."):
        # Keeps a meaningful index as a column: nothing is dropped.
        return pa.Table.from_pandas(data, preserve_index=None)
    if type(data).__module__.startswith("polars."):
        return data.to_arrow()
    if hasattr(data, "__arrow_c_stream__"):
        return pa.RecordBatchReader.from_stream(data)
    raise TypeError(
        f"cannot write {type(data).__name__}: pass a pyarrow Table or RecordBatchReader, a pandas or polars "
        "DataFrame, or an object with the Arrow stream interface (__arrow_c_stream__)")


def _check_columns(schema: pa.Schema, columns: ColumnNames) -> None:
    missing = [name for name in columns[:3] if schema.get_field_index(name) < 0]
    if missing:
        raise KeyError(f"column(s) {missing} not in the data; its columns are {schema.names}: "
                       "name the time, longitude and latitude columns with time=, longitude=, latitude=")
    if schema.get_field_index(columns.key) >= 0:
        raise ValueError(f"the data already has a column named {columns.key!r}; pass key= another name "
                         "for the key column")


def _as_float(coordinates: Any) -> Any:
    """Integer or decimal coordinates are hashed as float64 (the stored column is unchanged)."""
    kind = coordinates.type
    if pa.types.is_integer(kind) or pa.types.is_decimal(kind) or pa.types.is_float16(kind):
        return coordinates.cast(pa.float64())
    return coordinates


def _keyed(batch: pa.Table | pa.RecordBatch, key_space: KeySpace, columns: ColumnNames, invalid: str) -> Any:
    keys = key_space.hash_columns(batch.column(columns.time), _as_float(batch.column(columns.longitude)),
                                  _as_float(batch.column(columns.latitude)), invalid=invalid,
                                  naive_utc=columns.naive_utc)
    return batch.append_column(pa.field(columns.key, pa.int64()), pa.array(keys))


def _target(path: str | os.PathLike[str], mode: str, key_space: KeySpace, columns: ColumnNames) -> Path:
    if mode not in _MODES:
        raise ValueError(f'mode must be "error" or "append", got {mode!r}')
    root = Path(path)
    if root.exists() and not root.is_dir():
        raise FileExistsError(f"{str(root)!r} is a file; a dataset is written to a directory")
    existing = data_files(root) if root.is_dir() else []
    if existing and mode == "error":
        raise FileExistsError(f"{str(root)!r} already holds a dataset; pass mode=\"append\" to add files to it "
                              "(same key space) or write to a new directory")
    for file in existing[:1]:
        other_space, other_columns, _ = read_file_index(file)
        if other_space != key_space or other_columns != columns:
            raise ValueError(f"cannot append to {str(root)!r}: it was indexed with {other_space!r} on "
                             f"{other_columns}, not {key_space!r} on {columns}")
    root.mkdir(parents=True, exist_ok=True)
    return root


def _file_names(root: Path) -> Iterator[Path]:
    # A fresh prefix per write keeps appended files apart from earlier ones.
    prefix = uuid.uuid4().hex[:8]
    number = 0
    while True:
        yield root / f"part-{prefix}-{number:05d}.parquet"
        number += 1


def _writer_options(schema: pa.Schema) -> dict[str, Any]:
    """Dictionary encoding only where values repeat (text, categories): on
    floats, timestamps and keys it costs several times the write for nothing."""
    repeating = [field.name for field in schema
                 if pa.types.is_string(field.type) or pa.types.is_large_string(field.type)
                 or pa.types.is_binary(field.type) or pa.types.is_dictionary(field.type)
                 or pa.types.is_boolean(field.type)]
    return {"use_dictionary": repeating}


def _write_in_memory(table: pa.Table, root: Path, key_space: KeySpace, columns: ColumnNames, invalid: str,
                     row_group_size: int, rows_per_file: int, progress: Progress) -> list[str]:
    progress("hash", 0, table.num_rows)
    keyed = _keyed(table, key_space, columns, invalid)
    progress("hash", table.num_rows, table.num_rows)
    progress("sort", 0, table.num_rows)
    order = pc.array_sort_indices(keyed.column(columns.key), null_placement="at_end")
    keyed = keyed.take(order)
    del order
    progress("sort", table.num_rows, table.num_rows)
    keyed = keyed.replace_schema_metadata({**(keyed.schema.metadata or {}),
                                           **footer_entries(key_space, columns)})
    names = _file_names(root)
    slices = [(next(names), keyed.slice(offset, rows_per_file))
              for offset in range(0, max(keyed.num_rows, 1), rows_per_file)]
    written = 0

    def write(item: tuple[Path, pa.Table]) -> str:
        file, part = item
        pq.write_table(part, file, row_group_size=row_group_size, **_writer_options(part.schema))
        return str(file)

    paths = []
    with ThreadPoolExecutor(max_workers=2) as pool:
        for path, (_, part) in zip(pool.map(write, slices), slices):
            written += part.num_rows
            progress("write", written, keyed.num_rows)
            paths.append(path)
    return paths


def _staging_schema(schema: pa.Schema) -> pa.Schema:
    """Timestamps and durations as int64: DuckDB would round them to microseconds."""
    return pa.schema([pa.field(field.name, pa.int64(), field.nullable)
                      if pa.types.is_timestamp(field.type) or pa.types.is_duration(field.type) else field
                      for field in schema])


def _to_staging(batch: pa.RecordBatch) -> pa.RecordBatch:
    schema = _staging_schema(batch.schema)
    return pa.RecordBatch.from_arrays(
        [column.view(pa.int64()) if column.type != field.type else column
         for column, field in zip(batch.columns, schema)], schema=schema)


def _write_out_of_core(reader: pa.RecordBatchReader, root: Path, key_space: KeySpace, columns: ColumnNames,
                       invalid: str, row_group_size: int, rows_per_file: int, progress: Progress,
                       total_rows: int) -> list[str]:
    import duckdb

    staging = Path(tempfile.mkdtemp(prefix=".tessellon-staging-", dir=root))
    try:
        unsorted_file, sorted_file = staging / "keyed.parquet", staging / "sorted.parquet"
        keyed_schema = None
        hashed = 0
        writer = None
        for batch in reader:
            keyed = _keyed(batch, key_space, columns, invalid)
            if writer is None:
                keyed_schema = keyed.schema
                writer = pq.ParquetWriter(unsorted_file, _staging_schema(keyed_schema))
            writer.write_batch(_to_staging(keyed))
            hashed += batch.num_rows
            progress("hash", hashed, total_rows)
        if writer is None:
            return _write_in_memory(reader.schema.empty_table(), root, key_space, columns, invalid,
                                    row_group_size, rows_per_file, progress)
        writer.close()
        progress("sort", 0, hashed)
        connection = duckdb.connect()
        try:
            connection.execute(f"SET temp_directory = '{_sql_text(staging / 'spill')}'")
            connection.execute(
                f"COPY (SELECT * FROM read_parquet('{_sql_text(unsorted_file)}') "
                f"ORDER BY \"{columns.key.replace(chr(34), chr(34) * 2)}\" NULLS LAST) "
                f"TO '{_sql_text(sorted_file)}' (FORMAT PARQUET, ROW_GROUP_SIZE {row_group_size})")
        finally:
            connection.close()
        progress("sort", hashed, hashed)
        assert keyed_schema is not None
        schema = keyed_schema.with_metadata({**(keyed_schema.metadata or {}),
                                             **footer_entries(key_space, columns)})
        return _rewrite(sorted_file, schema, root, row_group_size, rows_per_file, progress, hashed)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _sql_text(path: Path) -> str:
    return str(path).replace("'", "''")


def _rewrite(sorted_file: Path, schema: pa.Schema, root: Path, row_group_size: int, rows_per_file: int,
             progress: Progress, total_rows: int) -> list[str]:
    """Streams DuckDB's sorted output into files with the original schema."""
    names = _file_names(root)
    paths: list[str] = []
    writer = None
    rows_in_file = written = 0
    pending: list[pa.RecordBatch] = []
    pending_rows = 0

    def flush(batches: list[pa.RecordBatch]) -> None:
        nonlocal writer, rows_in_file, written
        if writer is None:
            file = next(names)
            writer = pq.ParquetWriter(file, schema, **_writer_options(schema))
            paths.append(str(file))
        group = pa.Table.from_batches(batches)
        writer.write_table(group, row_group_size=row_group_size)
        rows_in_file += group.num_rows
        written += group.num_rows
        progress("write", written, total_rows)
        if rows_in_file >= rows_per_file:
            writer.close()
            writer, rows_in_file = None, 0

    for batch in pq.ParquetFile(sorted_file).iter_batches(batch_size=row_group_size):
        restored = pa.RecordBatch.from_arrays(
            [column.view(field.type) if column.type != field.type and pa.types.is_int64(column.type)
             else column.cast(field.type) for column, field in zip(batch.columns, schema)], schema=schema)
        pending.append(restored)
        pending_rows += restored.num_rows
        if pending_rows >= row_group_size:
            table = pa.Table.from_batches(pending)
            flush(table.slice(0, row_group_size).to_batches())
            rest = table.slice(row_group_size)
            pending, pending_rows = rest.to_batches(), rest.num_rows
    if pending_rows:
        flush(pending)
    if writer is not None:
        writer.close()
    return paths


def write_dataset(
    data: Any,
    path: str | os.PathLike[str],
    key_space: KeySpace,
    *,
    time: str = "time",
    longitude: str = "longitude",
    latitude: str = "latitude",
    invalid: str = "raise",
    row_group_size: int = DEFAULT_ROW_GROUP_SIZE,
    rows_per_file: int | None = None,
    naive_utc: bool = False,
    key: str = "key",
    sort: str = "auto",
    mode: str = "error",
    progress: Progress | None = None,
) -> list[str]:
    """Adds an int64 key column, sorts by it and writes Parquet files into ``path``.

    ``data``: a pyarrow Table or RecordBatchReader, a pandas or polars
    DataFrame, or anything with ``__arrow_c_stream__``. ``invalid``: what a
    point outside the key space does (``"raise"``, ``"skip"``: its key is
    null and the row is kept, sorted last; ``"clamp"``). Each file holds at
    most ``rows_per_file`` rows (16 row groups by default) in row groups of
    ``row_group_size`` rows, and carries the key space and column names in
    its metadata. ``sort``: ``"memory"`` (pyarrow), ``"duckdb"`` (out of
    core, for data larger than memory) or ``"auto"`` (DuckDB for streams
    when it is installed, pyarrow otherwise). ``mode="append"`` adds files
    to an existing dataset of the same key space. Returns the paths written.
    """
    if invalid not in ("raise", "skip", "clamp"):
        raise ValueError(f'invalid must be "raise", "skip" or "clamp", got {invalid!r}')
    if sort not in _SORT_MODES:
        raise ValueError(f'sort must be "auto", "memory" or "duckdb", got {sort!r}')
    if not isinstance(row_group_size, int) or row_group_size < 1:
        raise ValueError(f"row_group_size must be a positive int, got {row_group_size!r}")
    rows_per_file = rows_per_file or row_group_size * DEFAULT_ROW_GROUPS_PER_FILE
    if rows_per_file < 1:
        raise ValueError(f"rows_per_file must be positive, got {rows_per_file!r}")
    columns = ColumnNames(time, longitude, latitude, key, naive_utc)
    key_space.to_json()  # a key space that cannot be stored fails before any work
    arrow = as_arrow(data)
    _check_columns(arrow.schema, columns)
    root = _target(path, mode, key_space, columns)
    report = progress or _no_progress
    out_of_core = isinstance(arrow, pa.RecordBatchReader) and sort != "memory"
    if out_of_core and sort == "auto":
        try:
            import duckdb  # noqa: F401
        except ImportError:
            out_of_core = False
    if sort == "duckdb" and isinstance(arrow, pa.Table):
        arrow = pa.RecordBatchReader.from_batches(arrow.schema, arrow.to_batches(max_chunksize=row_group_size))
        out_of_core = True
    if out_of_core:
        return _write_out_of_core(arrow, root, key_space, columns, invalid, row_group_size, rows_per_file,
                                  report, total_rows=getattr(data, "num_rows", 0) or 0)
    table = arrow.read_all() if isinstance(arrow, pa.RecordBatchReader) else arrow
    return _write_in_memory(table, root, key_space, columns, invalid, row_group_size, rows_per_file, report)
