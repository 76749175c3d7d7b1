// A lock that the thread holding it may take again: a slim reader/writer
// lock taken exclusively, the owning thread and a nesting count.
//
// Standard output needs this: a print made from inside the text conversion
// of another print's argument runs on the thread that already holds the
// stream, and its bytes belong at that point of the outer message.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/sync.h"

namespace tavo {

namespace testing {
struct StdoutProbe;
}  // namespace testing

class ReentrantLock {
 public:
  constexpr ReentrantLock() = default;
  ReentrantLock(const ReentrantLock&) = delete;
  ReentrantLock& operator=(const ReentrantLock&) = delete;

  // Takes the lock, waiting for another holder. Returns false, leaving the
  // lock as it was (held by this thread), when the nesting count is at its
  // maximum; the caller decides how to fail.
  [[nodiscard]] bool lock() {
    const uint64_t self = platform::current_thread_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      return nest();
    }
    lock_.lock_exclusive();
    take(self);
    return true;
  }

  // Takes the lock only if that needs no waiting: free, or held by this
  // thread. `overflow` is set when this thread holds it at the maximum
  // nesting count (the result is then false).
  [[nodiscard]] bool try_lock(bool& overflow) {
    overflow = false;
    const uint64_t self = platform::current_thread_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
      overflow = !nest();
      return !overflow;
    }
    if (!lock_.try_lock_exclusive()) {
      return false;
    }
    take(self);
    return true;
  }

  // Gives up one level; the last one frees the lock. Only the holder calls it.
  void unlock() {
    if (--count_ == 0) {
      owner_.store(0, std::memory_order_relaxed);
      lock_.unlock_exclusive();
    }
  }

  // True when the calling thread holds the lock.
  bool held_by_current_thread() const {
    return owner_.load(std::memory_order_relaxed) == platform::current_thread_id();
  }

 private:
  friend struct testing::StdoutProbe;

  // Only the owning thread gets here, so the count needs no synchronisation;
  // the owner field is read by other threads only to learn that it is not
  // theirs, for which a relaxed load suffices: a thread always sees its own
  // last store, and no other thread ever stores its identity.
  bool nest() {
    if (count_ == std::numeric_limits<uint32_t>::max()) {
      return false;
    }
    ++count_;
    return true;
  }

  void take(uint64_t self) {
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
  }

  platform::SrwLock lock_;
  std::atomic<uint64_t> owner_{0};
  uint32_t count_ = 0;
};

}  // namespace tavo
