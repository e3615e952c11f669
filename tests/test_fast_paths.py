"""The shortcuts for exact built-in types give exactly what the general path gives.

Exact datetimes, timedeltas and timezones, and float64 buffers, are read
without attribute lookups or per-item Python objects; equal-valued subclass
instances, distinct timezone objects and plain lists take the general path.
"""

import array
import datetime as dt

import numpy as np
from hypothesis import given, settings, strategies as st

import tessellon

UTC = dt.timezone.utc
START = dt.datetime(2020, 1, 1, tzinfo=UTC)
HASHER = tessellon.Hasher(START, START + dt.timedelta(days=1), (-10.0, -5.0, 10.0, 5.0))


class SubDatetime(dt.datetime):
    pass


class SubDelta(dt.timedelta):
    pass


class CountingZone(dt.tzinfo):
    """A Python tzinfo: asked once per datetime, its answer never reused."""

    def __init__(self, offset):
        self.offset, self.calls = offset, 0

    def utcoffset(self, _):
        self.calls += 1
        return SubDelta(seconds=self.offset.total_seconds())


def outcome(call):
    try:
        return call()
    except (TypeError, ValueError) as error:
        return type(error), str(error), getattr(error, "__notes__", None)


offsets = st.integers(-86_399, 86_399).map(lambda s: dt.timedelta(seconds=s))
instants = st.datetimes(dt.datetime(2019, 12, 30), dt.datetime(2020, 1, 3))
coordinates = st.floats(-12, 12) | st.sampled_from([float("nan"), float("inf"), -0.0])


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(st.lists(st.tuples(instants, offsets, coordinates, coordinates), max_size=12), st.booleans())
def test_exact_types_match_the_general_path(points, skip_invalid):
    shared = {}
    exact, distinct, subclassed = [], [], []
    for wall, offset, _, _ in points:
        zone = shared.setdefault(offset, dt.timezone(offset))
        exact.append(wall.replace(tzinfo=zone))
        distinct.append(wall.replace(tzinfo=dt.timezone(offset)))
        subclassed.append(SubDatetime(*wall.timetuple()[:6], wall.microsecond, tzinfo=CountingZone(offset)))
    longitudes = [p[2] for p in points]
    latitudes = [p[3] for p in points]
    expected = outcome(lambda: HASHER.hash_all(subclassed, longitudes, latitudes, skip_invalid))
    for datetimes in (exact, distinct):
        for lons, lats in ((longitudes, latitudes),
                           (np.array(longitudes, dtype=np.float64), np.array(latitudes, dtype=np.float64)),
                           (array.array("d", longitudes), array.array("d", latitudes[::-1])[::-1])):
            assert outcome(lambda: HASHER.hash_all(datetimes, lons, lats, skip_invalid)) == expected
            assert outcome(lambda: HASHER.hash_all_clamped(datetimes, lons, lats)) == outcome(
                lambda: HASHER.hash_all_clamped(subclassed, longitudes, latitudes))
    for one, other in zip(exact, subclassed):
        assert outcome(lambda: HASHER.hash(one, 1.0, 1.0)) == outcome(lambda: HASHER.hash(other, 1.0, 1.0))


def test_python_tzinfo_is_asked_once_per_datetime():
    zone = CountingZone(dt.timedelta(hours=2))
    datetimes = [dt.datetime(2020, 1, 1, 3, tzinfo=zone)] * 5
    HASHER.hash_all_clamped(datetimes, [0.0] * 5, [0.0] * 5)
    assert zone.calls == 5


def test_strided_and_foreign_buffers_are_read_like_lists():
    values = np.linspace(-11, 11, 9)
    datetimes = [START] * 5
    for numbers in (values[::2], values[::-2], values[::2].astype(">f8"), values[::2].astype(np.float32),
                    array.array("d", values[::2]), np.ascontiguousarray(values[::2])):
        as_floats = [float(x) for x in numbers]
        assert HASHER.hash_all_clamped(datetimes, numbers, numbers) == HASHER.hash_all_clamped(
            datetimes, as_floats, as_floats)


class ListSubclass(list):
    pass


def test_exact_list_mutated_during_conversion_reads_like_its_iterator():
    def convert(kind, mutate):
        items = kind()

        class Mutating(dt.tzinfo):
            def utcoffset(self, _):
                mutate(items)
                return dt.timedelta(0)

        items.extend(dt.datetime(2020, 1, 1, hour, tzinfo=Mutating()) for hour in range(4))
        return outcome(lambda: HASHER.hash_all_clamped(items, [0.0] * 4, [0.0] * 4))

    for mutate in (lambda s: s.pop() if len(s) > 2 else None,
                   lambda s: s.append(START) if len(s) < 6 else None,
                   list.clear):
        assert convert(list, mutate) == convert(ListSubclass, mutate)
