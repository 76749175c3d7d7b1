// The platform seam outside Windows: there is no real system below it, so a
// test must install one before anything asks for it.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace tavo::platform {
namespace {
constinit std::atomic<Platform*> installed_platform{nullptr};
}  // namespace

Platform& current() {
  Platform* installed = installed_platform.load(std::memory_order_acquire);
  if (installed == nullptr) {
    std::fputs("no platform installed in the portable build\n", stderr);
    std::abort();
  }
  return *installed;
}

Platform* install(Platform* replacement) {
  return installed_platform.exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace tavo::platform
