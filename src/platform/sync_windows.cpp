// Locks and thread identity on Windows: slim reader/writer locks and the
// thread id.
#include "platform/sync.h"
#include "platform/windows_api.h"

namespace tavo::platform {

static_assert(sizeof(void*) == sizeof(SRWLOCK));

#define TAVO_SRW reinterpret_cast<PSRWLOCK>(&state_)

void SrwLock::lock_exclusive() { AcquireSRWLockExclusive(TAVO_SRW); }
bool SrwLock::try_lock_exclusive() { return TryAcquireSRWLockExclusive(TAVO_SRW) != 0; }
void SrwLock::unlock_exclusive() { ReleaseSRWLockExclusive(TAVO_SRW); }
void SrwLock::lock_shared() { AcquireSRWLockShared(TAVO_SRW); }
void SrwLock::unlock_shared() { ReleaseSRWLockShared(TAVO_SRW); }

#undef TAVO_SRW

uint64_t current_thread_id() { return GetCurrentThreadId(); }

}  // namespace tavo::platform
