#include "binding/exact_types.hpp"

#include <optional>

#include "binding/once_cell.hpp"
#include "binding/python_names.hpp"

namespace tessellon::binding {
namespace {

OnceCell<std::optional<ExactDatetimeTypes>> exact_types_cell;

bool is_static_immutable_type(PyObject* object) {
    if (!PyType_Check(object)) {
        return false;
    }
    const unsigned long flags = PyType_GetFlags(reinterpret_cast<PyTypeObject*>(object));
    return (flags & Py_TPFLAGS_HEAPTYPE) == 0 && (flags & Py_TPFLAGS_IMMUTABLETYPE) != 0;
}

struct OwnedReader {
    PyRef descriptor;
    FieldReader::DescriptorGet get;
};

// The type's own descriptor for an attribute, if it is a genuine built-in one.
std::optional<OwnedReader> owned_reader(PyObject* type, PyObject* name) {
    PyRef descriptor = PyRef::steal(PyObject_GetAttr(type, name));
    if (!descriptor) {
        PyErr_Clear();
        return std::nullopt;
    }
    auto get =
        reinterpret_cast<FieldReader::DescriptorGet>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
    if (get == nullptr || !is_static_immutable_type(reinterpret_cast<PyObject*>(Py_TYPE(descriptor.get())))) {
        return std::nullopt;
    }
    return OwnedReader{std::move(descriptor), get};
}

// Hands the descriptor to the process-wide record, which is never freed.
FieldReader keep(OwnedReader& reader, PyObject* type) { return FieldReader(reader.descriptor.release(), reader.get, type); }

std::optional<ExactDatetimeTypes> load_exact_types() {
    const DatetimeTypes& types = datetime_types();
    PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
    PyRef timezone = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "timezone")) : PyRef();
    PyRef utc = timezone ? PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc")) : PyRef();
    if (!utc) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!is_static_immutable_type(types.datetime) || !is_static_immutable_type(types.timedelta) ||
        !is_static_immutable_type(timezone.get()) || Py_TYPE(utc.get()) != reinterpret_cast<PyTypeObject*>(timezone.get())) {
        return std::nullopt;
    }
    const InternedNames& names = interned_names();
    auto tzinfo = owned_reader(types.datetime, names.tzinfo);
    auto year = owned_reader(types.datetime, names.year);
    auto month = owned_reader(types.datetime, names.month);
    auto day = owned_reader(types.datetime, names.day);
    auto hour = owned_reader(types.datetime, names.hour);
    auto minute = owned_reader(types.datetime, names.minute);
    auto second = owned_reader(types.datetime, names.second);
    auto microsecond = owned_reader(types.datetime, names.microsecond);
    auto days = owned_reader(types.timedelta, names.days);
    auto seconds = owned_reader(types.timedelta, names.seconds);
    auto microseconds = owned_reader(types.timedelta, names.microseconds);
    if (!tzinfo || !year || !month || !day || !hour || !minute || !second || !microsecond || !days || !seconds ||
        !microseconds) {
        return std::nullopt;
    }
    return ExactDatetimeTypes{
        .datetime = reinterpret_cast<PyTypeObject*>(types.datetime),
        .timedelta = reinterpret_cast<PyTypeObject*>(types.timedelta),
        .timezone = reinterpret_cast<PyTypeObject*>(timezone.release()),
        .utc = utc.release(),
        .tzinfo = keep(*tzinfo, types.datetime),
        .year = keep(*year, types.datetime),
        .month = keep(*month, types.datetime),
        .day = keep(*day, types.datetime),
        .hour = keep(*hour, types.datetime),
        .minute = keep(*minute, types.datetime),
        .second = keep(*second, types.datetime),
        .microsecond = keep(*microsecond, types.datetime),
        .days = keep(*days, types.timedelta),
        .seconds = keep(*seconds, types.timedelta),
        .microseconds = keep(*microseconds, types.timedelta),
    };
}

}  // namespace

const ExactDatetimeTypes* exact_datetime_types() {
    const std::optional<ExactDatetimeTypes>& loaded = exact_types_cell.get_or_fill(load_exact_types);
    return loaded.has_value() ? &*loaded : nullptr;
}

}  // namespace tessellon::binding
