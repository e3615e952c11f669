"""The README's runnable example and picture script work as described."""

import importlib
import subprocess
import sys
from pathlib import Path

import tessellon

ROOT = Path(__file__).resolve().parents[1]


def run(script, *args):
    proc = subprocess.run([sys.executable, str(ROOT / script), *args],
                          capture_output=True, text=True, timeout=120, check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_quickstart_prints_the_fixes_sorted_by_key():
    lines = run("examples/quickstart.py").splitlines()
    assert lines[0] == f"tessellon {tessellon.__version__}: 24 fixes, sorted by key"
    rows = [line.split() for line in lines[3:]]
    assert len(rows) == 24
    keys = [int(row[0]) for row in rows if row[0].isdigit()]
    assert keys == sorted(keys) and 0 < len(keys) < 24
    assert all(line.startswith(" outside the extent") for line in lines[3 + len(keys):])


def test_committed_zorder_picture_is_what_the_script_draws(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "docs"))
    zorder = importlib.import_module("zorder")
    order = zorder.ranks()
    assert order[:4] == [(0, 0), (1, 0), (0, 1), (1, 1)]  # longitude bit below latitude bit
    assert (ROOT / "docs" / "zorder.svg").read_text(encoding="utf-8") == zorder.svg(order)


def test_readme_precision_table_is_what_the_script_prints():
    assert run("docs/precision.py") in (ROOT / "docs" / "hasher.md").read_text(encoding="utf-8")
