"""Typed use of tessellon, checked by mypy --strict and pyright (.ci/typing).

Not collected by pytest (no test_ prefix); running it with Python also works.
"""

import array
from collections.abc import Sequence
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import numpy as np
import numpy.typing as npt

import tessellon
from tessellon import Hasher

UTC = timezone.utc
start = datetime(2020, 1, 1, tzinfo=UTC)
end = datetime(2020, 1, 2, tzinfo=UTC)

world: Hasher = tessellon.Hasher(start, end)
boxed = Hasher(start_datetime=start, end_datetime=end, bbox=(-10.0, 40, 10, 60.5))
unboxed = Hasher(start, end, None)

key: int = world.hash(start + timedelta(hours=12), 0.0, 0.0)
assert key == 1152921504606846975
clamped: int = boxed.hash_clamped(datetime=end, longitude=Decimal("20.5"), latitude=Fraction(1, 3))
by_keyword: int = world.hash(latitude=np.float32(1.5), longitude=2, datetime=start)

times: Sequence[datetime] = [start, end]
longitudes: npt.NDArray[np.float64] = np.array([0.0, 1.0])
latitudes = array.array("d", [45.0, 95.0])

keys: list[int | None] = world.hash_all(times, longitudes, latitudes, skip_invalid=True)
strict: list[int | None] = world.hash_all((start,), [0.5], (1,), False)
all_keys: list[int] = world.hash_all_clamped(times, b"\x00\x01", range(2))
from_numpy_flag = world.hash_all(times, [1.0, 2.0], [3.0, 4.0], bool(np.True_))

first = keys[0]
if first is not None:
    print(first.bit_length() <= 63)

version: str = tessellon.__version__
exported: list[str] = tessellon.__all__
print(version, exported, key, clamped, by_keyword, strict, all_keys, from_numpy_flag)
