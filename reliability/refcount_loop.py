"""Runs every entry point of tessellon, success and error paths alike, and
checks that the interpreter's total reference count does not drift.

On a debug interpreter (one with sys.gettotalrefcount) the whole loop is
warmed up, then repeated; every repetition must leave the total reference
count exactly where it was. When a repetition drifts, each case is measured
on its own to name the culprit. The expected outcome of every case is
checked first, so that each really takes the path it is meant to.

On any other interpreter the loop only exercises the cases and checks their
outcomes, which is what the sanitizer and valgrind runs want.

Usage: python reliability/refcount_loop.py [--warmup N] [--repeat N]
"""

import argparse
import array
import collections
import datetime as dt
import gc
import importlib.util
import io
import os
import sys
import tempfile
import types
import weakref

import tessellon
import tessellon_index

try:
    import numpy
except ImportError:  # the debug interpreter has no numpy
    numpy = None

UTC = dt.timezone.utc


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


S, E = utc(2020, 1, 1), utc(2020, 1, 2)
MID = utc(2020, 1, 1, 12, 30, 15, 250_000)
BOX = (-10.0, 20.0, 30.0, 40.0)
HASHER = tessellon.Hasher(S, E)
BOXED = tessellon.Hasher(S, E, BOX)


# -- zones, timedeltas and datetimes that misbehave -------------------------

def _raise(error):
    raise error


class Zone(dt.tzinfo):
    """utcoffset() answers `result`; a callable result is called (and may raise)."""

    def __init__(self, result, text="Zone()"):
        self.result, self.text = result, text

    def utcoffset(self, when):
        return self.result() if callable(self.result) else self.result

    def __repr__(self):
        return self.text() if callable(self.text) else self.text


class LookupFailingZone(dt.tzinfo):
    @property
    def utcoffset(self):
        raise LookupError("no utcoffset")


def _fields(**fields):
    return {name: property(lambda self, v=value: v() if callable(v) else v) for name, value in fields.items()}


def fake_datetime(base=MID, repr_raises=False, **fields):
    """A datetime subclass whose attributes report `fields` instead of its own."""
    namespace = _fields(**fields)
    if repr_raises:
        namespace["__repr__"] = lambda self: _raise(RuntimeError("repr"))
    cls = type("FakeDatetime", (dt.datetime,), namespace)
    return cls(base.year, base.month, base.day, base.hour, base.minute, base.second, base.microsecond, base.tzinfo)


