#include "binding/call_glue.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "binding/text.hpp"
#include "runtime/fault_report.hpp"

namespace tessellon::binding {
namespace {

// initial-exec: the counter is touched twice per call, and the general TLS
// model would cost a __tls_get_addr call each time.
TESSELLON_INITIAL_EXEC_TLS thread_local int attached_depth = 0;

constexpr const char GENERIC_FAULT_MESSAGE[] = "internal fault without a message";

std::string full_name(const CallSignature& signature) {
    std::string name;
    if (signature.class_name != nullptr) {
        name.append(signature.class_name).push_back('.');
    }
    name.append(signature.function_name).append("()");
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() >= 3) {
                list.push_back(',');
            }
            list.append(i + 1 == names.size() ? " and " : " ");
        }
        list.append("'").append(names[i]).append("'");
    }
    return list;
}

BindingError parse_error(std::string message) { return BindingError::deferred(PyExc_TypeError, std::move(message)); }

BindingError too_many_positional(const CallSignature& signature, std::size_t given) {
    const std::size_t parameter_count = signature.positional_names.size();
    std::string message = full_name(signature) + " takes ";
    if (signature.required_count == parameter_count) {
        message += std::to_string(parameter_count);
    } else {
        message += "from " + std::to_string(signature.required_count) + " to " + std::to_string(parameter_count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return parse_error(std::move(message));
}

BindingError missing_arguments(const CallSignature& signature, const char* kind,
                               const std::vector<std::string_view>& names) {
    return parse_error(full_name(signature) + " missing " + std::to_string(names.size()) + " required " + kind +
                       (names.size() == 1 ? " argument: " : " arguments: ") + quoted_name_list(names));
}

std::string keyword_text(PyObject* keyword) {
    PyRef text = PyRef::steal(PyObject_Str(keyword));
    std::optional<std::string> utf8 = text ? utf8_of(text.get()) : std::nullopt;
    if (!text) {
        PyErr_Clear();
    }
    return utf8.value_or("<unprintable keyword>");
}

std::optional<std::size_t> find_name(std::span<const char* const> names, std::string_view wanted) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (wanted == names[i]) {
            return i;
        }
    }
    return std::nullopt;
}

// Fills the slots from positional arguments and (name, value) keyword pairs;
// both call conventions share it.
class ArgumentParser {
public:
    ArgumentParser(const CallSignature& signature, std::span<PyObject*> slots)
        : signature_(signature), slots_(slots) {
        std::fill(slots_.begin(), slots_.end(), nullptr);
    }

    Result<void> take_positional(PyObject* const* values, std::size_t given) {
        given_ = given;
        if (given > signature_.positional_names.size()) {
            return std::unexpected(too_many_positional(signature_, given));
        }
        std::copy(values, values + given, slots_.begin());
        return {};
    }

    Result<void> take_keyword(PyObject* name, PyObject* value) {
        std::string_view text;
        if (PyUnicode_Check(name)) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) {
                text = std::string_view(utf8, static_cast<std::size_t>(size));
            } else {
                PyErr_Clear();
            }
        }
        const std::size_t positional_count = signature_.positional_names.size();
        if (auto index = find_name(signature_.keyword_only_names, text); index && text.data() != nullptr) {
            return fill(positional_count + *index, name, value);
        }
        if (auto index = find_name(signature_.positional_names, text); index && text.data() != nullptr) {
            if (*index < signature_.positional_only_count) {
                positional_only_passed_.push_back(signature_.positional_names[*index]);
                return {};
            }
            return fill(*index, name, value);
        }
        return std::unexpected(parse_error(full_name(signature_) + " got an unexpected keyword argument '" +
                                           keyword_text(name) + "'"));
    }

    Result<void> finish() const {
        if (!positional_only_passed_.empty()) {
            return std::unexpected(parse_error(full_name(signature_) +
                                               " got some positional-only arguments passed as keyword arguments: " +
                                               quoted_name_list(positional_only_passed_)));
        }
        if (given_ < signature_.required_count) {
            std::vector<std::string_view> missing;
            for (std::size_t i = 0; i < signature_.required_count; ++i) {
                if (slots_[i] == nullptr) {
                    missing.push_back(signature_.positional_names[i]);
                }
            }
            if (!missing.empty()) {
                return std::unexpected(missing_arguments(signature_, "positional", missing));
            }
        }
        // Every keyword-only parameter of this module is optional.
        return {};
    }

