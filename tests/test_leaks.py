import datetime as dt
import gc
import sys

import pytest

import tessellon
from conftest import utc
from test_call_parsing import CASES as PARSING
from test_conversion import DATETIME_ERRORS, Offset, fake

S, E = utc(2020, 1, 1), utc(2020, 1, 2)
HASHER = tessellon.Hasher(S, E)
BOX = (-10.0, 20.0, 30.0, 40.0)
CUSTOM = dt.datetime(2020, 1, 1, 6, tzinfo=Offset(dt.timedelta(hours=2)))  # utcoffset() hands out a timedelta
LEAP = fake(second=59, microsecond=1_500_000)
# What a call can hand out without making it: None, and the cached small ints
# that low keys are (0 here; 53 is time cell 3, latitude 2, longitude 1).
SINGLETONS = [None, True, False, 0, 53]
SINGLETON_SLACK = 10
SINGLETON_NAMES = [repr(o) for o in SINGLETONS]
SMALL_KEY_POINT = (S + dt.timedelta(milliseconds=150), -180.0 + 1.5 * 360 / 2097151, -90.0 + 2.5 * 180 / 2097151)

# target ("Hasher" or a method name), args, kwargs
SUCCESS = [
    ("Hasher", (S, E), {}),
    ("Hasher", (S, E, None), {}),
    ("Hasher", (), {"bbox": BOX, "end_datetime": E, "start_datetime": S}),
    ("Hasher", (CUSTOM, LEAP, BOX), {}),
    ("hash", (S, 1.5, 2.5), {}),
    ("hash", (), {"latitude": 2.5, "longitude": 1.5, "datetime": CUSTOM}),
    ("hash", (CUSTOM, 10, True), {}),
    ("hash_clamped", (S - dt.timedelta(days=3), 999.0, float("nan")), {}),
    ("hash_clamped", (CUSTOM, 1.5, 2.5), {}),
    ("hash", (S, -180.0, -90.0), {}),
    ("hash", SMALL_KEY_POINT, {}),
    ("hash_clamped", (S - dt.timedelta(days=1), -200.0, float("nan")), {}),
    ("hash_clamped", SMALL_KEY_POINT, {}),
]
ERRORS = [
    ("Hasher" if target == "new" else target, args, kwargs) for target, args, kwargs, _ in PARSING
] + [
    (target, args, {}) for value, _, _ in DATETIME_ERRORS
    for target, args in (("Hasher", (S, value)), ("hash", (value, 1.0, 2.0)), ("hash_clamped", (value, 1.0, 2.0)))
] + [
    ("Hasher", (S, E, list(BOX)), {}),
    ("Hasher", (S, E, BOX[:3]), {}),
    ("Hasher", (S, E, (1.0, 2.0, "x", 4.0)), {}),
    ("hash", (S, "x", 2.0), {}),
    ("hash_clamped", (S, 1.0, None), {}),
    ("hash", (S - dt.timedelta(days=1), 0.0, 0.0), {}),
    ("hash", (CUSTOM, 0.0, 95.0), {}),
    ("hash", (S, -180.5, 0.0), {}),
]


def _tracked(args, kwargs):
    objs = list(args) + list(kwargs.values())
    zones = [dt.datetime.tzinfo.__get__(o) for o in objs if issubclass(type(o), dt.datetime)]
    objs += zones + [z.result for z in zones if isinstance(getattr(z, "result", None), dt.timedelta)]
    return [o for o in objs if not isinstance(o, (int, float, type(None)))]  # shared: checked as SINGLETONS


def _repeat(call, n):
    for _ in range(n):
        try:
            call()
        except Exception:
            pass


@pytest.mark.parametrize("target,args,kwargs", SUCCESS + ERRORS)
def test_no_growth(monkeypatch, target, args, kwargs):
    monkeypatch.setattr(sys, "unraisablehook", lambda _: None)
    func = tessellon.Hasher if target == "Hasher" else getattr(HASHER, target)
    tracked = _tracked(args, kwargs)
    _repeat(lambda: func(*args, **kwargs), 200)
    gc.collect()
    refcounts, blocks = [sys.getrefcount(o) for o in tracked], sys.getallocatedblocks()
    shared = [sys.getrefcount(o) for o in SINGLETONS]
    _repeat(lambda: func(*args, **kwargs), 2000)
    gc.collect()
    # All read before any assert: pytest's rewritten asserts keep None in locals.
    grown, refcounts_after = sys.getallocatedblocks() - blocks, [sys.getrefcount(o) for o in tracked]
    shared_after = [sys.getrefcount(o) for o in SINGLETONS]
    assert grown < 50
    assert refcounts_after == refcounts
    # Shared objects move by a few with unrelated activity; a fault moves them once a call.
    moved = [after - before for after, before in zip(shared_after, shared)]
    assert all(abs(m) <= SINGLETON_SLACK for m in moved), dict(zip(SINGLETON_NAMES, moved))


def test_type_reference_follows_instances():
    # counts are taken outside the asserts: their rewriting holds extra references
    before = sys.getrefcount(tessellon.Hasher)
    hashers = [tessellon.Hasher(S, E) for _ in range(1000)]
    during = sys.getrefcount(tessellon.Hasher)
    del hashers
    after = sys.getrefcount(tessellon.Hasher)
    assert (during, after) == (before + 1000, before)
