"""Large batches give back all the address space they take.

Arrays of a few MiB and more live in mappings of their own, outside Python's
allocator, so the leak tests (which count Python allocations) cannot see one
that is unmapped short. Each case repeats a batch of 600,000 items, on a
success or an error path, and bounds the growth of the process's mapped
address space (VmSize) and of its number of mappings.
"""

import datetime as dt
import functools
import re
import sys
from pathlib import Path

import pytest

import tessellon


def checked_allocator():
    """The name of a sanitizer or valgrind runtime in this process, if any:
    their allocators hold freed memory back on purpose, so growth says nothing."""
    maps = Path("/proc/self/maps").read_text() if sys.platform.startswith("linux") else ""
    return next((name for name in ("libasan", "libtsan", "libmsan", "vgpreload") if name in maps), None)


CHECKER = checked_allocator()
pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self"),
    pytest.mark.skipif(CHECKER is not None, reason=f"runs under {CHECKER}"),
]

ITEMS = 600_000
WARM_UP, REPEATS = 1, 5
# Once warm, neither moves at all here. An array unmapped short leaks at
# least a 2 MiB huge page a call (10 MiB over the repeats), or else leaves a
# mapping behind each call.
MAX_GROWTH_BYTES = 6 << 20
MAX_NEW_MAPPINGS = 3

UTC = dt.timezone.utc
S, E = dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC)
HASHER = tessellon.Hasher(S, E)


def mapped_bytes():
    status = Path("/proc/self/status").read_text()
    return int(re.search(r"^VmSize:\s+(\d+) kB$", status, re.M).group(1)) * 1024


def mapping_count():
    return len(Path("/proc/self/maps").read_text().splitlines())


@functools.cache
def base_columns():
    dts = [S, dt.datetime(2020, 1, 1, 12, tzinfo=UTC), E] * (ITEMS // 3)
    return dts, [float(i % 360 - 180) for i in range(ITEMS)], [float(i % 180 - 90) for i in range(ITEMS)]


def columns():
    """Columns of ITEMS points, all inside the extent, as new lists."""
    return tuple(list(column) for column in base_columns())


def with_last(column, value):
    return column[:-1] + [value]


def numpy_columns():
    np = pytest.importorskip("numpy")
    dts, lons, lats = columns()
    return dts, np.array(lons, dtype=np.float64), np.array(lats, dtype=np.float64)


# name: (method, arguments maker, keywords, expected exception or None)
CASES = {
    "hash_all": ("hash_all", columns, {}, None),
    "hash_all numpy": ("hash_all", numpy_columns, {}, None),
    "hash_all skip_invalid": (
        "hash_all", lambda: (lambda d, x, y: (d, x, with_last(y, 95.0)))(*columns()), {"skip_invalid": True}, None),
    "hash_all last item outside": (
        "hash_all", lambda: (lambda d, x, y: (d, x, with_last(y, 95.0)))(*columns()), {}, ValueError),
    "hash_all lengths differ": ("hash_all", lambda: (lambda d, x, y: (d, x, y[:-1]))(*columns()), {}, ValueError),
    "hash_all last longitude not a number": (
        "hash_all", lambda: (lambda d, x, y: (d, with_last(x, "x"), y))(*columns()), {}, TypeError),
    "hash_all_clamped": ("hash_all_clamped", columns, {}, None),
    "hash_all_clamped lengths differ": (
        "hash_all_clamped", lambda: (lambda d, x, y: (d[:-1], x, y))(*columns()), {}, ValueError),
    "hash_all_clamped last latitude not a number": (
        "hash_all_clamped", lambda: (lambda d, x, y: (d, x, with_last(y, None)))(*columns()), {}, TypeError),
}


@pytest.mark.parametrize("method, make_arguments, keywords, expected", CASES.values(), ids=CASES.keys())
def test_large_batches_return_their_address_space(method, make_arguments, keywords, expected):
    call = getattr(HASHER, method)
    arguments = make_arguments()

    def run():
        if expected is None:
            assert len(call(*arguments, **keywords)) == ITEMS
        else:
            with pytest.raises(expected):
                call(*arguments, **keywords)

    for _ in range(WARM_UP):
        run()
    before_bytes, before_mappings = mapped_bytes(), mapping_count()
    for _ in range(REPEATS):
        run()
    grown_bytes, new_mappings = mapped_bytes() - before_bytes, mapping_count() - before_mappings
    assert grown_bytes < MAX_GROWTH_BYTES, f"address space grew by {grown_bytes / 2**20:.1f} MiB"
    assert new_mappings < MAX_NEW_MAPPINGS, f"{new_mappings} new mappings"
