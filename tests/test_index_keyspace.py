"""KeySpace: converted like a Hasher, and read, compared, pickled and stored."""

import copy
import datetime as dt
import math
import pickle

import pytest

import tessellon
import tessellon_index as ti
from index_support import UTC, utc

PLUS_TWO = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize("args", [
    (utc(2020, 1, 1), utc(2020, 1, 2)),
    (utc(2020, 1, 1), utc(2020, 1, 2), None),
    (utc(2020, 1, 1), utc(2020, 1, 2), (-10.0, 20.0, 30.0, 40.0)),
    (dt.datetime(2020, 1, 1, 2, tzinfo=PLUS_TWO), utc(2019, 1, 1), (30.0, 40.0, -10.0, 20.0)),
    (utc(2020, 1, 1), utc(2020, 1, 1), (1, 2, 3, True)),
])
def test_the_hasher_of_a_key_space_gives_the_keys_of_the_hasher_of_the_same_arguments(args):
    key_space = ti.KeySpace(*args)
    direct = tessellon.Hasher(*args)
    points = [(utc(2020, 1, 1, h), lon, lat) for h in (0, 7, 23) for lon, lat in ((0.0, 0.0), (25.5, -3.25))]
    assert [key_space.hasher().hash_clamped(*p) for p in points] == [direct.hash_clamped(*p) for p in points]


@pytest.mark.parametrize("args", [
    (utc(2020, 1, 1), dt.datetime(2020, 1, 2)),
    ("2020-01-01", utc(2020, 1, 2)),
    (utc(2020, 1, 1), utc(2020, 1, 2), [0, 0, 1, 1]),
    (utc(2020, 1, 1), utc(2020, 1, 2), (0, 0, 1)),
    (utc(2020, 1, 1), utc(2020, 1, 2), (0, 0, "1", 1)),
])
def test_bad_arguments_are_refused_exactly_as_the_hasher_refuses_them(args):
    with pytest.raises(Exception) as ours:
        ti.KeySpace(*args)
    with pytest.raises(Exception) as theirs:
        tessellon.Hasher(*args)
    assert type(ours.value) is type(theirs.value)
    assert str(ours.value) == str(theirs.value)
    assert getattr(ours.value, "__notes__", None) == getattr(theirs.value, "__notes__", None)


def test_equal_instants_make_equal_key_spaces():
    a = ti.KeySpace(utc(2020, 1, 1), utc(2020, 1, 2))
    b = ti.KeySpace(dt.datetime(2020, 1, 1, 2, tzinfo=PLUS_TWO), utc(2020, 1, 2), (-180, -90, 180, 90))
    c = ti.KeySpace(utc(2020, 1, 1), utc(2020, 1, 2), (-180, -90, 180, 89.5))
    assert a == b and hash(a) == hash(b) and a != c and len({a, b, c}) == 2
    assert a != "KeySpace" and a.bbox == (-180.0, -90.0, 180.0, 90.0)


def test_nan_boxes_are_equal_to_themselves():
    a = ti.KeySpace(utc(2020, 1, 1), utc(2020, 1, 2), (math.nan, 0, 1, 1))
    assert a == copy.deepcopy(a) and hash(a) == hash(pickle.loads(pickle.dumps(a)))


@pytest.mark.parametrize("key_space", [
    ti.KeySpace(utc(2020, 1, 1), utc(2021, 1, 1)),
    ti.KeySpace(dt.datetime(1999, 12, 31, 23, 59, 59, 999999, tzinfo=PLUS_TWO), utc(1, 1, 1), (5, -5, 1e-300, 5)),
])
def test_json_and_pickle_round_trips(key_space):
    text = key_space.to_json()
    document = __import__("json").loads(text)
    assert document["format"] == "tessellon.KeySpace" and document["version"] == 1
    for copy_ in (ti.KeySpace.from_json(text), pickle.loads(pickle.dumps(key_space))):
        assert copy_ == key_space and copy_.bbox == key_space.bbox
        assert copy_.start == key_space.start and copy_.end == key_space.end


@pytest.mark.parametrize("text, message", [
    ("not json", "not JSON"),
    ("[]", "format"),
    ('{"format": "tessellon.KeySpace", "version": 2}', "version 2 is not supported"),
    ('{"format": "tessellon.KeySpace", "version": 1, "start": "2020-01-01", "end": "2020-01-02", '
     '"bbox": [0, 0, 1, 1]}', "UTC offset"),
    ('{"format": "tessellon.KeySpace", "version": 1, "start": "2020-01-01T00:00+00:00"}', "malformed"),
    ('{"format": "tessellon.KeySpace", "version": 1, "start": "2020-01-01T00:00+00:00", '
     '"end": "2020-01-02T00:00+00:00", "bbox": [0, 0, 1]}', "four numbers"),
])
def test_malformed_json_is_refused_clearly(text, message):
    with pytest.raises(ValueError, match=message):
        ti.KeySpace.from_json(text)


def test_a_non_finite_box_cannot_be_stored_as_json():
    with pytest.raises(ValueError, match="non-finite"):
        ti.KeySpace(utc(2020, 1, 1), utc(2020, 1, 2), (math.inf, 0, 1, 1)).to_json()


def test_repr_and_resolution():
    key_space = ti.KeySpace(utc(2020, 1, 1), utc(2020, 1, 2), (-10.0, 20.0, 30.0, 40.0))
    assert repr(key_space) == ("KeySpace(start=2020-01-01T00:00:00+00:00, end=2020-01-02T00:00:00+00:00, "
                               "bbox=(-10.0, 20.0, 30.0, 40.0))")
    resolution = key_space.resolution
    assert resolution.milliseconds == pytest.approx(86_400_000 / (2**21 - 1))
    assert resolution.longitude == pytest.approx(40 / (2**21 - 1))
    assert resolution.latitude == pytest.approx(20 / (2**21 - 1))
