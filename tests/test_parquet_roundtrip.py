"""write_dataset + query against a brute-force filter of the same rows.

Points and query bounds are drawn from one small pool of values, so rows
fall exactly on the window's and box's edges, just inside and just outside
them, outside the key space, null and NaN.
"""

import math
import uuid
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow", reason="the Parquet datasets need pyarrow: pip install '.[test]'")

from tessellon_index import KeySpace  # noqa: E402
from tessellon_index.parquet import open_dataset, query, query_with_stats, write_dataset  # noqa: E402

DAY = datetime(2024, 1, 1, tzinfo=timezone.utc)
EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
SPACE = KeySpace(DAY, DAY + timedelta(days=1), (-20.0, -20.0, 20.0, 20.0))
NS_PER_MINUTE = 60 * 10**9
DAY_NS = (DAY - EPOCH) // timedelta(microseconds=1) * 1000

# Minutes from the key space's start (outside it at both ends), then a few
# nanoseconds of offset so that flooring to the millisecond matters.
TIME_NS = st.builds(lambda minutes, offset: DAY_NS + minutes * NS_PER_MINUTE + offset,
                    st.sampled_from([-90, -1, 0, 1, 59, 60, 61, 720, 1439, 1440, 1441, 1500]),
                    st.sampled_from([0, 1, 999, 1000, 999_999, 1_000_000]))
LONGITUDES = [-179.5, -25.0, -20.0, -10.0, -9.99, 0.0, 5.0, 10.0, 10.000001, 20.0, 25.0, 179.5]
LATITUDES = [-25.0, -20.0, -10.0, 0.0, 10.0, 10.000001, 20.0, 25.0, 89.0]
MISSING = [None, math.nan]


def points(allow_missing):
    extra = MISSING if allow_missing else []
    return st.tuples(st.one_of(TIME_NS, st.none()) if allow_missing else TIME_NS,
                     st.sampled_from(LONGITUDES + extra), st.sampled_from(LATITUDES + extra))


def to_datetime(nanoseconds):
    return EPOCH + timedelta(microseconds=nanoseconds // 1000)


WINDOWS = st.tuples(TIME_NS, TIME_NS).map(lambda pair: tuple(sorted(pair))).map(
    lambda pair: (to_datetime(pair[0]), to_datetime(pair[1])))
BBOXES = st.one_of(
    st.none(),
    st.tuples(st.sampled_from(LONGITUDES), st.sampled_from(LATITUDES),
              st.sampled_from(LONGITUDES), st.sampled_from(LATITUDES)).filter(lambda box: box[1] <= box[3]))


def matches(row, start, end, bbox):
    """The brute-force predicate: inclusive bounds, antimeridian when west > east."""
    nanoseconds, longitude, latitude = row
    start_ns = (start - EPOCH) // timedelta(microseconds=1) * 1000
    end_ns = (end - EPOCH) // timedelta(microseconds=1) * 1000
    if nanoseconds is None or not start_ns <= nanoseconds <= end_ns:
        return False
    if bbox is None:
        return True
    west, south, east, north = bbox
    if longitude is None or latitude is None or math.isnan(longitude) or math.isnan(latitude):
        return False
    inside_longitude = (longitude >= west or longitude <= east) if west > east else west <= longitude <= east
    return inside_longitude and south <= latitude <= north


def table_of(rows):
    return pa.table({
        "ts": pa.array([row[0] for row in rows], pa.timestamp("ns", "UTC")),
        "lon": pa.array([row[1] for row in rows], pa.float64()),
        "lat": pa.array([row[2] for row in rows], pa.float64()),
        "id": pa.array(range(len(rows)), pa.int64()),
    })


@st.composite
def datasets(draw):
    invalid = draw(st.sampled_from(["skip", "clamp"]))
    batches = draw(st.lists(st.lists(points(invalid == "skip"), max_size=25), min_size=1, max_size=3))
    return invalid, batches


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=datasets(), windows=st.lists(st.tuples(WINDOWS, BBOXES), min_size=1, max_size=4),
       row_group_size=st.integers(1, 6), sort=st.sampled_from(["memory", "duckdb"]))
