// Reporting of internal faults on standard error.
#pragma once

#include <string_view>

namespace tessellon::runtime {

// The environment variable that adds a stack trace to every fault report.
inline constexpr const char* BACKTRACE_VARIABLE = "TESSELLON_BACKTRACE";

// Writes "tessellon: internal fault: <message>" to standard error, followed by
// a stack trace when TESSELLON_BACKTRACE is set to a value other than "0".
void report_internal_fault(std::string_view message) noexcept;

// Writes the text to standard error without allocating; gives up quietly
// when the descriptor refuses it.
void write_stderr(std::string_view text) noexcept;

// Writes the message and aborts; for faults met while reporting a fault.
[[noreturn]] void abort_with_message(std::string_view message) noexcept;

}  // namespace tessellon::runtime
