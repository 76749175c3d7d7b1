// Synchronous transfers on any handle (file, pipe, device): one NtWriteFile
// or NtReadFile at the handle's current position, finished before the call
// returns even on a handle opened for asynchronous use.
#pragma once

#include <cstddef>

#include "errors/io_error.h"
#include "platform/platform.h"

namespace tavo {

// At most 0xFFFFFFFF bytes per call. Returns the count transferred;
// `sync_read` returns 0 at the end of the file. A transfer still in flight
// after waiting on the handle ends the process.
IoResult<size_t> sync_write(platform::Handle handle, const void* bytes, size_t length);
IoResult<size_t> sync_read(platform::Handle handle, void* buffer, size_t length);

}  // namespace tavo
