import datetime as dt
import subprocess
import sys
import textwrap

import pytest

import tessellon

UTC = dt.timezone.utc


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


@pytest.fixture
def world_hasher():
    return tessellon.Hasher(utc(2020, 1, 1), utc(2020, 1, 2))


@pytest.fixture
def run_python():
    """Run code in a fresh interpreter, so process-wide state stays untouched."""

    def run(code, check=True):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=120)
        if check:
            assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc

    return run
