#include "binding/python_names.hpp"

#include <string>

#include "binding/once_cell.hpp"

namespace tessellon::binding {
namespace {

OnceCell<InternedNames> names_cell;
OnceCell<DatetimeTypes> datetime_types_cell;
OnceCell<PyObject*> sequence_type_cell;

PyRef intern(const char* text) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(text));
    if (!name) {
        raise_fault_from_pending_error("could not intern the name " + std::string(text));
    }
    return name;
}

// A failure here is no fault of the caller's argument: it is a broken
// interpreter environment, so it is an internal fault.
PyRef import_type(const char* module_name, const char* attribute) {
    const std::string qualified = std::string(module_name) + "." + attribute;
    PyRef name = PyRef::steal(PyUnicode_FromString(module_name));
    PyRef module = name ? PyRef::steal(PyImport_Import(name.get())) : PyRef();
    if (!module) {
        raise_fault_from_pending_error("could not import " + std::string(module_name));
    }
    PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!type) {
        raise_fault_from_pending_error("could not fetch " + qualified);
    }
    if (!PyType_Check(type.get())) {
        raise_internal_fault(qualified + " is not a type");
    }
    return type;
}

}  // namespace

const InternedNames& interned_names() {
    return names_cell.get_or_fill([] {
        // All or nothing: a failed fill leaves no half-made names behind.
        PyRef tzinfo = intern("tzinfo"), utcoffset = intern("utcoffset"), year = intern("year"),
              month = intern("month"), day = intern("day"), hour = intern("hour"), minute = intern("minute"),
              second = intern("second"), microsecond = intern("microsecond"), days = intern("days"),
              seconds = intern("seconds"), microseconds = intern("microseconds"), module = intern("__module__"),
              bool_method = intern("__bool__"), add_note = intern("add_note"), all = intern("__all__");
        // Released into the process-wide record, which is never freed.
        return InternedNames{
            .tzinfo = tzinfo.release(),
            .utcoffset = utcoffset.release(),
            .year = year.release(),
            .month = month.release(),
            .day = day.release(),
            .hour = hour.release(),
            .minute = minute.release(),
            .second = second.release(),
            .microsecond = microsecond.release(),
            .days = days.release(),
            .seconds = seconds.release(),
            .microseconds = microseconds.release(),
            .module = module.release(),
            .bool_method = bool_method.release(),
            .add_note = add_note.release(),
            .all = all.release(),
        };
    });
}

const DatetimeTypes& datetime_types() {
    return datetime_types_cell.get_or_fill([] {
        PyRef datetime = import_type("datetime", "datetime");
        PyRef tzinfo = import_type("datetime", "tzinfo");
        PyRef timedelta = import_type("datetime", "timedelta");
        return DatetimeTypes{
            .datetime = datetime.release(),
            .tzinfo = tzinfo.release(),
            .timedelta = timedelta.release(),
        };
    });
}

PyObject* sequence_abc_type() {
    return sequence_type_cell.get_or_fill([] { return import_type("collections.abc", "Sequence").release(); });
}

}  // namespace tessellon::binding
