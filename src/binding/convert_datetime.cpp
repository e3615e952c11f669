// Aware datetimes with a fixed UTC offset become instants in UTC. Every field
// is read as a Python attribute, so subclasses report what they like.
#include <limits>

#include "binding/convert.hpp"
#include "binding/python_names.hpp"

namespace tessellon::binding {
namespace {

__extension__ typedef __int128 Int128;

constexpr std::int64_t MAX_OFFSET_SECONDS = 86399;

BindingError overflow_error() {
    return BindingError::deferred(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An attribute read as a C long; -1 is a value unless the host reports an error.
Result<long> read_long_attribute(PyObject* object, PyObject* name) {
    PyRef value = PyRef::steal(PyObject_GetAttr(object, name));
    if (!value) {
        return std::unexpected(fetch_pending_error());
    }
    const long number = PyLong_AsLong(value.get());
    if (number == -1 && PyErr_Occurred()) {
        return std::unexpected(fetch_pending_error());
    }
    return number;
}

template <class Field>
Result<Field> read_field(PyObject* object, PyObject* name) {
    Result<long> number = read_long_attribute(object, name);
    if (!number) {
        return std::unexpected(std::move(number.error()));
    }
    if (*number < std::numeric_limits<Field>::min() || *number > std::numeric_limits<Field>::max()) {
        return std::unexpected(overflow_error());
    }
    return static_cast<Field>(*number);
}

struct WallClock {
    std::int32_t year;
    std::uint32_t month, day, hour, minute, second, microsecond;
};

Result<WallClock> read_wall_clock(PyObject* datetime) {
    const InternedNames& names = interned_names();
    WallClock clock{};
    // Each field is converted right after it is read, in this order.
    auto year = read_field<std::int32_t>(datetime, names.year);
    if (!year) return std::unexpected(std::move(year.error()));
    auto month = read_field<std::uint32_t>(datetime, names.month);
    if (!month) return std::unexpected(std::move(month.error()));
    auto day = read_field<std::uint32_t>(datetime, names.day);
    if (!day) return std::unexpected(std::move(day.error()));
    if (!is_valid_civil_date(*year, *month, *day)) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "invalid or out-of-range date"));
    }
    auto hour = read_field<std::uint32_t>(datetime, names.hour);
    if (!hour) return std::unexpected(std::move(hour.error()));
    auto minute = read_field<std::uint32_t>(datetime, names.minute);
    if (!minute) return std::unexpected(std::move(minute.error()));
    auto second = read_field<std::uint32_t>(datetime, names.second);
    if (!second) return std::unexpected(std::move(second.error()));
    auto microsecond = read_field<std::uint32_t>(datetime, names.microsecond);
    if (!microsecond) return std::unexpected(std::move(microsecond.error()));
    const bool leap_second = *second == 59 && *microsecond <= 1'999'999;
    if (*hour > 23 || *minute > 59 || *second > 59 || (*microsecond > 999'999 && !leap_second)) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "invalid or out-of-range time"));
    }
    clock = {*year, *month, *day, *hour, *minute, *second, *microsecond};
    return clock;
}

}  // namespace

Result<std::int32_t> convert_fixed_offset(PyObject* tzinfo) {
    const DatetimeTypes& types = datetime_types();
    if (!PyType_IsSubtype(Py_TYPE(tzinfo), reinterpret_cast<PyTypeObject*>(types.tzinfo))) {
        return std::unexpected(TypeMismatchError{tzinfo, types.tzinfo}.to_binding_error());
    }
    const InternedNames& names = interned_names();
    PyRef utcoffset = PyRef::steal(PyObject_GetAttr(tzinfo, names.utcoffset));
    if (!utcoffset) {
        return std::unexpected(fetch_pending_error());
    }
    PyRef offset = PyRef::steal(PyObject_CallFunctionObjArgs(utcoffset.get(), Py_None, nullptr));
    if (!offset) {
        return std::unexpected(fetch_pending_error());
    }
    if (offset.get() == Py_None) {
        return std::unexpected(
            BindingError::deferred(PyExc_TypeError, object_repr_text(tzinfo) + " is not a fixed offset timezone"));
    }
    if (!PyType_IsSubtype(Py_TYPE(offset.get()), reinterpret_cast<PyTypeObject*>(types.timedelta))) {
        return std::unexpected(TypeMismatchError{offset.get(), types.timedelta}.to_binding_error());
    }
    auto days = read_long_attribute(offset.get(), names.days);
    if (!days) return std::unexpected(std::move(days.error()));
    auto seconds = read_long_attribute(offset.get(), names.seconds);
    if (!seconds) return std::unexpected(std::move(seconds.error()));
    auto microseconds = read_long_attribute(offset.get(), names.microseconds);
    if (!microseconds) return std::unexpected(std::move(microseconds.error()));
    // 128 bits hold any three 64-bit fields exactly, so even absurd
    // subclasses get the plain "out of bounds" answer.
    const Int128 total_microseconds = static_cast<Int128>(*days) * 86'400'000'000 +
                                      static_cast<Int128>(*seconds) * 1'000'000 + *microseconds;
    const Int128 whole_seconds = total_microseconds / 1'000'000;  // truncates toward zero
    if (whole_seconds < -MAX_OFFSET_SECONDS || whole_seconds > MAX_OFFSET_SECONDS) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "fixed offset out of bounds"));
    }
    return static_cast<std::int32_t>(whole_seconds);
}

Result<UtcDateTime> convert_datetime(PyObject* object) {
    const DatetimeTypes& types = datetime_types();
    if (!PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(types.datetime))) {
        return std::unexpected(TypeMismatchError{object, types.datetime}.to_binding_error());
    }
    PyRef tzinfo = PyRef::steal(PyObject_GetAttr(object, interned_names().tzinfo));
    if (!tzinfo || tzinfo.get() == Py_None) {
        PyErr_Clear();
        return std::unexpected(BindingError::deferred(PyExc_TypeError, "expected a datetime with non-None tzinfo"));
    }
    Result<std::int32_t> offset = convert_fixed_offset(tzinfo.get());
    if (!offset) {
        return std::unexpected(std::move(offset.error()));
    }
    Result<WallClock> clock = read_wall_clock(object);
    if (!clock) {
        return std::unexpected(std::move(clock.error()));
    }
    std::int64_t days = days_from_civil(clock->year, clock->month, clock->day);
    std::int64_t seconds_of_day =
        static_cast<std::int64_t>(clock->hour) * 3600 + clock->minute * 60 + clock->second - *offset;
    if (seconds_of_day < 0) {
        seconds_of_day += SECONDS_PER_DAY;
        days -= 1;
    } else if (seconds_of_day >= SECONDS_PER_DAY) {
        seconds_of_day -= SECONDS_PER_DAY;
        days += 1;
    }
    if (days < MIN_DAYS || days > MAX_DAYS) {
        return std::unexpected(BindingError::deferred(
            PyExc_ValueError, "The datetime " + object_repr_text(object) + " contains an incompatible timezone"));
    }
    return UtcDateTime::from_days(static_cast<std::int32_t>(days), static_cast<std::uint32_t>(seconds_of_day),
                                  clock->microsecond * 1000);
}

}  // namespace tessellon::binding
