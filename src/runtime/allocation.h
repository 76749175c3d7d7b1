// Memory for the whole program comes from the process heap through the
// global operator new and delete defined beside these functions. A request
// that cannot be met is not an exception: it ends the process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// Writes "memory allocation of {size} bytes failed\n" to standard error,
// composed without requesting memory, and aborts.
[[noreturn]] void report_allocation_failure(size_t size);

}  // namespace tavo

namespace tavo::sys {

// The number of blocks handed out by operator new so far in the process (all
// threads). For tests that check that something does not allocate.
uint64_t allocation_count();

}  // namespace tavo::sys
