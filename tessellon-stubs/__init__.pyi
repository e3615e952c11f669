# Type stubs of the tessellon extension module: a PEP 561 stub-only package
# shipped in the module's own wheel. `python -m mypy.stubtest tessellon`
# checks them against the built module (.ci/typing).
from datetime import datetime
from typing import Protocol, Self, SupportsFloat, SupportsIndex, TypeVar, final

__all__ = ["Hasher", "__version__"]

__version__: str

_T_co = TypeVar("_T_co", covariant=True)

# A number as the module reads it: a float, or anything with __float__ or
# __index__ (int, bool, numpy scalars, Decimal, Fraction...).
_FloatLike = SupportsFloat | SupportsIndex

class _ItemSequence(Protocol[_T_co]):
    # What the module takes as a sequence: any object with item access, read
    # once through its iterator (list, tuple, range, bytes, array.array, numpy
    # arrays, pandas Series and DatetimeIndex...). At run time a str is
    # refused too, and so are dicts; sets, iterators and generators have no
    # item access.
    def __getitem__(self, index: int, /) -> _T_co: ...

@final
class Hasher:
    def __new__(
        cls,
        start_datetime: datetime,
        end_datetime: datetime,
        bbox: tuple[float, float, float, float] | None = None,
    ) -> Self: ...
    def hash(self, datetime: datetime, longitude: _FloatLike, latitude: _FloatLike) -> int: ...
    def hash_clamped(self, datetime: datetime, longitude: _FloatLike, latitude: _FloatLike) -> int: ...
    # skip_invalid also takes a numpy boolean at run time; bool(flag) types.
    def hash_all(
        self,
        datetimes: _ItemSequence[datetime],
        longitudes: _ItemSequence[_FloatLike],
        latitudes: _ItemSequence[_FloatLike],
        skip_invalid: bool = False,
    ) -> list[int | None]: ...
    def hash_all_clamped(
        self,
        datetimes: _ItemSequence[datetime],
        longitudes: _ItemSequence[_FloatLike],
        latitudes: _ItemSequence[_FloatLike],
    ) -> list[int]: ...
