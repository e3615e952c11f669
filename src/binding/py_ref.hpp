// An owning reference to a Python object. Every reference the module takes
// lives in one of these, so it is released on every path by construction.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace tessellon::binding {

class PyRef {
public:
    PyRef() = default;

    // Takes over a reference the caller owns (a "new reference" result).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a reference of its own to a borrowed object.
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (for C API calls that steal one).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    [[nodiscard]] PyRef new_reference() const noexcept { return borrow(object_); }

    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tessellon::binding
