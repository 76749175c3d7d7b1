// Locks and thread identity outside Windows, over the standard library.
#include <atomic>

#include "platform/sync.h"

namespace tavo::platform {

void SrwLock::lock_exclusive() { mutex_.lock(); }
bool SrwLock::try_lock_exclusive() { return mutex_.try_lock(); }
void SrwLock::unlock_exclusive() { mutex_.unlock(); }
void SrwLock::lock_shared() { mutex_.lock_shared(); }
void SrwLock::unlock_shared() { mutex_.unlock_shared(); }

uint64_t current_thread_id() {
  static std::atomic<uint64_t> next{1};
  thread_local uint64_t id = next.fetch_add(1);
  return id;
}

}  // namespace tavo::platform
