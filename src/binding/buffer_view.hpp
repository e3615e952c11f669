// A buffer-protocol view of an object, released on every path.
#pragma once

#include "binding/python.hpp"

namespace tessellon::binding {

// Requests a strided view with its format; a refusal is cleared, not raised.
class BufferView {
public:
    explicit BufferView(PyObject* object) : held_(PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0) {
        if (!held_) {
            PyErr_Clear();
        }
    }
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool held() const { return held_; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_;
};

}  // namespace tessellon::binding
