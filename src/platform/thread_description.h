// Naming a thread for debuggers, on systems that can.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tavo::platform {

// SetThreadDescription(thread, description) -> HRESULT, looked up in
// kernel32 through the seam at its first use. Where the system has no such
// function, a stand-in sets the last error to ERROR_CALL_NOT_IMPLEMENTED and
// returns E_NOTIMPL. What the lookup found is kept for the process.
int32_t set_thread_description(Handle thread, const char16_t* description);

}  // namespace tavo::platform
