import datetime as dt
import math

import pytest
from hypothesis import given, strategies as st

import tessellon
from conftest import UTC, utc

S, E = utc(2020, 1, 1), utc(2020, 1, 2)
WORLD = tessellon.Hasher(S, E)
REVERSED = tessellon.Hasher(E, S)  # refuses every instant, so its message shows any instant in UTC


def tz(**kw):
    return dt.timezone(dt.timedelta(**kw))


def _prop(value):
    def get(self):
        if isinstance(value, BaseException):
            raise type(value)(*value.args)  # fresh, so notes never pile up
        return value
    return property(get)


def _bad_repr(self):
    raise RuntimeError("repr failed")


class Offset(dt.tzinfo):
    """A zone whose utcoffset() answers `result` (or raises it)."""

    def __init__(self, result, text="Offset()"):
        self.result, self.text = result, text

    def utcoffset(self, when):
        return _prop(self.result).fget(self)

    def __repr__(self):
        return _bad_repr(self) if self.text is None else self.text


def fake(b=S, bad_repr=False, **fields):
    """A datetime subclass whose attributes report `fields` instead of its own."""
    ns = {k: _prop(v) for k, v in fields.items()} | ({"__repr__": _bad_repr} if bad_repr else {})
    return type("FakeDT", (dt.datetime,), ns)(b.year, b.month, b.day, b.hour, b.minute, b.second,
                                              b.microsecond, b.tzinfo)


def fake_delta(**fields):
    return type("FakeTD", (dt.timedelta,), {k: _prop(v) for k, v in fields.items()})()


DT_SITES = {
    "start_datetime": lambda v: tessellon.Hasher(v, E),
    "end_datetime": lambda v: tessellon.Hasher(S, v),
    "datetime": lambda v: WORLD.hash(v, 0.0, 0.0),
    "datetime ": lambda v: WORLD.hash_clamped(v, 0.0, 0.0),
}
FLOAT_SITES = {
    "longitude": lambda v: WORLD.hash(S, v, 0.0),
    "latitude": lambda v: WORLD.hash(S, 0.0, v),
    "longitude ": lambda v: WORLD.hash_clamped(S, v, 0.0),
    "latitude ": lambda v: WORLD.hash_clamped(S, 0.0, v),
    "bbox": lambda v: tessellon.Hasher(S, E, (v, -90.0, 180.0, 90.0)),
    "bbox ": lambda v: tessellon.Hasher(S, E, (-180.0, -90.0, 180.0, v)),
}


def check_error(call, value, note, exc, message):
    with pytest.raises(BaseException) as excinfo:
        call(value)
    err = excinfo.value
    assert (type(err), str(err)) == (exc, message)
    assert err.__notes__ == [f"while processing '{note.strip()}'"] and err.__cause__ is None


class Liar:
    __class__ = dt.datetime  # passes isinstance(), yet is no datetime


NAIVE, OUT = "expected a datetime with non-None tzinfo", "fixed offset out of bounds"
BAD_DATE, BAD_TIME = "invalid or out-of-range date", "invalid or out-of-range time"
OVERFLOW = "out of range integral type conversion attempted"
NOT_INT = "'str' object cannot be interpreted as an integer"
LATE = dt.datetime(2020, 12, 31, 23, 30, tzinfo=tz(hours=-1))
EARLY = dt.datetime(2020, 1, 1, 0, 30, tzinfo=tz(hours=1))
FAR_LATE, FAR_EARLY = fake(LATE, year=262142), fake(EARLY, year=-262143)


def zone(result, text="Offset()"):
    return S.replace(tzinfo=Offset(result, text))


