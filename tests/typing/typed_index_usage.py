"""Typed use of tessellon_index, checked by mypy --strict and pyright (.ci/typing).

Not collected by pytest (no test_ prefix); running it with Python also works.
"""

from datetime import datetime, timezone

import numpy as np

import tessellon
from tessellon_index import Cell, Column, Keys, KeySpace, Query, Resolution

UTC = timezone.utc
start = datetime(2020, 1, 1, tzinfo=UTC)
end = datetime(2020, 1, 2, tzinfo=UTC)

key_space = KeySpace(start, end, (-10.0, 40.0, 10.0, 60.0))
same: KeySpace = KeySpace.from_json(key_space.to_json())
assert same == key_space and hash(same) == hash(key_space)
hasher: tessellon.Hasher = key_space.hasher()
resolution: Resolution = key_space.resolution
milliseconds: float = resolution.milliseconds

times = np.array(["2020-01-01T06:00"], dtype="datetime64[ns]")
keys: Keys = key_space.hash_columns(times, [1.0], [50.0], naive_utc=True, invalid="skip")
first: int | None = keys[0]
nulls: int = keys.null_count
values = np.asarray(keys)

query: Query = key_space.query(start, end, (0.0, 45.0, 5.0, 55.0))
ranges: list[tuple[int, int]] = query.ranges(max_ranges=16)
inside: Column = query.contains(keys)
rows: Column = query.select_sorted(np.sort(values))
groups: Column = query.row_groups([0], [2**62])
following: int | None = query.next_key(0)
cell: Cell = key_space.cell(hasher.hash(start, 0.0, 50.0))
cell_start: datetime = cell.start
decoded: tuple[object, object, object] = key_space.decode(keys)
