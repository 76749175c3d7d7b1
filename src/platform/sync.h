// Locks and thread identity for the streams and the process frame. A
// pointer-sized slim reader/writer lock on Windows; a standard shared mutex
// in the portable build.
#pragma once

#include <cstdint>
#ifndef _WIN32
#include <shared_mutex>
#endif

namespace tavo::platform {

class SrwLock {
 public:
  constexpr SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  void lock_exclusive();
  bool try_lock_exclusive();
  void unlock_exclusive();
  void lock_shared();
  void unlock_shared();

 private:
#ifdef _WIN32
  void* state_ = nullptr;  // SRWLOCK_INIT
#else
  std::shared_mutex mutex_;
#endif
};

// Holds an SrwLock exclusively for a scope.
class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(SrwLock& lock) : lock_(lock) { lock_.lock_exclusive(); }
  ~ExclusiveGuard() { lock_.unlock_exclusive(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  SrwLock& lock_;
};

// A number that identifies the calling thread while it runs; never 0.
uint64_t current_thread_id();

}  // namespace tavo::platform
