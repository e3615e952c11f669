// Errors on their way from a method body to the boundary, and internal faults.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "binding/py_ref.hpp"

namespace tessellon::binding {

// An error a body hands back to its entry point: a Python exception already
// raised and fetched, or a deferred one (a type and a message) whose object is
// made only when it is raised. Only the boundary turns it into the current
// Python exception.
class BindingError {
public:
    // The exception type must outlive the error (built-in or process-wide).
    [[nodiscard]] static BindingError deferred(PyObject* type, std::string message);
    [[nodiscard]] static BindingError fetched(PyRef type, PyRef value, PyRef traceback);

    BindingError(BindingError&&) noexcept = default;
    BindingError& operator=(BindingError&&) noexcept = default;
    ~BindingError();

    [[nodiscard]] BindingError with_cause(BindingError cause) &&;

    // The exception object, made now if the error is still deferred; null if
    // it cannot be made (that failure is discarded).
    PyObject* exception_instance();

    // Makes this error the current Python exception.
    void restore() &&;

    bool is_deferred() const { return !state_->value; }
    const std::string& deferred_message() const { return state_->message; }

private:
    // Kept behind one pointer so that a Result<T> stays the size of a T plus
    // a word on the success path; errors are rare and may allocate.
    struct State {
        PyRef type;
        PyRef value;
        PyRef traceback;
        std::string message;
        std::unique_ptr<BindingError> cause;
    };

    BindingError() : state_(std::make_unique<State>()) {}
    // Normalised (type, value, traceback) with the cause attached; on failure
    // the error of the failure itself.
    void materialize();

    std::unique_ptr<State> state_;
};

template <class T>
using Result = std::expected<T, BindingError>;

// A condition the native code treats as impossible or unrecoverable. It
// travels as a C++ exception to the guarded boundary only.
class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// Reports the fault on standard error, then throws it.
[[noreturn]] void raise_internal_fault(std::string message);

// For an interpreter call that had to return an object: a MemoryError travels
// on as std::bad_alloc (raised as MemoryError at the boundary); anything else
// is reported as unraisable and faults with "PyObject pointer is null".
PyRef require_object(PyObject* new_reference);

// Takes the pending exception out of the interpreter. A PanicException raised
// by Python code the module called becomes an internal fault again.
[[nodiscard]] BindingError fetch_pending_error();

// The str() of the pending exception, for fault messages; clears it.
std::string describe_pending_error();

// For a failed interpreter call that the module cannot do without: an
// exhausted heap travels on as std::bad_alloc (MemoryError at the boundary),
// anything else becomes an internal fault "<context>: <pending error>".
[[noreturn]] void raise_fault_from_pending_error(const std::string& context);

// The process-wide class of internal-fault exceptions, created on first need.
PyObject* panic_exception_type();

}  // namespace tessellon::binding
