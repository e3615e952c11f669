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
# keys 0, 0 and 53 (cells time 3, latitude 2, longitude 1): cached small ints
LOW_LATITUDE = -90.0 + 2.5 * 180 / 2097151
SMALL_KEYS = ([START, START, START + timedelta(milliseconds=150)], [-180.0, float("nan"), -180.0 + 1.5 * 360 / 2097151],
              [-90.0, float("nan"), LOW_LATITUDE])
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
    "small keys": ("hash_all", SMALL_KEYS, {}),
    "small keys and none slots": ("hash_all", (SMALL_KEYS[0], SMALL_KEYS[1], [-90.0, 95.5, LOW_LATITUDE]),
                                  {"skip_invalid": True}),
    "clamped small keys": ("hash_all_clamped", SMALL_KEYS, {}),
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


# What a call can hand out without making it: None for a skipped item, and
# the cached small ints that low keys are. A reference missing or left over
# moves one of their counts once a call.
SINGLETONS = [None, True, False, 0, 53]
SINGLETON_SLACK = 10
SINGLETON_NAMES = [repr(o) for o in SINGLETONS]


def watched(args, kwargs):
    objs = [*args, *kwargs.values(), RETURNED]
    for a in args:
        if isinstance(a, (list, Lying)):
            objs += list(a.items if isinstance(a, Lying) else a)
    return [o for o in objs if o is not None and type(o) not in (bool, int)]  # shared: checked as SINGLETONS


@pytest.mark.parametrize("method, args, kwargs", CASES.values(), ids=CASES.keys())
def test_no_growth(method, args, kwargs):
    objs = watched(args, kwargs)
    for _ in range(50):
        run(method, args, kwargs)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    shared = [sys.getrefcount(o) for o in SINGLETONS]
    blocks = sys.getallocatedblocks()
    for _ in range(1000):
        run(method, args, kwargs)
    gc.collect()
    # All read before any assert: pytest's rewritten asserts keep None in locals.
    grown, refs_after = sys.getallocatedblocks() - blocks, [sys.getrefcount(o) for o in objs]
    shared_after = [sys.getrefcount(o) for o in SINGLETONS]
    assert grown < 200
    assert refs_after == refs
    # Shared objects move by a few with unrelated activity; a fault moves them once a call.
    moved = [after - before for after, before in zip(shared_after, shared)]
    assert all(abs(m) <= SINGLETON_SLACK for m in moved), dict(zip(SINGLETON_NAMES, moved))
