"""The Dask + Parquet recipe of examples/dask_parquet.py, on a small dataset."""

import importlib
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

pytest.importorskip("dask.dataframe", reason="the Dask recipe needs Dask and pyarrow: pip install '.[test]'")
pytest.importorskip("pyarrow", reason="the Dask recipe needs Dask and pyarrow: pip install '.[test]'")
import pandas as pd  # noqa: E402  (installed with dask[dataframe])

import tessellon  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.fixture(scope="module")
def recipe():
    # Imported from sys.path, which the scheduler's worker processes inherit:
    # they unpickle add_keys by reference to this module.
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(EXAMPLES))
        yield importlib.import_module("dask_parquet")


def write_dataset(folder, files=3, rows=200):
    base = datetime(2024, 3, 1, tzinfo=timezone(timedelta(hours=1)))
    frames = []
    for part in range(files):
        n = range(part * rows, (part + 1) * rows)
        frame = pd.DataFrame({
            "vehicle": [f"v{i % 7}" for i in n],
            "time": pd.to_datetime([base + timedelta(seconds=37 * i) for i in n], utc=True),
            "longitude": [-10 + (i * 7919 % 2000) / 100 for i in n],
            "latitude": [35 + (i * 104729 % 2500) / 100 for i in n],
        })
        frame.to_parquet(folder / f"part-{part}.parquet", index=False)
        frames.append(frame)
    return pd.concat(frames, ignore_index=True)


def test_recipe_keys_and_sorts_partition_by_partition(tmp_path, recipe):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    data = write_dataset(source)

    start, end, bbox = recipe.key_parquet(str(source), str(target), scheduler="processes", workers=2)

    assert start == data.time.min() and end == data.time.max()
    assert bbox == (data.longitude.min(), data.latitude.min(), data.longitude.max(), data.latitude.max())
    result = pd.read_parquet(target)
    assert len(result) == len(data) and result.key.is_monotonic_increasing
    hasher = tessellon.Hasher(start, end, bbox)
    expected = [hasher.hash(t.to_pydatetime(), lon, lat)
                for t, lon, lat in zip(result.time, result.longitude, result.latitude)]
    assert result.key.tolist() == expected
    assert sorted(result.vehicle) == sorted(data.vehicle)


def test_given_extent_clamps_and_naive_times_mean_utc(recipe):
    start = datetime(2024, 1, 1, tzinfo=timezone.utc)
    partition = pd.DataFrame({"time": pd.to_datetime(["2023-12-31 23:00", "2024-01-01 12:00"]),
                              "longitude": [500.0, 0.0], "latitude": [0.0, 0.0]})
    keyed = recipe.add_keys(partition, start, start + timedelta(days=1), None)
    hasher = tessellon.Hasher(start, start + timedelta(days=1))
    assert keyed.key.tolist() == [hasher.hash(start, 180, 0), hasher.hash(start + timedelta(hours=12), 0, 0)]
