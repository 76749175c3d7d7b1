// The "real" platform that FakePlatform forwards to in the native (Linux)
// build of the tests, where there is no Windows below the seam. It keeps the
// few calls that have an obvious host meaning (the heap, the thread's last
// error) and stops the test program loudly on any other: a test that reaches
// one needs Windows and belongs to the Windows build only.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace tavo::platform {
namespace {

[[noreturn]] void unavailable(const char* call) {
  std::fprintf(stderr, "%s: not available in the native build of the tests\n", call);
  std::abort();
}

thread_local uint32_t last_error = 0;

// Every call stops the test program...
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
class NoPlatform : public Platform {
 public:
#define TAVO_UNAVAILABLE(result, name, parameters, arguments, fails) \
  result name parameters override { unavailable(#name); }
  TAVO_PLATFORM_CALLS(TAVO_UNAVAILABLE)
#undef TAVO_UNAVAILABLE

 protected:
  ~NoPlatform() = default;
};
#pragma GCC diagnostic pop

// ...but those with a host meaning.
class HostPlatform final : public NoPlatform {
 public:
  uint32_t get_last_error() override { return last_error; }
  void set_last_error(uint32_t code) override { last_error = code; }
  void* heap_alloc(size_t size) override { return std::malloc(size); }
  bool heap_free(void* block) override {
    std::free(block);
    return true;
  }
  uint64_t commit_limit() override { return ~uint64_t{0}; }
  [[noreturn]] void fail_fast(uint32_t code) override {
    std::fprintf(stderr, "fail-fast request, code %u\n", code);
    std::abort();
  }
};

}  // namespace

Platform& real() {
  static HostPlatform host;
  return host;
}

}  // namespace tavo::platform
