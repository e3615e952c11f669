"""Hands pandas objects to the native reader in a form it reads directly.

Arrow data (pyarrow, polars, nanoarrow, DuckDB), numpy arrays, buffers and
plain sequences go to the native code as they are. A pandas Series or Index
is unwrapped first: its datetime64 values without a copy (zone-aware ones
hold UTC instants), its Arrow-backed data as Arrow, its float values as
numpy. Nothing here imports pandas: its objects are recognised by module.
"""

from __future__ import annotations

from typing import Any


def _is_pandas(value: Any) -> bool:
    # pandas 3 names its public classes' module "pandas", earlier ones "pandas.core..."
    module = type(value).__module__
    return module == "pandas" or module.startswith("pandas.")


def _pandas_arrow(value: Any) -> Any | None:
    """The Arrow data of an Arrow-backed pandas column, or None."""
    dtype = getattr(value, "dtype", None)
    if type(dtype).__name__ != "ArrowDtype":
        return None
    array = value.array
    # ArrowExtensionArray speaks the pyarrow protocol; pyarrow is present.
    import pyarrow  # pandas' Arrow-backed columns need it, so it is there

    return pyarrow.chunked_array(array.__arrow_array__()) if hasattr(array, "__arrow_array__") else None


def time_column(times: Any) -> tuple[Any, bool]:
    """(what to hand to the native reader, whether numpy values hold UTC)."""
    if not _is_pandas(times):
        return times, False
    arrow = _pandas_arrow(times)
    if arrow is not None:
        return arrow, False
    dtype: Any = getattr(times, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if kind == "M":
        zone = getattr(dtype, "tz", None)
        values = times.array if hasattr(times, "array") else times
        # DatetimeArray._ndarray is the datetime64 storage itself (UTC when zoned).
        ndarray = getattr(values, "_ndarray", None)
        if ndarray is None:
            ndarray = times.to_numpy(dtype=f"datetime64[{dtype.unit}]") if zone is None else None
        if ndarray is None:
            ndarray = times.tz_convert("UTC").tz_localize(None).to_numpy() if hasattr(times, "tz_convert") else (
                times.dt.tz_convert("UTC").dt.tz_localize(None).to_numpy())
        return ndarray, zone is not None
    return times, False


def coordinate_column(values: Any) -> Any:
    if not _is_pandas(values):
        return values
    arrow = _pandas_arrow(values)
    if arrow is not None:
        return arrow
    dtype = getattr(values, "dtype", None)
    if getattr(dtype, "kind", None) == "f" and type(dtype).__module__.startswith("numpy"):
        return values.to_numpy(copy=False)
    if hasattr(values, "isna") and type(dtype).__module__.startswith("pandas"):
        # Nullable Float64 and friends: keep the nulls as nulls.
        try:
            import pyarrow
        except ImportError:
            return values
        return pyarrow.array(values, from_pandas=True)
    return values


def key_column(keys: Any) -> Any:
    if not _is_pandas(keys):
        return keys
    arrow = _pandas_arrow(keys)
    if arrow is not None:
        return arrow
    dtype = getattr(keys, "dtype", None)
    if getattr(dtype, "kind", None) == "i" and type(dtype).__module__.startswith("numpy"):
        return keys.to_numpy(copy=False)
    try:
        import pyarrow
    except ImportError:
        return keys
    return pyarrow.array(keys, from_pandas=True, type=pyarrow.int64())
