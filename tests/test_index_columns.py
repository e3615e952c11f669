"""hash_columns against Hasher.hash_all / hash_all_clamped, for every input form."""

import datetime as dt
import gc
import sys

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessellon_index as ti
from index_support import UTC, datetimes_from_ns, reference_keys, utc

KEY_SPACE = ti.KeySpace(utc(2020, 1, 1), utc(2021, 1, 1), (-180.0, -90.0, 180.0, 90.0))
SPAN_NS = 366 * 86_400 * 10**9
START_NS = 1_577_836_800 * 10**9
MODES = ["raise", "skip", "clamp"]


def points(seed, count, outside_share=0.0):
    rng = np.random.default_rng(seed)
    times = rng.integers(START_NS, START_NS + SPAN_NS, count, dtype=np.int64)
    times -= times % 1000  # whole microseconds: what a datetime holds
    longitudes = rng.uniform(-180, 180, count)
    latitudes = rng.uniform(-90, 90, count)
    outside = rng.random(count) < outside_share
    latitudes[outside] = 95.0
    return times, longitudes, latitudes


def as_list(keys):
    return [keys[i] for i in range(len(keys))]


# Each form: (name, make(times_ns, longitudes, latitudes) -> (times, lons, lats, kwargs))
def numpy_form(unit):
    def make(times, lons, lats):
        return times.astype("datetime64[ns]").astype(f"datetime64[{unit}]"), lons, lats, {"naive_utc": True}
    return make


def arrow_form(unit, tz="UTC"):
    def make(times, lons, lats):
        array = pa.array(times, pa.timestamp("ns", tz)).cast(pa.timestamp(unit, tz), safe=False)
        return array, pa.array(lons), pa.array(lats), ({} if tz else {"naive_utc": True})
    return make


