// Memory for the whole program comes from the process heap through the
// global operator new and delete defined beside this function. A request
// that cannot be met is not an exception: it ends the process with the
// allocation-failure line (`report_allocation_failure`, streams/abort.h).
#pragma once

#include <cstdint>

namespace tavo {

// The number of blocks handed out by operator new so far in the process (all
// threads). For tests that check that something does not allocate.
uint64_t allocation_count();

}  // namespace tavo
