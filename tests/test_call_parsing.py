import collections
import datetime as dt

import pytest

import tessellon
from conftest import utc

S, E, D = utc(2020, 1, 1), utc(2020, 1, 2), utc(2020, 1, 1, 6)
BAD = "not converted"  # parsing fails before any conversion, so this is never looked at

NEW = "Hasher.__new__()"
HASH = "Hasher.hash()"
MISSING_3 = " missing 3 required positional arguments: '{}', '{}', and '{}'"

CASES = [
    # target, args, kwargs, message
    ("new", (), {}, f"{NEW} missing 2 required positional arguments: 'start_datetime' and 'end_datetime'"),
    ("new", (BAD,), {}, f"{NEW} missing 1 required positional argument: 'end_datetime'"),
    ("new", (), {"bbox": None, "start_datetime": BAD},
     f"{NEW} missing 1 required positional argument: 'end_datetime'"),
    ("new", (BAD,) * 4, {}, f"{NEW} takes from 2 to 3 positional arguments but 4 were given"),
    ("new", (BAD,) * 5, {"box": 1}, f"{NEW} takes from 2 to 3 positional arguments but 5 were given"),
    ("new", (BAD, BAD), {"box": None}, f"{NEW} got an unexpected keyword argument 'box'"),
    ("new", (BAD,), {"end": BAD}, f"{NEW} got an unexpected keyword argument 'end'"),
    ("new", (BAD, BAD, None), {"bbox": None}, f"{NEW} got multiple values for argument 'bbox'"),
    ("new", (BAD,), {"start_datetime": BAD}, f"{NEW} got multiple values for argument 'start_datetime'"),
    ("hash", (), {}, HASH + MISSING_3.format("datetime", "longitude", "latitude")),
    ("hash", (BAD,), {}, f"{HASH} missing 2 required positional arguments: 'longitude' and 'latitude'"),
    ("hash", (BAD, BAD), {}, f"{HASH} missing 1 required positional argument: 'latitude'"),
    ("hash", (BAD,), {"latitude": BAD}, f"{HASH} missing 1 required positional argument: 'longitude'"),
    ("hash", (), {"latitude": BAD},
     f"{HASH} missing 2 required positional arguments: 'datetime' and 'longitude'"),
    ("hash", (BAD,) * 4, {}, f"{HASH} takes 3 positional arguments but 4 were given"),
    ("hash", (BAD,) * 4, {"lat": 1}, f"{HASH} takes 3 positional arguments but 4 were given"),
    ("hash", (BAD, BAD), {"lat": BAD}, f"{HASH} got an unexpected keyword argument 'lat'"),
    ("hash", (BAD, BAD), {"longitude": 1, "bogus": 2}, f"{HASH} got multiple values for argument 'longitude'"),
    ("hash", (BAD, BAD), {"bogus": 2, "longitude": 1}, f"{HASH} got an unexpected keyword argument 'bogus'"),
    # names are compared as whole UTF-8 byte strings
    ("hash", (), {"datetime\x00": BAD, "longitude": 0, "latitude": 0},
     f"{HASH} got an unexpected keyword argument 'datetime\x00'"),
    ("hash", (BAD, BAD, BAD), {"\udcff": 1}, f"{HASH} got an unexpected keyword argument '\udcff'"),
    ("hash_clamped", (), {}, "Hasher.hash_clamped()" + MISSING_3.format("datetime", "longitude", "latitude")),
    ("hash_clamped", (BAD,) * 3, {"datetime": BAD},
     "Hasher.hash_clamped() got multiple values for argument 'datetime'"),
    ("hash_all", (), {}, "Hasher.hash_all()" + MISSING_3.format("datetimes", "longitudes", "latitudes")),
    ("hash_all", (BAD,) * 5, {}, "Hasher.hash_all() takes from 3 to 4 positional arguments but 5 were given"),
    ("hash_all", (BAD,) * 4, {"skip_invalid": True},
     "Hasher.hash_all() got multiple values for argument 'skip_invalid'"),
    ("hash_all", (), {"skip_invalid": BAD, "latitudes": BAD},
     "Hasher.hash_all() missing 2 required positional arguments: 'datetimes' and 'longitudes'"),
    ("hash_all", (BAD,) * 3, {"skip": True}, "Hasher.hash_all() got an unexpected keyword argument 'skip'"),
    ("hash_all_clamped", (), {},
     "Hasher.hash_all_clamped()" + MISSING_3.format("datetimes", "longitudes", "latitudes")),
    ("hash_all_clamped", (BAD,) * 3, {"skip_invalid": False},
     "Hasher.hash_all_clamped() got an unexpected keyword argument 'skip_invalid'"),
    ("hash_all_clamped", (BAD,) * 4, {},
     "Hasher.hash_all_clamped() takes 3 positional arguments but 4 were given"),
]


