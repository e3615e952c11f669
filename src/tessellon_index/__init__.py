"""Columnar hashing and querying by tessellon keys.

``KeySpace`` is the key space of a ``tessellon.Hasher``, made to be read,
stored and queried: it hashes whole columns (Arrow, numpy, pandas, polars)
into ``Keys`` and turns a time window and box into key ranges and column
tests (``Query``).
"""

from tessellon import __version__
from tessellon_index._native import Column, Keys, Query
from tessellon_index._keyspace import Cell, KeySpace, Resolution

__all__ = ["Cell", "Column", "KeySpace", "Keys", "Query", "Resolution", "__version__"]
