#include "runtime/fault_report.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif
// glibc and the BSDs (macOS included) have backtrace(); musl and Windows do not.
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define TESSELLON_HAVE_EXECINFO 1
#endif

namespace tessellon::runtime {

// The file descriptor's own write: the report must not allocate or depend
// on stdio state.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
#if defined(_WIN32)
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(text.size(), 1u << 30));
        const auto written = ::_write(2, text.data(), chunk);
#else
        const auto written = ::write(STDERR_FILENO, text.data(), text.size());
#endif
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

namespace {

void write_stack_trace() noexcept {
#if defined(TESSELLON_HAVE_EXECINFO)
    void* frames[64];
    const int depth = ::backtrace(frames, 64);
    write_stderr("stack trace:\n");
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
#else
    write_stderr("stack trace: not available on this platform\n");
#endif
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
        write_stack_trace();
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
