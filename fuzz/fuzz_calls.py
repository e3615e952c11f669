"""Turns fuzzer bytes into hostile calls of tessellon.Hasher and its methods.

A run fails on a crash or sanitizer report (the process dies), on SystemError,
on PanicException we did not provoke, on any exception outside the ordinary
set, on a leaked argument reference, and on a key that differs from
tests/reference_model.py where every input is plain.

    python fuzz/fuzz_calls.py [libFuzzer flags] [corpus dirs | files]
"""

import array
import datetime as dt
import math
import os
import sys
import warnings

import atheris

with atheris.instrument_imports():
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import reference_model

import numpy as np

import tessellon
import tessellon_index

UTC = dt.timezone.utc
MAX_ITEMS = 48
warnings.simplefilter("ignore")  # numpy's and float()'s deprecations are not our business


class Hostile(Exception):
    """Raised on purpose by a hostile object."""


class HostileBase(BaseException):
    """Raised on purpose, outside the Exception hierarchy."""


class HostileNoted(Hostile):
    def add_note(self, note):
        raise Hostile("no notes")


def _panic_class():
    # The class is made on first need; a datetime module without its types is
    # a broken environment, which the module reports as an internal fault.
    real = sys.modules["datetime"]
    sys.modules["datetime"] = type(sys)("datetime")
    try:
        tessellon.Hasher(None, None)
    except BaseException as exc:  # noqa: B036 - that is the point
        cls = type(exc)
    finally:
        sys.modules["datetime"] = real
    assert cls.__name__ == "PanicException", cls
    return cls


sys.stderr.write(f"fuzzing {tessellon.__file__}\n"
                 "(an internal fault report follows: that is the fuzzer fetching the PanicException class)\n")
PanicException = _panic_class()
PANIC_MARK = "hostile panic"

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, Hostile, HostileBase)

START, END = dt.datetime(2020, 1, 1, tzinfo=UTC), dt.datetime(2020, 1, 2, tzinfo=UTC)
H = tessellon.Hasher(START, END)
sys.unraisablehook = lambda unraisable: None  # hostile __repr__ failures are reported so; not ours to print
depth = [0]


# --- hostile building blocks; `plan` is a (kind, value) pair -----------------

def act(plan):
    kind, value = plan
    if kind == "value":
        return value
    if kind == "raise":
        cls, message = value
        raise cls(message)  # a fresh exception, so none outlives its call
    if kind == "reenter":  # call the module from inside a call of the module
        if depth[0] < 3:
            depth[0] += 1
            try:
                call_quietly(value)
            finally:
                depth[0] -= 1
        return act(("value", dt.timedelta(hours=1)))
    raise AssertionError(plan)


def call_quietly(fn):
    try:
        fn()
    except ALLOWED:
        pass


class IndexLike:
    def __init__(self, plan):
        self.plan = plan

    def __index__(self):
        return act(self.plan)


class FloatLike:
    def __init__(self, plan):
        self.plan = plan

    def __float__(self):
        return act(self.plan)


class OddDelta(dt.timedelta):
    def __new__(cls, plans):
        self = super().__new__(cls, hours=1)
        self.plans = plans
        return self

    days = property(lambda s: act(s.plans[0]))
    seconds = property(lambda s: act(s.plans[1]))
    microseconds = property(lambda s: act(s.plans[2]))


class OddTz(dt.tzinfo):
    def __init__(self, plan, repr_plan=("value", "OddTz()")):
        self.plan, self.repr_plan = plan, repr_plan

    def utcoffset(self, d):
        return act(self.plan)

    def __repr__(self):
        return act(self.repr_plan)


class NotCallableUtcoffset(dt.tzinfo):
    utcoffset = 5


class RaisingUtcoffsetLookup(dt.tzinfo):
    @property
    def utcoffset(self):
        raise Hostile("utcoffset lookup")


FIELDS = ("year", "month", "day", "hour", "minute", "second", "microsecond", "tzinfo")


class OddDatetime(dt.datetime):
    def __new__(cls, base, plans, repr_plan):
        self = super().__new__(cls, base.year, base.month, base.day, base.hour, base.minute, base.second,
                               base.microsecond, base.tzinfo)
        self.plans, self.repr_plan = plans, repr_plan
        return self

    def __repr__(self):
        return act(self.repr_plan)


for _name in FIELDS:
    setattr(OddDatetime, _name, property(
        lambda s, n=_name: act(s.plans[n]) if n in s.plans else getattr(dt.datetime, n).__get__(s)))


