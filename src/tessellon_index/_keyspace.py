"""KeySpace: the extent of a key space, its columnar hashing and its queries."""

from __future__ import annotations

import json
import math
import struct
from datetime import datetime, timedelta, timezone
from typing import Any, NamedTuple

import tessellon

from tessellon_index import _columns
from tessellon_index._native import Extent, Keys, Query

_JSON_FORMAT = "tessellon.KeySpace"
_JSON_VERSION = 1
_AXIS_MAX = (1 << 21) - 1
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_INVALID_MODES = ("raise", "skip", "clamp")

Bbox = tuple[float, float, float, float]


class Resolution(NamedTuple):
    """The size of one cell: milliseconds of time and degrees of each axis."""

    milliseconds: float
    longitude: float
    latitude: float


class Cell(NamedTuple):
    """The region of the key space whose points get one key.

    ``start`` is inclusive and ``end`` exclusive (whole milliseconds, UTC;
    bounds beyond the years 1 to 9999 show as those years' limits, and a
    cell that no instant reaches has ``start >= end``);
    ``west``, ``south``, ``east`` and ``north`` are inclusive: they are the
    smallest and largest coordinates that fall in the cell.
    """

    start: datetime
    end: datetime
    west: float
    south: float
    east: float
    north: float


def _float_bits(value: float) -> int:
    return struct.unpack("<q", struct.pack("<d", value))[0]