def chunked_form(times, lons, lats):
    cut = [0, len(times) // 3, len(times) // 2, len(times)]
    ts = pa.array(times, pa.timestamp("ns", "UTC"))
    chunks = pa.chunked_array([ts.slice(a, b - a) for a, b in zip(cut, cut[1:])])
    lon_chunks = pa.chunked_array([pa.array(lons[: cut[2]]), pa.array(lons[cut[2]:])])
    return chunks, lon_chunks, pa.array(lats).slice(0), {}


def pandas_aware(times, lons, lats):
    frame = pd.DataFrame({"ts": pd.to_datetime(times, utc=True), "x": lons, "y": lats})
    return frame.ts, frame.x, frame.y, {}


def pandas_zone(times, lons, lats):
    series = pd.Series(pd.to_datetime(times, utc=True)).dt.tz_convert("America/New_York")
    return series, pd.Series(lons), pd.Series(lats), {}


def pandas_naive(times, lons, lats):
    return pd.Series(pd.to_datetime(times)), pd.Series(lons), pd.Series(lats), {"naive_utc": True}


def pandas_arrow_backed(times, lons, lats):
    frame = pd.DataFrame({"ts": pd.to_datetime(times, utc=True), "x": lons, "y": lats})
    frame = frame.convert_dtypes(dtype_backend="pyarrow")
    return frame.ts, frame.x, frame.y, {}


def datetime_index(times, lons, lats):
    return pd.DatetimeIndex(pd.to_datetime(times, utc=True)), lons, lats, {}


def polars_form(times, lons, lats):
    frame = pl.DataFrame({"ts": pa.array(times, pa.timestamp("ns", "UTC")), "x": lons, "y": lats})
    return frame["ts"], frame["x"], frame["y"], {}


def python_datetimes(times, lons, lats):
    return datetimes_from_ns(times), list(lons), list(lats), {}


def float32_strided(times, lons, lats):
    wide = np.empty(len(lons) * 2, dtype=np.float32)
    wide[::2] = lons
    return pa.array(times // 1000, pa.timestamp("us", "UTC")), wide[::2], memoryview(np.ascontiguousarray(lats)), {}


FORMS = {
    "numpy[s]": numpy_form("s"), "numpy[ms]": numpy_form("ms"), "numpy[us]": numpy_form("us"),
    "numpy[ns]": numpy_form("ns"), "arrow[s]": arrow_form("s"), "arrow[ms]": arrow_form("ms"),
    "arrow[us]": arrow_form("us"), "arrow[ns]": arrow_form("ns"), "arrow-naive": arrow_form("us", None),
    "arrow-tokyo": arrow_form("us", "Asia/Tokyo"), "arrow-chunked": chunked_form, "pandas-aware": pandas_aware,
    "pandas-zone": pandas_zone, "pandas-naive": pandas_naive, "pandas-arrow": pandas_arrow_backed,
    "datetime-index": datetime_index, "polars": polars_form, "datetimes": python_datetimes,
    "float32-strided": float32_strided,
}


def expected_for(form, times, lons, lats, mode):
    # Coarser units floor the instant; float32 rounds the coordinates.
    unit_ns = {"numpy[s]": 10**9, "arrow[s]": 10**9, "numpy[ms]": 10**6, "arrow[ms]": 10**6}.get(form, 1)
    floored = times - times % unit_ns
    if form == "float32-strided":
        lons = lons.astype(np.float32).astype(np.float64)
    return reference_keys(KEY_SPACE, datetimes_from_ns(floored), lons, lats, mode)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("form", FORMS)
def test_every_input_form_gives_the_keys_of_hash_all(form, mode):
    times, lons, lats = points(7, 257, outside_share=0.0 if mode == "raise" else 0.1)
    t, x, y, kwargs = FORMS[form](times, lons, lats)
    keys = KEY_SPACE.hash_columns(t, x, y, invalid=mode, **kwargs)
    assert as_list(keys) == expected_for(form, times, lons, lats, mode)


@settings(max_examples=60, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    count=st.integers(0, 300),
    mode=st.sampled_from(MODES),
    form=st.sampled_from(["numpy[ns]", "arrow-chunked", "pandas-aware", "datetimes", "arrow[ms]"]),
    outside=st.sampled_from([0.0, 0.05, 0.5]),
)
def test_keys_agree_with_hash_all_by_property(seed, count, mode, form, outside):
    times, lons, lats = points(seed, count, outside_share=outside if mode != "raise" else 0.0)
    t, x, y, kwargs = FORMS[form](times, lons, lats)
    assert as_list(KEY_SPACE.hash_columns(t, x, y, invalid=mode, **kwargs)) == expected_for(
        form, times, lons, lats, mode)


@settings(max_examples=80, deadline=None)
@given(
    start=st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 1, 1)),
    span=st.timedeltas(min_value=dt.timedelta(milliseconds=-5), max_value=dt.timedelta(days=4000)),
    box=st.tuples(*[st.floats(-200, 200)] * 4),
    offsets=st.lists(st.integers(-10**12, 10**12), min_size=1, max_size=40),
)
def test_microsecond_columns_agree_with_hash_all_clamped_on_any_extent(start, span, box, offsets):
    start = start.replace(tzinfo=UTC)
    # Compared as a gap: start + span itself overflows past year 9999.
    end = start + span if span < dt.datetime(9999, 12, 31, tzinfo=UTC) - start else start
    key_space = ti.KeySpace(start, end, box)
    base = (start - dt.datetime(1970, 1, 1, tzinfo=UTC)) // dt.timedelta(microseconds=1)
    micros = np.array([base + offset for offset in offsets], dtype=np.int64)
    keep = (micros > -62135596800 * 10**6 + 86_400 * 10**6) & (micros < 253402214400 * 10**6)
    micros = micros[keep]
    lons = np.linspace(-190, 190, len(micros))
    lats = np.linspace(95, -95, len(micros))
    datetimes = [dt.datetime(1970, 1, 1, tzinfo=UTC) + dt.timedelta(microseconds=int(m)) for m in micros]
    column = pa.array(micros, pa.timestamp("us", "UTC"))
    for mode in ("clamp", "skip"):
        assert as_list(key_space.hash_columns(column, lons, lats, invalid=mode)) == reference_keys(
            key_space, datetimes, lons, lats, mode)


def test_nanoseconds_are_floored_to_the_millisecond_like_their_microsecond_datetimes():
    times = np.array([START_NS + 1_999_999, START_NS + 2_000_000, START_NS - 1], dtype=np.int64)
    keys = KEY_SPACE.hash_columns(times.astype("datetime64[ns]"), [0.0] * 3, [0.0] * 3, naive_utc=True,
                                  invalid="clamp")
    assert as_list(keys) == reference_keys(KEY_SPACE, datetimes_from_ns(times), [0.0] * 3, [0.0] * 3, "clamp")


