"""Allocation failure: the n-th allocation of a call fails, for every n.

_testcapi.set_nomemory(n, n + 1) makes exactly the n-th Python allocation
from then on fail. Each entry point, on a success path and on error paths, is
swept over its first allocations in a fresh interpreter. The call may end in
MemoryError or in the error that the inputs call for, and in nothing else:
no SystemError, no PanicException, no crash. Argument reference counts must
not move, and the module must work normally once the hooks are gone.
"""

import os
import re
import subprocess
import sys
import textwrap

import pytest

import tessellon

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this _testcapi has no set_nomemory", allow_module_level=True)

SWEEP = r'''
import datetime as dt, gc, sys
import _testcapi
import tessellon

UTC = dt.timezone.utc
class Offset(dt.tzinfo):
    def __init__(self, hours):
        self.hours = hours
    def utcoffset(self, d):
        return dt.timedelta(hours=self.hours)

S, E = dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC)
H = tessellon.Hasher(S, E)
P = dt.datetime(2020, 1, 1, 6, 30, tzinfo=dt.timezone(dt.timedelta(hours=2)))
Q = dt.datetime(2020, 1, 1, 9, tzinfo=Offset(-3))
DTS, LONS, LATS = [P, Q, S, E], [1.5, -2.5, 3.5, 179.0], [0.5, 95.5, -0.5, 89.0]
BOX = (-10.0, -20.0, 30.0, 40.0)

CASES = {
    # name: (callable, args, keywords, the error the inputs call for or None)
    "new": (tessellon.Hasher, (P, Q, BOX), {}, None),
    "new-keywords": (tessellon.Hasher, (), dict(end_datetime=E, start_datetime=S, bbox=None), None),
    "new-bad-bbox": (tessellon.Hasher, (S, E, [1.0, 2.0, 3.0, 4.0]), {}, TypeError),
    "new-missing": (tessellon.Hasher, (S,), {}, TypeError),
    "hash": (H.hash, (Q, 1.5, 2.5), {}, None),
    "hash-keywords": (H.hash, (), dict(latitude=2.5, longitude=1.5, datetime=P), None),
    "hash-extent": (H.hash, (P, 0.0, 95.5), {}, ValueError),
    "hash-naive": (H.hash, (dt.datetime(2020, 1, 1), 0.0, 0.0), {}, TypeError),
    "hash-offset": (H.hash, (dt.datetime(2020, 1, 1, tzinfo=Offset(24)), 0.0, 0.0), {}, ValueError),
    "hash-float": (H.hash, (P, "x", 0.0), {}, TypeError),
    "hash_clamped": (H.hash_clamped, (Q, 1e300, float("nan")), {}, None),
    "hash_clamped-unexpected": (H.hash_clamped, (P, 1.0, 2.0), dict(lat=3), TypeError),
    "hash_all": (H.hash_all, (DTS, LONS, LATS), dict(skip_invalid=True), None),
    "hash_all-item": (H.hash_all, (DTS, LONS, LATS), {}, ValueError),
    "hash_all-lengths": (H.hash_all, (DTS, LONS, LATS[:2]), {}, ValueError),
    "hash_all-iterator": (H.hash_all, (DTS, LONS, iter(LATS)), {}, TypeError),
    "hash_all-flag": (H.hash_all, (DTS, LONS, LATS, 1), {}, TypeError),
    "hash_all_clamped": (H.hash_all_clamped, (tuple(DTS), range(4), LATS), {}, None),
    "hash_all_clamped-str": (H.hash_all_clamped, ("", LONS, LATS), {}, TypeError),
}
TRACKED = [S, E, H, P, Q, DTS, LONS, LATS, BOX, Q.tzinfo]
# Texts that stand in for a name or repr that could not be made.
FALLBACKS = ("<failed to extract type name>", "<unprintable")

def normal(result):
    if isinstance(result, tessellon.Hasher):  # compared by what it computes
        return [result.hash_clamped(d, x, y) for d, x, y in zip(DTS, LONS, LATS)]
    return result

def attempt(fn, args, kwargs, first, stop):
    """Calls fn with allocations first..stop-1 failing; (type, message) or ("ok", result)."""
    # CPython 3.11 makes a frame's frame object only when a traceback needs it,
    # and loses the exception (SystemError "error return without exception
    # set") when that allocation fails: make it now. Nothing else in here
    # allocates until the hooks are gone.
    sys._getframe()
    try:
        _testcapi.set_nomemory(first, stop)
        result = fn(*args, **kwargs)
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return type(exc), str(exc)
    _testcapi.remove_mem_hooks()
    return "ok", normal(result)

name, count, burst = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "burst"
fn, args, kwargs, error = CASES[name]
attempt(H.hash, (P, "x", 0.0), {}, 10**9, 0)  # the first fetched error makes the PanicException class
expected = attempt(fn, args, kwargs, 10**9, 0)
assert expected[0] == ("ok" if error is None else error), expected
problems, kinds = [], {}
gc.disable()
for n in range(count):
    before = [sys.getrefcount(o) for o in TRACKED]
    # a burst rather than every allocation from n on, as the interpreter
    # itself needs memory to handle the exception once the call is over
    got = attempt(fn, args, kwargs, n, n + (64 if burst else 1))
    kind = getattr(got[0], "__name__", got[0])
    kinds[kind] = kinds.get(kind, 0) + 1
    if got[0] == expected[0]:
        # an empty message: the interpreter itself could not format its own
        # (some 3.11 releases then raise the type without arguments)
        if got != expected and got[1] and not any(f in got[1] for f in FALLBACKS):
            problems.append(f"n={n}: {got!r}, expected {expected!r}")
    elif got[0] is not MemoryError:
        problems.append(f"n={n}: {got[0].__module__}.{got[0].__qualname__}: {got[1]}")
    after = [sys.getrefcount(o) for o in TRACKED]
    if before != after:
        problems.append(f"n={n}: reference counts {before} -> {after}")
    again = attempt(fn, args, kwargs, 10**9, 0)
    if again != expected:
        problems.append(f"n={n}: afterwards {again!r}, expected {expected!r}")
print(kinds)
print("\n".join(problems))
sys.exit(1 if problems else 0)
'''


