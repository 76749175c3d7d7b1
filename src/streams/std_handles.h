// The platform layer under the standard streams: finding a standard handle,
// telling a console from anything else, and passing bytes to and from one.
//
// A console gets UTF-16 text converted from the stream's UTF-8 bytes, with a
// character split across writes kept back until it is whole (PendingUtf8).
// Anything else (file, pipe, device) gets the bytes unchanged through a
// synchronous NtWriteFile and is read through a synchronous NtReadFile.
// Nothing here allocates, takes a lock or keeps state between calls apart
// from the caller's PendingUtf8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors/formatted_write.h"
#include "errors/io_error.h"
#include "platform/platform.h"
#include "streams/console_writer.h"

namespace tavo {

// The standard handle for -10 (input), -11 (output) or -12 (error). A null
// handle gives the error for OS code 6 (ERROR_INVALID_HANDLE), the invalid
// handle value the error for the thread's last error. The handle is borrowed:
// looked up afresh on every call, never kept or closed.
IoResult<sys::Handle> lookup_std_handle(int32_t id);

// True when `handle` is an interactive console.
bool is_console(sys::Handle handle);

// Writes a non-empty piece of valid UTF-8 to a console: at most 4096 bytes of
// it (cut at a character boundary), converted to UTF-16 on the stack. Returns
// how many of its bytes reached the console.
IoResult<size_t> write_console_chunk(sys::Handle console, std::string_view text);

// One synchronous NtWriteFile / NtReadFile at the handle's current position,
// of at most 0xFFFFFFFF bytes. Returns the count transferred; `sync_read`
// returns 0 at the end of the file. A transfer still pending after waiting on
// the handle ends the process.
IoResult<size_t> sync_write(sys::Handle handle, const void* bytes, size_t length);
IoResult<size_t> sync_read(sys::Handle handle, void* buffer, size_t length);

// One platform write of `bytes` to the standard handle `id` (-11 or -12):
// the number of bytes taken, possibly fewer than offered. Empty input takes
// 0 bytes without a platform call.
IoResult<size_t> write_std_handle(int32_t id, std::string_view bytes,
                                  PendingUtf8& pending);

// Passes all of `bytes` to the standard handle `id`, retrying `Interrupted`;
// a write that takes nothing fails with "failed to write whole buffer".
IoResult<void> write_all_to_handle(int32_t id, std::string_view bytes,
                                   PendingUtf8& pending);

// Standard error as a text sink, unbuffered, with pending UTF-8 bytes of its
// own that start empty and end with the writer. What the fatal reports and the abort
// lines write through.
class StderrSink final : public ErrorKeepingSink {
 public:
  bool write_str(std::string_view text) override {
    return accepting() &&
           keep(write_all_to_handle(sys::std_error_handle, text, pending_));
  }

 private:
  PendingUtf8 pending_;
};

}  // namespace tavo
