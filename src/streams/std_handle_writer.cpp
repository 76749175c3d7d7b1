// One write to a standard handle: the lookup, the console test, and the
// console's or the file's road.
#include "streams/std_handle_writer.h"

#include <utility>

#include "streams/console_chunk.h"
#include "streams/std_handle.h"
#include "streams/sync_io.h"

namespace tavo {

IoResult<size_t> StdHandleWriter::write_some(std::string_view bytes) {
  if (bytes.empty()) {
    return size_t{0};
  }
  IoResult<platform::Handle> handle = lookup_std_handle(id_);
  IoResult<size_t> result =
      !handle.ok() ? IoResult<size_t>(std::move(handle.error()))
      : !is_console(handle.value())
          ? sync_write(handle.value(), bytes.data(), bytes.size())
          : write_console(bytes, pending_, ConsoleChunkWriter{handle.value()});
  // The missing-handle rule: an error with OS code 6, whichever call gave it.
  if (missing_ == MissingHandle::takes_all && !result.ok() &&
      result.error().is_os_code(static_cast<int32_t>(platform::error_invalid_handle))) {
    return bytes.size();
  }
  return result;
}

IoResult<size_t> write_std_handle(int32_t id, std::string_view bytes,
                                  PendingUtf8& pending) {
  return StdHandleWriter(id, pending).write_some(bytes);
}

IoResult<void> write_all_to_handle(int32_t id, std::string_view bytes,
                                   PendingUtf8& pending) {
  StdHandleWriter writer(id, pending);
  return write_all(writer, bytes);
}

}  // namespace tavo