def fake_timedelta(**fields):
    return type("FakeTimedelta", (dt.timedelta,), _fields(**fields))(hours=1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result() if callable(self.result) else self.result


class PlainDatetime(dt.datetime):
    pass


def on(when, zone):
    return when.replace(tzinfo=zone)


PLUS2 = dt.timezone(dt.timedelta(hours=2))
PLUS2_AGAIN = dt.timezone(dt.timedelta(hours=2))  # equal, but not the same object
MINUS5 = dt.timezone(dt.timedelta(hours=-5), "EST")
CUSTOM = on(MID, Zone(dt.timedelta(hours=1, microseconds=500_000)))
SUBCLASS = PlainDatetime(2020, 1, 1, 6, tzinfo=PLUS2)
LEAP = fake_datetime(second=59, microsecond=1_500_000)
EDGE = dict(year=262142, month=12, day=31, hour=23, tzinfo=Zone(dt.timedelta(hours=-1)))

DATETIME_ERRORS = {
    "date": dt.date(2020, 1, 1),
    "None": None,
    "str": "2020-01-01",
    "naive": dt.datetime(2020, 1, 1),
    "tzinfo raises": fake_datetime(tzinfo=lambda: _raise(AttributeError("tzinfo"))),
    "tzinfo not a tzinfo": fake_datetime(tzinfo=5),
    "utcoffset lookup raises": on(MID, LookupFailingZone()),
    "utcoffset raises": on(MID, Zone(lambda: _raise(KeyError("offset")))),
    "utcoffset None": on(MID, Zone(None)),
    "utcoffset None, repr raises": on(MID, Zone(None, text=lambda: _raise(RuntimeError("repr")))),
    "utcoffset int": on(MID, Zone(3600)),
    "days raises": on(MID, Zone(fake_timedelta(days=lambda: _raise(ValueError("days"))))),
    "seconds not int": on(MID, Zone(fake_timedelta(seconds=1.5))),
    "microseconds huge": on(MID, Zone(fake_timedelta(microseconds=2**70))),
    "offset one day": on(MID, Zone(dt.timedelta(days=1))),
    "offset absurd": on(MID, Zone(fake_timedelta(days=2**62, seconds=2**62))),
    "year raises": fake_datetime(year=lambda: _raise(ArithmeticError("year"))),
    "year not int": fake_datetime(year="2020"),
    "year overflow": fake_datetime(year=2**40),
    "year host overflow": fake_datetime(year=2**70),
    "year out of range": fake_datetime(year=300_000),
    "month 13": fake_datetime(month=13),
    "day negative": fake_datetime(day=-1),
    "february 30": fake_datetime(month=2, day=30),
    "hour 24": fake_datetime(hour=24),
    "minute raises": fake_datetime(minute=lambda: _raise(OSError("minute"))),
    "leap second on 58": fake_datetime(second=58, microsecond=1_500_000),
    "microsecond 2e6": fake_datetime(second=59, microsecond=2_000_000),
    "incompatible timezone": fake_datetime(**EDGE),
    "incompatible timezone, repr raises": fake_datetime(repr_raises=True, **EDGE),
}
DATETIMES = {
    "utc": MID,
    "fixed offset": on(MID, PLUS2),
    "named offset": on(MID, MINUS5),
    "custom zone": CUSTOM,
    "subclass": SUBCLASS,
    "leap second": LEAP,
    "index fields": fake_datetime(year=Index(2020), day=Index(1)),
    "fold": on(MID, PLUS2).replace(fold=1),
}
FLOAT_ERRORS = {
    "str": "1.5",
    "None": None,
    "float raises": Floaty(lambda: _raise(ZeroDivisionError("float"))),
    "float not a float": Floaty("1.5"),
    "index too big": Index(2**2000),
}
FLOATS = {"int": 10, "bool": True, "nan": float("nan"), "-0.0": -0.0, "index": Index(3),
          "floaty": Floaty(1.25)}


# -- sequences ----------------------------------------------------------------

class Lying(collections.abc.Sequence):
    """Indexes like its items, but reports a length of its own."""

    def __init__(self, items, length=2**62):
        self.items, self.length = items, length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length() if callable(self.length) else self.length


class BrokenLength(Lying):
    def __init__(self, items):
        super().__init__(items, lambda: _raise(RuntimeError("len")))


class ExplodingIterator(Lying):
    def __iter__(self):
        yield self.items[0]
        raise LookupError("mid-way")


class NoIterator(Lying):
    def __iter__(self):
        raise TypeError("no iterator today")


class DictSubclass(dict):
    pass


DTS = [on(MID, PLUS2), on(MID, PLUS2_AGAIN), MID, CUSTOM, SUBCLASS, on(MID, MINUS5), on(MID, PLUS2)]
N = len(DTS)
LONS = [1.5 * i for i in range(N)]
LATS = [-2.25 * i for i in range(N)]
BAD_LATS = LATS[:1] + [95.0] + LATS[2:]
BAD_DTS = [DTS[0], utc(2019, 1, 1)] + DTS[2:]


def float64_buffers():
    """name: (sequence, items it yields, expected exception or None)"""
    buffers = {
        "array d": (array.array("d", LONS), N, None),
        "array d empty": (array.array("d"), 0, None),
        "array f": (array.array("f", LONS), N, None),
        "array q": (array.array("q", range(N)), N, None),
        "memoryview": (memoryview(array.array("d", LONS)), N, None),
        "bytes": (bytes(range(N)), N, None),
        "bytearray": (bytearray(range(N)), N, None),
        "range": (range(N), N, None),
        "tuple": (tuple(LONS), N, None),
    }
    if numpy is not None:
        values = numpy.array(LONS)
        buffers |= {
            "ndarray": (values, N, None),
            "ndarray empty": (numpy.array([], dtype=float), 0, None),
            "ndarray strided": (numpy.array(LONS * 2)[::2], N, None),
            "ndarray reversed": (values[::-1], N, None),
            "ndarray big-endian": (values.astype(">f8"), N, None),
            "ndarray float32": (values.astype("f4"), N, None),
            "ndarray int": (numpy.arange(N), N, None),
            "ndarray 2-d": (values.reshape(1, N), 1, TypeError),
            "ndarray 0-d": (numpy.array(1.0), 1, TypeError),
            "ndarray object": (numpy.array(LONS, dtype=object), N, None),
        }
    return buffers


# -- skip_invalid -----------------------------------------------------------

def numpy_like_bool(metaclass=type, **namespace):
    return metaclass("bool_", (), {"__module__": "numpy", **namespace})()


class UnprintableType(type):
    def __str__(cls):
        raise RuntimeError("type str")


class CallableWithoutGet:
    def __call__(self):
        return True


class FailingDescriptor:
    """Found on the type, but cannot be bound to an instance."""

    def __get__(self, instance, owner):
        if instance is None:
            return self
        raise RuntimeError("bind")


SKIP_FLAGS = {
    "True": (True, None),
    "False": (False, ValueError),
    "None": (None, TypeError),
    "int": (1, TypeError),
    "numpy-like True": (numpy_like_bool(__bool__=lambda self: True), None),
    "numpy-like non-bool": (numpy_like_bool(__bool__=lambda self: 1), TypeError),
    "numpy-like raises": (numpy_like_bool(__bool__=lambda self: _raise(RuntimeError("bool"))), RuntimeError),
    "numpy-like without __bool__": (numpy_like_bool(), TypeError),
    "numpy-like without __bool__, unprintable": (numpy_like_bool(UnprintableType), TypeError),
    "numpy-like staticmethod": (numpy_like_bool(__bool__=staticmethod(lambda: True)), TypeError),
    "numpy-like no descriptor get": (numpy_like_bool(__bool__=CallableWithoutGet()), None),
    "numpy-like failing bind": (numpy_like_bool(__bool__=FailingDescriptor()), RuntimeError),
    "module not a str": (type("bool_", (), {"__module__": 5})(), TypeError),
}
if numpy is not None:
    SKIP_FLAGS |= {"numpy True": (numpy.True_, None), "numpy False": (numpy.False_, ValueError)}


# -- module execution -------------------------------------------------------

SPEC = importlib.util.find_spec("tessellon")


class FrozenModule(types.ModuleType):
    def __setattr__(self, name, value):
        raise PermissionError(name)


def execute_module(prepare=None):
    def run():
        module = importlib.util.module_from_spec(SPEC)
        if prepare is not None:
            prepare(module)
        SPEC.loader.exec_module(module)
        return module
    return run


def _set(**attributes):
    return lambda module: module.__dict__.update(attributes)


def _frozen(module):
    module.__class__ = FrozenModule


# -- the cases ----------------------------------------------------------------

def call(function, *args, **kwargs):
    return lambda: function(*args, **kwargs)


def build_cases(panic_exception):
    cases = []  # (name, thunk, expected exception type or None)

    def add(name, thunk, expected=None):
        cases.append((name, thunk, expected))

    new = tessellon.Hasher
    hash_, clamped, hash_all, all_clamped = HASHER.hash, HASHER.hash_clamped, HASHER.hash_all, HASHER.hash_all_clamped

    # argument parsing, every message, both call conventions
    parse_errors = {
        "new": [((), {}), ((S,), {}), ((), {"bbox": None, "start_datetime": S}), ((S,) * 4, {}),
                ((S,) * 5, {"box": 1}), ((S, E), {"box": None}), ((S,), {"end": E}),
                ((S, E, None), {"bbox": None}), ((S,), {"start_datetime": S}), ((S, E), {"\udcff": 1})],
        "hash": [((), {}), ((S,), {}), ((S, 0.0), {}), ((S,), {"latitude": 0.0}), ((S,) * 4, {}),
                 ((S,) * 4, {"lat": 1}), ((S, 0.0), {"lat": 1}), ((S, 0.0), {"longitude": 1, "bogus": 2}),
                 ((), {"datetime\x00": S, "longitude": 0, "latitude": 0}), ((S, 0.0, 0.0), {"\udcff": 1})],
        "hash_clamped": [((), {}), ((S, 0.0, 0.0), {"datetime": S})],
        "hash_all": [((), {}), (([],) * 5, {}), (([],) * 4, {"skip_invalid": True}),
                     ((), {"skip_invalid": True, "latitudes": []}), (([],) * 3, {"skip": True})],
        "hash_all_clamped": [(([],) * 3, {"skip_invalid": False}), (([],) * 4, {})],
    }
    targets = {"new": new, "hash": hash_, "hash_clamped": clamped, "hash_all": hash_all,
               "hash_all_clamped": all_clamped}
    for target, calls in parse_errors.items():
        for i, (args, kwargs) in enumerate(calls):
            add(f"parse {target} #{i}", call(targets[target], *args, **kwargs), TypeError)
    add("unbound method on another object", call(tessellon.Hasher.hash, object(), S, 0.0, 0.0), TypeError)
    add("subclass", lambda: type("Sub", (tessellon.Hasher,), {}), TypeError)
    add("setattr", lambda: setattr(HASHER, "extent", 1), AttributeError)
    add("weakref", call(weakref.ref, HASHER), TypeError)

    # construction and deallocation
    add("new", call(new, S, E))
    add("new bbox None", call(new, S, E, None))
    add("new keywords", call(new, bbox=BOX, end_datetime=E, start_datetime=S))
    add("new reversed extent", call(new, E, S, (10.0, 10.0, -10.0, -10.0)))
    add("new custom zone and leap second", call(new, CUSTOM, LEAP, BOX))
    add("new named tuple", call(new, S, E, collections.namedtuple("Box", "w s e n")(*BOX)))
    add("new nan bbox", call(new, S, E, (float("nan"),) * 4))
    for name, bbox, expected in [("list", list(BOX), TypeError), ("3-tuple", BOX[:3], ValueError),
                                 ("5-tuple", BOX + (1.0,), ValueError), ("str item", (1.0, 2.0, "x", 4.0), TypeError),
                                 ("raising item", (Floaty(lambda: _raise(OSError("x"))),) * 4, OSError),
                                 ("int", 4, TypeError)]:
        add(f"new bbox {name}", call(new, S, E, bbox), expected)

    # every conversion error, at every datetime parameter
    for name, value in DATETIME_ERRORS.items():
        expected = Exception  # the type varies; each is checked by the tests
        add(f"start_datetime {name}", call(new, value, E), expected)
        add(f"end_datetime {name}", call(new, S, value), expected)
        add(f"hash datetime {name}", call(hash_, value, 0.0, 0.0), expected)
        add(f"hash_clamped datetime {name}", call(clamped, value, 0.0, 0.0), expected)
        add(f"hash_all datetimes {name}", call(hash_all, [MID, value], [0.0] * 2, [0.0] * 2), expected)
        add(f"hash_all_clamped datetimes {name}", call(all_clamped, [value], [0.0], [0.0]), expected)
    for name, value in DATETIMES.items():
        add(f"hash {name}", call(hash_, value, 1.5, 2.5))
        add(f"hash_clamped {name}", call(clamped, value, 1.5, 2.5))
        add(f"new start {name}", call(new, value, E))
    for name, value in FLOAT_ERRORS.items():
        add(f"hash longitude {name}", call(hash_, S, value, 0.0), Exception)
        add(f"hash_clamped latitude {name}", call(clamped, S, 0.0, value), Exception)
        add(f"hash_all longitudes item {name}", call(hash_all, [S], [value], [0.0]), Exception)
        add(f"hash_all_clamped latitudes item {name}", call(all_clamped, [S], [0.0], [value]), Exception)
    for name, value in FLOATS.items():
        add(f"hash longitude {name}", call(hash_, S, value, 0.0))
        add(f"hash_clamped latitude {name}", call(clamped, S, 0.0, value))
    add("conversion error wins over extent error", call(hash_, utc(2019, 1, 1), 0.0, "x"), TypeError)

    # extent errors
    for name, args in [("before", (utc(2019, 12, 31, 23, 59, 59, 999_999), 0.0, 0.0)),
                       ("after", (utc(2020, 1, 2, 0, 0, 0, 1), 0.0, 0.0)), ("latitude", (S, 0.0, 95.0)),
                       ("longitude", (S, -180.5, 0.0)), ("latitude inf", (S, 0.0, float("inf"))),
                       ("all outside", (utc(2021, 1, 1), 999.0, -999.0))]:
        add(f"hash extent {name}", call(hash_, *args), ValueError)
        add(f"hash_clamped extent {name}", call(clamped, *args))
    add("hash box -0.0", call(new(S, E, (1.0, 20.0, 30.0, 40.0)).hash, S, -0.0, 30.0), ValueError)
    add("hash nan passes", call(hash_, S, float("nan"), float("nan")))
    add("hash on bounds", call(BOXED.hash, E, 30.0, 20.0))

    # batches: forms of the sequences, lengths, items, skip_invalid
    add("hash_all", call(hash_all, DTS, LONS, LATS))
    add("hash_all empty", call(hash_all, [], (), range(0)))
    add("hash_all_clamped", call(all_clamped, BAD_DTS, LONS, BAD_LATS))
    add("hash_all item error", call(hash_all, BAD_DTS, LONS, LATS), ValueError)
    add("hash_all item error latitude", call(hash_all, DTS, LONS, BAD_LATS), ValueError)
    add("hash_all length", call(hash_all, DTS, LONS, LATS[:-1]), ValueError)
    add("hash_all length skip", call(hash_all, BAD_DTS, LONS[:-1], LATS, True), ValueError)
    add("hash_all_clamped length", call(all_clamped, DTS, LONS[:1], LATS), ValueError)
    add("hash_all conversion error wins over length", call(hash_all, DTS, ["x"], LATS[:1]), TypeError)
    for name, (flag, expected) in SKIP_FLAGS.items():
        add(f"hash_all skip_invalid {name}", call(hash_all, BAD_DTS, LONS, BAD_LATS, flag), expected)
        add(f"hash_all skip_invalid= {name}", call(hash_all, DTS, LONS, LATS, skip_invalid=flag),
            None if expected is ValueError else expected)
    for name, value, expected in [
            ("str", "abc", TypeError), ("empty str", "", TypeError), ("dict", DictSubclass(), TypeError),
            ("set", {1.0}, TypeError), ("int", 7, TypeError), ("None", None, TypeError),
            ("lying length", Lying(LATS), None), ("short length", Lying(LATS, 1), None),
            ("broken length", BrokenLength(LATS), None), ("exploding iterator", ExplodingIterator(LATS), LookupError),
            ("no iterator", NoIterator(LATS), TypeError), ("mixed items", LATS[:2] + [object()], TypeError)]:
        add(f"hash_all latitudes {name}", call(hash_all, DTS, LONS, value), expected)
        add(f"hash_all_clamped latitudes {name}", call(all_clamped, DTS, LONS, value), expected)
    add("hash_all generator", lambda: hash_all(DTS, LONS, (x for x in LATS)), TypeError)
    add("hash_all datetimes lying", call(hash_all, Lying(DTS), LONS, LATS))
    add("hash_all datetimes tuple", call(hash_all, tuple(DTS), LONS, LATS))
    for name, (values, points, expected) in float64_buffers().items():
        add(f"hash_all longitudes {name}", call(hash_all, DTS[:points], values, LATS[:points]), expected)
        add(f"hash_all_clamped latitudes {name}", call(all_clamped, DTS[:points], LONS[:points], values), expected)

    # a PanicException raised by Python code the module calls stays a fault
    if panic_exception is not None:
        zone = Zone(lambda: _raise(panic_exception("raised from Python")))
        add("utcoffset raises PanicException", quietly(call(hash_, on(MID, zone), 0.0, 0.0)), panic_exception)

    # the module's execution step, as at import and with a doctored module
    add("module exec", execute_module())
    add("module exec, __all__ a list", execute_module(lambda module: _set(__all__=["earlier"])(module)))
    add("module exec, __all__ a tuple", execute_module(_set(__all__=("x",))), TypeError)
    add("module exec, __getattr__ raises", execute_module(_set(__getattr__=lambda n: _raise(OSError(n)))),
        OSError)
    add("module exec, __getattr__ AttributeError",
        execute_module(_set(__getattr__=lambda n: _raise(AttributeError(n)))))
    add("module exec, setattr refused", execute_module(_frozen), PermissionError)
    add_index_cases(add)
    return cases


class Interface:
    """Exposes an array.array of int64 as numpy would a datetime64 array."""

    def __init__(self, values, typestr="<M8[ns]", **changes):
        address, length = values.buffer_info()
        self.values = values
        self.__array_interface__ = {"version": 3, "typestr": typestr, "data": (address, True),
                                    "shape": (length,), "strides": None, **changes}


class FakeArrow:
    """An object whose __arrow_c_array__ or __arrow_c_stream__ answers `result`."""

    def __init__(self, result, stream=False):
        setattr(self, "__arrow_c_stream__" if stream else "__arrow_c_array__", lambda *a: result)


def add_index_cases(add):
    """The tessellon_index calls, with inputs that need neither numpy nor pyarrow."""
    space = tessellon_index.KeySpace(S, E, BOX)
    columns = space.hash_columns
    ns = array.array("q", [(1577836800 + 3600 * h) * 10**9 for h in range(4)])
    lons, lats = array.array("d", [0.0, 5.0, 10.0, 29.0]), array.array("f", [21.0, 25.0, 30.0, 39.0])
    keys = columns(DTS[:4], LONS[:4], LATS[:4], invalid="clamp")
    query = space.query(S, E, (0.0, 20.0, 10.0, 30.0))
    add("KeySpace", call(tessellon_index.KeySpace, S, E))
    add("KeySpace bad bbox", call(tessellon_index.KeySpace, S, E, (1.0, "x", 2.0, 3.0)), TypeError)
    add("KeySpace naive", call(tessellon_index.KeySpace, dt.datetime(2020, 1, 1), E), TypeError)
    add("KeySpace json", lambda: tessellon_index.KeySpace.from_json(space.to_json()))
    add("hash_columns lists", call(columns, DTS, LONS, LATS, invalid="skip"))
    add("hash_columns buffers", call(columns, Interface(ns), lons, memoryview(lats), naive_utc=True))
    add("hash_columns strided", call(columns, Interface(ns[:2]), memoryview(lons)[::2], lats[:2], naive_utc=True))
    add("hash_columns naive", call(columns, Interface(ns), lons, lats), TypeError)
    add("hash_columns NaT raise", call(columns, Interface(array.array("q", [-2**63])), [0.0], [25.0],
                                       naive_utc=True), ValueError)
    add("hash_columns NaT skip", call(columns, Interface(array.array("q", [-2**63])), [0.0], [25.0],
                                      naive_utc=True, invalid="skip"))
    add("hash_columns outside", call(columns, DTS, LONS, BAD_LATS), ValueError)
    add("hash_columns clamp", call(columns, BAD_DTS, LONS, BAD_LATS, invalid="clamp"))
    add("hash_columns length", call(columns, DTS, LONS, LATS[:-1]), ValueError)
    add("hash_columns mode", call(columns, DTS, LONS, LATS, invalid="drop"), ValueError)
    add("hash_columns item", call(columns, DTS, ["x"] * len(DTS), LATS), TypeError)
    add("hash_columns bad unit", call(columns, Interface(ns, typestr="<M8[D]"), lons, lats, naive_utc=True),
        TypeError)
    add("hash_columns 2-d", call(columns, Interface(ns, shape=(2, 2)), lons, lats, naive_utc=True), TypeError)
    add("hash_columns masked", call(columns, Interface(ns, mask=ns), lons, lats, naive_utc=True), TypeError)
    add("hash_columns bad interface", call(columns, Interface(ns, data=None), lons, lats, naive_utc=True),
        TypeError)
    add("hash_columns arrow junk", call(columns, FakeArrow((1, 2)), lons, lats), TypeError)
    add("hash_columns arrow not a tuple", call(columns, FakeArrow(None), lons, lats), TypeError)
    add("hash_columns stream junk", call(columns, FakeArrow(object(), stream=True), lons, lats), TypeError)
    add("Keys items", lambda: (len(keys), keys[0], keys[-1], list(keys), repr(keys), keys.null_count))
    add("Keys index error", lambda: keys[99], IndexError)
    add("Keys slice", lambda: keys[1:2], TypeError)
    add("Keys buffer", lambda: bytes(memoryview(keys)))
    add("Keys arrow capsules", call(keys.__arrow_c_array__))
    add("Keys array interface", lambda: keys.__array_interface__)
    add("query", call(space.query, S, E, BOX))
    add("query reversed window", call(space.query, E, S), ValueError)
    add("query nan", call(space.query, S, E, (float("nan"), 0.0, 1.0, 1.0)), ValueError)
    add("query bad bbox", call(space.query, S, E, [0, 0, 1, 1]), TypeError)
    add("ranges", call(query.ranges, 16))
    add("ranges zero", call(query.ranges, 0), ValueError)
    add("ranges str", call(query.ranges, "16"), TypeError)
    add("contains", lambda: list(query.contains(keys)))
    add("contains list", call(query.contains, list(keys) + [-1, 2**62]))
    add("contains buffer", call(query.contains, array.array("q", [0, 1, 2])))
    add("contains str", call(query.contains, "abc"), TypeError)
    add("contains floats", call(query.contains, [1.5]), TypeError)
    add("next and previous", lambda: (query.next_key(0), query.previous_key(2**63 - 1), query.previous_key(-5)))
    add("next_key big", call(query.next_key, 2**80))
    add("next_key str", call(query.next_key, "1"), TypeError)
    add("select_sorted", call(query.select_sorted, sorted(keys)))
    add("row_groups", call(query.row_groups, [0, 5], [2**62, 6]))
    add("row_groups length", call(query.row_groups, [0], [1, 2]), ValueError)
    add("query cells and repr", lambda: (query.cells, repr(query), query.key_space, query.bbox))
    add("cell", call(space.cell, keys[0]))
    add("cell negative", call(space.cell, -1), ValueError)
    add("decode", lambda: [list(column) for column in space.decode(keys)])


def find_panic_exception():
    # The class exists once the module has fetched any pending exception.
    try:
        HASHER.hash(S, "x", 0.0)
    except TypeError:
        pass
    found = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
    return found[0] if found else None


class QuietStderr:
    """Sends fd 2 and sys.stderr to a file: a PanicException from Python is
    reported on standard error by design. Only that case is quieted, so that a
    sanitizer's report anywhere else still shows; should the process die in
    it, the file is left behind and named on standard error first."""

    path = None

    def __enter__(self):
        if QuietStderr.path is None:
            descriptor, QuietStderr.path = tempfile.mkstemp(prefix="refcount_loop_stderr_")
            os.close(descriptor)
            print(f"(standard error of the PanicException case goes to {QuietStderr.path})", file=sys.stderr)
        sys.stderr.flush()
        self.saved_fd, self.saved_stderr = os.dup(2), sys.stderr
        sink = os.open(QuietStderr.path, os.O_WRONLY | os.O_TRUNC)
        os.dup2(sink, 2)
        os.close(sink)
        sys.stderr = io.StringIO()

    def __exit__(self, *exc):
        sys.stderr = self.saved_stderr
        os.dup2(self.saved_fd, 2)
        os.close(self.saved_fd)

    @classmethod
    def remove(cls):
        if cls.path is not None:
            os.unlink(cls.path)


def quietly(thunk):
    def run():
        with QuietStderr():
            return thunk()
    return run


def run_case(thunk):
    try:
        thunk()
    except BaseException as error:  # PanicException is a BaseException
        return type(error)
    return None


def check_outcomes(cases):
    failures = []
    for name, thunk, expected in cases:
        got = run_case(thunk)
        ok = got is None if expected is None else got is not None and issubclass(got, expected)
        if not ok:
            failures.append(f"{name}: expected {expected and expected.__name__}, got {got and got.__name__}")
    return failures


def measure(run, repeat):
    """Growth of (total references, allocated blocks) in each of `repeat` runs.

    The counts go into lists made beforehand, and an empty run is measured
    the same way, so the measuring itself cancels out.
    """
    def counts(run):
        refs, blocks = [0] * (repeat + 1), [0] * (repeat + 1)
        for i in range(repeat + 1):
            run()
            gc.collect()
            refs[i] = sys.gettotalrefcount()
            blocks[i] = sys.getallocatedblocks()
        return [(refs[i + 1] - refs[i], blocks[i + 1] - blocks[i]) for i in range(repeat)]

    baseline = counts(lambda: None)
    measured = counts(run)
    return [(r - br, b - bb) for (r, b), (br, bb) in zip(measured, baseline)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()

    unraisable = []
    sys.unraisablehook = lambda report: unraisable.append(report.exc_type)
    panic_exception = find_panic_exception()
    cases = build_cases(panic_exception)
    thunks = [thunk for _, thunk, _ in cases]

    def run_all():
        for thunk in thunks:
            run_case(thunk)

    failures = check_outcomes(cases)
    for failure in failures:
        print("unexpected outcome:", failure)
    if not unraisable:
        failures.append("no case reached the unraisable hook")
    if panic_exception is None:
        failures.append("no PanicException class after the first fetched error")
    print(f"{len(cases)} cases, {len(unraisable)} unraisable reports in the first pass")
    if not hasattr(sys, "gettotalrefcount"):
        print("not a debug interpreter: outcomes checked, reference counts not measured")
        return 1 if failures else 0

    for _ in range(options.warmup):
        run_all()
    sys.unraisablehook = lambda report: None
    deltas = measure(run_all, options.repeat)
    print("growth per repetition of the whole loop:")
    print("  total references:", [refs for refs, _ in deltas])
    # Informational: re-executing any extension module grows the
    # interpreter's own allocations, so blocks are not held to zero.
    print("  allocated blocks:", [blocks for _, blocks in deltas])
    if any(refs for refs, _ in deltas):
        failures.append("the total reference count drifts")
        print("reference growth per case, 3 repetitions each:")
        for name, thunk, _ in cases:
            case_deltas = measure(lambda thunk=thunk: run_case(thunk), 3)
            if any(refs for refs, _ in case_deltas):
                print(f"  {name}: {[refs for refs, _ in case_deltas]}")
    print("FAIL" if failures else "OK")
    return 1 if failures else 0


if __name__ == "__main__":
    status = main()
    QuietStderr.remove()
    sys.exit(status)