# A process that has fetched no exception yet has no PanicException class;
# its first fetch makes it. Then, too, an ordinary error must stay itself.
COLD = r'''
import datetime as dt, os, sys
import _testcapi
import tessellon

UTC = dt.timezone.utc
H = tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC))
P = dt.datetime(2020, 1, 1, 6, tzinfo=UTC)
n, burst = int(sys.argv[1]), sys.argv[2] == "burst"

def attempt():
    sys._getframe()  # see attempt() in SWEEP
    try:
        _testcapi.set_nomemory(n, n + (64 if burst else 1))
        H.hash(P, "x", 0.0)
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return exc
    _testcapi.remove_mem_hooks()

exc = attempt()
if not isinstance(exc, (MemoryError, TypeError)):
    print(f"n={n}: {type(exc).__module__}.{type(exc).__qualname__}: {exc}")
    os._exit(3)
'''


def environment():
    path = os.pathsep.join([os.path.dirname(os.path.abspath(tessellon.__file__)), os.environ.get("PYTHONPATH", "")])
    env = dict(os.environ, PYTHONPATH=path)
    env.pop("PYTHONMALLOC", None)
    return env


def sweep(name, mode, count=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(SWEEP), name, str(count), mode],
                          capture_output=True, text=True, timeout=120, env=environment())


CASE_NAMES = re.findall(r'^    "([\w-]+)": \(', SWEEP, re.MULTILINE)


@pytest.mark.parametrize("mode", ["once", "burst"])
@pytest.mark.parametrize("name", CASE_NAMES)
def test_failed_allocation_surfaces_as_memory_error(name, mode):
    proc = sweep(name, mode)
    assert proc.returncode == 0, f"status {proc.returncode}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"


@pytest.mark.parametrize("mode", ["once", "burst"])
def test_first_error_of_a_process_survives_failed_allocation(mode):
    failures = []
    for n in range(40):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(COLD), str(n), mode],
                              capture_output=True, text=True, timeout=60, env=environment())
        if proc.returncode != 0:
            failures.append(f"n={n}: status {proc.returncode} {proc.stdout.strip()} {proc.stderr.strip()[-300:]}")
    assert not failures, "\n".join(failures)


# The native arrays outgrow an address-space limit: C++'s std::bad_alloc must
# come out as MemoryError, and the process must carry on.
EXHAUST = r'''
import datetime as dt, itertools, resource, sys
import tessellon

UTC = dt.timezone.utc
H = tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC))
NOON = dt.datetime(2020, 1, 1, 12, tzinfo=UTC)

class Endless:
    """Says it has one item; its iterator never ends."""
    def __init__(self, item):
        self.item = item
    def __len__(self):
        return 1
    def __getitem__(self, i):
        return self.item
    def __iter__(self):
        return itertools.repeat(self.item, 10**11)

args = {"datetimes": (Endless(NOON), [], []), "longitudes": ([], Endless(1.0), []),
        "latitudes": ([], [], Endless(2.0))}[sys.argv[2]]
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 128 * 2**20, resource.RLIM_INFINITY))
try:
    getattr(H, sys.argv[1])(*args)
except MemoryError:
    pass
else:
    raise AssertionError("no MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert H.hash_all_clamped([NOON], [0.0], [0.0]) == [1152921504606846975]
'''


@pytest.mark.parametrize("argument", ["datetimes", "longitudes", "latitudes"])
@pytest.mark.parametrize("method", ["hash_all", "hash_all_clamped"])
def test_exhausted_native_heap_is_memory_error(method, argument):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(EXHAUST), method, argument],
                          capture_output=True, text=True, timeout=120, env=environment())
    assert proc.returncode == 0, f"status {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-2000:]}"
