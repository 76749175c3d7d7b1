// The system's message text for a Windows error code.
#pragma once

#include <cstdint>
#include <string>

namespace tavo {

// A new UTF-8 text for `code`, with trailing white space removed. Never
// fails: when the system has no usable text, a fallback naming the code and
// the reason is returned instead. Calls the platform through its seam.
std::string os_error_message(int32_t code);

}  // namespace tavo