DATETIME_ERRORS = [
    (dt.datetime(2020, 1, 1), TypeError, NAIVE),
    (fake(tzinfo=RuntimeError("x")), TypeError, NAIVE),
    (fake(tzinfo="UTC"), TypeError, "'str' object is not an instance of 'tzinfo'"),
    (dt.date(2020, 1, 1), TypeError, "'date' object is not an instance of 'datetime'"),
    (None, TypeError, "'None' is not an instance of 'datetime'"),
    (Liar(), TypeError, "'Liar' object is not an instance of 'datetime'"),
    (zone(None), TypeError, "Offset() is not a fixed offset timezone"),
    (zone(3600), TypeError, "'int' object is not an instance of 'timedelta'"),
    (zone(KeyError("boom")), KeyError, "'boom'"),
    (S.replace(tzinfo=dt.tzinfo()), NotImplementedError, "a tzinfo subclass must implement utcoffset()"),
    (zone(dt.timedelta(days=1)), ValueError, OUT),
    (zone(-dt.timedelta(days=1)), ValueError, OUT),
    (zone(fake_delta(days=10**9)), ValueError, OUT),
    (zone(fake_delta(seconds="1")), TypeError, NOT_INT),
    (zone(fake_delta(days=2**64)), OverflowError, "Python int too large to convert to C long"),
    (fake(month=13), ValueError, BAD_DATE),
    (fake(day=0), ValueError, BAD_DATE),
    (fake(year=2021, month=2, day=29), ValueError, BAD_DATE),
    (fake(year=1900, month=2, day=29), ValueError, BAD_DATE),
    (fake(year=262143), ValueError, BAD_DATE),
    (fake(year=-262144), ValueError, BAD_DATE),
    (fake(month=2**32 - 1), ValueError, BAD_DATE),
    (fake(month=13, hour=99), ValueError, BAD_DATE),
    (fake(hour=24), ValueError, BAD_TIME),
    (fake(second=60), ValueError, BAD_TIME),
    (fake(microsecond=1_000_000), ValueError, BAD_TIME),
    (fake(second=59, microsecond=2_000_000), ValueError, BAD_TIME),
    (fake(year=2**31), OverflowError, OVERFLOW),
    (fake(microsecond=-1), OverflowError, OVERFLOW),
    (fake(year="2020"), TypeError, NOT_INT),
    (fake(minute=ZeroDivisionError("m")), ZeroDivisionError, "m"),
    (fake(tzinfo=None, month=13), TypeError, NAIVE),
    (FAR_LATE, ValueError, f"The datetime {FAR_LATE!r} contains an incompatible timezone"),
    (FAR_EARLY, ValueError, f"The datetime {FAR_EARLY!r} contains an incompatible timezone"),
]


@pytest.mark.parametrize("site", DT_SITES)
@pytest.mark.parametrize("value,exc,message", DATETIME_ERRORS)
def test_datetime_errors(site, value, exc, message):
    check_error(DT_SITES[site], value, site, exc, message)


