// The glue at every entry point: argument parsing against a static
// signature, and the guarded boundary that turns errors into Python
// exceptions and internal faults into PanicException.
#pragma once

#include <initializer_list>
#include <span>

#include "binding/binding_error.hpp"
#include "core/platform.hpp"

namespace tessellon::binding {

struct CallSignature {
    const char* class_name;  // may be null
    const char* function_name;
    std::span<const char* const> positional_names;
    std::size_t positional_only_count;
    std::size_t required_count;
    std::span<const char* const> keyword_only_names;

    std::size_t slot_count() const { return positional_names.size() + keyword_only_names.size(); }
};

// Slots receive borrowed references valid for the call; unfilled slots stay null.
[[nodiscard]] Result<void> parse_fastcall_arguments(const CallSignature& signature, PyObject* const* args,
                                                    Py_ssize_t positional_count, PyObject* keyword_names,
                                                    std::span<PyObject*> slots);
[[nodiscard]] Result<void> parse_tuple_dict_arguments(const CallSignature& signature, PyObject* args,
                                                      PyObject* keywords, std::span<PyObject*> slots);

namespace detail {

// Marks the calling thread as inside the module for the duration of a call.
class AttachedMark {
public:
    AttachedMark() noexcept;
    ~AttachedMark();
    AttachedMark(const AttachedMark&) = delete;
    AttachedMark& operator=(const AttachedMark&) = delete;
};

// Inside a catch block: turns the exception in flight into the current
// Python exception (PanicException, or MemoryError for an exhausted heap).
// A failure while doing so aborts the process; only the unwinding of a thread
// that the interpreter ends at exit passes through.
void raise_in_flight_fault();

}  // namespace detail

// Object form: the body yields a new reference or an error.
template <class Body>
PyObject* run_guarded(Body&& body) {
    detail::AttachedMark attached;
    try {
        Result<PyRef> result = std::forward<Body>(body)();
        if (result) {
            return result->release();
        }
        std::move(result.error()).restore();
    } catch (platform::ForcedUnwind&) {
        // glibc ends threads at interpreter exit by unwinding them; let it.
        throw;
    } catch (...) {
        detail::raise_in_flight_fault();
    }
    return nullptr;
}

// Status form: the body yields nothing or an error.
template <class Body>
int run_guarded_status(Body&& body) {
    detail::AttachedMark attached;
    try {
        Result<void> result = std::forward<Body>(body)();
        if (result) {
            return 0;
        }
        std::move(result.error()).restore();
    } catch (platform::ForcedUnwind&) {
        throw;
    } catch (...) {
        detail::raise_in_flight_fault();
    }
    return -1;
}

// Unraisable form: a failure goes to the interpreter's unraisable hook. An
// exception pending when the body starts is kept and restored afterwards.
template <class Body>
void run_guarded_unraisable(Body&& body) {
    detail::AttachedMark attached;
    PyObject *raw_type, *raw_value, *raw_traceback;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyRef saved_type = PyRef::steal(raw_type), saved_value = PyRef::steal(raw_value),
          saved_traceback = PyRef::steal(raw_traceback);
    try {
        Result<void> result = std::forward<Body>(body)();
        if (!result) {
            std::move(result.error()).restore();
            PyErr_WriteUnraisable(nullptr);
        }
    } catch (platform::ForcedUnwind&) {
        throw;  // the thread no longer holds the interpreter lock
    } catch (...) {
        detail::raise_in_flight_fault();
        PyErr_WriteUnraisable(nullptr);
    }
    PyErr_Restore(saved_type.release(), saved_value.release(), saved_traceback.release());
}

}  // namespace tessellon::binding
