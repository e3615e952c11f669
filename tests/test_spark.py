"""tessellon_index.spark in Spark's local mode, on small data."""

import shutil
from datetime import datetime, timedelta, timezone

import pytest

if shutil.which("java") is None:
    pytest.skip("Spark needs a Java runtime: .ci/install-system-deps installs one", allow_module_level=True)
pyspark = pytest.importorskip("pyspark", reason="the Spark module needs pyspark: pip install '.[test]'")
pa = pytest.importorskip("pyarrow")

from pyspark.sql import SparkSession  # noqa: E402

from tessellon_index import KeySpace  # noqa: E402
from tessellon_index.parquet import open_dataset, query  # noqa: E402
from tessellon_index.spark import read_window, write_dataset  # noqa: E402

DAY = datetime(2024, 1, 1, tzinfo=timezone.utc)
SPACE = KeySpace(DAY, DAY + timedelta(days=1), (-180.0, -90.0, 180.0, 90.0))


@pytest.fixture(scope="module")
def spark():
    session = (SparkSession.builder.master("local[2]").appName("tessellon-tests")
               .config("spark.sql.shuffle.partitions", "2").config("spark.ui.enabled", "false")
               .config("spark.sql.session.timeZone", "UTC").getOrCreate())
    yield session
    session.stop()


def rows():
    return [(f"p{i}", DAY + timedelta(seconds=61 * i), -179.0 + (i * 37 % 358), -80.0 + (i * 11 % 160))
            for i in range(1000)]


def brute_force(start, end, bbox):
    west, south, east, north = bbox
    return sorted(name for name, when, lon, lat in rows()
                  if start <= when <= end and ((lon >= west or lon <= east) if west > east else west <= lon <= east)
                  and south <= lat <= north)


@pytest.fixture(scope="module")
def dataset(spark, tmp_path_factory):
    path = str(tmp_path_factory.mktemp("spark") / "indexed")
    frame = spark.createDataFrame(rows(), "name string, ts timestamp, lon double, lat double")
    write_dataset(frame, path, SPACE, time="ts", longitude="lon", latitude="lat", partitions=2)
    return path


def test_files_are_sorted_by_key_and_carry_the_key_space(dataset):
    opened = open_dataset(dataset)
    assert opened.key_space == SPACE and opened.num_rows == 1000 and opened.columns.time == "ts"
    for file in opened.paths:
        keys = pa.parquet.read_table(file).column("key").to_pylist()
        assert keys == sorted(keys)


@pytest.mark.parametrize("bbox", [(-50.0, -40.0, 60.0, 45.0), (150.0, -80.0, -160.0, 80.0)])
def test_spark_and_pyarrow_queries_match_brute_force(spark, dataset, bbox):
    start, end = DAY + timedelta(hours=3), DAY + timedelta(hours=11)
    spark_rows = sorted(row.name for row in read_window(spark, dataset, start, end, bbox, columns=["name"]).collect())
    assert spark_rows == brute_force(start, end, bbox)
    assert sorted(query(dataset, start, end, bbox).column("name").to_pylist()) == brute_force(start, end, bbox)
