"""Slow, obviously-correct Python model of tessellon's keys and errors.

Written independently of the extension so the property tests can compare the
two. Instants are (days since 1970-01-01, seconds of day, nanoseconds) in UTC;
nanoseconds of 1e9 and more mark a leap second.
"""

import math
import operator
from decimal import Decimal

AXIS_MAX = 2097151
NS = 1_000_000_000
MIN_YEAR, MAX_YEAR = -262143, 262142
U32, I32 = (0, 2**32 - 1), (-(2**31), 2**31 - 1)


def days_from_civil(y, m, d):
    y -= m <= 2
    era, yoe = divmod(y, 400)
    doy = (153 * (m - 3 if m > 2 else m + 9) + 2) // 5 + d - 1
    return era * 146097 + yoe * 365 + yoe // 4 - yoe // 100 + doy - 719468


def civil_from_days(z):
    era, doe = divmod(z + 719468, 146097)
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    m = mp + 3 if mp < 10 else mp - 9
    return yoe + era * 400 + (m <= 2), m, doy - (153 * mp + 2) // 5 + 1


def month_length(y, m):
    return days_from_civil(y + (m == 12), m % 12 + 1, 1) - days_from_civil(y, m, 1)


def _field(obj, name, bounds):
    value = operator.index(getattr(obj, name))
    if not bounds[0] <= value <= bounds[1]:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def utc_instant(dt):
    """An aware datetime (or subclass) as (days, seconds_of_day, nanoseconds) in UTC."""
    off = dt.tzinfo.utcoffset(None)
    micros = (off.days * 86400 + off.seconds) * 1_000_000 + off.microseconds
    offset = abs(micros) // 1_000_000 * (1 if micros >= 0 else -1)  # toward zero
    if abs(offset) > 86399:
        raise ValueError("fixed offset out of bounds")
    y, m, d = (_field(dt, "year", I32), _field(dt, "month", U32), _field(dt, "day", U32))
    if not (MIN_YEAR <= y <= MAX_YEAR and 1 <= m <= 12 and 1 <= d <= month_length(y, m)):
        raise ValueError("invalid or out-of-range date")
    h, mi, s, us = (_field(dt, f, U32) for f in ("hour", "minute", "second", "microsecond"))
    if h > 23 or mi > 59 or s > 59 or us > (1_999_999 if s == 59 else 999_999):
        raise ValueError("invalid or out-of-range time")
    days, sod = days_from_civil(y, m, d), h * 3600 + mi * 60 + s - offset
    days, sod = days + sod // 86400, sod % 86400  # offset is under a day
    if not days_from_civil(MIN_YEAR, 1, 1) <= days <= days_from_civil(MAX_YEAR, 12, 31):
        raise ValueError(f"The datetime {dt!r} contains an incompatible timezone")
    return days, sod, us * 1000


def span_ms(start, end):
    whole = (end[0] - start[0]) * 86400 + end[1] - start[1]
    if end[1] > start[1] and start[2] >= NS:
        whole += 1
    elif end[1] < start[1] and end[2] >= NS:
        whole -= 1
    total = whole * NS + end[2] - start[2]
    return float(abs(total) // 1_000_000 * (1 if total >= 0 else -1))


def unix_millis(x):
    return (x[0] * 86400 + x[1]) * 1000 + x[2] // 1_000_000


def ieee_div(a, b):
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def quantize(v):
    if v < 0:
        v = 0.0
    elif v > 1:
        v = 1.0
    v *= float(AXIS_MAX)
    return 0 if math.isnan(v) else int(v)


def interleave(lon, lat, t):
    key = 0
    for k in range(21):
        key |= ((lon >> k) & 1) << 3 * k | ((lat >> k) & 1) << 3 * k + 1 | ((t >> k) & 1) << 3 * k + 2
    return key


def instant_text(x):
    y, m, d = civil_from_days(x[0])
    sec, ns = x[1] % 60 + (x[2] >= NS), x[2] % NS
    year = f"{y:04d}" if 0 <= y <= 9999 else f"{y:+05d}"
    frac = "" if ns == 0 else (f".{ns // 10**6:03d}" if ns % 10**6 == 0 else
                               f".{ns // 1000:06d}" if ns % 1000 == 0 else f".{ns:09d}")
    return f"{year}-{m:02d}-{d:02d} {x[1] // 3600:02d}:{x[1] // 60 % 60:02d}:{sec:02d}{frac} UTC"


def float_text(v):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v) or v == 0.0:
        return repr(v).replace(".0", "")
    sign, digits, exp = Decimal(repr(abs(v))).normalize().as_tuple()
    ds, e = "".join(map(str, digits)), len(digits) + exp
    body = ("0." + "0" * -e + ds if e <= 0 else ds[:e] + "." + ds[e:] if e < len(ds)
            else ds + "0" * (e - len(ds)))
    return ("-" if v < 0 else "") + body


