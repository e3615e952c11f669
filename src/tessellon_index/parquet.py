"""Indexed Parquet datasets: written sorted by key, queried by window and box.

Needs pyarrow (``pip install 'tessellon[parquet]'``); DuckDB, when
installed, sorts streams larger than memory.

    from tessellon_index import KeySpace
    from tessellon_index.parquet import write_dataset, query, query_with_stats

    space = KeySpace(start, end, bbox)
    write_dataset(table, "tracks/", space, time="ts", longitude="lon", latitude="lat")
    rows = query("tracks/", window_start, window_end, (west, south, east, north))
    rows, stats = query_with_stats("tracks/", window_start, window_end)
"""

from tessellon_index._dataset_metadata import ColumnNames, Dataset, open_dataset
from tessellon_index._dataset_query import QueryResult, QueryStats, exact_mask, query, query_with_stats
from tessellon_index._dataset_write import DEFAULT_ROW_GROUP_SIZE, write_dataset

__all__ = [
    "DEFAULT_ROW_GROUP_SIZE",
    "ColumnNames",
    "Dataset",
    "QueryResult",
    "QueryStats",
    "exact_mask",
    "open_dataset",
    "query",
    "query_with_stats",
    "write_dataset",
]
