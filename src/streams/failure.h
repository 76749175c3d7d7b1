// How the I/O layer ends what it cannot return as an error value. The
// process frame (src/runtime/) defines these entries; nothing below it
// includes a header of the frame.
//
// The frame must provide three calls, each of which never returns:
// `raise_fatal` reports a fatal failure and carries it back to the start
// routine (or, with `may_unwind` false, aborts after the report);
// `abort_with_line` writes one fixed line to standard error and aborts;
// `report_allocation_failure` writes the allocation-failure line and aborts.
// They behave the same from the first instruction of the process to the
// last, whether or not the start routine runs.
#pragma once

#include <cstddef>
#include <string_view>

#include "text/format.h"

namespace tavo {

// Raises a fatal failure whose message is `message`, at `position`.
[[noreturn]] void raise_fatal(const DeferredMessage& message,
                              const SourcePosition& position, bool may_unwind = true);

// Raises a fatal failure whose message is the given pieces and arguments,
// composed only when the report needs it.
template <class... Args>
[[noreturn]] void raise_fatal_format(const SourcePosition& position,
                                     const Args&... args) {
  const MessageArgs<Args...> pieces(args...);
  raise_fatal(pieces.message(), position);
}

// Writes `line` (which carries its own line feed) to standard error through a
// writer of its own, ignoring any error of that write, then aborts. Requests
// no memory. If writing the line leads back here (the standard-error write
// itself cannot complete), the second call aborts without writing.
[[noreturn]] void abort_with_line(std::string_view line);

// Writes "memory allocation of {size} bytes failed\n" to standard error,
// composed without requesting memory, and aborts.
[[noreturn]] void report_allocation_failure(size_t size);

}  // namespace tavo
