// Views into the standard streams for tests only; the program never uses
// them. Call them while no other thread prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "streams/stdout.h"

namespace tavo::testing {

struct StdoutProbe {
  static std::string_view buffered(const StdoutStream& stream) {
    return stream.writer_.buffered();
  }
  static size_t capacity(const StdoutStream& stream) { return stream.writer_.capacity(); }
  // The calling thread takes the stream's lock as if it had nested it to the
  // maximum count.
  static void lock_at_limit(StdoutStream& stream) {
    ReentrantLock& lock = stream.lock_;
    lock.lock_.lock_exclusive();
    lock.take(sys::current_thread_id());
    lock.count_ = std::numeric_limits<uint32_t>::max();
  }
};

// What standard output's buffer holds, and its capacity.
inline std::string_view buffered(const StdoutStream& stream) {
  return StdoutProbe::buffered(stream);
}
inline size_t capacity(const StdoutStream& stream) {
  return StdoutProbe::capacity(stream);
}

// Takes standard output's lock as a print nested as deep as the count allows.
inline void lock_at_limit(StdoutStream& stream) { StdoutProbe::lock_at_limit(stream); }

}  // namespace tavo::testing
