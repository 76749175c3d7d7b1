// Finding a standard handle and telling a console from anything else. The
// handle is borrowed: looked up afresh on every call, never kept or closed.
#pragma once

#include <cstdint>

#include "errors/io_error.h"
#include "platform/platform.h"

namespace tavo {

// The standard handle for -10 (input), -11 (output) or -12 (error). A null
// handle gives the error for OS code 6 (ERROR_INVALID_HANDLE), the invalid
// handle value the error for the thread's last error.
IoResult<platform::Handle> lookup_std_handle(int32_t id);

// True when `handle` is an interactive console.
bool is_console(platform::Handle handle);

}  // namespace tavo
