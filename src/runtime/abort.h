// Ending the process at once, for failures that cannot travel back to the
// start routine. No exit clean-up runs: text that standard output still
// buffers is lost, and no exit handler of the C runtime is called. The
// abort with a line of text (`abort_with_line`) is declared in
// streams/failure.h, since the I/O layer needs it too.
#pragma once

#include "streams/failure.h"

namespace tavo {

// The fail-fast request with code 7 (FAST_FAIL_FATAL_APP_EXIT).
[[noreturn]] void abort_process();

}  // namespace tavo
