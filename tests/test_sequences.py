import array
import collections
import collections.abc
import sys
from datetime import datetime, timezone

import numpy as np
import pytest

import tessellon

UTC = timezone.utc
START = datetime(2020, 1, 1, tzinfo=UTC)
MID = datetime(2020, 1, 1, 12, tzinfo=UTC)
END = datetime(2020, 1, 2, tzinfo=UTC)
DTS, LONS, LATS = [START, MID, END], [-170.0, 0.5, 179.0], [-80.0, 10.25, 89.0]
STR_MSG = "Can't extract `str` to `Vec`"
NAMES = ["datetimes", "longitudes", "latitudes"]
METHODS = pytest.mark.parametrize("method", ["hash_all", "hash_all_clamped"])


@pytest.fixture(scope="module")
def h():
    # wide box so byte values up to 255 stay distinct and in extent
    return tessellon.Hasher(START, END, (-1000.0, -1000.0, 1000.0, 1000.0))


def assert_conversion_error(excinfo, exc_type, message, argument):
    e = excinfo.value
    assert type(e) is exc_type and e.args == (message,)
    assert e.__notes__ == [f"while processing '{argument}'"]


class GetItemOnly:
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


class Sized(GetItemOnly):
    def __len__(self):
        return len(self.items)


def lying_len(length, base=GetItemOnly):
    def __len__(self):
        if isinstance(length, type):
            raise length("no length")
        return length
    return type(f"{base.__name__}Len{length!r}", (base,), {"__len__": __len__})


class Exploding(GetItemOnly):
    def __iter__(self):
        yield self.items[0]
        raise LookupError("mid-way")


FORMS = [list, tuple, Sized, GetItemOnly, lambda xs: np.array(xs, dtype=object),
         lying_len(0), lying_len(1), lying_len(2**62), lying_len(sys.maxsize),
         lying_len(2**64), lying_len(-1), lying_len(RuntimeError),
         lying_len(2**62, list), lying_len(sys.maxsize, tuple), lying_len(1, tuple)]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("position", [0, 1, 2], ids=NAMES)
def test_accepted_sequence_forms(h, form, position):
    args = [DTS, LONS, LATS]
    args[position] = form(args[position])
    expected = [h.hash(*p) for p in zip(DTS, LONS, LATS)]
    assert h.hash_all(*args) == expected
    assert h.hash_all_clamped(*args) == expected


@pytest.mark.parametrize("numbers, values", [
    (range(-2, 2), [-2.0, -1.0, 0.0, 1.0]),
    (b"\x00\x07\xff", [0.0, 7.0, 255.0]),
    (bytearray(b"\x01\x80"), [1.0, 128.0]),
    (array.array("d", [0.1, -7.5]), [0.1, -7.5]),
    (array.array("i", [-3, 300]), [-3.0, 300.0]),
    (np.array([0.1, -7.5, 1e-7]), [0.1, -7.5, 1e-7]),
    (np.array([0.5, -1.25], dtype=np.float32), [0.5, -1.25]),
    (np.arange(4.0)[::-2], [3.0, 1.0]),
    (np.array([0.5, 2.0], dtype=">f8"), [0.5, 2.0]),
    (np.array([-3, 300], dtype=np.int64), [-3.0, 300.0]),
    (np.array([7, 255], dtype=np.uint8), [7.0, 255.0]),
    (np.array([True, False]), [1.0, 0.0]),
    ([1, True, np.float32(0.5), 2.5], [1.0, 1.0, 0.5, 2.5]),
])
@pytest.mark.parametrize("position", [1, 2], ids=NAMES[1:])
def test_number_sequences_give_their_values(h, numbers, values, position):
    args = [[MID] * len(values), [0.0] * len(values), [0.0] * len(values)]
    args[position] = numbers
    expected = [h.hash(MID, *((v, 0.0) if position == 1 else (0.0, v))) for v in values]
    assert h.hash_all(*args) == expected
    assert h.hash_all_clamped(*args) == expected


@pytest.mark.parametrize("obj, message", [
    ("", STR_MSG),
    ("abc", STR_MSG),
    (type("StrSub", (str,), {})("12"), STR_MSG),
    ((x for x in ()), "'generator' object is not an instance of 'Sequence'"),
    (iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'"),
    ({0: 1.0}, "'dict' object is not an instance of 'Sequence'"),
    (collections.OrderedDict(), "'OrderedDict' object is not an instance of 'Sequence'"),
    ({1.0}, "'set' object is not an instance of 'Sequence'"),
    (collections.abc.Sequence.register(type("Registered", (), {}))(),
     "'Registered' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
    (1.5, "'float' object is not an instance of 'Sequence'"),
])
@pytest.mark.parametrize("position", [0, 1, 2], ids=NAMES)
@METHODS
def test_refused_sequences(h, method, obj, message, position):
    args = [DTS, LONS, LATS]
    args[position] = obj
    with pytest.raises(TypeError) as ei:
        getattr(h, method)(*args)
    assert_conversion_error(ei, TypeError, message, NAMES[position])


@pytest.mark.parametrize("position, items, exc_type, message", [
    (0, [START, MID.replace(tzinfo=None), END], TypeError, "expected a datetime with non-None tzinfo"),
    (0, [START, MID.date(), None], TypeError, "'date' object is not an instance of 'datetime'"),
    (0, [START, None, END], TypeError, "'None' is not an instance of 'datetime'"),
    (0, np.array(["2020-01-01T12"], dtype="datetime64[s]"), TypeError,
     "'datetime64' object is not an instance of 'datetime'"),
    (1, [0.0, "1", None], TypeError, "must be real number, not str"),
    (2, [0.0, None, 2.0], TypeError, "must be real number, not NoneType"),
    (1, [0.0, 2**1024, 1.0], OverflowError, "int too large to convert to float"),
    (0, Exploding(DTS), LookupError, "mid-way"),
    (1, Exploding(LONS), LookupError, "mid-way"),
    (2, Exploding(LATS), LookupError, "mid-way"),
])
@METHODS
def test_item_and_iteration_errors(h, method, position, items, exc_type, message):
    args = [DTS, LONS, LATS]
    args[position] = items
    with pytest.raises(exc_type) as ei:
        getattr(h, method)(*args)
    assert_conversion_error(ei, exc_type, message, NAMES[position])


class Recording(Sized):
    touched = False

    def __getitem__(self, i):
        self.touched = True
        return super().__getitem__(i)


@pytest.mark.parametrize("bad, exc_type, message, argument", [
    ((0, 1, 2), TypeError, "'int' object is not an instance of 'datetime'", "datetimes"),
    ((0,), TypeError, "'int' object is not an instance of 'datetime'", "datetimes"),
    ((1, 2), TypeError, "must be real number, not str", "longitudes"),
    ((2,), TypeError, STR_MSG, "latitudes"),
])
@METHODS
def test_conversion_order(h, method, bad, exc_type, message, argument):
    bad_values = [[START, 5, END], [0.0, "x", 1.0], "abc"]
    args = [bad_values[i] if i in bad else Recording(v) for i, v in enumerate([DTS, LONS, LATS])]
    with pytest.raises(exc_type) as ei:
        getattr(h, method)(*args)
    assert_conversion_error(ei, exc_type, message, argument)
    # arguments after the failing one are never looked at
    assert not any(getattr(a, "touched", False) for a in args[NAMES.index(argument) + 1:])
