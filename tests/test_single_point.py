import datetime as dt
import math

import pytest

import tessellon
from conftest import UTC, utc

S, E, NOON = utc(2020, 1, 1), utc(2020, 1, 2), utc(2020, 1, 1, 12)
MS, US, DAY = dt.timedelta(milliseconds=1), dt.timedelta(microseconds=1), dt.timedelta(days=1)
MAX = 0x7FFFFFFFFFFFFFFF
LON, LAT, TIME = 0x1249249249249249, 0x2492492492492492, 0x4924924924924924
NAN, INF = math.nan, math.inf


def leap(base, microsecond):
    cls = type("Leap", (dt.datetime,), {"microsecond": property(lambda self: microsecond)})
    return cls(base.year, base.month, base.day, base.hour, base.minute, base.second, tzinfo=UTC)


WORLD_KEYS = [
    (S, -180.0, -90.0, 0),
    (E, 180.0, 90.0, MAX),
    (NOON, 0.0, 0.0, 0x0FFFFFFFFFFFFFFF),
    (S, 0.0, 0.0, 0x06DB6DB6DB6DB6DB),
    (S, 180.0, -90.0, LON),
    (S, -180.0, 90.0, LAT),
    (E, -180.0, -90.0, TIME),
    (S, 179.99999, -90.0, LON - 1),
    (S + MS, -180.0, -90.0, 0),
    (E, 180.0, NAN, 0x5B6DB6DB6DB6DB6D),
    (E, NAN, 90.0, 0x6DB6DB6DB6DB6DB6),
    (NOON.astimezone(dt.timezone(dt.timedelta(hours=-7))), 0.0, 0.0, 0x0FFFFFFFFFFFFFFF),
]


@pytest.mark.parametrize("method", ["hash", "hash_clamped"])
@pytest.mark.parametrize("d,lon,lat,key", WORLD_KEYS)
def test_world_keys(world_hasher, method, d, lon, lat, key):
    result = getattr(world_hasher, method)(d, lon, lat)
    assert type(result) is int and result == key


def test_leap_second_start_after_its_end():
    # 23:59:60.5 to midnight spans -500 ms, so the end itself is the far end of the time axis
    h = tessellon.Hasher(leap(utc(2020, 1, 1, 23, 59, 59), 1_500_000), E)
    assert h.hash_clamped(E, -180.0, -90.0) == TIME


T_ERR = "datetime outside of the hasher's temporal extent: "
LAT_ERR = "latitude outside of the hasher's spatial extent: "
LON_ERR = "longitude outside of the hasher's spatial extent: "

EXTENT_ERRORS = [
    # start, end, bbox, datetime, longitude, latitude, message
    (S, E, None, S - US, 0.0, 0.0, T_ERR + "2019-12-31 23:59:59.999999 UTC"),
    (S, E, None, S - dt.timedelta(hours=1), 500.0, 100.0,
     T_ERR + "2019-12-31 23:00:00 UTC"),
    (S, E, None, E + 500 * MS, 0.0, 0.0, T_ERR + "2020-01-02 00:00:00.500 UTC"),
    (utc(2021, 1, 1), E, None, dt.datetime(2020, 1, 1, 1, 30, tzinfo=dt.timezone(dt.timedelta(hours=1))), 0.0, 0.0,
     T_ERR + "2020-01-01 00:30:00 UTC"),
    (S, E, None, S, 500.0, -95.5, LAT_ERR + "-95.5"),
    (S, E, None, S, 0.0, INF, LAT_ERR + "inf"),
    (S, E, None, S, 0.0, 1e300, LAT_ERR + "1" + "0" * 300),
    (S, E, None, S, 180.00000000000003, 0.0, LON_ERR + "180.00000000000003"),
    (S, E, None, S, INF, NAN, LON_ERR + "inf"),
    (S, E, (10.0, 1.0, 20.0, 2.0), S, 15.0, 0.1, LAT_ERR + "0.1"),
    (S, E, (10.0, 1.0, 20.0, 2.0), S, 15.0, 1e-7, LAT_ERR + "0.0000001"),
    (S, E, (10.0, 1.0, 20.0, 2.0), S, 15.0, 5e-324, LAT_ERR + "0." + "0" * 323 + "5"),
    (S, E, (10.0, 1.0, 20.0, 2.0), S, -0.0, 1.5, LON_ERR + "-0"),
    (S, E, (10.0, 1.0, 20.0, 2.0), S, 1e16, 1.5, LON_ERR + "10000000000000000"),
    (E, S, None, E, 0.0, 0.0, T_ERR + "2020-01-02 00:00:00 UTC"),
    (E, S, None, S, 0.0, 0.0, T_ERR + "2020-01-01 00:00:00 UTC"),
    (E, S, None, NOON, 0.0, 0.0, T_ERR + "2020-01-01 12:00:00 UTC"),
    (S, E, (-180.0, 10.0, 180.0, -10.0), S, 0.0, 0.0, LAT_ERR + "0"),
    (S, E, (-180.0, 10.0, 180.0, -10.0), S, 0.0, 10.0, LAT_ERR + "10"),
]


@pytest.mark.parametrize("start,end,bbox,d,lon,lat,message", EXTENT_ERRORS)
def test_extent_errors(start, end, bbox, d, lon, lat, message):
    h = tessellon.Hasher(start, end, bbox)
    with pytest.raises(ValueError) as excinfo:
        h.hash(d, lon, lat)
    assert type(excinfo.value) is ValueError and excinfo.value.args == (message,)
    assert excinfo.value.__cause__ is None and getattr(excinfo.value, "__notes__", None) is None
    h.hash_clamped(d, lon, lat)


@pytest.mark.parametrize("point,nearest", [
    ((S - DAY, -500.0, -100.0), (S, -180.0, -90.0)),
    ((E + US, 500.0, 100.0), (E, 180.0, 90.0)),
    ((NOON, INF, -INF), (NOON, 180.0, -90.0)),
    ((S - US, 12.5, 95.0), (S, 12.5, 90.0)),
    ((E + DAY, -180.0000001, 33.0), (E, -180.0, 33.0)),
])
def test_clamping_moves_onto_the_boundary(world_hasher, point, nearest):
    assert world_hasher.hash_clamped(*point) == world_hasher.hash(*nearest)