def _convert(fn, value, name):
    try:
        return fn(value)
    except Exception as exc:
        exc.add_note(f"while processing '{name}'")
        raise


class ReferenceHasher:
    def __init__(self, start_datetime, end_datetime, bbox=None):
        self.start = _convert(utc_instant, start_datetime, "start_datetime")
        self.end = _convert(utc_instant, end_datetime, "end_datetime")
        if bbox is not None and len(bbox) != 4:
            raise ValueError(f"expected tuple of length 4, but got tuple of length {len(bbox)}")
        w, s, e, n = (-180.0, -90.0, 180.0, 90.0) if bbox is None else map(float, bbox)
        self.min_lon, self.max_lon, self.lon_span = w, e, e - w
        self.min_lat, self.max_lat, self.lat_span = s, n, n - s
        self.span_ms = span_ms(self.start, self.end)

    def extent_error(self, x, lon, lat):
        if x < self.start or x > self.end:
            return f"datetime outside of the hasher's temporal extent: {instant_text(x)}"
        if lat < self.min_lat or lat > self.max_lat:
            return f"latitude outside of the hasher's spatial extent: {float_text(lat)}"
        if lon < self.min_lon or lon > self.max_lon:
            return f"longitude outside of the hasher's spatial extent: {float_text(lon)}"
        return None

    def encode(self, x, lon, lat):
        t = ieee_div(float(unix_millis(x) - unix_millis(self.start)), self.span_ms)
        return interleave(quantize(ieee_div(lon - self.min_lon, self.lon_span)),
                          quantize(ieee_div(lat - self.min_lat, self.lat_span)), quantize(t))

    def _point(self, dt, lon, lat):
        return (_convert(utc_instant, dt, "datetime"), _convert(float, lon, "longitude"),
                _convert(float, lat, "latitude"))

    def hash(self, dt, lon, lat):
        point = self._point(dt, lon, lat)
        if (err := self.extent_error(*point)) is not None:
            raise ValueError(err)
        return self.encode(*point)

    def hash_clamped(self, dt, lon, lat):
        return self.encode(*self._point(dt, lon, lat))

    def _points(self, dts, lons, lats):
        xs = _convert(lambda s: [utc_instant(d) for d in s], dts, "datetimes")
        los = _convert(lambda s: [float(v) for v in s], lons, "longitudes")
        las = _convert(lambda s: [float(v) for v in s], lats, "latitudes")
        if not len(xs) == len(los) == len(las):
            raise ValueError(f"sequences must be the same length: {len(xs)} datetimes, "
                             f"{len(los)} longitudes, {len(las)} latitudes")
        return list(zip(xs, los, las))

    def hash_all(self, dts, lons, lats, skip_invalid=False):
        out = []
        for i, point in enumerate(self._points(dts, lons, lats)):
            if (err := self.extent_error(*point)) is None:
                out.append(self.encode(*point))
            elif skip_invalid:
                out.append(None)
            else:
                raise ValueError(f"item {i}: {err}")
        return out

    def hash_all_clamped(self, dts, lons, lats):
        return [self.encode(*p) for p in self._points(dts, lons, lats)]