NULL_CASES = [
    ("NaT", lambda: (np.array(["2020-02-01", "NaT"], dtype="datetime64[ns]"), [1.0, 1.0], [1.0, 1.0]), "times"),
    ("arrow null time", lambda: (pa.array([utc(2020, 2, 1), None], pa.timestamp("us", "UTC")), [1.0] * 2, [1.0] * 2),
     "times"),
    ("arrow null lon", lambda: (pa.array([utc(2020, 2, 1)] * 2, pa.timestamp("us", "UTC")), pa.array([1.0, None]),
                                [1.0] * 2), "longitudes"),
    ("arrow null lat", lambda: (pa.array([utc(2020, 2, 1)] * 2, pa.timestamp("us", "UTC")), [1.0] * 2,
                                pa.array([1.0, None], pa.float32())), "latitudes"),
    ("pandas NaT", lambda: (pd.Series(pd.to_datetime(["2020-02-01", None], utc=True)), [1.0] * 2, [1.0] * 2),
     "times"),
    ("pandas nullable float", lambda: (pd.Series(pd.to_datetime(["2020-02-01"] * 2, utc=True)),
                                       pd.array([1.0, None], dtype="Float64"), [1.0] * 2), "longitudes"),
]


@pytest.mark.parametrize("name, make, column", NULL_CASES, ids=[case[0] for case in NULL_CASES])
def test_null_inputs_are_null_keys_under_skip_and_errors_otherwise(name, make, column):
    kwargs = {"naive_utc": True}
    keys = KEY_SPACE.hash_columns(*make(), invalid="skip", **kwargs)
    assert keys[1] is None and keys[0] is not None and keys.null_count == 1
    assert np.asarray(keys)[1] == -1
    assert pa.array(keys).null_count == 1
    for mode in ("raise", "clamp"):
        with pytest.raises(ValueError, match=f"^row 1: null value in {column}"):
            KEY_SPACE.hash_columns(*make(), invalid=mode, **kwargs)


def test_the_first_row_outside_names_its_row_and_the_reason_hash_all_gives():
    times, lons, lats = points(3, 50)
    lats[17] = 91.5
    lons[30] = -181.0
    with pytest.raises(ValueError) as caught:
        KEY_SPACE.hash_columns(times.astype("datetime64[ns]"), lons, lats, naive_utc=True)
    with pytest.raises(ValueError) as reference:
        KEY_SPACE.hasher().hash_all(datetimes_from_ns(times), list(lons), list(lats))
    assert str(caught.value) == str(reference.value).replace("item 17", "row 17")


def test_a_time_outside_the_extent_reports_the_instant():
    with pytest.raises(ValueError, match="^row 0: datetime outside of the hasher's temporal extent: 2019-12-31 23:59:59.999999 UTC$"):
        KEY_SPACE.hash_columns(pa.array([utc(2019, 12, 31, 23, 59, 59, 999999)], pa.timestamp("us", "UTC")),
                               [0.0], [0.0])


def test_timestamps_beyond_every_supported_year_are_refused_skipped_or_clamped():
    column = pa.array([2**62], pa.timestamp("s", "UTC"))
    with pytest.raises(ValueError, match="lies outside the years"):
        KEY_SPACE.hash_columns(column, [0.0], [0.0])
    assert KEY_SPACE.hash_columns(column, [0.0], [0.0], invalid="skip")[0] is None
    assert KEY_SPACE.hash_columns(column, [0.0], [0.0], invalid="clamp")[0] == KEY_SPACE.hasher().hash_clamped(
        utc(9999, 12, 31), 0.0, 0.0)


@pytest.mark.parametrize("times, kwargs, message", [
    (np.array(["2020-02-01"], dtype="datetime64[us]"), {}, "numpy datetime64 values, which name no instant"),
    (pa.array([0], pa.timestamp("us")), {}, "Arrow timestamps without a time zone"),
    (pd.Series(pd.to_datetime(["2020-02-01"])), {}, "naive_utc=True"),
    (pa.array([0], pa.int64()), {}, "expected an Arrow timestamp array, got Arrow format 'l'"),
    (np.array(["2020-02-01"], dtype="datetime64[D]"), {"naive_utc": True}, r"astype\(\"datetime64\[ns\]\"\)"),
    ([dt.datetime(2020, 2, 1)], {}, "non-None tzinfo"),
])
def test_times_that_name_no_instant_are_refused_with_what_to_do(times, kwargs, message):
    with pytest.raises((TypeError, ValueError), match=message):
        KEY_SPACE.hash_columns(times, [0.0], [0.0], **kwargs)


