// An owning reference to a Python object. Every reference the module takes
// lives in one of these, so it is released on every path by construction.
#pragma once

#include <atomic>
#include <utility>

#include "binding/python.hpp"

namespace tessellon::binding {

// Set when the interpreter runs its atexit callbacks (see exit_watch.hpp).
// Once finalisation proper begins (Py_IsInitialized() turns false at the
// same moment), daemon threads are unwound by the C library without the
// interpreter lock, so references are no longer released: leaking a few
// objects at exit is harmless, touching the heap without the lock is not.
// Before exit the check costs one relaxed load.
inline std::atomic<bool> interpreter_exiting{false};

inline bool may_release_references() {
    return !interpreter_exiting.load(std::memory_order_relaxed) || Py_IsInitialized();
}

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
    PyRef& operator=(PyRef&& other) noexcept(false) {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    // Releasing a reference can run Python code (__del__), and a daemon
    // thread inside it when the interpreter exits is ended by unwinding from
    // there; noexcept(false) lets that unwinding pass instead of terminating.
    ~PyRef() noexcept(false) {
        if (object_ != nullptr && may_release_references()) {
            Py_DECREF(object_);
        }
    }

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
