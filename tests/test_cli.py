"""The tessellon-index command line, end to end through subprocess."""

import os
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest

pa = pytest.importorskip("pyarrow", reason="the command line needs pyarrow: pip install '.[test]'")
import pyarrow.csv as csv  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

DAY = datetime(2024, 1, 1, tzinfo=timezone.utc)


def run(*arguments, check=True):
    result = subprocess.run([sys.executable, "-m", "tessellon_index", *arguments], capture_output=True, text=True,
                            env={**os.environ, "PYTHONWARNINGS": "ignore"}, timeout=120)
    if check:
        assert result.returncode == 0, result.stderr
    return result


def points():
    minutes = list(range(0, 1440, 7))
    return pa.table({
        "when": pa.array([DAY + timedelta(minutes=m) for m in minutes], pa.timestamp("us", "UTC")),
        "x": [-170.0 + (m * 13 % 340) for m in minutes],
        "y": [-60.0 + (m * 7 % 120) for m in minutes],
        "name": [f"p{m}" for m in minutes],
    })


def expected_names(table, start, end, bbox):
    west, south, east, north = bbox
    return sorted(row["name"] for row in table.to_pylist()
                  if start <= row["when"] <= end and west <= row["x"] <= east and south <= row["y"] <= north)


@pytest.mark.parametrize("source_format", ["parquet", "csv"])
def test_index_query_info(tmp_path, source_format):
    table = points()
    source = tmp_path / f"points.{source_format}"
    if source_format == "csv":
        csv.write_csv(table, source)
    else:
        pq.write_table(table, source)
    dataset = tmp_path / "indexed"
    indexed = run("index", str(source), str(dataset), "--time", "when", "--lon", "x", "--lat", "y",
                  "--extent", "2024-01-01T00:00Z", "2024-01-02T00:00Z", "-180", "-90", "180", "90",
                  "--row-group-size", "20")
    assert f"indexed {table.num_rows:,} rows" in indexed.stdout

    info = run("info", str(dataset)).stdout
    assert f"rows        {table.num_rows:,}" in info and "row groups  11" in info and "when" in info

    start, end, bbox = DAY + timedelta(hours=2), DAY + timedelta(hours=14), (-100.0, -30.0, 100.0, 40.0)
    out = tmp_path / "rows.csv"
    queried = run("query", str(dataset), "--start", start.isoformat(), "--end", end.isoformat(),
                  "--bbox", *map(str, bbox), "--out", str(out))
    assert "rows matched" in queried.stdout and "row groups" in queried.stdout
    assert sorted(csv.read_csv(out).column("name").to_pylist()) == expected_names(table, start, end, bbox)

    printed = run("query", str(dataset), "--start", start.isoformat(), "--end", end.isoformat(),
                  "--columns", "name", "--limit", "3").stdout
    assert printed.splitlines()[0].strip() == "name" and "more rows" in printed


@pytest.mark.parametrize("arguments, message", [
    (["query", "{dataset}", "--start", "2024-01-01T00:00", "--end", "2024-01-02T00:00Z"], "no UTC offset"),
    (["query", "{dataset}", "--start", "2024-01-02T00:00Z", "--end", "2024-01-01T00:00Z"], "start"),
    (["query", "{dataset}", "--start", "2024-01-01T00:00Z", "--end", "2024-01-02T00:00Z", "--out", "x.txt"],
     ".parquet or .csv"),
    (["info", "{missing}"], "no dataset"),
    (["index", "{source}", "{dataset}", "--time", "when", "--lon", "x", "--lat", "y", "--extent", "2024-01-01T00:00Z"],
     "--extent takes"),
    (["index", "{source}", "{fresh}", "--time", "nope", "--lon", "x", "--lat", "y",
      "--extent", "2024-01-01T00:00Z", "2024-01-02T00:00Z"], "not in the data"),
    (["index", "{source}", "{dataset}", "--time", "when", "--lon", "x", "--lat", "y",
      "--extent", "2024-01-01T00:00Z", "2024-01-02T00:00Z"], "append"),
])
def test_mistakes_exit_non_zero_with_a_message(tmp_path, arguments, message):
    source, dataset = tmp_path / "points.parquet", tmp_path / "indexed"
    pq.write_table(points(), source)
    run("index", str(source), str(dataset), "--time", "when", "--lon", "x", "--lat", "y",
        "--extent", "2024-01-01T00:00Z", "2024-01-02T00:00Z")
    paths = {"dataset": str(dataset), "missing": str(tmp_path / "missing"), "source": str(source),
             "fresh": str(tmp_path / "fresh")}
    result = run(*[argument.format(**paths) for argument in arguments], check=False)
    assert result.returncode != 0 and message in result.stderr, result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("command", ["index", "query", "info", "demo"])
def test_every_subcommand_has_help(command):
    assert "usage: tessellon-index " + command in run(command, "--help").stdout


def test_demo_on_a_small_size(tmp_path):
    result = run("demo", "--rows", "20000", "--dir", str(tmp_path))
    assert result.stdout.count("== ") == 6 and "read" in result.stdout
    assert "antimeridian" in result.stdout
    assert "indexed into" in result.stdout and list((tmp_path / "tracks").glob("*.parquet"))
