// Threads for tests, over the system's own threads: the build's standard
// library (the win32 thread model) has no std::thread.
#pragma once

#include <functional>

namespace tavo::testing {

// Runs `body` on a thread of its own from construction on. join() waits for
// it to end, detach() lets it run on unwatched; the destructor joins a thread
// that was neither. An exception that leaves `body` ends the process, as it
// would from a std::thread.
class TestThread {
 public:
  TestThread() = default;
  explicit TestThread(std::function<void()> body);
  TestThread(TestThread&& other) noexcept;
  TestThread& operator=(TestThread&& other) noexcept;
  ~TestThread() { join(); }

  void join();
  void detach();

 private:
  void* handle_ = nullptr;
};

// Lets another ready thread run (the caller spins on something it waits for).
void yield_to_other_threads();

}  // namespace tavo::testing
