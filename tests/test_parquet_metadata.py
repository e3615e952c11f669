"""The key space and column names stored in the files, and the errors when they do not fit."""

from datetime import datetime, timedelta, timezone

import pytest

pa = pytest.importorskip("pyarrow", reason="the Parquet datasets need pyarrow: pip install '.[test]'")
import pyarrow.parquet as pq  # noqa: E402

from tessellon_index import KeySpace  # noqa: E402
from tessellon_index.parquet import ColumnNames, open_dataset, query, write_dataset  # noqa: E402

DAY = datetime(2024, 1, 1, tzinfo=timezone.utc)
SPACE = KeySpace(DAY, DAY + timedelta(days=1), (-20.0, -20.0, 20.0, 20.0))
OTHER_SPACE = KeySpace(DAY, DAY + timedelta(days=2), (-20.0, -20.0, 20.0, 20.0))
NAMES = {"time": "ts", "longitude": "lon", "latitude": "lat"}


def small_table(count=4):
    return pa.table({"ts": pa.array([DAY + timedelta(minutes=m) for m in range(count)], pa.timestamp("us", "UTC")),
                     "lon": [float(m) for m in range(count)], "lat": [1.0] * count})


def test_open_dataset_reads_back_what_was_written(tmp_path):
    write_dataset(small_table(), tmp_path / "out", SPACE, row_group_size=2, **NAMES)
    dataset = open_dataset(tmp_path / "out")
    assert dataset.key_space == SPACE
    assert dataset.columns == ColumnNames("ts", "lon", "lat", "key", False)
    assert (dataset.num_rows, dataset.num_row_groups, len(dataset.files)) == (4, 2, 1)
    low, high = dataset.key_range()
    assert low <= high
    single = open_dataset(dataset.paths[0])
    assert single.key_space == SPACE and single.num_rows == 4


def test_files_of_two_key_spaces_are_refused_together(tmp_path):
    write_dataset(small_table(), tmp_path / "a", SPACE, **NAMES)
    write_dataset(small_table(), tmp_path / "b", OTHER_SPACE, **NAMES)
    with pytest.raises(ValueError, match="another key space"):
        open_dataset(tmp_path)
    with pytest.raises(ValueError, match="cannot append"):
        write_dataset(small_table(), tmp_path / "a", OTHER_SPACE, mode="append", **NAMES)


def test_files_indexed_on_other_columns_are_refused_together(tmp_path):
    write_dataset(small_table(), tmp_path / "a", SPACE, **NAMES)
    write_dataset(small_table().rename_columns(["t", "lon", "lat"]), tmp_path / "b", SPACE,
                  time="t", longitude="lon", latitude="lat")
    with pytest.raises(ValueError, match="other columns"):
        open_dataset(tmp_path)


def test_a_plain_parquet_file_says_how_to_index_it(tmp_path):
    pq.write_table(small_table(), tmp_path / "plain.parquet")
    with pytest.raises(ValueError, match="no tessellon key space.*write_dataset"):
        open_dataset(tmp_path)


def test_corrupt_metadata_is_named(tmp_path):
    table = small_table().replace_schema_metadata({"tessellon.key_space": "{", "tessellon.columns": "{}"})
    pq.write_table(table, tmp_path / "broken.parquet")
    with pytest.raises(ValueError, match="unreadable tessellon metadata"):
        open_dataset(tmp_path)


@pytest.mark.parametrize("path_kind, error", [("missing", FileNotFoundError), ("empty", FileNotFoundError)])
def test_nothing_to_open(tmp_path, path_kind, error):
    if path_kind == "empty":
        (tmp_path / "empty").mkdir()
    with pytest.raises(error):
        open_dataset(tmp_path / path_kind)


def test_a_second_write_does_not_silently_mix_into_a_dataset(tmp_path):
    write_dataset(small_table(), tmp_path / "out", SPACE, **NAMES)
    with pytest.raises(FileExistsError, match="append"):
        write_dataset(small_table(), tmp_path / "out", SPACE, **NAMES)
    write_dataset(small_table(), tmp_path / "out", SPACE, mode="append", **NAMES)
    assert open_dataset(tmp_path / "out").num_rows == 8


@pytest.mark.parametrize("arguments, error, message", [
    ({"time": "when"}, KeyError, "not in the data"),
    ({"key": "lat"}, ValueError, "already has a column"),
    ({"invalid": "ignore"}, ValueError, "invalid must be"),
    ({"row_group_size": 0}, ValueError, "row_group_size"),
    ({"sort": "quick"}, ValueError, "sort must be"),
    ({"mode": "overwrite"}, ValueError, "mode must be"),
])
def test_bad_write_arguments_are_refused_before_writing(tmp_path, arguments, error, message):
    with pytest.raises(error, match=message):
        write_dataset(small_table(), tmp_path / "out", SPACE, **{**NAMES, **arguments})
    assert not list(tmp_path.rglob("*.parquet"))


def test_points_outside_the_key_space_raise_by_default_and_name_the_row(tmp_path):
    table = small_table().set_column(1, "lon", pa.array([0.0, 1.0, 50.0, 2.0]))
    with pytest.raises(ValueError, match="row 2"):
        write_dataset(table, tmp_path / "out", SPACE, **NAMES)


def test_skipped_and_clamped_outliers_are_kept_and_found(tmp_path):
    table = small_table().set_column(1, "lon", pa.array([0.0, 1.0, 50.0, None]))
    for invalid in ("skip", "clamp"):
        data = table if invalid == "skip" else table.filter(pa.array([True, True, True, False]))
        write_dataset(data, tmp_path / invalid, SPACE, invalid=invalid, **NAMES)
        outside = query(tmp_path / invalid, DAY, DAY + timedelta(hours=1), (40.0, -5.0, 60.0, 5.0))
        assert outside.column("lon").to_pylist() == [50.0], invalid
        everything = query(tmp_path / invalid, DAY, DAY + timedelta(hours=1))
        assert everything.num_rows == data.num_rows, invalid


def test_query_bounds_must_be_aware(tmp_path):
    write_dataset(small_table(), tmp_path / "out", SPACE, **NAMES)
    with pytest.raises((TypeError, ValueError)):
        query(tmp_path / "out", datetime(2024, 1, 1), datetime(2024, 1, 2))
    with pytest.raises(ValueError):
        query(tmp_path / "out", DAY + timedelta(hours=1), DAY)