class KeySpace:
    """The key space of ``tessellon.Hasher(start_datetime, end_datetime, bbox)``.

    The arguments are converted, and refused, exactly as the Hasher's are.
    Unlike a Hasher, a KeySpace can be read (``start``, ``end``, ``bbox``,
    ``resolution``), compared, hashed, pickled and stored as JSON
    (``to_json`` / ``KeySpace.from_json``) beside the keys it made.
    """

    __slots__ = ("_bbox", "_end", "_extent", "_start")

    def __init__(self, start_datetime: datetime, end_datetime: datetime, bbox: Bbox | None = None) -> None:
        extent = Extent(start_datetime, end_datetime, bbox)
        identity = extent.identity()
        self._extent = extent
        self._start = start_datetime
        self._end = end_datetime
        self._bbox: Bbox = (identity[6], identity[7], identity[8], identity[9])

    # What is read and kept -------------------------------------------------

    @property
    def start(self) -> datetime:
        """The start of the time range, as given."""
        return self._start

    @property
    def end(self) -> datetime:
        """The end of the time range, as given."""
        return self._end

    @property
    def bbox(self) -> Bbox:
        """(west, south, east, north); the whole world when none was given."""
        return self._bbox

    @property
    def resolution(self) -> Resolution:
        """The size of one cell in milliseconds and degrees."""
        west, south, east, north = self._bbox
        return Resolution(self._extent.span_ms / _AXIS_MAX, (east - west) / _AXIS_MAX, (north - south) / _AXIS_MAX)

    def hasher(self) -> tessellon.Hasher:
        """The equal ``tessellon.Hasher``: the same keys for the same points."""
        return tessellon.Hasher(self._start, self._end, self._bbox)

    def _identity(self) -> tuple[int, ...]:
        identity = self._extent.identity()
        return (*identity[:6], *(_float_bits(value) for value in identity[6:]))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, KeySpace):
            return NotImplemented
        return self._identity() == other._identity()

    def __hash__(self) -> int:
        return hash(self._identity())

    def __repr__(self) -> str:
        west, south, east, north = self._bbox
        return (
            f"KeySpace(start={self._start.isoformat()}, end={self._end.isoformat()}, "
            f"bbox=({west!r}, {south!r}, {east!r}, {north!r}))"
        )

    def __reduce__(self) -> tuple[Any, ...]:
        return (KeySpace, (self._start, self._end, self._bbox))

    def to_json(self) -> str:
        """A small versioned JSON object; ``KeySpace.from_json`` reads it back."""
        west, south, east, north = self._bbox
        if not all(math.isfinite(value) for value in self._bbox):
            raise ValueError("a key space with a non-finite bbox cannot be stored as JSON")
        document = {
            "format": _JSON_FORMAT,
            "version": _JSON_VERSION,
            "start": _iso_instant(self._start),
            "end": _iso_instant(self._end),
            "bbox": [west, south, east, north],
        }
        text = json.dumps(document, separators=(",", ":"))
        if KeySpace.from_json(text) != self:
            # Only a datetime subclass that reports more than it prints gets here.
            raise ValueError("this key space's datetimes cannot be stored as ISO 8601 text exactly")
        return text

    @classmethod
    def from_json(cls, text: str | bytes) -> KeySpace:
        """The KeySpace stored by ``to_json``."""
        try:
            document = json.loads(text)
        except ValueError as error:
            raise ValueError(f"not a key space: the text is not JSON ({error})") from None
        if not isinstance(document, dict) or document.get("format") != _JSON_FORMAT:
            raise ValueError(f"not a key space: expected a JSON object with \"format\": \"{_JSON_FORMAT}\"")
        version = document.get("version")
        if version != _JSON_VERSION:
            raise ValueError(
                f"key space JSON version {version!r} is not supported by this tessellon (it reads version "
                f"{_JSON_VERSION}); upgrade tessellon to read it"
            )
        try:
            start = datetime.fromisoformat(document["start"])
            end = datetime.fromisoformat(document["end"])
            bbox_items = document["bbox"]
            if not isinstance(bbox_items, list) or len(bbox_items) != 4:
                raise ValueError("bbox must be a list of four numbers")
            bbox = tuple(float(value) for value in bbox_items)
        except (KeyError, TypeError, ValueError) as error:
            raise ValueError(f"malformed key space JSON: {error}") from None
        if start.tzinfo is None or end.tzinfo is None:
            raise ValueError("malformed key space JSON: start and end must carry a UTC offset")
        return cls(start, end, bbox)  # type: ignore[arg-type]

    # Columns ---------------------------------------------------------------

    def hash_columns(
        self,
        times: Any,
        longitudes: Any,
        latitudes: Any,
        *,
        invalid: str = "raise",
        naive_utc: bool = False,
    ) -> Keys:
        """The keys of whole columns of points.

        ``times``: Arrow timestamps (any unit; pyarrow, polars, nanoarrow,
        DuckDB, pandas Arrow-backed columns), numpy ``datetime64`` arrays,
        pandas datetime Series or DatetimeIndex, or a sequence of aware
        datetimes. ``longitudes``/``latitudes``: Arrow or buffer float64 or
        float32 columns, pandas/polars float columns, or sequences of numbers.
        Naive timestamps are refused unless ``naive_utc=True``.

        ``invalid``: ``"raise"`` (the first row outside the extent raises
        ValueError naming it), ``"skip"`` (its key is null) or ``"clamp"``
        (the keys of ``hash_all_clamped``). A null time or coordinate is a
        null key under ``"skip"`` and a ValueError otherwise.
        """
        if invalid not in _INVALID_MODES:
            raise ValueError(f'invalid must be "raise", "skip" or "clamp", got {invalid!r}')
        if not isinstance(naive_utc, bool):
            raise TypeError(f"naive_utc must be a bool, got {type(naive_utc).__name__}")
        times_column, holds_utc = _columns.time_column(times)
        return self._extent.hash_columns(
            times_column,
            _columns.coordinate_column(longitudes),
            _columns.coordinate_column(latitudes),
            invalid,
            naive_utc,
            holds_utc,
        )

    # Queries ---------------------------------------------------------------

    def query(self, start_datetime: datetime, end_datetime: datetime, bbox: Bbox | None = None) -> Query:
        """The window [start_datetime, end_datetime] x bbox over this key space.

        Both ends are inclusive; ``bbox=None`` is the key space's own box,
        and ``west > east`` crosses the antimeridian.
        """
        return self._extent.query(start_datetime, end_datetime, bbox, self)

    def cell(self, key: int) -> Cell:
        """The region of the key space whose points get ``key``."""
        first_ms, last_ms, west, south, east, north = self._extent.cell(key)
        return Cell(_utc_from_millis(first_ms), _utc_from_millis(last_ms + 1) if last_ms < _LAST_MILLIS else
                    _utc_from_millis(last_ms), west, south, east, north)

    def decode(self, keys: Any) -> tuple[Any, Any, Any]:
        """The cell centres of a key column: (times, longitudes, latitudes).

        Times are a UTC timestamp column (``numpy.asarray`` gives
        ``datetime64[ms]``), coordinates float64 columns; null keys decode to
        NaN coordinates and a null time.
        """
        return self._extent.decode(_columns.key_column(keys))


def _iso_instant(moment: datetime) -> str:
    offset = moment.utcoffset()
    if offset is None:
        raise ValueError("a key space's datetimes must be aware")
    return moment.isoformat(timespec="microseconds")


_FIRST_MILLIS = (datetime(1, 1, 1, tzinfo=timezone.utc) - _EPOCH) // timedelta(milliseconds=1)
_LAST_MILLIS = (datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=timezone.utc) - _EPOCH) // timedelta(milliseconds=1)


def _utc_from_millis(millis: int) -> datetime:
    # Boundary cells reach the first and last instants a key space can hold,
    # beyond what datetime can: such bounds show as datetime's own limits.
    return _EPOCH + timedelta(milliseconds=min(max(millis, _FIRST_MILLIS), _LAST_MILLIS))