@pytest.mark.parametrize("target,args,kwargs,message", CASES)
def test_parsing_errors(world_hasher, target, args, kwargs, message):
    fn = tessellon.Hasher if target == "new" else getattr(world_hasher, target)
    with pytest.raises(TypeError) as excinfo:
        fn(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (message,)
    assert getattr(excinfo.value, "__notes__", None) is None
    assert excinfo.value.__cause__ is None and excinfo.value.__context__ is None


@pytest.mark.parametrize("method", ["hash", "hash_clamped"])
@pytest.mark.parametrize("kwargs", [
    {"latitude": 45.5, "longitude": -120.25, "datetime": D},
    {"longitude": -120.25, "datetime": D, "latitude": 45.5},
    {"datetime": D, "longitude": -120.25, "latitude": 45.5},
])
def test_keywords_in_any_order(world_hasher, method, kwargs):
    fn = getattr(world_hasher, method)
    expected = fn(D, -120.25, 45.5)
    assert fn(**kwargs) == expected
    assert fn(D, latitude=45.5, longitude=-120.25) == expected


BOX = (-10.0, 20.0, 30.0, 40.0)


@pytest.mark.parametrize("args,kwargs,same_as", [
    ((), {"start_datetime": S, "end_datetime": E, "bbox": None}, (S, E)),
    ((), {"bbox": None, "end_datetime": E, "start_datetime": S}, (S, E)),
    ((S, E, None), {}, (S, E)),
    ((S,), {"end_datetime": E}, (S, E)),
    ((S, E), {"bbox": BOX}, (S, E, BOX)),
    ((), {"bbox": BOX, "end_datetime": E, "start_datetime": S}, (S, E, BOX)),
    ((S, E), {"bbox": (-180.0, -90.0, 180.0, 90.0)}, (S, E)),
    ((S, E, collections.namedtuple("Box", "w s e n")(-10, 20, 30, 40)), {}, (S, E, BOX)),
    ((S, E, type("T", (tuple,), {})(BOX)), {}, (S, E, BOX)),
])
def test_constructor_keywords(args, kwargs, same_as):
    h, ref = tessellon.Hasher(*args, **kwargs), tessellon.Hasher(*same_as)
    for d in (S, utc(2020, 1, 1, 7, 30), E, utc(2021, 1, 1)):
        for lon, lat in ((0.0, 0.0), (-5.5, 33.3), (29.0, 21.0), (-180.0, 90.0), (170.0, -80.0)):
            assert h.hash_clamped(d, lon, lat) == ref.hash_clamped(d, lon, lat)


def test_parsing_precedes_conversion_and_leaves_instance_usable(world_hasher):
    with pytest.raises(TypeError, match=r"^Hasher\.hash\(\) takes 3 positional arguments but 4 were given$"):
        world_hasher.hash(dt.date(2020, 1, 1), "x", "y", None)
    assert world_hasher.hash(S, -180.0, -90.0) == 0
