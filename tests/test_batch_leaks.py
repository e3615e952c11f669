import gc
import sys
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import tessellon

TZ = timezone(timedelta(hours=2))
START = datetime(2020, 1, 1, tzinfo=timezone.utc)
END = datetime(2020, 1, 2, tzinfo=timezone.utc)
HASHER = tessellon.Hasher(START, END)
# fresh objects, so their reference counts are ours alone
DTS = [datetime(2020, 1, 1, h, 30, tzinfo=TZ) for h in (3, 4, 5)]
LONS = [float(f"1.{i}5") for i in range(3)]
LATS = [float(f"-2.{i}5") for i in range(3)]
BAD_LATS = [LATS[0], float("95.5"), LATS[2]]
BAD_DTS = [DTS[0], datetime(2019, 1, 1, tzinfo=TZ), DTS[2]]
MIXED_DTS = [DTS[0], "2020", DTS[2]]
MIXED_LONS = [LONS[0], object(), LONS[2]]
RETURNED = object()
GENERATOR = object()  # stands for a fresh generator, as each call uses one up


class Lying:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return 2**62


class Exploding(Lying):
    def __iter__(self):
        yield self.items[0]
        raise LookupError("mid-way")


def fake_bool(**attrs):
    return type("bool_", (), {"__module__": "numpy", **attrs})()


OK = (DTS, LONS, LATS)
CASES = {
    "ok": ("hash_all", OK, {}),
    "ok skip": ("hash_all", OK, {"skip_invalid": True}),
    "none slots": ("hash_all", (BAD_DTS, LONS, BAD_LATS), {"skip_invalid": True}),
    "numpy true": ("hash_all", (DTS, LONS, BAD_LATS), {"skip_invalid": np.True_}),
    "numpy false": ("hash_all", (DTS, LONS, BAD_LATS), {"skip_invalid": np.False_}),
    "fake true": ("hash_all", (DTS, LONS, BAD_LATS), {"skip_invalid": fake_bool(__bool__=lambda self: True)}),
    "fake non-bool": ("hash_all", OK, {"skip_invalid": fake_bool(__bool__=lambda self: RETURNED)}),
    "fake no bool": ("hash_all", OK, {"skip_invalid": fake_bool()}),
    "fake raises": ("hash_all", OK, {"skip_invalid": fake_bool(__bool__=lambda self: 1 / 0)}),
    "skip None": ("hash_all", OK, {"skip_invalid": None}),
    "skip int": ("hash_all", (DTS, LONS, LATS[:2]), {"skip_invalid": 1}),
    "item error": ("hash_all", (BAD_DTS, LONS, LATS), {}),
    "length": ("hash_all", (DTS, LONS, LATS[:2]), {}),
    "bad datetime": ("hash_all", (MIXED_DTS, LONS, LATS), {}),
    "bad longitude": ("hash_all", (DTS, MIXED_LONS, LATS), {}),
    "str": ("hash_all", (DTS, LONS, "abc"), {}),
    "generator": ("hash_all", (DTS, LONS, GENERATOR), {}),
    "exploding": ("hash_all", (DTS, Exploding(LONS), LATS), {}),
    "lying len": ("hash_all", (Lying(DTS), Lying(LONS), LATS), {}),
    "numpy array": ("hash_all", (np.array(DTS, dtype=object), np.array(LONS), LATS), {}),
    "clamped ok": ("hash_all_clamped", (BAD_DTS, LONS, BAD_LATS), {}),
    "clamped length": ("hash_all_clamped", (DTS, LONS[:1], LATS), {}),
    "clamped bad item": ("hash_all_clamped", (DTS, LONS, [LATS[0], "x", LATS[2]]), {}),
    "clamped str": ("hash_all_clamped", ("", LONS, LATS), {}),
}


def run(method, args, kwargs):
    if args[2] is GENERATOR:
        args = (args[0], args[1], (x for x in LATS))
    try:
        getattr(HASHER, method)(*args, **kwargs)
    except Exception:
        pass


def watched(args, kwargs):
    objs = [*args, *kwargs.values(), RETURNED]
    for a in args:
        if isinstance(a, (list, Lying)):
            objs += list(a.items if isinstance(a, Lying) else a)
    # shared singletons and small ints move with unrelated activity
    return [o for o in objs if o is not None and type(o) not in (bool, int)]


@pytest.mark.parametrize("method, args, kwargs", CASES.values(), ids=CASES.keys())
def test_no_growth(method, args, kwargs):
    objs = watched(args, kwargs)
    for _ in range(50):
        run(method, args, kwargs)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    blocks = sys.getallocatedblocks()
    for _ in range(1000):
        run(method, args, kwargs)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    assert [sys.getrefcount(o) for o in objs] == refs
