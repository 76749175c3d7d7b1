// The run-time lookup of SetThreadDescription, which older systems lack.
#include "platform/thread_description.h"

#include <atomic>

namespace tavo::platform {
namespace {

using SetThreadDescription = int32_t (*)(Handle thread, const char16_t* description);

// Stands in for SetThreadDescription where the system has none.
int32_t missing_set_thread_description(Handle, const char16_t*) {
  current().set_last_error(error_call_not_implemented);
  return e_notimpl;
}

constinit std::atomic<SetThreadDescription> found_function{nullptr};

// Looked up at its first use; what was found (or the stand-in) is kept.
SetThreadDescription thread_description_function() {
  SetThreadDescription function = found_function.load(std::memory_order_acquire);
  if (function != nullptr) {
    return function;
  }
  Platform& platform = current();
  function = missing_set_thread_description;
  if (Module kernel = platform.get_module_handle_a("kernel32")) {
    if (Procedure found = platform.get_proc_address(kernel, "SetThreadDescription")) {
      function = reinterpret_cast<SetThreadDescription>(found);
    }
  }
  found_function.store(function, std::memory_order_release);
  return function;
}

}  // namespace

int32_t set_thread_description(Handle thread, const char16_t* description) {
  return thread_description_function()(thread, description);
}

}  // namespace tavo::platform
