"""tessellon.Hasher checked against the pure-Python model in reference_model.py.

TESSELLON_HYPOTHESIS_PROFILE=deep runs many more examples with random seeds.
"""

import datetime as dt
import math
import os

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

import reference_model as ref

try:
    import tessellon
except ImportError:  # extension not built: only the model's own checks run
    tessellon = None

settings.register_profile(
    "properties-ci", max_examples=700, derandomize=True, database=None, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.register_profile("properties-deep", max_examples=20_000, deadline=None)
PROFILE = settings.get_profile("properties-" + os.environ.get("TESSELLON_HYPOTHESIS_PROFILE", "ci"))
needs_module = pytest.mark.skipif(tessellon is None, reason="tessellon is not built")
IMPLS = [pytest.param(ref.ReferenceHasher, id="model"),
         pytest.param(getattr(tessellon, "Hasher", None), id="module", marks=needs_module)]

UTC = dt.timezone.utc
DAY_US = 86_400_000_000
NAN, INF = math.nan, math.inf


class FixedOffset(dt.tzinfo):
    """Any offset, a day or more included (datetime.timezone refuses those)."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, _):
        return self.offset


class Reported(dt.datetime):
    """A datetime whose attributes report values a real one cannot hold."""

    def __getattribute__(self, name):
        fake = object.__getattribute__(self, "__dict__")
        return fake[name] if name in fake else super().__getattribute__(name)


def reported(wall, tz, **fake):
    obj = Reported(*wall.timetuple()[:6], wall.microsecond, tzinfo=tz)
    obj.__dict__.update(fake)
    return obj


def leap(*fields):  # second must be 59; microsecond gains a whole second
    wall = dt.datetime(*fields)
    return reported(wall, UTC, microsecond=wall.microsecond + 1_000_000)


def utc(*fields):
    return dt.datetime(*fields, tzinfo=UTC)


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as exc:
        return type(exc), str(exc), getattr(exc, "__notes__", None)


# ---- documented examples, checked on the model (and on the module once built)

S, E, NOON = utc(2020, 1, 1), utc(2020, 1, 2), utc(2020, 1, 1, 12)
S2, E2 = utc(2020, 1, 1, 0, 0, 0, 900), utc(2020, 1, 1, 0, 0, 1, 100)
MS, US, DAY = dt.timedelta(milliseconds=1), dt.timedelta(microseconds=1), dt.timedelta(days=1)
LON, LAT, TIME = 0x1249249249249249, 0x2492492492492492, 0x4924924924924924
REV_LON = (10.0, -90.0, -10.0, 90.0)


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("start,end,bbox,when,lon,lat,key", [
    (S, E, None, S, -180, -90, 0),
    (S, E, None, E, 180, 90, 0x7FFFFFFFFFFFFFFF),
    (S, E, None, NOON, 0, 0, 0x0FFFFFFFFFFFFFFF),
    (S, E, None, S, 0, 0, 0x06DB6DB6DB6DB6DB),
    (S, E, None, S, 180, -90, LON),
    (S, E, None, S, -180, 90, LAT),
    (S, E, None, E, -180, -90, TIME),
    (S, E, None, S, 179.99999, -90, 0x1249249249249248),
    (S, E, None, S + MS, -180, -90, 0),
    (S, E, None, E + DAY, -180, -90, TIME),
    (S, E, None, E, 180, NAN, 0x5B6DB6DB6DB6DB6D),
    (S, E, None, E, NAN, 90, 0x6DB6DB6DB6DB6DB6),
    (S, E, None, S, INF, -90, LON),
    (S, S, None, S + 999 * US, -180, -90, 0),
    (S, S, None, S + MS, -180, -90, TIME),
    (S, S, None, S - US, -180, -90, 0),
    (S2, E2, None, E2, -180, -90, TIME),
    (S2, E2, None, utc(2020, 1, 1, 0, 0, 0, 999), -180, -90, 0),
    (S2, E2, None, utc(2020, 1, 1, 0, 0, 0, 500000), -180, -90, 0x4000000100004804),
    (E, S, None, NOON, -180, -90, ref.interleave(0, 0, 1048575)),
    (E, S, None, S, -180, -90, TIME),
    (E, S, None, E + DAY, -180, -90, 0),
    (S, E, (10.0, -90.0, 10.0, 90.0), S, 10, -90, 0),
    (S, E, (10.0, -90.0, 10.0, 90.0), S, 11, -90, LON),
    (S, E, REV_LON, S, 0, -90, ref.interleave(1048575, 0, 0)),
    (S, E, REV_LON, S, -10, -90, LON),
    (leap(2020, 1, 1, 0, 0, 59, 900000), utc(2020, 1, 1, 0, 1, 0, 500000), None,
     utc(2020, 1, 1, 0, 1, 0, 500000), 180, 90, 0x36DB6DB6DB6DB6DB),
    (leap(2020, 1, 1, 23, 59, 59, 500000), E, None, E, -180, -90, TIME),  # span -500, offset -500
    (utc(1, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999999), None, utc(5000, 7, 2), -180, -90,
     ref.interleave(0, 0, int((utc(5000, 7, 2) - utc(1, 1, 1)) // MS / 315537897599999 * 2097151))),
])
def test_documented_keys(impl, start, end, bbox, when, lon, lat, key):
    assert impl(start, end, bbox).hash_clamped(when, lon, lat) == key


def instant_text(when):
    return ref.instant_text(ref.utc_instant(when))


@pytest.mark.parametrize("render,value,text", [
    *[(ref.float_text, v, t) for v, t in [
        (95.0, "95"), (95.5, "95.5"), (-180.0, "-180"), (180.00000000000003, "180.00000000000003"),
        (0.1, "0.1"), (1e-7, "0.0000001"), (1e300, "1" + "0" * 300), (-0.0, "-0"), (0.0, "0"),
        (INF, "inf"), (-INF, "-inf"), (NAN, "NaN"), (-NAN, "NaN"), (1.5e16, "15000000000000000")]],
    (instant_text, S, "2020-01-01 00:00:00 UTC"),
    (instant_text, utc(2021, 3, 4, 5, 6, 7, 500000), "2021-03-04 05:06:07.500 UTC"),
    (instant_text, utc(2021, 3, 4, 5, 6, 7, 5000), "2021-03-04 05:06:07.005 UTC"),
    (instant_text, utc(2021, 3, 4, 5, 6, 7, 123456), "2021-03-04 05:06:07.123456 UTC"),
    (instant_text, dt.datetime(1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1))), "0000-12-31 23:00:00 UTC"),
    (instant_text, dt.datetime(9999, 12, 31, 23, tzinfo=dt.timezone(dt.timedelta(hours=-5))),
     "+10000-01-01 04:00:00 UTC"),
    (instant_text, leap(2016, 12, 31, 23, 59, 59, 250000), "2016-12-31 23:59:60.250 UTC"),
    (instant_text, reported(dt.datetime(2020, 1, 1), UTC, year=-1), "-0001-01-01 00:00:00 UTC"),
    (ref.instant_text, (0, 0, 1), "1970-01-01 00:00:00.000000001 UTC"),
])
def test_model_text_forms(render, value, text):
    assert render(value) == text


OUT = "outside of the hasher's"
BOX = (1.0, -90.0, 2.0, 90.0)


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("bbox,method,args,message", [
    (None, "hash", (S, 0, 95.0), f"latitude {OUT} spatial extent: 95"),
    (None, "hash", (S, -180.5, 0), f"longitude {OUT} spatial extent: -180.5"),
    (None, "hash", (S, 0, -INF), f"latitude {OUT} spatial extent: -inf"),
    (None, "hash", (S, 200, 95.0), f"latitude {OUT} spatial extent: 95"),
    (None, "hash", (utc(2019, 12, 31, 23), 200, 95.0),
     f"datetime {OUT} temporal extent: 2019-12-31 23:00:00 UTC"),
    (None, "hash", (dt.datetime(2020, 1, 2, 1, 30, tzinfo=dt.timezone(dt.timedelta(hours=-1))), 0, 0),
     f"datetime {OUT} temporal extent: 2020-01-02 02:30:00 UTC"),
    (None, "hash", (E + US, 0, 0), f"datetime {OUT} temporal extent: 2020-01-02 00:00:00.000001 UTC"),
    (BOX, "hash", (S, -0.0, 0), f"longitude {OUT} spatial extent: -0"),
    *[(None, method, ([S, S], [0, 0, 0], [0, 95]),
       "sequences must be the same length: 2 datetimes, 3 longitudes, 2 latitudes")
      for method in ("hash_all", "hash_all_clamped")],
    (None, "hash_all", ([S] * 3, [0] * 3, [0, 95.0, 100]), f"item 1: latitude {OUT} spatial extent: 95"),
])
def test_documented_extent_messages(impl, bbox, method, args, message):
    hasher = impl(S, E, bbox)
    with pytest.raises(ValueError) as info:
        getattr(hasher, method)(*args)
    assert str(info.value) == message and not hasattr(info.value, "__notes__")


# ---- strategies

OFFSETS = st.one_of(st.sampled_from([0, 3_600_000_000, -18_000_000_000, DAY_US - 1, 1 - DAY_US,
                                     500_000, -500_000, 3_600_500_000]),
                    st.integers(1 - DAY_US, DAY_US - 1)).map(lambda us: dt.timedelta(microseconds=us))
GOOD_ZONES = st.one_of(st.just(UTC), OFFSETS.map(dt.timezone), OFFSETS.map(FixedOffset))
BAD_ZONES = st.sampled_from([DAY, -DAY, 1000 * DAY]).map(FixedOffset)
WALLS = st.one_of(st.datetimes(), st.sampled_from([
    dt.datetime.min, dt.datetime.max, dt.datetime(1970, 1, 1), dt.datetime(1969, 12, 31, 23, 59, 59, 999500),
    dt.datetime(2000, 2, 29, 23, 59, 59), dt.datetime(2020, 1, 1)]))
TINY = st.sampled_from([0, 1, -1, 999, -999, 1000, -1000, 10**6, -10**6]).map(
    lambda us: dt.timedelta(microseconds=us))
WIDE = st.one_of(st.timedeltas(MS, 2 * DAY), st.timedeltas(-2 * DAY, -MS))
YEARS = st.one_of(st.integers(ref.MIN_YEAR, ref.MAX_YEAR),
                  st.sampled_from([0, -1, 10000, ref.MIN_YEAR, ref.MAX_YEAR, ref.MIN_YEAR - 1, ref.MAX_YEAR + 1]))
SPECIAL = [0.0, -0.0, INF, -INF, NAN, 5e-324, -5e-324, 2.2250738585072014e-308, 1e300, -1e300,
           180.0, -180.0, 90.0, -90.0, 10.0, -10.0]
COORDS = st.one_of(st.sampled_from(SPECIAL), st.floats(-200, 200), st.floats())


def one_in(draw, n):
    return draw(st.integers(1, n)) == 1


@st.composite
def instants(draw, anchors=(), plain=False, deltas=TINY | WIDE):
    """Any aware datetime, or (mostly) one close to or between the anchors."""
    wall = tz = None
    if anchors and not one_in(draw, 6):
        try:
            a = draw(st.sampled_from(anchors)) + draw(deltas) if one_in(draw, len(anchors)) else (
                anchors[0] + (anchors[-1] - anchors[0]) * draw(st.floats(0, 1)))
            wall, tz = dt.datetime.combine(a.date(), a.time()), a.tzinfo
        except (OverflowError, ValueError):
            pass
    if wall is None:
        wall, tz = draw(WALLS), draw(BAD_ZONES if not plain and one_in(draw, 20) else GOOD_ZONES)
    if plain or not one_in(draw, 8):
        return wall.replace(tzinfo=tz)
    if draw(st.booleans()):
        return reported(wall, tz, year=draw(YEARS))
    wall = wall if one_in(draw, 6) else wall.replace(second=59)
    return reported(wall, tz, microsecond=wall.microsecond + 1_000_000)


LATE_WALLS = st.datetimes(max_value=dt.datetime(9999, 1, 1))


@st.composite
def leap_second_day_apart_ends(draw):
    """A leap-second instant and one on the same UTC second of a later day,
    either leap too or not, in either order: the leap-second correction must
    not apply when the two seconds of day are equal."""
    zone = draw(GOOD_ZONES)  # one zone for both, so both share their UTC second of day
    wall = draw(LATE_WALLS).replace(second=59)
    later = wall + dt.timedelta(days=draw(st.one_of(st.integers(1, 3), st.integers(4, 400))),
                                microseconds=draw(st.integers(-wall.microsecond, 999_999 - wall.microsecond)))
    first = reported(wall, zone, microsecond=wall.microsecond + 1_000_000)
    second = (reported(later, zone, microsecond=later.microsecond + 1_000_000) if draw(st.booleans())
              else later.replace(tzinfo=zone))
    return (first, second) if draw(st.booleans()) else (second, first)


@st.composite
def sub_millisecond_reversed_ends(draw):
    """An end 1 to 999 microseconds before the start, so that the span in
    whole milliseconds truncates to 0, within three seconds that hold a leap
    second: hh:mm:59, the leap second hh:mm:60, then the next minute's :00.
    The two ends often straddle a border between them. (Where that leap
    second ends a UTC day, seconds of day order it after the next day's
    first second: those ends are a second apart, and plain ends stand in.)"""
    zone, gap = draw(GOOD_ZONES), draw(st.integers(1, 999))
    minute = draw(LATE_WALLS).replace(second=59, microsecond=0)
    # Microseconds from hh:mm:59.000000 along those three seconds.
    border = draw(st.sampled_from([1_000_000, 2_000_000]))
    start_position = draw(st.one_of(st.integers(border, border + gap - 1), st.integers(gap, 3_000_000 - 1)))

    def instant(position):
        if position < 1_000_000:
            return minute.replace(microsecond=position, tzinfo=zone)
        if position < 2_000_000:
            return reported(minute, zone, microsecond=position)
        return (minute + dt.timedelta(microseconds=position - 1_000_000)).replace(tzinfo=zone)

    ends = instant(start_position), instant(start_position - gap)
    if ref.span_ms(*map(ref.utc_instant, ends)) != 0.0:
        start = minute.replace(tzinfo=zone)
        ends = start, start - dt.timedelta(microseconds=gap)
    return ends


@st.composite
def extents(draw):
    special = draw(st.integers(1, 10))
    if special == 1:
        first, second = draw(leap_second_day_apart_ends())
    elif special == 2:
        first, second = draw(sub_millisecond_reversed_ends())
    else:
        first = draw(instants())
        second = first if one_in(draw, 8) else draw(instants([first] if not one_in(draw, 3) else (), deltas=WIDE))
    bbox = None
    if not one_in(draw, 4):
        (w, e), (s, n) = (draw(st.lists(COORDS, min_size=2, max_size=2)) for _ in "xy")
        w, e, s, n = (*sorted((w, e)), *sorted((s, n))) if not one_in(draw, 4) else (w, e, s, n)
        bbox = (w, s, w if one_in(draw, 6) else e, s if one_in(draw, 6) else n)
    if special <= 2:  # already in the order wanted
        return first, second, bbox
    ends = [first, second]
    try:
        ends.sort(key=ref.utc_instant)
    except ValueError:  # a bad instant: construction fails anyway
        pass
    return (*ends[::-1 if one_in(draw, 6) else 1], bbox)


def near_floats(lo, hi):
    close = [lo, hi] + [math.nextafter(b, d) for b in (lo, hi) for d in (-INF, INF) if not math.isnan(b)]
    return st.one_of(st.sampled_from(close), st.floats(0, 1).map(lambda f: lo + f * (hi - lo)), COORDS)


@st.composite
def points(draw, start, end, bbox, plain=False):
    w, s, e, n = bbox or (-180.0, -90.0, 180.0, 90.0)
    return draw(instants([start, end], plain)), draw(near_floats(w, e)), draw(near_floats(s, n))


def build(start, end, bbox):
    """Both hashers, or None once construction failed identically in both."""
    real, model = outcome(tessellon.Hasher, start, end, bbox), outcome(ref.ReferenceHasher, start, end, bbox)
    if real[0] != "ok" or model[0] != "ok":
        assert real == model
        return None
    return real[1], model[1]


# ---- properties


@needs_module
@PROFILE
@given(st.data())
def test_single_points_match_model(data):
    extent = data.draw(extents())
    if (pair := build(*extent)) is None:
        return
    for point in data.draw(st.lists(points(*extent), min_size=1, max_size=4)):
        for method in ("hash", "hash_clamped"):
            got = outcome(getattr(pair[0], method), *point)
            assert got == outcome(getattr(pair[1], method), *point), method
        strict = outcome(pair[0].hash, *point)
        if strict[0] == "ok":
            assert strict == outcome(pair[0].hash_clamped, *point)


@needs_module
@PROFILE
@given(st.data())
def test_batches_match_model_and_single_points(data):
    extent = data.draw(extents())
    if (pair := build(*extent)) is None:
        return
    items = data.draw(st.lists(points(*extent), max_size=6))
    columns = [list(c) for c in zip(*items)] if items else [[], [], []]
    if one_in(data.draw, 8):
        longer = data.draw(st.integers(0, 2))
        columns[longer].append(S if longer == 0 else 0.0)
    real, model = pair
    for flag in ((), (False,), (True,)):
        assert outcome(real.hash_all, *columns, *flag) == outcome(model.hash_all, *columns, *flag), flag
    clamped = outcome(real.hash_all_clamped, *columns)
    assert clamped == outcome(model.hash_all_clamped, *columns)
    if len({len(c) for c in columns}) > 1:
        return
    # Item by item against the single-point methods, independently of the model.
    singles = [outcome(real.hash, *item) for item in items]
    if clamped[0] == "ok":
        assert clamped[1] == [real.hash_clamped(*item) for item in items]
    skipping = outcome(real.hash_all, *columns, True)
    if skipping[0] == "ok":
        assert skipping[1] == [r[1] if r[0] == "ok" else None for r in singles]
        bad = [i for i, r in enumerate(singles) if r[0] != "ok"]
        assert outcome(real.hash_all, *columns) == (
            ("ok", skipping[1]) if not bad else (ValueError, f"item {bad[0]}: {singles[bad[0]][1]}", None))


@needs_module
@PROFILE
@given(st.data())
def test_clamped_points_beyond_the_extent_hash_as_its_boundary(data):
    start, end = sorted((data.draw(instants(plain=True)) for _ in range(2)), key=ref.utc_instant)
    assume(ref.span_ms(ref.utc_instant(start), ref.utc_instant(end)) > 0)
    w, e, s, n = (data.draw(COORDS.filter(math.isfinite)) for _ in range(4))
    w, e, s, n = min(w, e), max(w, e), min(s, n), max(s, n)
    assume(0 < e - w < INF and 0 < n - s < INF)
    hasher = tessellon.Hasher(start, end, (w, s, e, n))
    when, lon, lat = data.draw(points(start, end, (w, s, e, n), plain=True))
    assume(not math.isnan(lon) and not math.isnan(lat))
    moment = ref.utc_instant(when)  # the module's own order: offsets truncated to seconds
    bound = start if moment < ref.utc_instant(start) else end if moment > ref.utc_instant(end) else when
    expected = hasher.hash(bound, min(max(lon, w), e), min(max(lat, s), n))
    assert hasher.hash_clamped(when, lon, lat) == expected
