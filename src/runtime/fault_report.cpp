#include "runtime/fault_report.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tessellon::runtime {
namespace {

// Plain write(2): the report must not allocate or depend on stdio state.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool backtrace_requested() noexcept {
    const char* value = std::getenv(BACKTRACE_VARIABLE);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

void report_internal_fault(std::string_view message) noexcept {
    write_stderr("tessellon: internal fault: ");
    write_stderr(message.empty() ? std::string_view("(no message)") : message);
    write_stderr("\n");
    if (backtrace_requested()) {
        void* frames[64];
        const int depth = ::backtrace(frames, 64);
        write_stderr("stack trace:\n");
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    } else {
        write_stderr("(set TESSELLON_BACKTRACE=1 for a stack trace)\n");
    }
}

void abort_with_message(std::string_view message) noexcept {
    write_stderr("tessellon: fatal: ");
    write_stderr(message);
    write_stderr("\n");
    std::abort();
}

}  // namespace tessellon::runtime
