#include "binding/tessellon_index/arrow_export.hpp"

#include <array>
#include <new>

#include "binding/tessellon_index/arrow_c.hpp"

namespace tessellon::binding {
namespace {

const char* arrow_format(ColumnKind kind) {
    switch (kind) {
        case ColumnKind::Keys:
        case ColumnKind::Int64: return "l";
        case ColumnKind::Bool: return "b";
        case ColumnKind::Float64: return "g";
        case ColumnKind::TimestampMillis: return "tsm:UTC";
    }
    return "l";
}

// The schema's strings are static, so it owns nothing but itself.
void release_schema(ArrowSchema* schema) { schema->release = nullptr; }

struct ExportedArray {
    SharedColumn column;
    std::vector<std::uint8_t> packed_bools;
    std::array<const void*, 2> buffers{};
};

void release_array(ArrowArray* array) {
    delete static_cast<ExportedArray*>(array->private_data);
    array->private_data = nullptr;
    array->release = nullptr;
}

void destroy_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void destroy_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) {
        PyErr_Clear();
        return;
    }
    if (array->release != nullptr) array->release(array);
    delete array;
}

std::vector<std::uint8_t> pack_bits(const std::vector<std::uint8_t>& bools) {
    std::vector<std::uint8_t> bits((bools.size() + 7) / 8, 0);
    for (std::size_t row = 0; row < bools.size(); ++row) {
        bits[row >> 3] |= static_cast<std::uint8_t>((bools[row] != 0) << (row & 7));
    }
    return bits;
}

// An empty Arrow buffer still needs an address.
alignas(8) constexpr std::uint8_t EMPTY_BUFFER[8] = {};

}  // namespace

Result<PyRef> export_arrow_capsules(const SharedColumn& column) {
    auto* schema = new ArrowSchema{};
    *schema = ArrowSchema{arrow_format(column->kind), "", nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                          release_schema, nullptr};
    PyRef schema_capsule = PyRef::steal(PyCapsule_New(schema, "arrow_schema", destroy_schema_capsule));
    if (!schema_capsule) {
        schema->release(schema);
        delete schema;
        return std::unexpected(fetch_pending_error());
    }

    auto exported = std::make_unique<ExportedArray>();
    exported->column = column;
    const void* values = column->values();
    if (column->kind == ColumnKind::Bool) {
        exported->packed_bools = pack_bits(column->bools);
        values = exported->packed_bools.empty() ? EMPTY_BUFFER : exported->packed_bools.data();
    }
    exported->buffers = {column->validity.empty() ? nullptr : column->validity.data(), values};
    auto* array = new ArrowArray{};
    *array = ArrowArray{static_cast<int64_t>(column->length()),
                        static_cast<int64_t>(column->null_count),
                        0,
                        2,
                        0,
                        exported->buffers.data(),
                        nullptr,
                        nullptr,
                        release_array,
                        exported.get()};
    exported.release();  // now owned by the array's release callback
    PyRef array_capsule = PyRef::steal(PyCapsule_New(array, "arrow_array", destroy_array_capsule));
    if (!array_capsule) {
        array->release(array);
        delete array;
        return std::unexpected(fetch_pending_error());
    }
    PyRef pair = require_object(PyTuple_New(2));
    PyTuple_SetItem(pair.get(), 0, schema_capsule.release());
    PyTuple_SetItem(pair.get(), 1, array_capsule.release());
    return pair;
}

}  // namespace tessellon::binding
