// Everything a test of the standard handles drives directly, and one write
// or a whole write to a standard handle with the caller's pending UTF-8
// bytes: what a stream's handle writer does, spelled as a test calls it.
#pragma once

#include <cstdint>
#include <string_view>

#include "streams/console_chunk.h"
#include "streams/std_handle.h"
#include "streams/std_handle_writer.h"
#include "streams/stderr_sink.h"
#include "streams/sync_io.h"

namespace tavo {

inline IoResult<size_t> write_std_handle(int32_t id, std::string_view bytes,
                                         PendingUtf8& pending) {
  StdHandleWriter writer(id, pending);
  return writer.write_some(bytes);
}

inline IoResult<void> write_all_to_handle(int32_t id, std::string_view bytes,
                                          PendingUtf8& pending) {
  StdHandleWriter writer(id, pending);
  return write_all(writer, bytes);
}

}  // namespace tavo
