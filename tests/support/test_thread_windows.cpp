#include "support/test_thread.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/windows_api.h"

namespace tavo::testing {
namespace {

DWORD WINAPI run_body(void* parameter) noexcept {
  const std::unique_ptr<std::function<void()>> body(
      static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

TestThread::TestThread(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  handle_ = CreateThread(nullptr, 0, run_body, owned.get(), 0, nullptr);
  if (handle_ == nullptr) {
    // A test that cannot start its thread can judge nothing.
    std::fprintf(stderr, "CreateThread failed with code %lu\n", GetLastError());
    std::abort();
  }
  (void)owned.release();  // the thread owns it now
}

TestThread::TestThread(TestThread&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

TestThread& TestThread::operator=(TestThread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void TestThread::join() {
  if (handle_ != nullptr) WaitForSingleObject(handle_, INFINITE);
  detach();
}

void TestThread::detach() {
  if (handle_ == nullptr) return;
  CloseHandle(handle_);
  handle_ = nullptr;
}

void yield_to_other_threads() { Sleep(0); }

}  // namespace tavo::testing
