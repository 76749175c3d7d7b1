// Ending the process at once, for failures that cannot travel back to the
// start routine or that happen where nothing could carry them. No exit
// clean-up runs: text that standard output still buffers is lost, and no
// exit handler of the C runtime is called. None of these requests memory,
// so they serve the allocator's own failure too.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavo {

// The fail-fast request with code 7 (FAST_FAIL_FATAL_APP_EXIT).
[[noreturn]] void abort_process();

// Writes `line` (which carries its own line feed) to standard error through a
// writer of its own, ignoring any error of that write, then aborts. If
// writing the line leads back here (the standard-error write itself cannot
// complete), the second call aborts without writing.
[[noreturn]] void abort_with_line(std::string_view line);

// Writes "memory allocation of {size} bytes failed\n" to standard error,
// composed on the stack, and aborts.
[[noreturn]] void report_allocation_failure(size_t size);

}  // namespace tavo