@pytest.mark.parametrize("lons, message", [
    (pa.array([1], pa.int64()), "float64 or float32"),
    ("ab", "str"),
    ([1.0, "x"], "must be real number"),
])
def test_coordinates_of_the_wrong_kind_are_refused(lons, message):
    with pytest.raises(TypeError, match=message) as caught:
        KEY_SPACE.hash_columns([utc(2020, 2, 1)] * len(lons), lons, [0.0] * len(lons))
    assert caught.value.__notes__ == ["while processing 'longitudes'"]


def test_columns_of_different_lengths_are_refused():
    with pytest.raises(ValueError, match="^columns must be the same length: 2 times, 1 longitudes, 2 latitudes$"):
        KEY_SPACE.hash_columns([utc(2020, 2, 1)] * 2, [0.0], [0.0, 0.0])


@pytest.mark.parametrize("invalid, naive_utc, error", [
    ("ignore", False, ValueError), ("RAISE", False, ValueError), ("skip", 1, TypeError),
])
def test_options_are_checked(invalid, naive_utc, error):
    with pytest.raises(error):
        KEY_SPACE.hash_columns([], [], [], invalid=invalid, naive_utc=naive_utc)


def test_empty_columns_give_empty_keys():
    keys = KEY_SPACE.hash_columns(np.array([], dtype="datetime64[ns]"), np.array([]), [], naive_utc=True)
    assert len(keys) == 0 and np.asarray(keys).dtype == np.int64 and len(pa.array(keys)) == 0


def test_keys_are_int64_everywhere_and_outlive_their_inputs():
    times, lons, lats = points(11, 1000, outside_share=0.2)
    frame = pd.DataFrame({"ts": pd.to_datetime(times, utc=True), "x": lons, "y": lats})
    keys = KEY_SPACE.hash_columns(frame.ts, frame.x, frame.y, invalid="skip")
    expected = reference_keys(KEY_SPACE, datetimes_from_ns(times), lons, lats, "skip")
    del frame
    gc.collect()
    values = np.asarray(keys)
    assert values.dtype == np.int64 and values.flags.writeable is False
    assert [None if v == -1 else int(v) for v in values] == expected
    assert pa.array(keys).to_pylist() == expected
    assert pl.Series(keys).to_list() == expected
    column = pd.arrays.IntegerArray(values, values < 0)
    assert [None if v is pd.NA else int(v) for v in column] == expected
    assert list(keys) == expected and keys[-1] == expected[-1]
    with pytest.raises(IndexError):
        keys[len(keys)]
    view = memoryview(keys)
    assert view.readonly and view.format == "q" and view.itemsize == 8


def test_input_reference_counts_are_unchanged():
    times, lons, lats = points(5, 100)
    arrays = [times.astype("datetime64[ns]"), lons, lats.astype(np.float32), pa.array(lons)]
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(200):
        KEY_SPACE.hash_columns(arrays[0], arrays[1], arrays[2], naive_utc=True)
        KEY_SPACE.hash_columns(arrays[0], arrays[3], arrays[2], naive_utc=True, invalid="skip")
        with pytest.raises(ValueError):
            KEY_SPACE.hash_columns(arrays[0], arrays[1], arrays[2][:5], naive_utc=True)
    assert [sys.getrefcount(a) for a in arrays] == before


def test_threads_hash_at_the_same_time_and_agree():
    from concurrent.futures import ThreadPoolExecutor

    times, lons, lats = points(9, 200_000)
    column = pa.array(times, pa.timestamp("ns", "UTC"))
    expected = np.asarray(KEY_SPACE.hash_columns(column, lons, lats))
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: np.asarray(KEY_SPACE.hash_columns(column, lons, lats)), range(8)))
    assert all(np.array_equal(result, expected) for result in results)
