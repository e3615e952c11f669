"""Indexed Parquet datasets with Dask: keys per partition, a global sort, pruned reads.

Needs ``pip install 'tessellon[dask]'``. A ``KeySpace`` pickles, so every
worker hashes its partitions in the same key space; the files written carry
it in their footers, and ``tessellon_index.parquet`` reads them as well.
"""

from __future__ import annotations

import os
from datetime import datetime
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from tessellon_index._dataset_metadata import ColumnNames, footer_entries, open_dataset
from tessellon_index._dataset_query import _plan, _read
from tessellon_index._dataset_write import DEFAULT_ROW_GROUP_SIZE
from tessellon_index._keyspace import KeySpace

Bbox = tuple[float, float, float, float]


def _partition_keys(partition: pd.DataFrame, key_space: KeySpace, columns: ColumnNames, invalid: str) -> pd.DataFrame:
    keys = np.asarray(key_space.hash_columns(partition[columns.time], partition[columns.longitude].astype("float64"),
                                             partition[columns.latitude].astype("float64"), invalid=invalid,
                                             naive_utc=columns.naive_utc))
    # Null keys hold -1 in the buffer; under "skip" they stay null (nullable Int64), never a float.
    values = pd.arrays.IntegerArray(keys.copy(), keys == -1) if invalid == "skip" else keys.copy()
    return partition.assign(**{columns.key: pd.Series(values, index=partition.index)})


def add_keys(frame: dd.DataFrame, key_space: KeySpace, *, time: str = "time", longitude: str = "longitude",
             latitude: str = "latitude", invalid: str = "raise", naive_utc: bool = False,
             key: str = "key") -> dd.DataFrame:
    """``frame`` with an int64 key column (nullable ``Int64`` under ``invalid="skip"``)."""
    columns = ColumnNames(time, longitude, latitude, key, naive_utc)
    missing = [name for name in columns[:3] if name not in frame.columns]
    if missing:
        raise KeyError(f"column(s) {missing} not in the frame; its columns are {list(frame.columns)}")
    if key in frame.columns:
        raise ValueError(f"the frame already has a column named {key!r}; pass key= another name")
    meta = frame._meta.assign(**{key: pd.Series(dtype="Int64" if invalid == "skip" else "int64")})
    return frame.map_partitions(_partition_keys, key_space, columns, invalid, meta=meta)


def write_dataset(frame: dd.DataFrame, path: str | os.PathLike[str], key_space: KeySpace, *, time: str = "time",
                  longitude: str = "longitude", latitude: str = "latitude", invalid: str = "raise",
                  naive_utc: bool = False, key: str = "key",
                  row_group_size: int = DEFAULT_ROW_GROUP_SIZE) -> None:
    """Keys every partition, sorts globally by key and writes Parquet files
    whose footers carry the key space and column names."""
    if os.path.isdir(path) and os.listdir(path):
        raise FileExistsError(f"{os.fspath(path)!r} is not empty; write the dataset to a new directory")
    keyed = add_keys(frame, key_space, time=time, longitude=longitude, latitude=latitude, invalid=invalid,
                     naive_utc=naive_utc, key=key)
    columns = ColumnNames(time, longitude, latitude, key, naive_utc)
    keyed.sort_values(key, na_position="last").to_parquet(
        path, write_index=False, custom_metadata=footer_entries(key_space, columns), row_group_size=row_group_size,
        write_metadata_file=False)


def read_window(path: str | os.PathLike[str], start: datetime, end: datetime, bbox: Bbox | None = None,
                columns: list[str] | None = None) -> dd.DataFrame:
    """A lazy Dask frame of the rows in the window and box: one partition per
    file that keeps a row group, each reading only its kept row groups."""
    dataset = open_dataset(path)
    names = dataset.columns
    schema = dataset.schema
    output = list(schema.names) if columns is None else list(columns)
    read_columns = list(dict.fromkeys([*output, names.time, names.longitude, names.latitude, names.key]))
    query = dataset.key_space.query(start, end, bbox)
    plans = [plan for plan in (_plan(file, query, names, read_columns) for file in dataset.files) if plan.kept]
    meta = schema.empty_table().select(output).to_pandas()

    def read(plan: Any) -> pd.DataFrame:
        piece = dataset.key_space.query(start, end, bbox)  # a Query stays in its own worker
        return _read(plan, piece, read_columns, start, end, bbox, names, output).to_pandas()

    if not plans:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_delayed([dask.delayed(read)(plan) for plan in plans], meta=meta, verify_meta=False)