def test_unprintable_objects_in_messages(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    value = zone(None, text=None)
    check_error(DT_SITES["datetime"], value, "datetime", TypeError,
                "<unprintable Offset object> is not a fixed offset timezone")
    late = fake(LATE, bad_repr=True, year=262142)
    check_error(DT_SITES["start_datetime"], late, "start_datetime", ValueError,
                "The datetime <unprintable FakeDT object> contains an incompatible timezone")
    assert [(type(s.exc_value), str(s.exc_value), s.object) for s in seen] == [
        (RuntimeError, "repr failed", value.tzinfo), (RuntimeError, "repr failed", late)]


def late_fake(microsecond):
    return fake(utc(2020, 1, 2, 23, 59, 59), microsecond=microsecond)


TEXTS = [
    (dt.datetime(2024, 1, 1, 12, tzinfo=tz(hours=5, minutes=30)), "2024-01-01 06:30:00"),
    (EARLY, "2019-12-31 23:30:00"),
    (EARLY.replace(fold=1), "2019-12-31 23:30:00"),
    (dt.datetime(2020, 12, 31, 23, tzinfo=tz(hours=-5)), "2021-01-01 04:00:00"),
    (dt.datetime(1, 1, 1, 0, 30, tzinfo=tz(hours=1)), "0000-12-31 23:30:00"),
    (dt.datetime(9999, 12, 31, 23, 30, tzinfo=tz(hours=-1)), "+10000-01-01 00:30:00"),
    (S.replace(tzinfo=tz(hours=-23, minutes=-59, seconds=-59)), "2020-01-01 23:59:59"),
    (S.replace(tzinfo=tz(hours=23, minutes=59, seconds=59)), "2019-12-31 00:00:01"),
    (S.replace(tzinfo=tz(microseconds=-1)), "2020-01-01 00:00:00"),  # offsets truncate toward zero
    (zone(dt.timedelta(days=1, microseconds=-1)), "2019-12-31 00:00:01"),
    (zone(dt.timedelta(days=-1, microseconds=1)), "2020-01-01 23:59:59"),
    (EARLY.replace(tzinfo=Offset(dt.timedelta(hours=1, milliseconds=500))), "2019-12-31 23:30:00"),
    (EARLY.replace(tzinfo=Offset(-dt.timedelta(hours=1, milliseconds=500))), "2020-01-01 01:30:00"),
    (utc(2020, 1, 1, 0, 0, 0, 500000), "2020-01-01 00:00:00.500"),
    (utc(2020, 1, 1, 0, 0, 0, 123456), "2020-01-01 00:00:00.123456"),
    (utc(2020, 1, 1, 0, 0, 0, 1), "2020-01-01 00:00:00.000001"),
    (late_fake(1_500_000), "2020-01-02 23:59:60.500"),
    (late_fake(1_000_000), "2020-01-02 23:59:60"),
    (fake(LATE, year=262142, hour=0), "+262142-12-31 01:30:00"),
    (fake(EARLY, year=-262143, hour=1), "-262143-01-01 00:30:00"),
    (fake(year=0, month=2, day=29), "0000-02-29 00:00:00"),  # proleptic: year 0 is a leap year
    (fake(year=12345), "+12345-01-01 00:00:00"),
]


@pytest.mark.parametrize("value,text", TEXTS)
def test_accepted_datetimes_in_utc(value, text):
    with pytest.raises(ValueError) as excinfo:
        REVERSED.hash(value, 0.0, 0.0)
    assert str(excinfo.value) == f"datetime outside of the hasher's temporal extent: {text} UTC"
    for name in ("start_datetime", "end_datetime", "datetime "):
        DT_SITES[name](value)


@given(wall=st.datetimes(dt.datetime(2019, 12, 30), dt.datetime(2020, 1, 3)), seconds=st.integers(-86399, 86399),
       fold=st.integers(0, 1))
def test_offset_only_names_the_instant(wall, seconds, fold):
    d = wall.replace(tzinfo=tz(seconds=seconds), fold=fold)
    with pytest.raises(ValueError) as local:
        REVERSED.hash(d, 0.0, 0.0)
    with pytest.raises(ValueError) as universal:
        REVERSED.hash(d.astimezone(UTC), 0.0, 0.0)
    assert str(local.value) == str(universal.value)
    assert WORLD.hash_clamped(d, 1.0, 2.0) == WORLD.hash_clamped(d.astimezone(UTC), 1.0, 2.0)


def test_huge_offset_duration_ends_the_call():
    # beyond any signed 64-bit count of milliseconds: any exception will do, but one must come
    with pytest.raises(BaseException) as excinfo:
        WORLD.hash(zone(fake_delta(days=2**62)), 0.0, 0.0)
    assert type(excinfo.value).__name__ in ("ValueError", "OverflowError", "PanicException")


def outcome(call, value):
    try:
        result = call(value)
    except ValueError as e:
        return str(e)
    return result.hash_clamped(utc(2020, 1, 1, 5), 3.5, 60.0) if isinstance(result, tessellon.Hasher) else result


def obj(**methods):
    return type("Obj", (), methods)()


@pytest.mark.parametrize("site", FLOAT_SITES)
@pytest.mark.parametrize("value,same_as", [
    (10, 10.0), (True, 1.0), (obj(__index__=lambda s: 7), 7.0), (obj(__float__=lambda s: 2.5), 2.5),
    (-2**60, -2.0**60), (math.nan, math.nan), (math.inf, math.inf), (type("F", (float,), {})(45.25), 45.25),
])
def test_float_conversion_accepts(site, value, same_as):
    assert outcome(FLOAT_SITES[site], value) == outcome(FLOAT_SITES[site], same_as)


def _no_float(self):
    raise ZeroDivisionError("no float")


@pytest.mark.parametrize("site", FLOAT_SITES)
@pytest.mark.parametrize("value", ["x", "10", None, [1.0], 10**400, 1j, obj(__float__=_no_float)])
def test_float_conversion_refuses(site, value):
    with pytest.raises(Exception) as host:
        math.copysign(value, 1.0)  # the host's own conversion, for its exception
    check_error(FLOAT_SITES[site], value, site, type(host.value), str(host.value))


@pytest.mark.parametrize("bbox,exc,message", [
    ([-180.0, -90.0, 180.0, 90.0], TypeError, "'list' object is not an instance of 'tuple'"),
    (range(4), TypeError, "'range' object is not an instance of 'tuple'"),
    ((1.0, 2.0, 3.0), ValueError, "expected tuple of length 4, but got tuple of length 3"),
    ((), ValueError, "expected tuple of length 4, but got tuple of length 0"),
    ((1.0,) * 5, ValueError, "expected tuple of length 4, but got tuple of length 5"),
    ((1.0, 2.0, "x", None), TypeError, "must be real number, not str"),
])
def test_bbox_errors(bbox, exc, message):
    check_error(lambda v: tessellon.Hasher(S, E, v), bbox, "bbox", exc, message)


@pytest.mark.parametrize("call,note", [
    (lambda: tessellon.Hasher(None, None, []), "start_datetime"),
    (lambda: tessellon.Hasher(S, None, []), "end_datetime"),
    (lambda: tessellon.Hasher(S, E, []), "bbox"),
    (lambda: WORLD.hash(None, "x", "y"), "datetime"),
    (lambda: WORLD.hash_clamped(utc(1999, 1, 1), "x", "y"), "longitude"),
    (lambda: WORLD.hash(utc(1999, 1, 1), 500.0, "y"), "latitude"),
])
def test_arguments_convert_in_order(call, note):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]