class OddSeq:
    """Item access only; __len__ lies or fails as planned."""

    def __init__(self, items, len_plan, fail_at=None):
        self.items, self.len_plan, self.fail_at = items, len_plan, fail_at

    def __len__(self):
        return act(self.len_plan)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Hostile("item")
        return self.items[i]


class OddIterSeq(OddSeq):
    def __init__(self, items, len_plan, iter_plan):
        super().__init__(items, len_plan)
        self.iter_plan = iter_plan

    def __iter__(self):
        kind = self.iter_plan
        if kind == "raise":
            raise Hostile("iter")
        if kind == "not an iterator":
            return 42
        return self._gen(kind)

    def _gen(self, kind):
        for i, item in enumerate(self.items):
            if kind == "reenter" and depth[0] < 3:
                depth[0] += 1
                try:
                    call_quietly(lambda: H.hash_all([START], [0.0], [0.0]))
                finally:
                    depth[0] -= 1
            if kind == "raise mid-way" and i == len(self.items) // 2:
                raise Hostile("mid-way")
            yield item


class OddList(list):
    """A real list whose __len__ lies or fails as planned."""

    def __len__(self):
        return act(self.len_plan)


class OddTuple(tuple):
    def __len__(self):
        return act(self.len_plan)


class FakeNumpyBool:
    """Poses as numpy's boolean by the names the module checks."""

    def __init__(self, plan):
        self.plan = plan

    def __bool__(self):
        return act(self.plan)


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
NoBoolNumpy = type("bool", (), {"__module__": "numpy"})


class OddStr(str):
    def __str__(self):
        raise Hostile("str")


# --- turning bytes into values --------------------------------------------

HUGE_INTS = [2**31 - 1, 2**31, -2**31 - 1, 2**32, 2**63 - 1, 2**63, -2**63, 2**64, 10**30, -10**30, -1, 0]


