"""Queries against brute force: every key of a small cell box enumerated."""

import bisect
import datetime as dt
import math

import numpy as np
import pyarrow as pa
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import tessellon_index as ti
from index_support import UTC, utc

WORLD_YEAR = ti.KeySpace(utc(2020, 1, 1), utc(2021, 1, 1))
AXIS_MAX = (1 << 21) - 1


def interleave(time, longitude, latitude):
    key = 0
    for bit in range(21):
        key |= ((longitude >> bit) & 1) << (3 * bit)
        key |= ((latitude >> bit) & 1) << (3 * bit + 1)
        key |= ((time >> bit) & 1) << (3 * bit + 2)
    return key


def keys_of(query):
    keys = set()
    for (t0, t1), (x0, x1), (y0, y1) in query.cells:
        for t in range(t0, t1 + 1):
            for x in range(x0, x1 + 1):
                for y in range(y0, y1 + 1):
                    keys.add(interleave(t, x, y))
    return sorted(keys)


def runs(sorted_keys):
    result = []
    for key in sorted_keys:
        if result and result[-1][1] + 1 == key:
            result[-1][1] = key
        else:
            result.append([key, key])
    return [tuple(run) for run in result]


def covered(ranges):
    return sum(last - first + 1 for first, last in ranges)


# Small windows: a few cells per axis, placed across high bits of every axis.
SMALL_WINDOWS = [
    (utc(2020, 7, 1, 23, 59, 50), utc(2020, 7, 2, 0, 0, 20), (-0.0004, -0.0003, 0.0004, 0.0002)),
    (utc(2020, 4, 1, 11, 30), utc(2020, 4, 1, 11, 30, 40), (89.9995, 44.9997, 90.0004, 45.0002)),
    (utc(2020, 1, 1), utc(2020, 1, 1, 0, 0, 30), (-180.0, -90.0, -179.9996, -89.9998)),
    (utc(2020, 12, 31, 23, 59, 30), utc(2021, 1, 1), (179.9996, 89.9998, 180.0, 90.0)),
    (utc(2020, 9, 9, 9, 9, 9), utc(2020, 9, 9, 9, 9, 9), (10.0, 10.0, 10.0, 10.0)),
    (utc(2020, 6, 15), utc(2020, 6, 15, 0, 1), (179.9997, 0.0, -179.9997, 0.0003)),
]


@pytest.fixture(params=range(len(SMALL_WINDOWS)), ids=lambda i: f"window{i}")
def small_query(request):
    start, end, box = SMALL_WINDOWS[request.param]
    return WORLD_YEAR.query(start, end, box)


def test_ranges_are_exactly_the_runs_when_the_cap_allows(small_query):
    exact = runs(keys_of(small_query))
    assert small_query.ranges(max_ranges=len(exact)) == exact
    assert small_query.ranges(10_000) == exact


