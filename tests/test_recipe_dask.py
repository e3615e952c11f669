"""tessellon_index.dask and the recipe of examples/dask_parquet.py, on a small dataset."""

import importlib
import subprocess
import sys
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

pytest.importorskip("dask.dataframe", reason="the Dask module needs Dask and pyarrow: pip install '.[test]'")
pytest.importorskip("pyarrow", reason="the Dask module needs Dask and pyarrow: pip install '.[test]'")
import pandas as pd  # noqa: E402  (installed with dask[dataframe])

from tessellon_index import KeySpace  # noqa: E402
from tessellon_index.dask import read_window  # noqa: E402
from tessellon_index.parquet import open_dataset, query  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
BASE = datetime(2024, 3, 1, 1, tzinfo=timezone(timedelta(hours=1)))  # midnight UTC
SPACE = KeySpace(datetime(2024, 3, 1, tzinfo=timezone.utc), datetime(2024, 3, 2, tzinfo=timezone.utc),
                 (-20.0, 30.0, 20.0, 70.0))


@pytest.fixture(scope="module")
def recipe():
    # Imported from sys.path, which the scheduler's worker processes inherit.
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(EXAMPLES))
        yield importlib.import_module("dask_parquet")


def write_source(folder, files=3, rows=200):
    frames = []
    for part in range(files):
        n = range(part * rows, (part + 1) * rows)
        frame = pd.DataFrame({
            "vehicle": [f"v{i}" for i in n],
            "ts": pd.to_datetime([BASE + timedelta(seconds=97 * i) for i in n], utc=True),
            "lon": [-10 + (i * 7919 % 2000) / 100 for i in n],
            "lat": [35 + (i * 104729 % 2500) / 100 for i in n],
        })
        frame.to_parquet(folder / f"part-{part}.parquet", index=False)
        frames.append(frame)
    return pd.concat(frames, ignore_index=True)


def brute_force(data, start, end, bbox):
    west, south, east, north = bbox
    inside = ((data.ts >= start) & (data.ts <= end) & data.lon.between(west, east) & data.lat.between(south, north))
    return sorted(data.vehicle[inside])


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_recipe_keys_sorts_and_stores_the_key_space(tmp_path, recipe, scheduler):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    data = write_source(source)
    recipe.index_parquet(str(source), str(target), SPACE, time="ts", longitude="lon", latitude="lat",
                         scheduler=scheduler)
    dataset = open_dataset(target)
    assert dataset.key_space == SPACE and dataset.num_rows == len(data)
    keys = pd.read_parquet(target).key
    assert keys.is_monotonic_increasing and keys.dtype == "int64"
    start, end, bbox = BASE + timedelta(hours=2), BASE + timedelta(hours=9), (-5.0, 40.0, 5.0, 55.0)
    assert sorted(query(target, start, end, bbox).column("vehicle").to_pylist()) == brute_force(data, start, end, bbox)
    lazy = read_window(target, start, end, bbox, columns=["vehicle"])
    assert sorted(lazy.compute().vehicle) == brute_force(data, start, end, bbox)


def test_recipe_command_line_takes_columns_and_extent(tmp_path):
    source, target = tmp_path / "in", tmp_path / "out"
    source.mkdir()
    data = write_source(source, files=2, rows=50)
    subprocess.run([sys.executable, str(EXAMPLES / "dask_parquet.py"), str(source), str(target), "--time", "ts",
                    "--lon", "lon", "--lat", "lat", "--extent", "2024-03-01T00:00Z", "2024-03-02T00:00Z",
                    "-20", "30", "20", "70"], check=True, capture_output=True, timeout=120)
    assert open_dataset(target).key_space == SPACE and open_dataset(target).num_rows == len(data)


def test_skipped_points_keep_null_keys_not_floats(tmp_path):
    import dask.dataframe as dd

    from tessellon_index.dask import add_keys

    frame = pd.DataFrame({"ts": pd.to_datetime(["2024-03-01T01:00Z", "2024-03-05T00:00Z"]),
                          "lon": [0.0, 0.0], "lat": [40.0, 40.0]})
    keyed = add_keys(dd.from_pandas(frame, npartitions=1), SPACE, time="ts", longitude="lon", latitude="lat",
                     invalid="skip").compute()
    assert str(keyed.key.dtype) == "Int64" and keyed.key.isna().tolist() == [False, True]