private:
    Result<void> fill(std::size_t slot, PyObject* name, PyObject* value) {
        if (slots_[slot] != nullptr) {
            return std::unexpected(parse_error(full_name(signature_) + " got multiple values for argument '" +
                                               keyword_text(name) + "'"));
        }
        slots_[slot] = value;
        return {};
    }

    const CallSignature& signature_;
    std::span<PyObject*> slots_;
    std::size_t given_ = 0;
    std::vector<std::string_view> positional_only_passed_;
};

}  // namespace

Result<void> parse_fastcall_arguments(const CallSignature& signature, PyObject* const* args,
                                      Py_ssize_t positional_count, PyObject* keyword_names,
                                      std::span<PyObject*> slots) {
    ArgumentParser parser(signature, slots);
    if (auto taken = parser.take_positional(args, static_cast<std::size_t>(positional_count)); !taken) {
        return taken;
    }
    if (keyword_names != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_Size(keyword_names);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            PyObject* name = PyTuple_GetItem(keyword_names, i);
            if (name == nullptr) {
                return std::unexpected(fetch_pending_error());
            }
            if (auto taken = parser.take_keyword(name, args[positional_count + i]); !taken) {
                return taken;
            }
        }
    }
    return parser.finish();
}

Result<void> parse_tuple_dict_arguments(const CallSignature& signature, PyObject* args, PyObject* keywords,
                                        std::span<PyObject*> slots) {
    ArgumentParser parser(signature, slots);
    const Py_ssize_t positional_count = PyTuple_Size(args);
    if (positional_count < 0) {
        return std::unexpected(fetch_pending_error());
    }
    std::vector<PyObject*> positional(static_cast<std::size_t>(positional_count));
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    }
    if (auto taken = parser.take_positional(positional.data(), positional.size()); !taken) {
        return taken;
    }
    if (keywords != nullptr) {
        Py_ssize_t position = 0;
        PyObject *name = nullptr, *value = nullptr;
        while (PyDict_Next(keywords, &position, &name, &value)) {
            if (auto taken = parser.take_keyword(name, value); !taken) {
                return taken;
            }
        }
    }
    return parser.finish();
}

namespace detail {

AttachedMark::AttachedMark() noexcept { ++attached_depth; }
AttachedMark::~AttachedMark() { --attached_depth; }

namespace {

void raise_panic_exception(const std::string& message) {
    PyObject* type = panic_exception_type();
    const std::string& text = message.empty() ? std::string(GENERIC_FAULT_MESSAGE) : message;
    PyRef argument = python_text(text);
    if (argument) {
        PyErr_SetObject(type, argument.get());
    }
    // Otherwise the MemoryError of making the message stays pending.
}

}  // namespace

void raise_in_flight_fault() {
    try {
        try {
            throw;
        } catch (const InternalFault& fault) {
            raise_panic_exception(fault.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            runtime::report_internal_fault(error.what());
            raise_panic_exception(error.what());
        } catch (...) {
            runtime::report_internal_fault(GENERIC_FAULT_MESSAGE);
            raise_panic_exception(GENERIC_FAULT_MESSAGE);
        }
    } catch (platform::ForcedUnwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        // No memory left to make the PanicException class: MemoryError it is.
        PyErr_NoMemory();
    } catch (...) {
        runtime::abort_with_message("an internal fault occurred while an internal fault was being raised");
    }
}

}  // namespace detail
}  // namespace tessellon::binding
