// Fatal failures: an error the program cannot handle is reported once on
// standard error and carried back to the start routine, which ends the
// process with status 101. The raising entries themselves are declared with
// the I/O layer that also raises them (streams/failure.h).
#pragma once

#include <string_view>
#include <utility>

#include "errors/formatted_write.h"
#include "errors/io_error.h"
#include "streams/failure.h"

namespace tavo {

// The value of `result`, or a fatal failure "{message}: {debug form}" at
// `position` when it holds an error.
template <class T>
T expect_ok(IoResult<T>&& result, std::string_view message,
            const SourcePosition& position) {
  if (!result.ok()) {
    raise_fatal_format(position, message, ": ", debug(result.error()));
  }
  return std::move(result.value());
}

}  // namespace tavo
