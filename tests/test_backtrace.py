"""TESSELLON_BACKTRACE: an internal fault's report on standard error carries a
stack trace when the variable is set to anything but "" or "0".

The fault is a real one, in a fresh interpreter: the datetime module cannot
be imported when the module first needs its types.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import tessellon

FAULT = textwrap.dedent("""
    import datetime as dt, sys
    import tessellon
    start = dt.datetime(2020, 1, 1, tzinfo=dt.timezone.utc)
    sys.modules["datetime"] = None  # the module's first use of datetime types now fails
    try:
        tessellon.Hasher(start, start)
    except BaseException as error:
        print(type(error).__name__, isinstance(error, Exception))
""")
REPORT = "tessellon: internal fault: could not import datetime: import of datetime halted; None in sys.modules\n"
HINT = "(set TESSELLON_BACKTRACE=1 for a stack trace)\n"
MODULE_FILE = os.path.basename(tessellon.__file__)


def run_fault(value):
    env = {k: v for k, v in os.environ.items() if k != "TESSELLON_BACKTRACE"}
    if value is not None:
        env["TESSELLON_BACKTRACE"] = value
    proc = subprocess.run([sys.executable, "-c", FAULT], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    # The fault is raised as PanicException, which no `except Exception` catches.
    assert proc.stdout == "PanicException False\n"
    return proc.stderr


@pytest.mark.parametrize("value", [None, "0", ""], ids=["unset", "zero", "empty"])
def test_no_trace_unless_asked(value):
    assert run_fault(value) == REPORT + HINT


def test_trace_when_set_to_1():
    stderr = run_fault("1")
    assert stderr.startswith(REPORT + "stack trace:\n"), stderr
    assert HINT not in stderr
    frames = stderr[len(REPORT + "stack trace:\n"):].splitlines()
    # backtrace_symbols_fd: one line per frame, "object(symbol+offset)[address]".
    assert len(frames) >= 3 and all(line.rstrip().endswith("]") for line in frames), stderr
    assert any(MODULE_FILE in line for line in frames), stderr
