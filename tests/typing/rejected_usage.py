"""Calls the stubs must reject. mypy (--warn-unused-ignores) and pyright
(reportUnnecessaryTypeIgnoreComment) fail on an ignore that matches no error."""

from datetime import date, datetime, timezone

from tessellon import Hasher

start = datetime(2020, 1, 1, tzinfo=timezone.utc)
hasher = Hasher(start, start)

hasher.hash(date(2020, 1, 1), 0.0, 0.0)  # type: ignore[arg-type]
hasher.hash(start, "0", 0.0)  # type: ignore[arg-type]
hasher.hash_all([start], "0", [0.0])  # type: ignore[arg-type]
hasher.hash_all([start], {0.0}, [0.0])  # type: ignore[arg-type]
hasher.hash_all([start], (x for x in [0.0]), [0.0])  # type: ignore[arg-type]
hasher.hash_all([start], [0.0], [0.0], skip_invalid=1)  # type: ignore[arg-type]
hasher.hash_all_clamped([start], [0.0], [0.0], skip_invalid=True)  # type: ignore[call-arg]
Hasher(start, start, [0.0, 0.0, 1.0, 1.0])  # type: ignore[arg-type]
Hasher(start, start, (0.0, 0.0, 1.0))  # type: ignore[arg-type]
keys: list[int] = hasher.hash_all([start], [0.0], [0.0])  # type: ignore[assignment]


class Sub(Hasher):  # type: ignore[misc]
    pass
