"""Indexed Parquet datasets with Spark: keys by mapInArrow, range-partitioned, pruned reads.

Needs ``pip install 'tessellon[spark]'`` and Java 17. Spark writes no footer
entries of our choosing, so the key space and column names travel in the
key column's field metadata, which Spark stores in every file's footer;
``tessellon_index.parquet.open_dataset`` and ``query`` read them there.
"""

from __future__ import annotations

from collections.abc import Iterator
from datetime import datetime
import pyarrow as pa
from pyspark.sql import Column, DataFrame, SparkSession
from pyspark.sql import functions as F
from pyspark.sql.types import LongType, StructField, StructType

from tessellon_index._dataset_metadata import ColumnNames, footer_entries, open_dataset
from tessellon_index._dataset_write import _keyed
from tessellon_index._keyspace import KeySpace

Bbox = tuple[float, float, float, float]


def add_keys(frame: DataFrame, key_space: KeySpace, *, time: str = "time", longitude: str = "longitude",
             latitude: str = "latitude", invalid: str = "raise", key: str = "key") -> DataFrame:
    """``frame`` with an int64 key column computed batch by batch in Arrow."""
    columns = ColumnNames(time, longitude, latitude, key, False)
    missing = [name for name in columns[:3] if name not in frame.columns]
    if missing:
        raise KeyError(f"column(s) {missing} not in the frame; its columns are {frame.columns}")
    if key in frame.columns:
        raise ValueError(f"the frame already has a column named {key!r}; pass key= another name")
    field = StructField(key, LongType(), nullable=invalid == "skip", metadata=footer_entries(key_space, columns))
    schema = StructType([*frame.schema.fields, field])

    def keyed(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        for batch in batches:
            yield _keyed(batch, key_space, columns, invalid)

    return frame.mapInArrow(keyed, schema)


def write_dataset(frame: DataFrame, path: str, key_space: KeySpace, *, time: str = "time",
                  longitude: str = "longitude", latitude: str = "latitude", invalid: str = "raise",
                  key: str = "key", partitions: int | None = None, row_group_bytes: int = 16 << 20) -> None:
    """Keys ``frame``, range-partitions and sorts it by key and writes Parquet
    (``partitions`` files, Spark's shuffle partition count by default)."""
    keyed = add_keys(frame, key_space, time=time, longitude=longitude, latitude=latitude, invalid=invalid, key=key)
    session = frame.sparkSession
    count = partitions or int(session.conf.get("spark.sql.shuffle.partitions"))
    # INT96 (Spark's default) reads back as naive nanoseconds elsewhere; micros marked UTC stay instants.
    setting = "spark.sql.parquet.outputTimestampType"
    previous = session.conf.get(setting)
    session.conf.set(setting, "TIMESTAMP_MICROS")
    try:
        (keyed.repartitionByRange(count, key).sortWithinPartitions(key)
         .write.option("parquet.block.size", row_group_bytes).mode("errorifexists").parquet(path))
    finally:
        session.conf.set(setting, previous)


def window_filter(key_space: KeySpace, columns: ColumnNames, start: datetime, end: datetime,
                  bbox: Bbox | None = None, max_ranges: int = 64) -> Column:
    """A Spark condition: the key ranges of the window (which Spark's Parquet
    reader prunes row groups with), then the exact test on the own columns."""
    query = key_space.query(start, end, bbox)
    key = F.col(columns.key)
    in_ranges = key.isNull()  # rows keyed with invalid="skip" have no key to prune on
    for first, last in query.ranges(max_ranges):
        in_ranges = in_ranges | key.between(first, last)
    condition = in_ranges & F.col(columns.time).between(F.lit(start), F.lit(end))
    if bbox is not None:
        west, south, east, north = (float(value) for value in bbox)
        longitudes = F.col(columns.longitude).cast("double")
        inside = (longitudes >= west) | (longitudes <= east) if west > east else longitudes.between(west, east)
        latitudes = F.col(columns.latitude).cast("double")
        condition = condition & inside & latitudes.between(south, north) & ~F.isnan(longitudes) & ~F.isnan(latitudes)
    return condition


def read_window(spark: SparkSession, path: str, start: datetime, end: datetime, bbox: Bbox | None = None,
                columns: list[str] | None = None, max_ranges: int = 64) -> DataFrame:
    """The rows of an indexed dataset in [start, end] and the box, as a lazy DataFrame."""
    dataset = open_dataset(path)
    frame = spark.read.parquet(path).where(window_filter(dataset.key_space, dataset.columns, start, end, bbox,
                                                         max_ranges))
    return frame.select(*columns) if columns else frame
