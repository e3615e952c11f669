"""numpy and pandas values give the same keys as plain floats and datetimes."""

import array
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import tessellon

UTC = timezone.utc
START, END = datetime(2020, 1, 1, tzinfo=UTC), datetime(2020, 1, 2, tzinfo=UTC)
TIMES = [START + timedelta(hours=h, microseconds=250) for h in (0, 5, 11, 23)]
LONS, LATS = [-179.5, -0.25, 0.0, 120.125], [-60.0, 0.5, 45.25, 95.0]  # last latitude out of extent
SKIP_NOTE = "pandas is not installed (pip install '.[test]')"


@pytest.fixture(scope="module")
def hasher():
    return tessellon.Hasher(START, END)


@pytest.fixture(scope="module")
def pd():
    return pytest.importorskip("pandas", reason=SKIP_NOTE)


def expected(hasher):
    return [hasher.hash_clamped(t, lon, lat) for t, lon, lat in zip(TIMES, LONS, LATS)]


@pytest.mark.parametrize("to_numbers", [
    lambda xs: np.array(xs),
    lambda xs: np.array(xs, dtype=">f8"),
    lambda xs: np.array(xs, dtype=np.float32),
    lambda xs: np.array([xs, xs]).T[:, 0],  # strided view
    lambda xs: np.repeat(np.array(xs), 2)[::2],
    lambda xs: array.array("d", xs),
    lambda xs: [np.float64(x) for x in xs],
    lambda xs: [np.float32(x) for x in xs],
], ids=["float64", "big-endian", "float32", "column", "step", "array.array", "np.float64", "np.float32"])
def test_numpy_float_sequences(hasher, to_numbers):
    lons, lats = to_numbers(LONS), to_numbers(LATS)
    want = [hasher.hash_clamped(t, float(x), float(y)) for t, x, y in zip(TIMES, lons, lats)]
    assert hasher.hash_all_clamped(TIMES, lons, lats) == want
    assert hasher.hash_all(TIMES, lons, lats, skip_invalid=True) == want[:3] + [None]


def test_numpy_integer_arrays_and_scalars(hasher):
    degrees = np.array([-180, -1, 0, 90], dtype=np.int16)
    assert hasher.hash_all_clamped(TIMES, degrees, degrees) == [
        hasher.hash_clamped(t, int(x), int(x)) for t, x in zip(TIMES, degrees)]
    assert hasher.hash(START, np.int64(3), np.float32(0.5)) == hasher.hash(START, 3.0, 0.5)


@pytest.mark.parametrize("flag", [np.True_, np.bool_(1), (np.arange(3) > 1)[2]])
def test_numpy_bool_skip_invalid(hasher, flag):
    assert hasher.hash_all(TIMES, LONS, LATS, skip_invalid=flag) == expected(hasher)[:3] + [None]
    assert hasher.hash_all(TIMES, LONS, LATS, flag) == hasher.hash_all(TIMES, LONS, LATS, True)


def test_numpy_false_raises_on_the_out_of_extent_item(hasher):
    with pytest.raises(ValueError) as caught:
        hasher.hash_all(TIMES, LONS, LATS, skip_invalid=np.False_)
    assert caught.value.args == ("item 3: latitude outside of the hasher's spatial extent: 95",)


@pytest.mark.parametrize("tz", [UTC, timezone(timedelta(hours=5, minutes=30)), "UTC", "-03:00"])
def test_pandas_timestamps_with_fixed_offsets(hasher, pd, tz):
    stamps = [pd.Timestamp(t).tz_convert(tz) for t in TIMES]
    assert all(isinstance(s, datetime) for s in stamps)
    assert [hasher.hash_clamped(s, x, y) for s, x, y in zip(stamps, LONS, LATS)] == expected(hasher)
    assert hasher.hash_all_clamped(stamps, LONS, LATS) == expected(hasher)
    assert tessellon.Hasher(stamps[0], pd.Timestamp(END)).hash_all_clamped(stamps, LONS, LATS) == expected(hasher)


def test_pandas_nanoseconds_are_cut_to_microseconds(hasher, pd):
    stamp = pd.Timestamp("2020-01-01T06:00:00.123456789Z")
    assert hasher.hash(stamp, 1.0, 2.0) == hasher.hash(datetime(2020, 1, 1, 6, 0, 0, 123456, tzinfo=UTC), 1.0, 2.0)


def test_pandas_named_zone_is_refused_until_converted(hasher, pd):
    stamp = pd.Timestamp("2020-01-01 09:00", tz="Europe/Paris")
    with pytest.raises(TypeError, match="is not a fixed offset timezone"):
        hasher.hash(stamp, 0.0, 0.0)
    assert hasher.hash(stamp.tz_convert("UTC"), 0.0, 0.0) == hasher.hash(datetime(2020, 1, 1, 8, tzinfo=UTC), 0.0, 0.0)


def test_pandas_datetime_index_and_series(hasher, pd):
    index = pd.DatetimeIndex(TIMES).tz_convert(timezone(timedelta(hours=-5)))
    frame = pd.DataFrame({"time": index, "lon": LONS, "lat": LATS})
    want = expected(hasher)
    assert hasher.hash_all_clamped(index, LONS, LATS) == want
    assert hasher.hash_all_clamped(index.to_pydatetime(), np.array(LONS), np.array(LATS)) == want
    assert hasher.hash_all(frame.time, frame.lon, frame.lat, skip_invalid=True) == want[:3] + [None]
    assert hasher.hash_all_clamped(frame.time, frame.lon.to_numpy(), frame.lat.to_numpy()) == want


def test_naive_pandas_index_is_refused(hasher, pd):
    with pytest.raises(TypeError) as caught:
        hasher.hash_all_clamped(pd.DatetimeIndex(["2020-01-01"]), [0.0], [0.0])
    assert caught.value.args == ("expected a datetime with non-None tzinfo",)
    assert caught.value.__notes__ == ["while processing 'datetimes'"]
