// Memory for the whole program comes from the process heap through the
// global operator new and delete defined beside these functions. A request
// that cannot be met is not an exception: it ends the process with the
// allocation-failure report (`report_allocation_failure`, declared in
// streams/failure.h).
#pragma once

#include <cstdint>

#include "streams/failure.h"

namespace tavo::sys {

// The number of blocks handed out by operator new so far in the process (all
// threads). For tests that check that something does not allocate.
uint64_t allocation_count();

}  // namespace tavo::sys
