// Views into the standard streams for tests only; the program never uses
// them. Call them while no other thread prints.
#pragma once

#include <cstddef>
#include <string_view>

#include "streams/stdout.h"

namespace tavo::testing {

struct StdoutProbe {
  static std::string_view buffered(const StdoutStream& stream) {
    return stream.writer_.buffered();
  }
  static size_t capacity(const StdoutStream& stream) { return stream.writer_.capacity(); }
  static ReentrantLock& lock(StdoutStream& stream) { return stream.lock_; }
};

// What standard output's buffer holds, and its capacity.
inline std::string_view buffered(const StdoutStream& stream) {
  return StdoutProbe::buffered(stream);
}
inline size_t capacity(const StdoutStream& stream) { return StdoutProbe::capacity(stream); }

// Standard output's lock, to take it as a nesting print would.
inline ReentrantLock& lock(StdoutStream& stream) { return StdoutProbe::lock(stream); }

}  // namespace tavo::testing
