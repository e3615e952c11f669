#include "binding/binding_error.hpp"

#include "binding/once_cell.hpp"
#include "binding/text.hpp"
#include "runtime/fault_report.hpp"

namespace tessellon::binding {
namespace {

constexpr const char PANIC_EXCEPTION_NAME[] = "velkor_runtime.PanicException";
constexpr const char PANIC_EXCEPTION_DOC[] =
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it usually propagates\n"
    "all the way up the stack and makes the interpreter exit.";
constexpr const char PANIC_MESSAGE_UNAVAILABLE[] = "PanicException raised from Python with an unprintable message";

OnceCell<PyObject*> panic_exception_cell;

// The str() of an object as UTF-8, or nothing (with the error cleared).
std::optional<std::string> str_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return std::nullopt;
    }
    return utf8_of(text.get());
}

}  // namespace

BindingError BindingError::deferred(PyObject* type, std::string message) {
    BindingError error;
    error.state_->type = PyRef::borrow(type);
    error.state_->message = std::move(message);
    return error;
}

BindingError BindingError::fetched(PyRef type, PyRef value, PyRef traceback) {
    BindingError error;
    error.state_->type = std::move(type);
    error.state_->value = std::move(value);
    error.state_->traceback = std::move(traceback);
    return error;
}

BindingError::~BindingError() = default;

BindingError BindingError::with_cause(BindingError cause) && {
    state_->cause = std::make_unique<BindingError>(std::move(cause));
    return std::move(*this);
}

void BindingError::materialize() {
    if (!state_->value) {
        PyRef message = python_text(state_->message);
        PyRef instance = message ? PyRef::steal(PyObject_CallFunctionObjArgs(state_->type.get(), message.get(), nullptr))
                                 : PyRef();
        if (!instance) {
            // The failure to build the exception (a MemoryError, say) is what
            // the caller gets instead.
            *this = fetch_pending_error();
            return;
        }
        state_->value = std::move(instance);
    }
    if (state_->cause) {
        if (PyObject* cause = state_->cause->exception_instance()) {
            PyException_SetCause(state_->value.get(), PyRef::borrow(cause).release());
        }
        state_->cause.reset();
    }
}

PyObject* BindingError::exception_instance() {
    materialize();
    return state_->value.get();
}

void BindingError::restore() && {
    if (!state_->value && !state_->cause) {
        PyRef message = python_text(state_->message);
        if (message) {
            PyErr_SetObject(state_->type.get(), message.get());
        }
        return;
    }
    materialize();
    PyErr_Restore(state_->type.release(), state_->value.release(), state_->traceback.release());
}

void raise_internal_fault(std::string message) {
    runtime::report_internal_fault(message);
    throw InternalFault(std::move(message));
}

PyRef require_object(PyObject* new_reference) {
    if (new_reference == nullptr) {
        // Running out of memory is no internal fault: the caller gets an
        // ordinary MemoryError it can recover from.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        raise_internal_fault("PyObject pointer is null");
    }
    return PyRef::steal(new_reference);
}

void raise_fault_from_pending_error(const std::string& context) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    raise_internal_fault(context + ": " + describe_pending_error());
}

PyObject* panic_exception_type() {
    return panic_exception_cell.get_or_fill([] {
        PyObject* type = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, PyExc_BaseException,
                                                   nullptr);
        if (type == nullptr) {
            const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
            PyErr_Clear();
            if (out_of_memory) {
                throw std::bad_alloc();
            }
            raise_internal_fault("Failed to initialize new exception type.");
        }
        return type;  // kept for the life of the process
    });
}

namespace {

// Only Python code can have raised a PanicException, and only once the class
// exists; if it cannot be made now, the pending error is not one.
bool is_panic_exception(PyObject* type) {
    try {
        return PyErr_GivenExceptionMatches(type, panic_exception_type()) != 0;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const InternalFault&) {
        return false;
    }
}

}  // namespace

BindingError fetch_pending_error() {
    PyObject *raw_type = nullptr, *raw_value = nullptr, *raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    if (raw_type == nullptr) {
        return BindingError::deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef traceback = PyRef::steal(raw_traceback);
    if (is_panic_exception(type.get())) {
        // A fault further down, in native code that Python code we called
        // called in turn: it stays a fault, with the Python trace shown.
        std::string message = str_of(value.get()).value_or(PANIC_MESSAGE_UNAVAILABLE);
        runtime::write_stderr("--- PanicException from Python code called by tessellon ---\nPython stack trace below:\n");
        PyErr_Restore(type.release(), value.release(), traceback.release());
        PyErr_PrintEx(0);
        throw InternalFault(std::move(message));
    }
    return BindingError::fetched(std::move(type), std::move(value), std::move(traceback));
}

std::string describe_pending_error() {
    BindingError error = fetch_pending_error();
    if (error.is_deferred()) {
        return error.deferred_message();
    }
    return str_of(error.exception_instance()).value_or("<unprintable error>");
}

}  // namespace tessellon::binding