def test_capped_ranges_fill_the_smallest_gaps(small_query):
    keys = keys_of(small_query)
    exact = runs(keys)
    gaps = sorted(b[0] - a[1] - 1 for a, b in zip(exact, exact[1:]))
    for cap in sorted({1, 2, 3, len(exact) // 2, len(exact) - 1} - {0}):
        ranges = small_query.ranges(cap)
        assert len(ranges) <= cap
        assert ranges == sorted(ranges) and all(a[1] < b[0] for a, b in zip(ranges, ranges[1:]))
        assert all(any(first <= key <= last for first, last in ranges) for key in keys)
        assert covered(ranges) == len(keys) + sum(gaps[: len(exact) - cap])


def test_contains_next_and_previous_key_agree_with_the_enumeration(small_query):
    keys = keys_of(small_query)
    rng = np.random.default_rng(len(keys))
    probes = sorted({*keys, *(k + d for k in keys[:: max(1, len(keys) // 50)] for d in (-2, -1, 1, 2)),
                     *rng.integers(max(0, keys[0] - 10**6), min(2**63 - 1, keys[-1] + 10**6), 500).tolist(), 0, 2**63 - 1})
    probes = [p for p in probes if 0 <= p < 2**63]
    inside = set(keys)
    assert np.asarray(small_query.contains(probes)).tolist() == [p in inside for p in probes]
    for probe in probes:
        at = bisect.bisect_left(keys, probe)
        assert small_query.next_key(probe) == (keys[at] if at < len(keys) else None)
        at = bisect.bisect_right(keys, probe)
        assert small_query.previous_key(probe) == (keys[at - 1] if at > 0 else None)


def test_select_sorted_and_row_groups_agree_with_a_full_scan(small_query):
    keys = keys_of(small_query)
    rng = np.random.default_rng(3)
    column = np.sort(np.concatenate([rng.integers(0, 2**63 - 1, 5000, dtype=np.int64),
                                     np.array(keys[:: 3], dtype=np.int64), np.array(keys[:5], dtype=np.int64)]))
    mask = np.isin(column, keys)
    assert np.asarray(small_query.select_sorted(column)).tolist() == np.flatnonzero(mask).tolist()
    bounds = np.sort(rng.integers(0, len(column), 200))
    mins, maxs = column[bounds[:-1]], column[bounds[1:]]
    expected = [bool(np.any((column >= lo) & (column <= hi) & mask)) or any(lo <= k <= hi for k in keys)
                for lo, hi in zip(mins, maxs)]
    assert np.asarray(small_query.row_groups(mins, maxs)).tolist() == expected


def test_arrow_keys_with_nulls_and_chunks():
    query = WORLD_YEAR.query(*SMALL_WINDOWS[0][:2], SMALL_WINDOWS[0][2])
    keys = keys_of(query)
    chunked = pa.chunked_array([pa.array([keys[0], None, 5], pa.int64()), pa.array([keys[-1], None], pa.int64())])
    result = query.contains(chunked)
    assert pa.array(result).to_pylist() == [True, False, False, True, False]
    assert np.asarray(result).dtype == np.bool_
    # The value under a null slot (0 here) keeps the column sorted; the null row is never selected.
    assert np.asarray(query.select_sorted(pa.array([None, keys[0], keys[-1]], pa.int64()))).tolist() == [1, 2]
    assert np.asarray(query.row_groups(pa.array([None, 0]), pa.array([None, 1]))).tolist() == [True, False]


points = st.tuples(
    st.integers(0, 366 * 86_400_000 - 1),
    st.floats(-180, 180),
    st.floats(-90, 90),
)


@st.composite
def windows(draw):
    t0, t1 = sorted(draw(st.lists(st.integers(-86_400_000, 367 * 86_400_000), min_size=2, max_size=2)))
    west, east = draw(st.floats(-200, 200)), draw(st.floats(-200, 200))
    south, north = sorted(draw(st.lists(st.floats(-100, 100), min_size=2, max_size=2)))
    return t0, t1, (west, south, east, north)


def inside(window, millis, lon, lat):
    t0, t1, (west, south, east, north) = window
    in_lon = west <= lon <= east if west <= east else (lon >= west or lon <= east)
    return t0 <= millis <= t1 and south <= lat <= north and in_lon


@settings(max_examples=120, deadline=None)
@given(window=windows(), picks=st.lists(points, min_size=1, max_size=20), cap=st.sampled_from([1, 4, 64, 256]))
def test_every_point_inside_the_window_hashes_into_the_ranges_and_contains(window, picks, cap):
    t0, t1, box = window
    base = utc(2020, 1, 1)
    query = WORLD_YEAR.query(base + dt.timedelta(milliseconds=t0), base + dt.timedelta(milliseconds=t1), box)
    # Points on the window's edges too.
    candidates = picks + [(t0, box[0], box[1]), (t1, box[2], box[3]), (t0, box[2], box[1])]
    hasher = WORLD_YEAR.hasher()
    ranges = query.ranges(cap)
    assert len(ranges) <= cap
    keys = []
    for millis, lon, lat in candidates:
        if not inside(window, millis, lon, lat):
            continue
        when = base + dt.timedelta(milliseconds=millis)
        keys.append(hasher.hash_clamped(when, lon, lat))
    assume(keys)
    assert all(np.asarray(query.contains(keys)))
    assert all(any(first <= key <= last for first, last in ranges) for key in keys)
    for key in keys:
        assert query.next_key(key) == key == query.previous_key(key)


@settings(max_examples=120, deadline=None)
@given(
    start=st.datetimes(min_value=dt.datetime(1900, 1, 1), max_value=dt.datetime(2100, 1, 1)),
    span=st.timedeltas(min_value=dt.timedelta(days=-30), max_value=dt.timedelta(days=3000)),
    box=st.tuples(*[st.floats(-200, 200)] * 4),
    point=st.tuples(st.floats(0, 1), st.floats(-250, 250), st.floats(-120, 120)),
)
def test_the_cell_of_a_key_holds_the_point_that_made_it(start, span, box, point):
    start = start.replace(tzinfo=UTC)
    key_space = ti.KeySpace(start, start + span, box)
    share, lon, lat = point
    when = start + span * share
    key = key_space.hasher().hash_clamped(when, lon, lat)
    cell = key_space.cell(key)
    floored = when.replace(microsecond=when.microsecond // 1000 * 1000)
    assert cell.west <= lon <= cell.east and cell.south <= lat <= cell.north
    if cell.start < cell.end:
        assert cell.start <= floored < cell.end


def test_a_window_crossing_the_antimeridian_covers_both_sides():
    query = WORLD_YEAR.query(utc(2020, 5, 1), utc(2020, 5, 2), (170.0, -10.0, -170.0, 10.0))
    assert len(query.cells) == 2
    hasher = WORLD_YEAR.hasher()
    when = utc(2020, 5, 1, 12)
    keys = [hasher.hash(when, lon, 0.0) for lon in (170.0, 179.9, 180.0, -180.0, -175.0, -170.0, 0.0, 169.9)]
    assert np.asarray(query.contains(keys)).tolist() == [True] * 6 + [False, False]


def test_windows_beyond_the_extent_keep_the_clamped_rows():
    hasher = WORLD_YEAR.hasher()
    late = hasher.hash_clamped(utc(2022, 1, 1), 0.0, 0.0)
    query = WORLD_YEAR.query(utc(2021, 6, 1), utc(2021, 7, 1))
    assert np.asarray(query.contains([late])).tolist() == [True]
    assert query.cells[0][0] == (AXIS_MAX, AXIS_MAX)


@pytest.mark.parametrize("start, end, box, message", [
    (utc(2020, 2, 2), utc(2020, 2, 1), None, "start_datetime follows its end_datetime"),
    (utc(2020, 2, 1), utc(2020, 2, 2), (math.nan, 0.0, 1.0, 1.0), "NaN"),
    (utc(2020, 2, 1), utc(2020, 2, 2), (0.0, 5.0, 1.0, 1.0), "south lies above its north"),
])
def test_windows_that_hold_nothing_are_refused(start, end, box, message):
    with pytest.raises(ValueError, match=message):
        WORLD_YEAR.query(start, end, box)


def test_window_arguments_convert_like_the_hasher():
    with pytest.raises(TypeError) as caught:
        WORLD_YEAR.query(dt.datetime(2020, 1, 1), utc(2020, 1, 2))
    assert caught.value.__notes__ == ["while processing 'start_datetime'"]
    with pytest.raises(ValueError, match="expected tuple of length 4"):
        WORLD_YEAR.query(utc(2020, 1, 1), utc(2020, 1, 2), (1.0, 2.0))


@pytest.mark.parametrize("cap", [0, -1])
def test_a_cap_below_one_is_refused(cap):
    with pytest.raises(ValueError, match="at least 1"):
        WORLD_YEAR.query(utc(2020, 1, 1), utc(2020, 1, 2)).ranges(cap)


def test_large_windows_stay_within_the_cap_and_cover_the_corners():
    query = WORLD_YEAR.query(utc(2020, 1, 1), utc(2020, 12, 31), (-60.0, -40.0, 60.0, 40.0))
    hasher = WORLD_YEAR.hasher()
    corners = [hasher.hash(utc(2020, 1, 1), -60.0, -40.0), hasher.hash(utc(2020, 12, 31), 60.0, 40.0)]
    for cap in (1, 64, 2000):
        ranges = query.ranges(cap)
        assert 1 <= len(ranges) <= cap
        assert all(any(a <= key <= b for a, b in ranges) for key in corners)


def test_decode_gives_centres_inside_each_cell():
    hasher = WORLD_YEAR.hasher()
    keys = [hasher.hash(utc(2020, 3, d, h), lon, lat) for d, h, lon, lat in
            [(1, 0, 0.0, 0.0), (5, 7, -120.5, 33.25), (30, 23, 179.0, -89.0)]]
    times, lons, lats = WORLD_YEAR.decode(keys)
    for key, when, lon, lat in zip(keys, times, lons, lats):
        cell = WORLD_YEAR.cell(key)
        assert cell.start <= when < cell.end
        assert cell.west <= lon <= cell.east and cell.south <= lat <= cell.north
    assert np.asarray(times).dtype == np.dtype("datetime64[ms]")
    assert pa.array(times).type == pa.timestamp("ms", "UTC")


@pytest.mark.parametrize("key", [-1, 2**63, "1"])
def test_cell_refuses_what_is_not_a_key(key):
    with pytest.raises((ValueError, TypeError)):
        WORLD_YEAR.cell(key)
