import math
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest
from hypothesis import given, strategies as st

import tessellon

UTC = timezone.utc
START = datetime(2020, 1, 1, tzinfo=UTC)
MID = datetime(2020, 1, 1, 12, tzinfo=UTC)
END = datetime(2020, 1, 2, tzinfo=UTC)
US = timedelta(microseconds=1)
NAN, INF = math.nan, math.inf
LEN_MSG = "sequences must be the same length: {} datetimes, {} longitudes, {} latitudes"
DT_MSG = "datetime outside of the hasher's temporal extent: {}"
LAT_MSG = "latitude outside of the hasher's spatial extent: {}"
LON_MSG = "longitude outside of the hasher's spatial extent: {}"

CALLS = {
    "hash_all": lambda h, *a: h.hash_all(*a),
    "skip=False": lambda h, *a: h.hash_all(*a, skip_invalid=False),
    "skip=True": lambda h, *a: h.hash_all(*a, skip_invalid=True),
    "clamped": lambda h, *a: h.hash_all_clamped(*a),
}
each_call = pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())


@pytest.fixture(scope="module")
def h():
    return tessellon.Hasher(START, END)


def columns(points):
    return tuple(map(list, zip(*points))) if points else ([], [], [])


def strict_or_none(h, point):
    try:
        return h.hash(*point)
    except ValueError:
        return None


def assert_plain_value_error(excinfo, message):
    e = excinfo.value
    assert type(e) is ValueError and e.args == (message,)
    assert e.__cause__ is None and e.__context__ is None
    assert getattr(e, "__notes__", None) is None


def assert_conversion_error(excinfo, exc_type, message, argument):
    e = excinfo.value
    assert type(e) is exc_type and e.args == (message,)
    assert e.__notes__ == [f"while processing '{argument}'"]


@each_call
def test_empty_sequences(h, call):
    assert call(h, [], [], []) == []


@each_call
@pytest.mark.parametrize("n", [(2, 3, 2), (3, 2, 2), (2, 2, 3), (0, 1, 1), (1, 0, 0), (12, 10, 105)])
def test_unequal_lengths_reported_before_extent(h, call, n):
    args = [START - US] * n[0], [200.0] * n[1], [95.0] * n[2]
    with pytest.raises(ValueError) as ei:
        call(h, *args)
    assert_plain_value_error(ei, LEN_MSG.format(*n))


@each_call
@pytest.mark.parametrize("args, exc_type, message, argument", [
    (([START, 5], [1.0], []), TypeError, "'int' object is not an instance of 'datetime'", "datetimes"),
    (([START], "ab", [1.0, 2.0]), TypeError, "Can't extract `str` to `Vec`", "longitudes"),
    (([START], [1.0], [2.0, None]), TypeError, "must be real number, not NoneType", "latitudes"),
])
def test_conversion_error_beats_length_error(h, call, args, exc_type, message, argument):
    with pytest.raises(exc_type) as ei:
        call(h, *args)
    assert_conversion_error(ei, exc_type, message, argument)


ITEM_CASES = [
    ([(MID, 0.0, 0.0), (MID, 1.0, 95.0), (MID, 2.0, 1.0)], 1, LAT_MSG.format("95")),
    ([(MID, 0, 0), (START - US, 0, 0), (MID, 0, 95.0)], 1, DT_MSG.format("2019-12-31 23:59:59.999999 UTC")),
    ([(END + US, 0.0, 95.5)], 0, DT_MSG.format("2020-01-02 00:00:00.000001 UTC")),
    ([(MID, -180.5, 95.5)], 0, LAT_MSG.format("95.5")),
    ([(MID, 0, 0), (END, 0, 0), (MID, -180.5, 0), (MID, 0, -91.0)], 2, LON_MSG.format("-180.5")),
    ([(MID, 0.0, -INF)], 0, LAT_MSG.format("-inf")),
    ([(START, INF, NAN)], 0, LON_MSG.format("inf")),
    ([(datetime(2020, 1, 1, 0, 30, tzinfo=timezone(timedelta(hours=1))), 0, 0)], 0,
     DT_MSG.format("2019-12-31 23:30:00 UTC")),
    ([(MID, 0.0, 0.0)] * 11 + [(MID, 180.00000000000003, 0.0)], 11, LON_MSG.format("180.00000000000003")),
]


@pytest.mark.parametrize("points, index, message", ITEM_CASES)
def test_out_of_extent_item(h, points, index, message):
    dts, lons, lats = columns(points)
    for kwargs in ({}, {"skip_invalid": False}):
        with pytest.raises(ValueError) as ei:
            h.hash_all(dts, lons, lats, **kwargs)
        assert_plain_value_error(ei, f"item {index}: {message}")
    skipped = h.hash_all(dts, lons, lats, skip_invalid=True)
    assert skipped == [strict_or_none(h, p) for p in points]
    assert skipped[index] is None and None not in skipped[:index]
    clamped = h.hash_all_clamped(dts, lons, lats)
    assert clamped == [h.hash_clamped(*p) for p in points] and None not in clamped


