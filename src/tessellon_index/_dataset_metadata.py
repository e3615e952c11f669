"""What an indexed Parquet dataset stores about itself, and reading it back.

Each file's footer holds the key space (``KeySpace.to_json()``) and the
names of the time, coordinate and key columns. Files written by Spark keep
the same two entries in the key column's field metadata instead (Spark
writes no footer entries of its own choosing); both are read here.
"""

from __future__ import annotations

import json
import os
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NamedTuple

import pyarrow.parquet as pq

from tessellon_index._keyspace import KeySpace

KEY_SPACE_ENTRY = "tessellon.key_space"
COLUMNS_ENTRY = "tessellon.columns"
_SPARK_ROW_METADATA = b"org.apache.spark.sql.parquet.row.metadata"


class ColumnNames(NamedTuple):
    """The columns a dataset was indexed on, and the column holding its keys."""

    time: str
    longitude: str
    latitude: str
    key: str
    naive_utc: bool = False

    def to_json(self) -> str:
        return json.dumps(self._asdict(), separators=(",", ":"))

    @classmethod
    def from_json(cls, text: str | bytes) -> ColumnNames:
        document = json.loads(text)
        return cls(document["time"], document["longitude"], document["latitude"], document["key"],
                   bool(document.get("naive_utc", False)))


def footer_entries(key_space: KeySpace, columns: ColumnNames) -> dict[str, str]:
    """The key-value entries every file of a dataset carries."""
    return {KEY_SPACE_ENTRY: key_space.to_json(), COLUMNS_ENTRY: columns.to_json()}


@dataclass(frozen=True)
class DatasetFile:
    path: str
    metadata: pq.FileMetaData


@dataclass(frozen=True)
class Dataset:
    """An indexed Parquet dataset: its key space, its columns and its files.

    ``open_dataset`` makes one; it holds every file's footer, so queries on
    it read no footer again.
    """

    path: str
    key_space: KeySpace
    columns: ColumnNames
    files: tuple[DatasetFile, ...]

    @property
    def paths(self) -> tuple[str, ...]:
        return tuple(file.path for file in self.files)

    @property
    def num_rows(self) -> int:
        return sum(file.metadata.num_rows for file in self.files)

    @property
    def num_row_groups(self) -> int:
        return sum(file.metadata.num_row_groups for file in self.files)

    @property
    def schema(self) -> Any:
        """The Arrow schema of the first file (every file shares it)."""
        return self.files[0].metadata.schema.to_arrow_schema()

    def key_range(self) -> tuple[int, int] | None:
        """The smallest and largest key in the row-group statistics, or None."""
        lows, highs = [], []
        for file in self.files:
            index = file.metadata.schema.to_arrow_schema().get_field_index(self.columns.key)
            for group in range(file.metadata.num_row_groups):
                stats = file.metadata.row_group(group).column(index).statistics
                if stats is not None and stats.has_min_max:
                    lows.append(stats.min)
                    highs.append(stats.max)
        return (min(lows), max(highs)) if lows else None


def data_files(path: str | os.PathLike[str]) -> list[str]:
    """The Parquet files of a dataset: the file itself, or every data file
    under a directory (hidden and ``_``-prefixed ones, such as Spark's
    ``_SUCCESS`` and Dask's ``_metadata``, are not data)."""
    root = Path(path)
    if root.is_file():
        return [str(root)]
    if not root.is_dir():
        raise FileNotFoundError(f"no dataset at {str(root)!r}: neither a Parquet file nor a directory")
    found = []
    for file in sorted(root.rglob("*.parquet")):
        parts = file.relative_to(root).parts
        if not any(part.startswith((".", "_")) for part in parts):
            found.append(str(file))
    return found


def _entries(metadata: pq.FileMetaData) -> dict[str, str]:
    footer = metadata.metadata or {}
    entries = {key.decode(): value.decode() for key, value in footer.items()
               if key.decode() in (KEY_SPACE_ENTRY, COLUMNS_ENTRY)}
    if len(entries) < 2 and _SPARK_ROW_METADATA in footer:
        for field in json.loads(footer[_SPARK_ROW_METADATA]).get("fields", []):
            stored = field.get("metadata", {})
            if KEY_SPACE_ENTRY in stored and COLUMNS_ENTRY in stored:
                entries = {KEY_SPACE_ENTRY: stored[KEY_SPACE_ENTRY], COLUMNS_ENTRY: stored[COLUMNS_ENTRY]}
    return entries


def read_file_index(path: str) -> tuple[KeySpace, ColumnNames, pq.FileMetaData]:
    metadata = pq.read_metadata(path)
    entries = _entries(metadata)
    if len(entries) < 2:
        raise ValueError(
            f"{path} holds no tessellon key space in its metadata: it was not written by "
            "tessellon_index.parquet.write_dataset (or the Dask/Spark writers); index it with "
            "write_dataset or `tessellon-index index`")
    try:
        key_space = KeySpace.from_json(entries[KEY_SPACE_ENTRY])
        columns = ColumnNames.from_json(entries[COLUMNS_ENTRY])
    except (ValueError, KeyError, TypeError) as error:
        raise ValueError(f"{path}: unreadable tessellon metadata ({error})") from None
    return key_space, columns, metadata


def open_dataset(path: str | os.PathLike[str]) -> Dataset:
    """The key space, column names and files of an indexed Parquet dataset.

    ``path`` is one Parquet file or a directory of them. Every file must
    carry the same key space and column names: files keyed in different
    key spaces have keys that cannot be compared, and are refused.
    """
    paths = data_files(path)
    if not paths:
        raise FileNotFoundError(f"no Parquet files under {str(path)!r}")
    with ThreadPoolExecutor(max_workers=min(8, len(paths))) as pool:
        indexes = list(pool.map(read_file_index, paths))
    key_space, columns, _ = indexes[0]
    for file, (other_space, other_columns, _) in zip(paths[1:], indexes[1:]):
        if other_space != key_space:
            raise ValueError(
                f"{file} was written with another key space than {paths[0]} ({other_space!r} vs "
                f"{key_space!r}): their keys cannot be compared; query them as separate datasets "
                "or re-index one with the other's key space")
        if other_columns != columns:
            raise ValueError(
                f"{file} was indexed on other columns than {paths[0]} ({other_columns} vs {columns}); "
                "query them as separate datasets")
    files = tuple(DatasetFile(file, metadata) for file, (_, _, metadata) in zip(paths, indexes))
    return Dataset(str(path), key_space, columns, files)
