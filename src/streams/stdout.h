// Standard output: a process-wide, line-buffered, locked stream.
#pragma once

#include "runtime/fatal.h"
#include "streams/formatted_write.h"

namespace tavo {

namespace detail {
// Writes one formatted message to standard output under the stream's lock;
// on failure raises "failed printing to stdout: {error}" at `position`.
void print_message(const FatalMessage& message);
}  // namespace detail

// Prints the pieces and arguments as one message (see formatted_write.h).
// A missing standard output is not an error; any other failure is fatal.
template <class... Args>
void print_to_stdout(const Args&... args);

// The exit step: writes out what standard output still holds and makes the
// stream unbuffered for the rest of the process. Called once, by the start
// routine, after the main routine has ended.
void exit_flush();

}  // namespace tavo
