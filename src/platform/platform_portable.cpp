// The platform seam outside Windows: there is no real system below it, so a
// test must install one before anything asks for it.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace tavo::sys {
namespace {
constinit std::atomic<Platform*> current{nullptr};
}  // namespace

Platform& platform() {
  Platform* installed = current.load(std::memory_order_acquire);
  if (installed == nullptr) {
    std::fputs("no platform installed in the portable build\n", stderr);
    std::abort();
  }
  return *installed;
}

Platform* set_platform(Platform* replacement) {
  return current.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace tavo::sys
