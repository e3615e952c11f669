// Aware datetimes with a fixed UTC offset become instants in UTC. Every field
// is read as a Python attribute, so subclasses report what they like.
#include <limits>

#include "binding/convert.hpp"
#include "binding/exact_types.hpp"
#include "binding/python_names.hpp"
#include "core/platform.hpp"

namespace tessellon::binding {
namespace {

using platform::Int128;

constexpr std::int64_t MAX_OFFSET_SECONDS = 86399;

BindingError overflow_error() {
    return BindingError::deferred(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An attribute, through the exact type's own descriptor when there is one.
PyRef read_attribute(PyObject* object, PyObject* name, const FieldReader* exact_reader) {
    return PyRef::steal(exact_reader != nullptr ? exact_reader->read(object) : PyObject_GetAttr(object, name));
}

// An attribute read as a C long; -1 is a value unless the host reports an error.
Result<long> read_long_attribute(PyObject* object, PyObject* name, const FieldReader* exact_reader) {
    PyRef value = read_attribute(object, name, exact_reader);
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
Result<Field> read_field(PyObject* object, PyObject* name, const FieldReader* exact_reader) {
    Result<long> number = read_long_attribute(object, name, exact_reader);
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

// `exact` is given only when the object is exactly a datetime.datetime.
Result<WallClock> read_wall_clock(PyObject* datetime, const ExactDatetimeTypes* exact) {
    const InternedNames& names = interned_names();
    WallClock clock{};
    // Each field is converted right after it is read, in this order.
    auto year = read_field<std::int32_t>(datetime, names.year, exact ? &exact->year : nullptr);
    if (!year) return std::unexpected(std::move(year.error()));
    auto month = read_field<std::uint32_t>(datetime, names.month, exact ? &exact->month : nullptr);
    if (!month) return std::unexpected(std::move(month.error()));
    auto day = read_field<std::uint32_t>(datetime, names.day, exact ? &exact->day : nullptr);
    if (!day) return std::unexpected(std::move(day.error()));
    if (!is_valid_civil_date(*year, *month, *day)) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "invalid or out-of-range date"));
    }
    auto hour = read_field<std::uint32_t>(datetime, names.hour, exact ? &exact->hour : nullptr);
    if (!hour) return std::unexpected(std::move(hour.error()));
    auto minute = read_field<std::uint32_t>(datetime, names.minute, exact ? &exact->minute : nullptr);
    if (!minute) return std::unexpected(std::move(minute.error()));
    auto second = read_field<std::uint32_t>(datetime, names.second, exact ? &exact->second : nullptr);
    if (!second) return std::unexpected(std::move(second.error()));
    auto microsecond = read_field<std::uint32_t>(datetime, names.microsecond, exact ? &exact->microsecond : nullptr);
    if (!microsecond) return std::unexpected(std::move(microsecond.error()));
    const bool leap_second = *second == 59 && *microsecond <= 1'999'999;
    if (*hour > 23 || *minute > 59 || *second > 59 || (*microsecond > 999'999 && !leap_second)) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "invalid or out-of-range time"));
    }
    clock = {*year, *month, *day, *hour, *minute, *second, *microsecond};
    return clock;
}

// Exact datetimes have C getters and always-valid fields: read them in one
// tight pass. Any surprise (a MemoryError, say) returns false with nothing
// pending, and the general path then reports it exactly.
bool try_read_exact_wall_clock(const ExactDatetimeTypes& exact, PyObject* datetime, WallClock& clock) {
    const FieldReader* readers[] = {&exact.year, &exact.month,  &exact.day,        &exact.hour,
                                    &exact.minute, &exact.second, &exact.microsecond};
    long fields[std::size(readers)];
    for (std::size_t i = 0; i < std::size(readers); ++i) {
        PyRef value = PyRef::steal(readers[i]->read(datetime));
        fields[i] = value ? PyLong_AsLong(value.get()) : -1;
        if (fields[i] == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    const auto [year, month, day, hour, minute, second, microsecond] = fields;
    if (!is_valid_civil_date(year, static_cast<std::uint64_t>(month), static_cast<std::uint64_t>(day)) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || microsecond < 0 ||
        microsecond > 999'999) {
        return false;
    }
    clock = {static_cast<std::int32_t>(year),     static_cast<std::uint32_t>(month),
             static_cast<std::uint32_t>(day),      static_cast<std::uint32_t>(hour),
             static_cast<std::uint32_t>(minute),   static_cast<std::uint32_t>(second),
             static_cast<std::uint32_t>(microsecond)};
    return true;
}

}  // namespace

Result<std::int32_t> convert_fixed_offset(PyObject* tzinfo) { return convert_fixed_offset(tzinfo, nullptr); }

Result<std::int32_t> convert_fixed_offset(PyObject* tzinfo, TimezoneMemo* memo) {
    const DatetimeTypes& types = datetime_types();
    const ExactDatetimeTypes* exact = exact_datetime_types();
    const bool exact_timezone = exact != nullptr && Py_TYPE(tzinfo) == exact->timezone;
    if (!exact_timezone && !PyType_IsSubtype(Py_TYPE(tzinfo), reinterpret_cast<PyTypeObject*>(types.tzinfo))) {
        return std::unexpected(TypeMismatchError{tzinfo, types.tzinfo}.to_binding_error());
    }
    // An exact datetime.timezone is immutable and its utcoffset runs no
    // Python code, so its answer can be reused: UTC's is always zero, and an
    // equal timezone seen earlier in the same call has the same offset.
    if (exact_timezone) {
        if (tzinfo == exact->utc) {
            return 0;
        }
        if (memo != nullptr && memo->timezone) {
            if (memo->timezone.get() == tzinfo) {
                return memo->offset;
            }
            const int equal = PyObject_RichCompareBool(tzinfo, memo->timezone.get(), Py_EQ);
            if (equal < 0) {
                PyErr_Clear();
            } else if (equal == 1) {
                return memo->offset;
            }
        }
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
    const bool exact_timedelta = exact != nullptr && Py_TYPE(offset.get()) == exact->timedelta;
    auto days = read_long_attribute(offset.get(), names.days, exact_timedelta ? &exact->days : nullptr);
    if (!days) return std::unexpected(std::move(days.error()));
    auto seconds = read_long_attribute(offset.get(), names.seconds, exact_timedelta ? &exact->seconds : nullptr);
    if (!seconds) return std::unexpected(std::move(seconds.error()));
    auto microseconds =
        read_long_attribute(offset.get(), names.microseconds, exact_timedelta ? &exact->microseconds : nullptr);
    if (!microseconds) return std::unexpected(std::move(microseconds.error()));
    // 128 bits hold any three 64-bit fields exactly, so even absurd
    // subclasses get the plain "out of bounds" answer.
    const Int128 total_microseconds = static_cast<Int128>(*days) * 86'400'000'000 +
                                      static_cast<Int128>(*seconds) * 1'000'000 + *microseconds;
    const Int128 whole_seconds = total_microseconds / 1'000'000;  // truncates toward zero
    if (whole_seconds < -MAX_OFFSET_SECONDS || whole_seconds > MAX_OFFSET_SECONDS) {
        return std::unexpected(BindingError::deferred(PyExc_ValueError, "fixed offset out of bounds"));
    }
    if (exact_timezone && memo != nullptr) {
        memo->timezone = PyRef::borrow(tzinfo);
        memo->offset = static_cast<std::int32_t>(whole_seconds);
    }
    return static_cast<std::int32_t>(whole_seconds);
}

Result<UtcDateTime> convert_datetime(PyObject* object) { return convert_datetime(object, nullptr); }

Result<UtcDateTime> convert_datetime(PyObject* object, TimezoneMemo* memo) {
    const ExactDatetimeTypes* exact = exact_datetime_types();
    if (exact == nullptr || Py_TYPE(object) != exact->datetime) {
        exact = nullptr;
        const DatetimeTypes& types = datetime_types();
        if (!PyType_IsSubtype(Py_TYPE(object), reinterpret_cast<PyTypeObject*>(types.datetime))) {
            return std::unexpected(TypeMismatchError{object, types.datetime}.to_binding_error());
        }
    }
    PyRef tzinfo = read_attribute(object, interned_names().tzinfo, exact ? &exact->tzinfo : nullptr);
    if (!tzinfo || tzinfo.get() == Py_None) {
        PyErr_Clear();
        return std::unexpected(BindingError::deferred(PyExc_TypeError, "expected a datetime with non-None tzinfo"));
    }
    Result<std::int32_t> offset = convert_fixed_offset(tzinfo.get(), memo);
    if (!offset) {
        return std::unexpected(std::move(offset.error()));
    }
    Result<WallClock> clock;
    if (exact == nullptr || !try_read_exact_wall_clock(*exact, object, *clock)) {
        clock = read_wall_clock(object, exact);
        if (!clock) {
            return std::unexpected(std::move(clock.error()));
        }
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