# bounds are inclusive and NaN coordinates pass the extent check
IN_EXTENT = [
    (START, -180.0, -90.0, 0),
    (END, 180.0, 90.0, 0x7FFFFFFFFFFFFFFF),
    (MID, 0.0, 0.0, 0x0FFFFFFFFFFFFFFF),
    (START, 180.0, -90.0, 0x1249249249249249),
    (END, 180.0, NAN, 0x5B6DB6DB6DB6DB6D),
    (END, NAN, 90.0, 0x6DB6DB6DB6DB6DB6),
    (START, NAN, NAN, 0),
]


@each_call
def test_in_extent_items_hashed(h, call):
    dts, lons, lats, keys = map(list, zip(*IN_EXTENT))
    result = call(h, dts, lons, lats)
    assert result == keys and all(type(k) is int for k in result)


ZONES = st.sampled_from([UTC, timezone(timedelta(hours=5, minutes=30)), timezone(-timedelta(hours=3))])
COORD = st.floats(-200, 200) | st.sampled_from([NAN, INF, -INF, -180.0, 180.0, -90.0, 90.0, -0.0])
POINT = st.tuples(st.datetimes(datetime(2019, 12, 31), datetime(2020, 1, 3), timezones=ZONES), COORD, COORD)


@given(points=st.lists(POINT, max_size=20))
def test_batch_matches_single_point_methods(h, points):
    dts, lons, lats = columns(points)
    expected = [strict_or_none(h, p) for p in points]
    assert h.hash_all(dts, lons, lats, skip_invalid=True) == expected
    assert h.hash_all_clamped(dts, lons, lats) == [h.hash_clamped(*p) for p in points]
    if None not in expected:
        assert h.hash_all(dts, lons, lats) == expected
        return
    first = expected.index(None)
    with pytest.raises(ValueError) as single:
        h.hash(*points[first])
    with pytest.raises(ValueError) as ei:
        h.hash_all(dts, lons, lats)
    assert_plain_value_error(ei, f"item {first}: {single.value.args[0]}")


def fake_numpy_bool(name, module="numpy", **attrs):
    return type(name, (), {"__module__": module, **attrs})()


OMITTED = object()
BAD_AT_1 = columns([(MID, 0.0, 0.0), (MID, 0.0, 95.0), (END, 1.0, 1.0)])


@pytest.mark.parametrize("flag, skips", [
    (OMITTED, False), (True, True), (False, False), (np.True_, True), (np.False_, False),
    (fake_numpy_bool("bool_", __bool__=lambda self: True), True),
    (fake_numpy_bool("bool", __bool__=lambda self: False), False),
])
def test_skip_invalid_accepted(h, flag, skips):
    calls = [lambda: h.hash_all(*BAD_AT_1)] if flag is OMITTED else [
        lambda: h.hash_all(*BAD_AT_1, flag), lambda: h.hash_all(*BAD_AT_1, skip_invalid=flag)]
    for call in calls:
        if skips:
            assert call() == [h.hash(MID, 0.0, 0.0), None, h.hash(END, 1.0, 1.0)]
        else:
            with pytest.raises(ValueError) as ei:
                call()
            assert_plain_value_error(ei, "item 1: " + LAT_MSG.format("95"))


@pytest.mark.parametrize("flag, exc_type, message", [
    (None, TypeError, "'None' is not an instance of 'bool'"),
    (1, TypeError, "'int' object is not an instance of 'bool'"),
    (0, TypeError, "'int' object is not an instance of 'bool'"),
    ("true", TypeError, "'str' object is not an instance of 'bool'"),
    (np.int8(1), TypeError, "'int8' object is not an instance of 'bool'"),
    (fake_numpy_bool("bool_", __bool__=lambda self: 1), TypeError, "'int' object is not an instance of 'bool'"),
    (fake_numpy_bool("bool", __bool__=lambda self: None), TypeError, "'None' is not an instance of 'bool'"),
    (fake_numpy_bool("bool_"), TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (fake_numpy_bool("bool", __bool__=lambda self: 1 / 0), ZeroDivisionError, "division by zero"),
    (fake_numpy_bool("int8", __bool__=lambda self: True), TypeError, "'int8' object is not an instance of 'bool'"),
    (fake_numpy_bool("bool_", "numpyish", __bool__=lambda self: True), TypeError,
     "'bool_' object is not an instance of 'bool'"),
])
@pytest.mark.parametrize("args", [BAD_AT_1, ([MID] * 2, [0.0] * 3, [95.0] * 2)], ids=["equal", "unequal"])
def test_skip_invalid_refused_before_length_check(h, flag, exc_type, message, args):
    for call in (lambda: h.hash_all(*args, flag), lambda: h.hash_all(*args, skip_invalid=flag)):
        with pytest.raises(exc_type) as ei:
            call()
        assert_conversion_error(ei, exc_type, message, "skip_invalid")


def test_sequence_error_beats_skip_invalid_error(h):
    with pytest.raises(TypeError) as ei:
        h.hash_all([MID], [0.0], "x", None)
    assert_conversion_error(ei, TypeError, "Can't extract `str` to `Vec`", "latitudes")
