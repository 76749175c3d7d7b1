// The frame's side of the test hooks of runtime/testing.h.
#include "runtime/testing.h"

#include <atomic>

#include "runtime/fatal_unwind.h"

namespace tavo {
namespace {

constinit std::atomic<void (*)()> payload_release_hook{nullptr};

}  // namespace

void detail::run_payload_release_hook() {
  if (void (*hook)() = payload_release_hook.load(std::memory_order_acquire)) {
    hook();
  }
}

void testing::set_payload_release_hook(void (*hook)()) {
  payload_release_hook.store(hook, std::memory_order_release);
}

}  // namespace tavo
