// The standard handle's lookup and the console test, through the seam.
#include "streams/std_handle.h"

namespace tavo {

IoResult<platform::Handle> lookup_std_handle(int32_t id) {
  const platform::Handle handle = platform::current().get_std_handle(id);
  if (handle == nullptr) {
    return IoError::from_os_code(static_cast<int32_t>(platform::error_invalid_handle));
  }
  if (handle == platform::invalid_handle_value()) {
    return IoError::last_os_error();
  }
  return handle;
}

bool is_console(platform::Handle handle) {
  uint32_t mode = 0;
  return platform::current().get_console_mode(handle, &mode);
}

}  // namespace tavo
