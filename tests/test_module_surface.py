import datetime as dt
import inspect
import re
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

import tessellon
from conftest import utc

Hasher = tessellon.Hasher


def test_module_attributes():
    assert tessellon.__version__ == "0.0.2"
    assert tessellon.__all__ == ["Hasher", "__version__"]
    assert tessellon.__doc__ == ""
    own = {k for k in vars(tessellon) if k not in
           {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}}
    assert own == {"Hasher", "__all__", "__version__"}


def test_class_identity():
    assert (Hasher.__module__, Hasher.__name__, Hasher.__qualname__) == ("tessellon", "Hasher", "Hasher")
    assert repr(Hasher) == "<class 'tessellon.Hasher'>"
    assert type(Hasher) is type
    for name in ("__init__", "__repr__", "__eq__", "__hash__"):
        assert getattr(Hasher, name) is getattr(object, name)


DOCS = [
    (Hasher, "(start_datetime, end_datetime, bbox=None)",
     "Creates sortable spatio-temporal hashes.\n\nThe hasher is built from a datetime range and, "
     "optionally, a bounding box.\nWithout a `bbox` the hasher covers the whole world."),
    (Hasher.hash, "($self, datetime, longitude, latitude)",
     "Hashes a datetime and a point into an `int`."),
    (Hasher.hash_clamped, "($self, datetime, longitude, latitude)",
     "Hashes a datetime and a point into an `int`, clamping anything outside\nof this hasher's extent "
     "onto its boundary.\n\nUnlike `hash`, this never raises for out-of-extent input. A datetime\n"
     "before the hasher's start hashes as that start, a longitude west of the\nminimum hashes as that "
     "minimum, and so on."),
    (Hasher.hash_all, "($self, datetimes, longitudes, latitudes, skip_invalid=False)",
     "Hashes parallel sequences of datetimes, longitudes, and latitudes.\n\nRaises a `ValueError` if "
     "the sequences are not the same length, or if\nany item falls outside the hasher's extent. Pass "
     "`skip_invalid=True` to\nget `None` for out-of-extent items instead of raising."),
    (Hasher.hash_all_clamped, "($self, datetimes, longitudes, latitudes)",
     "Hashes parallel sequences, clamping anything outside of this hasher's\nextent onto its boundary."
     "\n\nRaises a `ValueError` only if the sequences are not the same length.\nNo item can fall outside "
     "the extent, so there is no `skip_invalid`."),
]


@pytest.mark.parametrize("obj,signature,doc", DOCS, ids=lambda x: getattr(x, "__name__", None))
def test_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize("name,text", [
    (None, "(start_datetime, end_datetime, bbox=None)"),
    ("hash", "(datetime, longitude, latitude)"),
    ("hash_clamped", "(datetime, longitude, latitude)"),
    ("hash_all", "(datetimes, longitudes, latitudes, skip_invalid=False)"),
    ("hash_all_clamped", "(datetimes, longitudes, latitudes)"),
])
def test_inspect_signature(world_hasher, name, text):
    assert str(inspect.signature(getattr(world_hasher, name) if name else Hasher)) == text
    if name:
        assert str(inspect.signature(getattr(Hasher, name))) == "(self, /, " + text[1:]


def test_instances(world_hasher):
    with pytest.raises(TypeError):
        type("Sub", (Hasher,), {})
    with pytest.raises(AttributeError):
        world_hasher.anything = 1
    with pytest.raises(AttributeError):
        world_hasher.hash = None
    with pytest.raises(TypeError):
        weakref.ref(world_hasher)
    assert not hasattr(world_hasher, "__dict__")
    other = Hasher(utc(2020, 1, 1), utc(2020, 1, 2))
    assert world_hasher == world_hasher and world_hasher != other
    assert hash(world_hasher) != hash(other)
    assert re.fullmatch(r"<tessellon\.Hasher object at 0x[0-9a-f]+>", repr(world_hasher))
    assert type(Hasher.__new__(Hasher, utc(2020, 1, 1), utc(2020, 1, 2))) is Hasher


def test_reimport_reuses_type(run_python):
    run_python("""
        import sys, tessellon
        first, H = tessellon, tessellon.Hasher
        del sys.modules["tessellon"]
        import tessellon
        assert tessellon is not first and tessellon.Hasher is H
        assert tessellon.__all__ == ["Hasher", "__version__"] and tessellon.__all__ is not first.__all__
        assert tessellon.__version__ == "0.0.2"
    """)


@pytest.mark.parametrize("target", [object(), 1, None, dt.datetime(2020, 1, 1)])
def test_descriptor_refuses_foreign_self(target):
    with pytest.raises(TypeError, match=r"^descriptor 'hash' for 'tessellon\.Hasher' objects doesn't apply"):
        Hasher.hash(target, utc(2020, 1, 1), 0.0, 0.0)


def test_threads_share_one_instance(world_hasher):
    points = [(utc(2020, 1, 1) + dt.timedelta(minutes=4 * i), i % 360 - 180.0, i % 180 - 90.0) for i in range(300)]
    work = lambda _: [(world_hasher.hash(*p), world_hasher.hash_clamped(*p)) for p in points]  # noqa: E731
    expected = work(None)
    with ThreadPoolExecutor(8) as pool:
        assert all(result == expected for result in pool.map(work, range(32)))


def test_threads_race_on_first_use(run_python):
    # Every process-wide cache is filled while many threads ask for it at once.
    run_python("""
        import datetime as dt, threading, tessellon
        d = dt.datetime(2020, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))
        barrier, out = threading.Barrier(16), []
        def work():
            barrier.wait()
            h = tessellon.Hasher(d, d)
            out.append(h.hash(d, 0, 0))
            try:
                h.hash(d, 0, 0, bogus=1)
            except TypeError as e:
                out.append(str(e))
        threads = [threading.Thread(target=work) for _ in range(16)]
        for t in threads: t.start()
        for t in threads: t.join(60)
        assert len(out) == 32 and len(set(out)) == 2, out
    """)
