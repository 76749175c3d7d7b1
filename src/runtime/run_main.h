// The start routine: prepares the process, runs the main routine inside the
// containment of fatal failures, and gives the exit status.
#pragma once

#include <cstdint>

namespace tavo {

// Runs `routine` on the calling (main) thread and returns 0 when it returns
// or 101 when it ends in a fatal failure, after the exit clean-up. The count,
// the vector and the flag byte are accepted and not used on this platform.
// Does not return when the process aborts.
int64_t run_main(void (*routine)(), int64_t argc, char** argv, uint8_t flag);

}  // namespace tavo
