"""Every entry point, called with every combination of junk arguments.

Each sweep runs in a fresh interpreter under -X dev (debug allocator hooks),
so a crash or an allocator complaint fails the test instead of pytest. Junk
may only ever raise TypeError, ValueError or OverflowError: never SystemError,
PanicException or anything else, and no reference to an argument may be
gained or lost.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tessellon

SWEEP = r'''
import copy, datetime as dt, itertools, math, pickle, sys
import tessellon

UTC = dt.timezone.utc
H = tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC))
AWARE = dt.datetime(2020, 1, 1, 12, tzinfo=dt.timezone(dt.timedelta(hours=2)))
JUNK = [None, 0, -1, 2**64, 1.5, math.nan, "", "x", b"", [], (), {}, object(), True,
        dt.datetime(2020, 1, 1), AWARE, [AWARE, AWARE], (0.0, 1.0, 2.0, 3.0), [1.0, 2.0]]
# Fresh objects nothing else refers to: their counts must come back unchanged.
OWNED = [JUNK[i] for i in (3, 4, 5, 9, 11, 12, 14, 15, 16, 17, 18)]

def generator():
    yield AWARE

def copy_of_h():
    try:
        return copy.copy(H)
    except TypeError:
        return H  # not copyable: that is fine, it must only say so

IS_HASHER = lambda r: type(r) is tessellon.Hasher
IS_KEY = lambda r: type(r) is int and 0 <= r < 2**63
IS_KEYS = lambda r: type(r) is list and all(k is None or IS_KEY(k) for k in r)
# name: (callable, largest positional count tried, test of a result)
CALLABLES = {
    "Hasher": (tessellon.Hasher, 4, IS_HASHER),
    "Hasher.__new__": (tessellon.Hasher.__new__, 4, IS_HASHER),
    "Hasher.__new__(Hasher, ...)": (lambda *a, **k: tessellon.Hasher.__new__(tessellon.Hasher, *a, **k), 4, IS_HASHER),
    "object.__new__(Hasher, ...)": (lambda *a, **k: object.__new__(tessellon.Hasher, *a, **k), 2, IS_HASHER),
    "h.hash": (H.hash, 4, IS_KEY),
    "h.hash_clamped": (H.hash_clamped, 4, IS_KEY),
    "h.hash_all": (H.hash_all, 4, IS_KEYS),
    "h.hash_all_clamped": (H.hash_all_clamped, 4, IS_KEYS),
    "Hasher.hash": (tessellon.Hasher.hash, 4, IS_KEY),
    "Hasher.hash_clamped": (tessellon.Hasher.hash_clamped, 3, IS_KEY),
    "Hasher.hash_all": (tessellon.Hasher.hash_all, 3, IS_KEYS),
    "Hasher.hash_all_clamped": (tessellon.Hasher.hash_all_clamped, 3, IS_KEYS),
    "Hasher.hash(h, ...)": (lambda *a, **k: tessellon.Hasher.hash(H, *a, **k), 3, IS_KEY),
    "Hasher.hash_all(h, ...)": (lambda *a, **k: tessellon.Hasher.hash_all(H, *a, **k), 3, IS_KEYS),
    "copy(h).hash": (copy_of_h().hash, 3, IS_KEY),
    "copy(h).hash_all": (copy_of_h().hash_all, 3, IS_KEYS),
}
KEYWORDS = ["start_datetime", "end_datetime", "bbox", "datetime", "longitude", "latitude", "datetimes",
            "longitudes", "latitudes", "skip_invalid", "lat", "\ud800"]
ALLOWED = (TypeError, ValueError, OverflowError)

def check(name, fn, valid, args, kwargs, failures, counts):
    args = [generator() if a is generator else a for a in args]
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as exc:
        counts[type(exc).__name__] = counts.get(type(exc).__name__, 0) + 1
        return
    except BaseException as exc:
        failures.append(f"{name}{tuple(args)!r} {kwargs!r}: {type(exc).__module__}.{type(exc).__name__}: {exc}")
        return
    counts["ok"] = counts.get("ok", 0) + 1
    if not valid(result):
        failures.append(f"{name}{tuple(args)!r} {kwargs!r} returned {result!r}")

def sweep(names):
    failures, counts = [], {}
    values = JUNK + [generator]
    before = [sys.getrefcount(o) for o in OWNED]
    for copier in (copy.copy, copy.deepcopy, pickle.dumps):  # refused, or a working hasher
        check(copier.__name__, lambda h: copier(h).hash(AWARE, 0.0, 0.0), IS_KEY, [H], {}, failures, counts)
    for name in names:
        fn, arity, valid = CALLABLES[name]
        for n in range(arity + 1):
            for args in itertools.product(values, repeat=n):
                check(name, fn, valid, args, {}, failures, counts)
        for n in range(3):
            for args in itertools.product(values[:6] + [AWARE, generator], repeat=n):
                for key in KEYWORDS:
                    for value in values:
                        check(name, fn, valid, args, {key: value}, failures, counts)
    after = [sys.getrefcount(o) for o in OWNED]
    for obj, b, a in zip(OWNED, before, after):
        if a != b:
            failures.append(f"reference count of {obj!r}: {b} -> {a}")
    print(sum(counts.values()), "calls:", counts)
    if failures:
        print("\n".join(failures[:30]))
        sys.exit(1)

sweep(sys.argv[1:])
'''

GROUPS = [
    ["Hasher", "object.__new__(Hasher, ...)"],
    ["Hasher.__new__", "Hasher.__new__(Hasher, ...)"],
    ["h.hash", "h.hash_clamped", "Hasher.hash", "Hasher.hash_clamped", "Hasher.hash(h, ...)", "copy(h).hash"],
    ["h.hash_all", "Hasher.hash_all", "Hasher.hash_all_clamped", "Hasher.hash_all(h, ...)", "copy(h).hash_all"],
    ["h.hash_all_clamped"],
]


@pytest.mark.parametrize("names", GROUPS, ids=lambda g: g[0])
def test_junk_raises_only_ordinary_errors(names):
    path = os.pathsep.join([os.path.dirname(os.path.abspath(tessellon.__file__)), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, PYTHONPATH=path)
    env.pop("PYTHONMALLOC", None)
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(SWEEP), *names],
                          capture_output=True, text=True, timeout=300, env=env)
    assert proc.returncode == 0, f"status {proc.returncode}\n{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"
