// GoogleTest's start gate for the threads it starts itself, which its own
// header builds from std::mutex and std::condition_variable; the win32
// thread model's standard library has neither. Included ahead of every file
// that GoogleTest's headers reach (with GTEST_HAS_NOTIFICATION_ set), it
// stands in with a manual-reset event.
#pragma once

namespace testing::internal {

class Notification {
 public:
  Notification();
  ~Notification();
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify();
  void WaitForNotification();

 private:
  void* event_;
};

}  // namespace testing::internal
