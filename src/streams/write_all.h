// A lower writer that may take only part of what it is offered, and the loop
// that offers bytes to it until all are taken. Free of any handle, so that the
// line buffer and its tests use them too.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/io_error.h"

namespace tavo {

// One write operation: a standard handle, or a test double.
class RawWriter {
 public:
  // One write; returns how many of the bytes were taken (possibly fewer than
  // offered, possibly 0).
  virtual IoResult<size_t> write_some(std::string_view bytes) = 0;

 protected:
  ~RawWriter() = default;
};

// Offers the remaining bytes to `lower` until all are taken. `Interrupted`
// is retried without limit, a write that takes nothing ends in the WriteZero
// error `zero_write` ("failed to write whole buffer" unless the caller names
// another), any other error is returned as it is. No call for empty input.
// `taken`, when given, grows by each write's count as soon as it returns
// (never by more than was offered), so that it is right also when a write
// unwinds.
IoResult<void> write_all(RawWriter& lower, std::string_view bytes,
                         size_t* taken = nullptr,
                         const MessageRecord& zero_write = message_write_whole_buffer);

}  // namespace tavo
