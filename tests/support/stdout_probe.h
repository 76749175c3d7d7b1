// A view into a standard output stream for tests, through the friend
// declarations the stream and its lock give it. Call it while no other
// thread prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "streams/stdout.h"

namespace tavo::testing {

struct StdoutProbe {
  // What the stream's buffer holds, and its capacity.
  static std::string_view buffered(const StdoutStream& stream) {
    return stream.writer_.buffered();
  }
  static size_t capacity(const StdoutStream& stream) { return stream.writer_.capacity(); }
  // The calling thread takes the stream's lock as if it had nested it to the
  // maximum count.
  static void lock_at_limit(StdoutStream& stream) {
    ReentrantLock& lock = stream.lock_;
    lock.lock_.lock_exclusive();
    lock.take(platform::current_thread_id());
    lock.count_ = std::numeric_limits<uint32_t>::max();
  }
};

}  // namespace tavo::testing
