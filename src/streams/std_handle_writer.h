// One standard handle as a lower writer: each write looks the handle up and
// hands the bytes on unchanged to a file, pipe or device, or as whole
// characters to a console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors/io_error.h"
#include "streams/console_writer.h"
#include "streams/write_all.h"

namespace tavo {

// What a missing handle (no handle, or one the system calls invalid) does to
// a write: fail it, or take every byte and show none (standard output, whose
// absence is not an error of the program).
enum class MissingHandle { fails, takes_all };

// The writer of the standard handle `id` (-11 or -12) with the stream's
// pending UTF-8 bytes, which it borrows.
class StdHandleWriter final : public RawWriter {
 public:
  StdHandleWriter(int32_t id, PendingUtf8& pending,
                  MissingHandle missing = MissingHandle::fails)
      : id_(id), missing_(missing), pending_(pending) {}

  // One write of `bytes`: the number of bytes taken, possibly fewer than
  // offered. Empty input takes 0 bytes without a call to the system.
  IoResult<size_t> write_some(std::string_view bytes) override;

 private:
  int32_t id_;
  MissingHandle missing_;
  PendingUtf8& pending_;
};

// One write of `bytes` to the standard handle `id` with the caller's pending
// UTF-8 bytes: the number of bytes taken, possibly fewer than offered.
IoResult<size_t> write_std_handle(int32_t id, std::string_view bytes,
                                  PendingUtf8& pending);

// Passes all of `bytes` to the standard handle `id`, retrying `Interrupted`;
// a write that takes nothing fails with "failed to write whole buffer".
IoResult<void> write_all_to_handle(int32_t id, std::string_view bytes,
                                   PendingUtf8& pending);

}  // namespace tavo
