// A platform for tests: every call goes to the real Windows platform unless
// the test overrides it. Install one with ScopedPlatform for the length of a
// test:
//
//   struct NoStdout : tavo::testing::FakePlatform {
//     tavo::platform::Handle get_std_handle(int32_t) override { return nullptr; }
//   } fake;
//   tavo::testing::ScopedPlatform use(fake);
#pragma once

#include "platform/platform.h"

namespace tavo::testing {

class FakePlatform : public platform::Platform {
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
  static platform::Platform& real() { return platform::real(); }
};

// Installs a platform for the current scope and restores the previous one.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(platform::Platform& fake)
      : previous_(platform::install(&fake)) {}
  ~ScopedPlatform() { platform::install(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  platform::Platform* previous_;
};

}  // namespace tavo::testing
