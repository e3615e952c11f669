#include "binding/convert_extent.hpp"

namespace tessellon::binding {

Result<Hasher> convert_extent(PyObject* start_datetime, PyObject* end_datetime, PyObject* bbox) {
    auto start = annotated(convert_datetime(start_datetime), "start_datetime");
    if (!start) return std::unexpected(std::move(start.error()));
    auto end = annotated(convert_datetime(end_datetime), "end_datetime");
    if (!end) return std::unexpected(std::move(end.error()));
    std::optional<BoundingBox> box;
    if (bbox != nullptr && bbox != Py_None) {
        auto numbers = annotated(convert_bbox(bbox), "bbox");
        if (!numbers) return std::unexpected(std::move(numbers.error()));
        const auto& [west, south, east, north] = *numbers;
        box = BoundingBox::from_bbox(west, south, east, north);
    }
    return Hasher(*start, *end, box);
}

}  // namespace tessellon::binding
