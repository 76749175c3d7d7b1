// The loop that offers bytes to a single write that may take only part of
// them, until all are taken. Kept apart from the standard handles so that any
// lower write (including one that reports `Interrupted`) can drive it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include "errors/io_error.h"

namespace tavo {

// Offers the remaining bytes to `write_some` (IoResult<size_t>(string_view))
// until all are taken. `Interrupted` is retried without limit, a write that
// takes nothing ends in the WriteZero error `zero_write` ("failed to write
// whole buffer" unless the caller names another), any other error is
// returned as it is. No call for empty input.
template <class WriteSome>
IoResult<void> offer_until_taken(
    std::string_view bytes, WriteSome&& write_some,
    const MessageRecord& zero_write = message_write_whole_buffer) {
  while (!bytes.empty()) {
    IoResult<size_t> written = write_some(bytes);
    if (!written.ok()) {
      if (written.error().kind() == IoErrorKind::Interrupted) {
        continue;
      }
      return std::move(written.error());
    }
    if (written.value() == 0) {
      return IoError::from_static(zero_write);
    }
    bytes.remove_prefix(std::min(written.value(), bytes.size()));
  }
  return {};
}

}  // namespace tavo