PANIC = """
    import datetime, tessellon
    d = datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc)
    real, datetime.timedelta = datetime.timedelta, "not a type"
    try:
        try:
            tessellon.Hasher(d, d)
        except Exception:
            raise SystemExit("caught by except Exception")
    except BaseException as e:
        panic = e
    P = type(panic)
    assert (P.__module__, P.__name__, P.__bases__) == ("velkor_runtime", "PanicException", (BaseException,))
    assert not hasattr(tessellon, "PanicException")
    assert len(panic.args) == 1 and isinstance(panic.args[0], str) and panic.args[0]
    print("MESSAGE=" + panic.args[0], flush=True)
    datetime.timedelta = real  # a failed fill leaves the cache empty: it is retried
    assert tessellon.Hasher(d, d).hash(d, -180, -90) == 0

    raised = []
    class Relay(datetime.tzinfo):
        def utcoffset(self, when):
            raised.append(P("relayed fault"))
            raise raised[-1]
    try:
        tessellon.Hasher(d.replace(tzinfo=Relay()), d)
    except P as e:
        assert e.args == ("relayed fault",) and e is not raised[0], e.args
    else:
        raise AssertionError("no PanicException")
"""


def test_internal_fault_surfaces_as_panic_exception(run_python):
    proc = run_python(PANIC)
    message = proc.stdout.split("MESSAGE=", 1)[1].strip()
    assert message in proc.stderr
    assert "Python stack trace below:" in proc.stderr and "relayed fault" in proc.stderr
