#include "binding/tessellon_index/arrow_import.hpp"

#include <string>

namespace tessellon::binding {
namespace {

// The bound method, or nothing when the object lacks it.
Result<PyRef> optional_method(PyObject* object, const char* name) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(fetch_pending_error());
        PyErr_Clear();
    }
    return method;
}

template <class Struct>
Result<Struct*> capsule_pointer(PyObject* capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule, name)) {
        return std::unexpected(BindingError::deferred(
            PyExc_TypeError, std::string("expected a PyCapsule named '") + name + "' from the Arrow interface"));
    }
    auto* pointer = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (pointer == nullptr) return std::unexpected(fetch_pending_error());
    if (pointer->release == nullptr) {
        return std::unexpected(
            BindingError::deferred(PyExc_ValueError, std::string("the '") + name + "' capsule was already consumed"));
    }
    return pointer;
}

BindingError stream_error(ArrowArrayStream* stream, int code, const char* step) {
    const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
    return BindingError::deferred(PyExc_OSError, std::string("reading the Arrow stream failed at ") + step +
                                                     " (error " + std::to_string(code) +
                                                     (detail != nullptr ? std::string("): ") + detail : ")"));
}

Result<ImportedArrow> import_array(PyObject* method) {
    PyRef pair = PyRef::steal(PyObject_CallNoArgs(method));
    if (!pair) return std::unexpected(fetch_pending_error());
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        return std::unexpected(
            BindingError::deferred(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple"));
    }
    auto schema = capsule_pointer<ArrowSchema>(PyTuple_GetItem(pair.get(), 0), "arrow_schema");
    if (!schema) return std::unexpected(std::move(schema.error()));
    auto array = capsule_pointer<ArrowArray>(PyTuple_GetItem(pair.get(), 1), "arrow_array");
    if (!array) return std::unexpected(std::move(array.error()));
    ImportedArrow imported;
    imported.schema = OwnedArrowSchema::take_from(*schema);
    imported.arrays.push_back(OwnedArrowArray::take_from(*array));
    return imported;
}

Result<ImportedArrow> import_stream(PyObject* method) {
    PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method));
    if (!capsule) return std::unexpected(fetch_pending_error());
    auto pointer = capsule_pointer<ArrowArrayStream>(capsule.get(), "arrow_array_stream");
    if (!pointer) return std::unexpected(std::move(pointer.error()));
    OwnedArrowStream stream = OwnedArrowStream::take_from(*pointer);
    ImportedArrow imported;
    ArrowSchema schema{};
    if (int code = stream.get()->get_schema(stream.get(), &schema); code != 0) {
        return std::unexpected(stream_error(stream.get(), code, "its schema"));
    }
    imported.schema = OwnedArrowSchema::take_from(&schema);
    for (;;) {
        ArrowArray array{};
        if (int code = stream.get()->get_next(stream.get(), &array); code != 0) {
            return std::unexpected(stream_error(stream.get(), code, "a chunk"));
        }
        if (array.release == nullptr) break;  // end of stream
        imported.arrays.push_back(OwnedArrowArray::take_from(&array));
    }
    return imported;
}

}  // namespace

Result<std::optional<ImportedArrow>> import_arrow(PyObject* object) {
    auto array_method = optional_method(object, "__arrow_c_array__");
    if (!array_method) return std::unexpected(std::move(array_method.error()));
    if (*array_method) {
        auto imported = import_array(array_method->get());
        if (!imported) return std::unexpected(std::move(imported.error()));
        return std::optional<ImportedArrow>(std::move(*imported));
    }
    auto stream_method = optional_method(object, "__arrow_c_stream__");
    if (!stream_method) return std::unexpected(std::move(stream_method.error()));
    if (*stream_method) {
        auto imported = import_stream(stream_method->get());
        if (!imported) return std::unexpected(std::move(imported.error()));
        return std::optional<ImportedArrow>(std::move(*imported));
    }
    return std::optional<ImportedArrow>();
}

}  // namespace tessellon::binding
