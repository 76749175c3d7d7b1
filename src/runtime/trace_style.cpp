// The trace style that the environment asks for: TAVO_BACKTRACE read once
// per process, its value turned into 8-bit text losing nothing.
#include "runtime/trace_style.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "text/utf16.h"

namespace tavo {
namespace {

// 0: not read yet; 1 Short, 2 Full, 3 Off. Two threads meeting an unread
// cache may both read the environment; they store the same value.
constinit std::atomic<uintptr_t> style_cache{0};

constexpr char16_t variable_name[] = u"TAVO_BACKTRACE";

// The variable's value, or nothing when it is missing or cannot be read.
std::optional<std::u16string> read_variable() {
  platform::Platform& platform = platform::current();
  char16_t first[256];
  std::vector<char16_t> larger;
  char16_t* buffer = first;
  uint32_t capacity = sizeof first / sizeof first[0];
  for (;;) {
    platform.set_last_error(0);
    uint32_t result =
        platform.get_environment_variable_w(variable_name, buffer, capacity);
    if (result == 0) {
      // 0 with no error is a variable that is set to the empty value.
      if (platform.get_last_error() == 0) {
        return std::u16string();
      }
      return std::nullopt;
    }
    if (result < capacity) {
      return std::u16string(buffer, result);
    }
    // Too small: the result is the size needed, terminating NUL included.
    // The value may grow between the calls, so this is a loop.
    larger.resize(result);
    buffer = larger.data();
    capacity = result;
  }
}

}  // namespace

TraceStyle trace_style_for(const std::string* value) {
  if (value == nullptr || *value == "0") {
    return TraceStyle::Off;
  }
  if (*value == "full") {
    return TraceStyle::Full;
  }
  return TraceStyle::Short;
}

TraceStyle read_trace_style() {
  const std::optional<std::u16string> units = read_variable();
  if (!units) {
    return trace_style_for(nullptr);
  }
  std::string value;
  (void)append_utf16_as_utf8(*units, UnpairedSurrogate::Encode, value);
  return trace_style_for(&value);
}

TraceStyle trace_style() {
  switch (style_cache.load(std::memory_order_relaxed)) {
    case 1:
      return TraceStyle::Short;
    case 2:
      return TraceStyle::Full;
    case 3:
      return TraceStyle::Off;
    default:
      break;
  }
  const TraceStyle style = read_trace_style();
  uintptr_t code = style == TraceStyle::Short ? 1 : style == TraceStyle::Full ? 2 : 3;
  style_cache.store(code, std::memory_order_relaxed);
  return style;
}

}  // namespace tavo
