"""A short use of an installed tessellon wheel: run from an empty folder by
abi_audit.sh under each interpreter. Exits non-zero on any surprise."""

import sys
from datetime import datetime, timedelta, timezone

import tessellon

UTC = timezone.utc
START, END = datetime(2020, 1, 1, tzinfo=UTC), datetime(2020, 1, 2, tzinfo=UTC)
hasher = tessellon.Hasher(START, END)

assert tessellon.__file__.endswith(".abi3.so"), tessellon.__file__
assert tessellon.__version__ and tessellon.__all__ == ["Hasher", "__version__"]
assert hasher.hash(datetime(2020, 1, 1, 12, tzinfo=UTC), 0.0, 0.0) == 1152921504606846975
noon_east = datetime(2020, 1, 1, 14, tzinfo=timezone(timedelta(hours=2)))
assert hasher.hash_all([noon_east, START], [0.0, 0.0], [0.0, 95.0], skip_invalid=True) == [1152921504606846975, None]
assert hasher.hash_all_clamped([END], [999.0], [-999.0]) == [hasher.hash(END, 180.0, -90.0)]
try:
    hasher.hash(START, 0.0, 95.0)
except ValueError as error:
    assert str(error) == "latitude outside of the hasher's spatial extent: 95", error
else:
    raise AssertionError("no ValueError")
try:
    hasher.hash_clamped(datetime(2020, 1, 1), 0.0, 0.0)
except TypeError as error:
    assert error.__notes__ == ["while processing 'datetime'"], error.__notes__
else:
    raise AssertionError("no TypeError")
debug = " (debug build)" if hasattr(sys, "gettotalrefcount") else ""
print(f"ok: CPython {sys.version.split()[0]}{debug}, {sys._base_executable}")
