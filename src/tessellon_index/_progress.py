"""A small progress bar on stderr, drawn only when stderr is a terminal."""

from __future__ import annotations

import sys
import time
from typing import TextIO


class ProgressBar:
    """Called as ``bar(stage, done, total)``; redraws at most ten times a second."""

    def __init__(self, stream: TextIO | None = None, enabled: bool | None = None) -> None:
        self._stream = stream or sys.stderr
        self._enabled = self._stream.isatty() if enabled is None else enabled
        self._stage = ""
        self._last_draw = 0.0

    def __call__(self, stage: str, done: int, total: int) -> None:
        if not self._enabled:
            return
        now = time.monotonic()
        finished = total > 0 and done >= total
        if stage == self._stage and not finished and now - self._last_draw < 0.1:
            return
        if stage != self._stage and self._stage:
            self._stream.write("\n")
        self._stage, self._last_draw = stage, now
        if total > 0:
            share = min(done / total, 1.0)
            filled = int(30 * share)
            line = f"\r{stage:<6} [{'#' * filled}{' ' * (30 - filled)}] {100 * share:5.1f}% {done:,}/{total:,}"
        else:
            line = f"\r{stage:<6} {done:,} rows"
        self._stream.write(line)
        self._stream.flush()

    def close(self) -> None:
        if self._enabled and self._stage:
            self._stream.write("\n")
            self._stream.flush()
        self._stage = ""