def test_query_returns_exactly_the_brute_force_rows(tmp_path, data, windows, row_group_size, sort):
    invalid, batches = data
    target = tmp_path / uuid.uuid4().hex
    rows = []
    for batch in batches:
        # Each write appends its own files: several files, several row groups each.
        table = table_of(batch).set_column(3, "id", pa.array(range(len(rows), len(rows) + len(batch)), pa.int64()))
        write_dataset(table, target, SPACE, time="ts", longitude="lon", latitude="lat", invalid=invalid,
                      row_group_size=row_group_size, rows_per_file=2 * row_group_size, sort=sort, mode="append")
        rows.extend(batch)
    dataset = open_dataset(target)
    assert dataset.num_rows == len(rows)
    for (start, end), bbox in windows:
        result, stats = query_with_stats(dataset, start, end, bbox)
        expected = sorted(index for index, row in enumerate(rows) if matches(row, start, end, bbox))
        assert sorted(result.column("id").to_pylist()) == expected
        assert stats.rows_matched == len(expected) and stats.rows_read <= stats.rows
        assert stats.row_groups_read <= stats.row_groups and stats.bytes_read <= stats.bytes


def test_rows_come_back_unchanged_with_their_schema(tmp_path):
    table = pa.table({
        "ts": pa.array([DAY_NS + 7, DAY_NS + 3 * NS_PER_MINUTE + 123_456_789], pa.timestamp("ns", "UTC")),
        "lon": pa.array([1.5, -3.25], pa.float32()),
        "lat": [2.0, 4.0],
        "name": pa.array(["a", "b"], pa.large_string()),
        "kind": pa.array(["x", "y"]).dictionary_encode(),
        "span": pa.array([5, 6], pa.duration("ns")),
    })
    for sort in ("memory", "duckdb"):
        target = tmp_path / sort
        write_dataset(table, target, SPACE, time="ts", longitude="lon", latitude="lat", sort=sort)
        result = query(target, DAY, DAY + timedelta(hours=1)).sort_by("ts")
        unkeyed = result.drop_columns(["key"])
        assert unkeyed.schema.remove_metadata() == table.schema, sort
        assert unkeyed.to_pylist() == table.to_pylist(), sort


def test_out_of_core_sort_matches_the_in_memory_one(tmp_path):
    rows = [(DAY_NS + minute * 7_919 % 86_400 * 10**9, -19.0 + minute % 38, -19.0 + minute % 37) for minute in range(500)]
    reader = pa.RecordBatchReader.from_batches(table_of(rows).schema, table_of(rows).to_batches(max_chunksize=64))
    write_dataset(reader, tmp_path / "stream", SPACE, time="ts", longitude="lon", latitude="lat",
                  row_group_size=50)
    write_dataset(table_of(rows), tmp_path / "memory", SPACE, time="ts", longitude="lon", latitude="lat",
                  row_group_size=50, sort="memory")
    streamed = open_dataset(tmp_path / "stream")
    assert {streamed.files[0].metadata.row_group(0).num_rows} == {50}
    assert streamed.num_rows == 500 and streamed.num_row_groups == 10
    everything = [query(tmp_path / name, DAY, DAY + timedelta(days=1)).column("key").to_pylist()
                  for name in ("stream", "memory")]
    assert everything[0] == everything[1] == sorted(everything[0])


@pytest.mark.parametrize("frame", ["pandas", "polars"])
def test_dataframes_are_written_as_they_are(tmp_path, frame):
    rows = [(DAY_NS + 10**9 * second, 1.0, 2.0) for second in range(5)]
    table = table_of(rows)
    data = table.to_pandas() if frame == "pandas" else pytest.importorskip("polars").from_arrow(table)
    write_dataset(data, tmp_path / "out", SPACE, time="ts", longitude="lon", latitude="lat")
    result = query(tmp_path / "out", DAY, DAY + timedelta(seconds=3), (0, 0, 2, 3))
    assert sorted(result.column("id").to_pylist()) == [0, 1, 2, 3]


def test_a_naive_time_column_is_utc_when_the_writer_says_so(tmp_path):
    table = table_of([(DAY_NS + 10**9, 1.0, 2.0)]).set_column(
        0, "ts", pa.array([DAY_NS + 10**9], pa.timestamp("ns")))
    with pytest.raises(TypeError, match="naive"):
        write_dataset(table, tmp_path / "refused", SPACE, time="ts", longitude="lon", latitude="lat")
    write_dataset(table, tmp_path / "out", SPACE, time="ts", longitude="lon", latitude="lat", naive_utc=True)
    assert query(tmp_path / "out", DAY + timedelta(seconds=1), DAY + timedelta(seconds=1)).num_rows == 1
    assert query(tmp_path / "out", DAY, DAY + timedelta(microseconds=999_999)).num_rows == 0


def test_columns_selects_what_comes_back(tmp_path):
    write_dataset(table_of([(DAY_NS, 1.0, 2.0)]), tmp_path / "out", SPACE, time="ts", longitude="lon",
                  latitude="lat")
    assert query(tmp_path / "out", DAY, DAY, columns=["id"]).column_names == ["id"]
    with pytest.raises(KeyError, match="not in the dataset"):
        query(tmp_path / "out", DAY, DAY, columns=["nope"])
