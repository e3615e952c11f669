"""Uses the installed wheel's two modules; run from an empty folder, so that
only the installed wheel can be imported. Prints the path of every extension
module. Given the wheel, also checks that it holds the type stubs.

    python wheel_smoke.py [WHEEL]
"""

import sys
import zipfile
from datetime import datetime, timezone
from importlib.metadata import version
from pathlib import Path

import tessellon
import tessellon_index

UTC = timezone.utc
START, END, NOON = (datetime(2020, 1, 1, tzinfo=UTC), datetime(2020, 1, 2, tzinfo=UTC),
                    datetime(2020, 1, 1, 12, tzinfo=UTC))
CENTRE_KEY = 1152921504606846975

hasher = tessellon.Hasher(START, END)
assert hasher.hash(NOON, 0.0, 0.0) == CENTRE_KEY
assert hasher.hash_all([START, NOON], [-180.0, 0.0], [-90.0, 0.0]) == [0, CENTRE_KEY]
assert tessellon.__version__ == version("tessellon") and tessellon.__all__ == ["Hasher", "__version__"]

space = tessellon_index.KeySpace(START, END)
keys = space.hash_columns([NOON], [0.0], [0.0])
assert list(keys) == [CENTRE_KEY], list(keys)
cell = space.cell(CENTRE_KEY)
assert cell.west <= 0.0 <= cell.east and cell.south <= 0.0 <= cell.north, cell

if len(sys.argv) > 1:
    names = zipfile.ZipFile(sys.argv[1]).namelist()
    assert "tessellon-stubs/__init__.pyi" in names, names
assert (Path(tessellon.__file__).parent / "tessellon-stubs" / "__init__.pyi").is_file()
print(tessellon.__file__)
print(tessellon_index._native.__file__)