class Gen:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.hasher, self.model_hasher = H, MODEL_H
        self.tame, self.batch_len = False, None

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def int_(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def raise_plan(self):
        kinds = [(Hostile, "planned")] * 5 + [(HostileNoted, "noted"), (HostileBase, "base")] * 2
        # rarely: each one prints a report with a traceback
        return ("raise", self.pick(kinds + [(PanicException, PANIC_MARK)]))

    def odd_int(self):
        """An odd attribute value where an integer is expected."""
        choice = self.int_(0, 9)
        if choice == 0:
            return self.pick(HUGE_INTS)
        if choice == 1:
            return self.fdp.ConsumeInt(self.int_(1, 12))
        if choice == 2:
            return IndexLike(("value", self.pick(HUGE_INTS + [5, "x", 1.5])))
        if choice == 3:
            return IndexLike(self.raise_plan())
        if choice == 4:
            return self.pick([1.5, "7", None, True, b"1", np.int64(3), np.float64(3.0), object()])
        return self.int_(-2, 2_000_000)

    def value_plan(self, make):
        if self.chance(15):
            return self.raise_plan()
        return ("value", make())

    def timedelta(self):
        """What utcoffset() returns; plain when a genuine timedelta."""
        choice = self.int_(0, 3 if self.tame else 7)
        if choice <= 3:
            return dt.timedelta(seconds=self.int_(-90_000, 90_000), microseconds=self.int_(-999_999, 999_999)), True
        if choice == 4:
            return OddDelta(tuple(self.value_plan(self.odd_int) for _ in range(3))), False
        return self.pick([None, 5, 3600.0, "01:00", dt.timedelta.max, dt.timedelta.min, object()]), False

    def tzinfo(self):
        choice = self.int_(0, 6 if self.tame else 9)
        if choice <= 3:
            return dt.timezone(dt.timedelta(minutes=self.int_(-1439, 1439))), True
        if choice == 4:
            return UTC, True
        if choice <= 7:
            offset, plain = self.timedelta()
            repr_plan = ("value", "OddTz()") if self.tame or self.chance(70) else self.raise_plan()
            if self.tame:
                return OddTz(("value", offset), repr_plan), plain
            if self.chance(10):
                other = self.call(nested=True)
                return OddTz(("reenter", other), repr_plan), False
            if self.chance(10):
                return OddTz(self.raise_plan(), repr_plan), False
            return OddTz(("value", offset), repr_plan), plain
        return self.pick([NotCallableUtcoffset(), RaisingUtcoffsetLookup(), None, object(), "UTC"]), False

    def datetime(self):
        choice = self.int_(0, 8 if self.tame else 11)
        if choice >= 9:
            return self.pick([None, 0, "2020-01-01", dt.date(2020, 1, 1), dt.datetime(2020, 1, 1), START,
                              np.datetime64("2020-01-01"), object()]), False
        tz, plain = self.tzinfo()
        base = dt.datetime(self.int_(1, 9999), self.int_(1, 12), self.int_(1, 28), self.int_(0, 23),
                           self.int_(0, 59), self.int_(0, 59), self.pick([0, 500_000, self.int_(0, 999_999)]),
                           tzinfo=tz if isinstance(tz, dt.tzinfo) else UTC)
        if choice <= 4:
            if not isinstance(tz, dt.tzinfo):
                return base.replace(tzinfo=None), False  # naive
            return base, plain
        # A subclass whose attributes report what the plan says.
        plans = {}
        for name in FIELDS:
            if self.tame and name in ("year", "microsecond") and self.chance(50):
                plans[name] = ("value", self.pick([-262143, 262142, 0, 10000]) if name == "year" else
                               self.int_(1_000_000, 1_999_999))
                if name == "microsecond":
                    plans["second"] = ("value", 59)
            elif self.tame:
                continue
            elif self.chance(25):
                if name == "tzinfo":
                    plans[name] = self.value_plan(lambda: tz)
                elif name == "year" and self.chance(40):
                    plans[name] = ("value", self.pick([-262143, 262142, -262144, 262143, 0, -1, 10000]))
                elif name == "microsecond" and self.chance(50):
                    plans[name] = ("value", self.int_(999_999, 2_000_001))
                    plans["second"] = ("value", 59)
                else:
                    plans[name] = self.value_plan(self.odd_int)
        repr_plan = ("value", "OddDatetime()") if self.tame or self.chance(70) else self.raise_plan()
        value = OddDatetime(base, plans, repr_plan)
        plain = plain and repr_plan[0] == "value" and all(k == "value" and (n == "tzinfo" or type(v) is int and -2**63 <= v < 2**63)
                              for n, (k, v) in plans.items())
        return value, plain

    def number(self):
        choice = self.int_(0, 6 if self.tame else 12)
        if choice <= 4:
            return self.fdp.ConsumeRegularFloat() if choice < 3 else self.fdp.ConsumeFloat(), True
        if choice == 5:
            return self.pick([math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324, 2.2250738585072014e-308,
                              -0.0, 1.7976931348623157e308, 90.0, -90.0, 180.0, -180.0]), True
        if choice == 6:
            return self.pick(HUGE_INTS + [True, False, 10**400]), True
        if choice == 7:
            return FloatLike(self.value_plan(lambda: self.pick([1.5, math.nan, "x", None, 10**400, np.float32(2)]))), False
        if choice == 8:
            return IndexLike(self.value_plan(lambda: self.pick(HUGE_INTS + [10**400, 1.5]))), False
        return self.pick([None, "1.5", b"", [], np.float64(3.5), np.bool_(True), np.int8(-3), np.array(2.0),
                          np.array([1.0]), np.longdouble(1.5), complex(1, 0), object()]), False

    def items(self, make):
        if self.batch_len is not None:
            n = self.batch_len
        else:
            n = self.int_(0, MAX_ITEMS) if self.chance(80) else self.int_(0, 3)
        # plain items often, so that the sequence itself is what is odd
        tame, self.tame = self.tame, self.tame or self.chance(50)
        values = [make() for _ in range(n)]
        self.tame = tame
        return [v for v, _ in values], all(p for _, p in values)

    def sequence(self, make):
        # The shape first, items last: once the data runs out, every choice is 0.
        choice = self.int_(0, 5 if self.tame else 12)
        a, b = self.int_(0, 255), self.int_(0, 255)
        if choice <= 9 and self.chance(15):
            len_plan = self.raise_plan()
        else:
            len_plan = ("value", [None, 2**62, 2**63, 2**40, 2**31, -1, 0, 10**30, "x"][a % 9])
        items, plain = self.items(make)
        if len_plan[1] is None:
            len_plan = ("value", len(items))
        if choice <= 3:
            return items, plain
        if choice == 4:
            return tuple(items), plain
        if choice == 5 and plain and all(type(v) is float for v in items):
            kind = ["contiguous", "strided", "reversed", "f4", ">f8", "2d", "broadcast", "array"][b % 8]
            values = np.array(items, dtype=np.float64)
            if kind == "array":
                return array.array("d", items), True
            if kind == "strided":
                return np.repeat(values, 2)[::2], True
            if kind == "reversed":
                return values[::-1].copy()[::-1], True
            if kind == "f4":
                return values.astype(np.float32), False
            if kind == ">f8":
                return values.astype(">f8"), True
            if kind == "2d":
                return values.reshape(-1, 1), False
            if kind == "broadcast":
                return np.broadcast_to(values[:1], (len(items),)) if len(items) else values, False
            return values, True
        if choice == 6:
            return np.array(items, dtype=object), False
        if choice == 7:
            return OddSeq(items, len_plan, [None, None, 0, len(items) // 2][b % 4]), False
        if choice == 8:
            return OddIterSeq(items, len_plan, ["plain", "raise", "not an iterator", "raise mid-way",
                                                "reenter"][b % 5]), False
        if choice == 9:
            seq = (OddList, OddTuple)[b % 2](items)
            seq.len_plan = len_plan
            return seq, False
        return ["", "abc", OddStr("x"), b"\x00\x7f", bytearray(b"ab"), range(3), iter(items),
                (x for x in items), set(), {0: 1}, None, 3, memoryview(b"abc")][b % 13], False

    def bbox(self):
        choice = self.int_(0, 3 if self.tame else 5)
        if choice <= 1:
            return None, True
        if choice <= 3:
            values = [self.number() for _ in range(4)]
            # the model converts bbox items without the argument note
            return tuple(v for v, _ in values), all(p and not (type(v) is int and abs(v) > 2**1000) for v, p in values)
        return self.pick([[0.0, 0.0, 1.0, 1.0], (0.0, 1.0, 2.0), (), (0, 0, 0, 0, 0), "abcd",
                          type("Box", (tuple,), {"__len__": lambda s: 4})((1.0, 2.0)),
                          type("Box", (tuple,), {})((-10.0, -5.0, 10.0, 5.0))]), False

    def flag(self):
        choice = self.int_(0, 2 if self.tame else 5)
        if choice <= 2:
            return self.pick([True, False]), True
        if choice == 3:
            return self.pick([np.bool_(True), np.bool_(False)]), False
        if choice == 4:
            return FakeNumpyBool(self.value_plan(lambda: self.pick([True, False, 1, None, np.bool_(True)]))), False
        return self.pick([1, 0, None, "True", NoBoolNumpy(), 1.0]), False

    def call(self, nested=False):
        """(description, call, model call or None) for one call of the module.

        `model call` is given only when every input is plain, so that
        tests/reference_model.py must agree with the module exactly."""
        name = self.pick(["hash", "hash_clamped", "hash_all", "hash_all_clamped", "new"])
        # tame calls use plain values only, which the model must then agree on
        self.tame = not nested and self.chance(40)
        self.batch_len = self.int_(0, MAX_ITEMS) if self.chance(70) else None
        hasher, model_hasher = (H, MODEL_H) if nested else (self.hasher, self.model_hasher)
        if name == "new":
            (s, p1), (e, p2), (b, p3) = self.datetime(), self.datetime(), self.bbox()
            args, names = [s, e, b], ["start_datetime", "end_datetime", "bbox"]
            plain = p1 and p2 and p3
            target, model = tessellon.Hasher, reference_model.ReferenceHasher
        elif name in ("hash", "hash_clamped"):
            (d, p1), (lo, p2), (la, p3) = self.datetime(), self.number(), self.number()
            args, names, plain = [d, lo, la], ["datetime", "longitude", "latitude"], p1 and p2 and p3
            target, model = getattr(hasher, name), model_hasher and getattr(model_hasher, name)
        else:
            (d, p1), (lo, p2), (la, p3) = (self.sequence(self.datetime), self.sequence(self.number),
                                           self.sequence(self.number))
            args, names, plain = [d, lo, la], ["datetimes", "longitudes", "latitudes"], p1 and p2 and p3
            if name == "hash_all" and self.chance(50):
                flag, p4 = self.flag()
                args.append(flag)
                names.append("skip_invalid")
                plain = plain and p4
            target, model = getattr(hasher, name), model_hasher and getattr(model_hasher, name)
        if nested:
            return lambda: target(*args)
        full, kwargs = list(args), {}
        if self.chance(30):  # pass a tail of the parameters by keyword, in any order
            k = self.int_(0, len(args))
            kwargs = dict(zip(names[k:], args[k:]))
            args = args[:k]
            if self.chance(30):
                kwargs = dict(reversed(kwargs.items()))
        if self.chance(8):  # a wrongly shaped call
            plain = False
            choice = self.int_(0, 4)
            if choice == 0:
                args = args + [None] * self.int_(1, 3)
            elif choice == 1 and args:
                args = args[:-1]
            elif choice == 2:
                kwargs[self.pick(["lat", "\ud800", OddStr("datetime"), OddStr("zzz"), ""])] = 1
            elif choice == 3 and args:
                kwargs[names[0]] = args[0]
            else:
                target = self.pick([tessellon.Hasher.hash, tessellon.Hasher.hash_all])
                args = [self.pick([object(), None, tessellon.Hasher])] + args
        call = lambda: target(*args, **kwargs)  # noqa: E731
        model_call = (lambda: model(*full)) if plain and model is not None else None
        return (name, args, kwargs), call, model_call


MODEL_H = reference_model.ReferenceHasher(START, END)


def tracked(args, kwargs):
    """Fresh argument objects whose reference counts only the call could change."""
    objs = list(args) + list(kwargs.values())
    return [o for o in objs if isinstance(o, (list, tuple, dt.datetime, OddSeq, FloatLike, IndexLike,
                                              FakeNumpyBool, np.ndarray, array.array)) and not (type(o) is tuple and not o)]


def show(value):
    """repr() that survives our own hostile __repr__ methods."""
    try:
        return repr(value)
    except BaseException:  # noqa: B036
        if isinstance(value, (list, tuple)):
            return "[" + ", ".join(map(show, value)) + "]"
        if isinstance(value, dict):
            return "{" + ", ".join(f"{show(k)}: {show(v)}" for k, v in value.items()) + "}"
        return f"<{type(value).__name__}>"


def outcome(fn):
    try:
        return "ok", fn()
    except BaseException as exc:  # noqa: B036
        seen = exc
        while seen is not None:  # the frames in tracebacks hold our arguments
            seen.__traceback__ = None
            seen = seen.__cause__ or seen.__context__
        return "raised", exc


PROBES = [(START, 0.0, 0.0), (END, 180.0, 90.0), (dt.datetime(2020, 1, 1, 7, tzinfo=UTC), -33.3, 12.5),
          (dt.datetime(1999, 1, 1, tzinfo=UTC), math.nan, -91.0), (dt.datetime(2020, 1, 1, 7, 1, 1, 1, tzinfo=UTC), 1e-300, 1e300)]


def check(description, call, model):
    """Runs one call; returns the new (hasher, model hasher) of a constructor call."""
    objs = tracked(description[1], description[2])
    before = [sys.getrefcount(o) for o in objs]
    kind, got = outcome(call)
    name = description[0]
    if kind == "raised":
        if isinstance(got, PanicException) and str(got) == PANIC_MARK:
            pass  # a PanicException raised inside a callback comes back as a fault, as it should
        elif isinstance(got, (SystemError, PanicException)) or not isinstance(got, ALLOWED):
            raise AssertionError(f"{type(got).__module__}.{type(got).__name__}: {got!r} from {show(description)}") from got
        got = (type(got), str(got), getattr(got, "__notes__", None))
    elif name == "new":
        assert type(got) is tessellon.Hasher, got
    elif name in ("hash", "hash_clamped"):
        assert type(got) is int and 0 <= got < 2**63, got
    else:
        assert type(got) is list and all(k is None or type(k) is int and 0 <= k < 2**63 for k in got), got
        assert name == "hash_all" or None not in got
    after = [sys.getrefcount(o) for o in objs]
    assert before == after, f"argument reference counts {before} -> {after} in {show(description)}"
    if model is None:
        return (got, None) if name == "new" and kind == "ok" else None
    mkind, expected = outcome(model)
    if mkind == "raised":
        expected = (type(expected), str(expected), getattr(expected, "__notes__", None))
    assert kind == mkind, f"{show(description)}: module {show(got)}, model {show(expected)}"
    if name == "new" and kind == "ok":
        for probe in PROBES:
            assert got.hash_clamped(*probe) == expected.hash_clamped(*probe), f"{show(description)} at {probe}"
        return got, expected
    assert got == expected, f"{show(description)}: module {show(got)}, model {show(expected)}"
    return None


INDEX_SPACE = tessellon_index.KeySpace(START, END, (-10.0, 20.0, 30.0, 40.0))
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
START_NS = (START - EPOCH) // dt.timedelta(microseconds=1) * 1000
UNIT_NS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}


def index_inputs(gen, count):
    """A datetime64 column of any unit (NaT and extremes too), coordinates as float64 or a strided float32."""
    unit = gen.pick(list(UNIT_NS))
    values = []
    for _ in range(count):
        choice = gen.int_(0, 9)
        if choice == 0:
            values.append(gen.pick([-2**63, 2**63 - 1, -2**62, 0]))
        else:
            values.append((START_NS + gen.int_(-10**13, 10**14)) // UNIT_NS[unit])
    times = np.array(values, dtype=np.int64).view(f"datetime64[{unit}]")
    coords = [gen.pick([0.0, -10.0, 40.0, 5.5, 31.0, math.nan, -math.inf]) + gen.int_(0, 9) for _ in range(2 * count)]
    lons = np.array(coords[:count], dtype=np.float64)
    lats = np.array(coords[count:], dtype=np.float32 if gen.chance(50) else np.float64)
    if gen.chance(30):
        lats = np.repeat(lats, 2)[::2]
    return times, unit, lons, lats


def expected_keys(times, unit, lons, lats, mode):
    """Hasher.hash_all / hash_all_clamped on the same points, or None when a time has no datetime."""
    datetimes = []
    for value in times.view(np.int64).tolist():
        if value == -2**63:
            return None
        if value * UNIT_NS[unit] % 1000:
            return None  # no datetime holds this instant exactly
        micros = value * UNIT_NS[unit] // 1000
        try:
            datetimes.append(EPOCH + dt.timedelta(microseconds=micros))
        except OverflowError:
            return None
    hasher = INDEX_SPACE.hasher()
    try:
        if mode == "clamp":
            return "ok", hasher.hash_all_clamped(datetimes, lons.tolist(), [float(y) for y in lats])
        return "ok", hasher.hash_all(datetimes, lons.tolist(), [float(y) for y in lats], mode == "skip")
    except ValueError:
        return "raised", None


def check_index(gen):
    """hash_columns against hash_all, and the query calls against each other."""
    count = gen.int_(0, MAX_ITEMS)
    times, unit, lons, lats = index_inputs(gen, count)
    mode = gen.pick(["raise", "skip", "clamp"])
    kind, got = outcome(lambda: INDEX_SPACE.hash_columns(times, lons, lats, invalid=mode, naive_utc=True))
    if kind == "raised":
        assert isinstance(got, ValueError), f"{type(got).__name__}: {got}"
    expected = expected_keys(times, unit, lons, lats, mode)
    if expected is not None:
        assert kind == expected[0], f"hash_columns {kind} {got!r}, hash_all {expected}"
        if kind == "ok":
            assert list(got) == expected[1], f"hash_columns {list(got)}, hash_all {expected[1]}"
    keys = [k for k in (list(got) if kind == "ok" else []) if k is not None]
    keys += [gen.int_(0, 2**63 - 1) for _ in range(gen.int_(0, 8))]
    t0, t1 = sorted(EPOCH + dt.timedelta(microseconds=(START_NS + gen.int_(-10**12, 10**14)) // 1000) for _ in range(2))
    box = tuple(float(gen.int_(-20, 50)) for _ in range(4))
    kind, query = outcome(lambda: INDEX_SPACE.query(t0, t1, box))
    if kind == "raised":
        assert isinstance(query, ValueError), query
        return
    inside = list(query.contains(keys))
    for key, flag in zip(keys, inside):
        assert flag == (query.next_key(key) == key) == (query.previous_key(key) == key), key
    ordered = sorted(keys)
    assert list(query.select_sorted(ordered)) == [i for i, k in enumerate(ordered) if query.contains([k])[0]]
    ranges = query.ranges(gen.int_(1, 64))
    assert all(any(a <= k <= b for a, b in ranges) for k, flag in zip(keys, inside) if flag)


def TestOneInput(data):
    gen = Gen(data)
    for _ in range(gen.int_(1, 4)):
        if gen.chance(25):
            check_index(gen)
            continue
        made = check(*gen.call())
        if made is not None:
            gen.hasher, gen.model_hasher = made


def instrument_this_module():
    """Python-level coverage of the harness's own choices, for the fuzzer's feedback."""
    for value in list(globals().values()):
        if isinstance(value, type) and value.__module__ == __name__:
            for key, attr in list(vars(value).items()):
                if callable(attr) and hasattr(attr, "__code__"):
                    setattr(value, key, atheris.instrument_func(attr))
        elif callable(value) and getattr(value, "__module__", None) == __name__ and hasattr(value, "__code__"):
            globals()[value.__name__] = atheris.instrument_func(value)


def main():
    instrument_this_module()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
