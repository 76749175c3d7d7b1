// A platform for tests: every call goes to the real Windows platform unless
// the test overrides it. Install one with ScopedPlatform for the length of a
// test:
//
//   struct NoStdout : tavo::testing::FakePlatform {
//     tavo::sys::Handle get_std_handle(int32_t) override { return nullptr; }
//   } fake;
//   tavo::testing::ScopedPlatform use(fake);
#pragma once

#include "platform/platform.h"

namespace tavo::testing {

class FakePlatform : public sys::Platform {
 public:
  // Each call as the real platform makes it. The call that never returns is
  // not marked [[noreturn]] here, as its body is the same `return` as every
  // other's; the real one does not come back.
#define TAVO_FORWARD_TO_REAL(result, name, parameters, arguments, fails) \
  result name parameters override { return real().name arguments; }
  TAVO_PLATFORM_CALLS(TAVO_FORWARD_TO_REAL)
#undef TAVO_FORWARD_TO_REAL

 protected:
  ~FakePlatform() = default;
  static sys::Platform& real() { return sys::real_platform(); }
};

// Installs a platform for the current scope and restores the previous one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(sys::Platform& fake) : previous_(sys::set_platform(&fake)) {}
  ~ScopedPlatform() { sys::set_platform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  sys::Platform* previous_;
};

}  // namespace tavo::testing
