"""Threads: first use under contention, re-entrant and lock-yielding callbacks,
and daemon threads inside the module while the interpreter exits.

Every scenario runs in a fresh interpreter (debug allocator, -X dev, a 1 us
switch interval) guarded by a timeout, so a crash or a deadlock fails the test
instead of pytest. fuzz/threads_stress.sh runs the same scenarios many more
times: python tests/test_threads.py SCENARIO RUNS.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tessellon

COMMON = r'''
import datetime as dt, sys, threading, time
sys.setswitchinterval(1e-6)
UTC = dt.timezone.utc
PLUS2 = dt.timezone(dt.timedelta(hours=2))

def points():
    # fresh objects for each thread: plain, offset, a Python tzinfo, a leap second
    class Offset(dt.tzinfo):
        def utcoffset(self, d):
            return dt.timedelta(hours=-3)
    class Leap(dt.datetime):
        microsecond = property(lambda self: 1_250_000)
    return [dt.datetime(2020, 1, 1, 12, tzinfo=UTC), dt.datetime(2020, 1, 1, 6, 30, tzinfo=PLUS2),
            dt.datetime(2020, 1, 1, 1, tzinfo=Offset()), Leap(2020, 1, 1, 23, 59, 59, tzinfo=UTC)]

def attempt(step):
    try:
        return step()
    except BaseException as exc:  # PanicException included
        return ("raised", type(exc).__module__, type(exc).__qualname__, str(exc), id(type(exc)))

def workload():
    """The first calls of a fresh interpreter, as one comparable value."""
    import tessellon
    h = attempt(lambda: tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC),
                                         (-10.0, -20.0, 30.0, 40.0)))
    if not isinstance(h, tessellon.Hasher):  # every conversion is a fault
        return [h, attempt(lambda: tessellon.Hasher(None, None)), attempt(lambda: tessellon.Hasher())]
    return [attempt(step) for step in (
        lambda: [h.hash(p, 1.5, 2.5) for p in points()],
        lambda: h.hash_all(points(), [1.0, 2.0, 3.0, 400.0], [0.0] * 4, skip_invalid=True),
        lambda: h.hash_all_clamped(points(), range(4), bytes(4)),
        lambda: h.hash_all(points(), [1.0], [2.0]),
        lambda: h.hash(dt.datetime(2020, 1, 1), 0.0, 0.0),
        lambda: h.hash_all(iter([]), [], []),
        lambda: h.hash_all([], [], [], 1),
    )]

def without_ids(result):
    return [r[:4] if isinstance(r, tuple) and r[0] == "raised" else r for r in result]

def run_threads(target, n):
    results = [None] * n
    barrier = threading.Barrier(n)
    def run(i):
        barrier.wait()
        results[i] = target(i)
    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results
'''

SCENARIOS = {
    # (a) 16 threads make the first calls of the process at once: the
    # interned names, the imported types and the Hasher type are made under
    # contention. "import" also races the import itself.
    "first-use": r'''
import tessellon
results = run_threads(lambda i: workload(), 16)
assert all(r == results[0] for r in results), results  # one exception class each, too
print(repr(without_ids(results[0])))
''',
    "first-import": r'''
results = run_threads(lambda i: workload(), 16)
assert all(r == results[0] for r in results), results  # one exception class each, too
print(repr(without_ids(results[0])))
''',
    # (a) Every call is an internal fault (the datetime module has lost its
    # timedelta type), so 16 threads create PanicException at once: there must
    # be one class, and each thread must get it.
    "first-panic": r'''
import datetime
datetime.timedelta = 5
import tessellon
results = run_threads(lambda i: workload(), 16)
assert all(r == results[0] for r in results), results  # one PanicException class
assert results[0][0][1:3] == ("velkor_runtime", "PanicException"), results[0]
print(repr(without_ids(results[0])))
''',
    # (b) One shared Hasher; its datetimes' tzinfo lets go of the interpreter
    # lock, or calls the module again, from inside utcoffset().
    "shared-callbacks": r'''
import tessellon
H = tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC))
PLAIN = [dt.datetime(2020, 1, 1, h, tzinfo=UTC) for h in range(0, 24, 3)]
LONS, LATS = [float(i) for i in range(8)], [float(-i) for i in range(8)]
local = threading.local()

class Yielding(dt.tzinfo):
    def utcoffset(self, d):
        time.sleep(0)
        return dt.timedelta(0)

class Reentering(dt.tzinfo):
    def utcoffset(self, d):
        if getattr(local, "depth", 0) < 2:
            local.depth = getattr(local, "depth", 0) + 1
            try:
                assert H.hash(PLAIN[1], 1.0, 2.0) == EXPECTED_ONE
                assert H.hash_all(PLAIN, LONS, LATS) == EXPECTED
            finally:
                local.depth -= 1
        return dt.timedelta(0)

EXPECTED_ONE = H.hash(PLAIN[1], 1.0, 2.0)
EXPECTED = H.hash_all(PLAIN, LONS, LATS)
ZONES = [Yielding(), Reentering()]

def hammer(i):
    tz = ZONES[i % 2]
    dts = [d.replace(tzinfo=tz) for d in PLAIN]
    for _ in range(40):
        assert H.hash_all(dts, LONS, LATS) == EXPECTED
        assert H.hash_all_clamped(dts, LONS, LATS) == EXPECTED
        assert [H.hash(d, x, y) for d, x, y in zip(dts, LONS, LATS)] == EXPECTED
        try:
            H.hash(dts[0], 1.0, 95.0)
        except ValueError:
            pass
    return True

assert run_threads(hammer, 8) == [True] * 8
print("ok")
''',
    # (c) Daemon threads inside the module while the interpreter exits: the
    # interpreter ends them where they next wait for its lock, here inside
    # Python code the module called, or in a __del__ the module's release of
    # a reference ran. The process must still exit 0.
    "exit-daemons": r'''
import tessellon
H = tessellon.Hasher(dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC))

class Yielding(dt.tzinfo):
    def utcoffset(self, d):
        time.sleep(0)
        return dt.timedelta(hours=1)

class Delta(dt.timedelta):
    def __del__(self):
        time.sleep(0)

class Dropping(dt.tzinfo):
    def utcoffset(self, d):
        return Delta(hours=1)

class Lengthy:
    def __len__(self):
        time.sleep(0)
        return 3
    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return float(i)

def loop(tz):
    d = dt.datetime(2020, 1, 1, 12, tzinfo=tz)
    while True:
        try:
            H.hash(d, 1.0, 2.0)
            H.hash_all([d] * 3, Lengthy(), [2.0] * 3)
            H.hash_clamped(d, "x", 1.0)
        except TypeError:
            pass

zone = {"fixed": UTC, "yielding": Yielding(), "dropping": Dropping()}[sys.argv[1]]
for i in range(8):
    threading.Thread(target=loop, args=(zone,), daemon=True).start()
time.sleep(0.05)
''',
}


def environment(**extra):
    """Ours, with the tessellon that this process imported first on the path."""
    path = os.pathsep.join([os.path.dirname(os.path.abspath(tessellon.__file__)), os.environ.get("PYTHONPATH", "")])
    return dict(os.environ, PYTHONPATH=path, **extra)


def run_scenario(name, *args, timeout=60):
    env = environment(PYTHONMALLOC="debug")
    code = textwrap.dedent(COMMON) + textwrap.dedent(SCENARIOS[name])
    try:
        proc = subprocess.run([sys.executable, "-X", "dev", "-c", code, *args], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{name}: no exit within {timeout}s (deadlock?)")
    assert proc.returncode == 0, f"{name}: status {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout


@pytest.mark.parametrize("name", ["first-use", "first-import", "first-panic"])
def test_first_calls_under_contention_agree(name):
    outputs = {run_scenario(name) for _ in range(4)}
    assert len(outputs) == 1, outputs  # and the same in every fresh interpreter


def test_first_calls_match_a_quiet_interpreter():
    quiet = subprocess.run([sys.executable, "-c", textwrap.dedent(COMMON) +
                            "import tessellon\nprint(repr(without_ids(workload())))"], capture_output=True, text=True,
                           timeout=60, env=environment())
    assert quiet.returncode == 0, quiet.stderr
    assert run_scenario("first-use") == quiet.stdout


def test_shared_hasher_with_yielding_and_reentrant_callbacks():
    assert run_scenario("shared-callbacks").strip() == "ok"


@pytest.mark.parametrize("attempt", range(3))
@pytest.mark.parametrize("zone", ["fixed", "yielding", "dropping"])
def test_daemon_threads_in_the_module_at_exit(zone, attempt):
    run_scenario("exit-daemons", zone)


if __name__ == "__main__":  # fuzz/threads_stress.sh: SCENARIO RUNS [ARGUMENT]
    name, runs, args = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    seen = set()
    for i in range(runs):
        out = run_scenario(name, *args, timeout=120)
        if name.startswith("first-"):
            seen.add(out)
            assert len(seen) == 1, f"{name}: run {i} disagrees: {seen}"
    print(f"{' '.join([name, *args])}: {runs} runs passed")
