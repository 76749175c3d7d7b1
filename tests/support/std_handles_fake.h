// A platform whose three standard handles are scripted data: which handle
// each id gives, whether it is a console, what its transfers and console
// calls do (one script entry per call), with every call recorded. A call on
// a handle it did not give out fails the test.
//
//   testing::StdHandlesFake fake;
//   fake.out.transfers = {{.most = 3}, {.status = testing::status_disk_full}};
//   testing::ScopedPlatform use(fake);
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "support/fake_platform.h"

namespace tavo::testing {

constexpr platform::NtStatus status_disk_full =
    static_cast<platform::NtStatus>(0xC000007Fu);
constexpr platform::NtStatus status_invalid_handle =
    static_cast<platform::NtStatus>(0xC0000008u);
constexpr platform::NtStatus status_pipe_broken =
    static_cast<platform::NtStatus>(0xC000014Bu);

// A status the fake maps back to the Win32 `code` (a customer status, which
// the system never gives).
constexpr platform::NtStatus failure_status(uint32_t code) {
  return static_cast<platform::NtStatus>(0xE0000000u | code);
}

// What one NtWriteFile or NtReadFile does. The default succeeds with every
// byte offered, or with `data` for a read.
struct Transfer {
  platform::NtStatus status = 0;  // status_pending: the wait completes it with `later`
  size_t most = SIZE_MAX;         // bytes a write takes at most
  std::string data{};             // what a read gives
  platform::NtStatus later = 0;
  bool throws = false;  // the call unwinds instead of returning
};

// What one WriteConsoleW does: takes at most `most` units, or fails leaving
// `error` as the last error.
struct ConsoleWrite {
  uint32_t most = UINT32_MAX;
  uint32_t error = 0;
};

// What one ReadConsoleW gives, and the last error it leaves.
struct ConsoleRead {
  std::u16string units;
  bool ok = true;
  uint32_t error = 0;
};

struct ConsoleReadCall {
  uint32_t asked;
  uint32_t last_error_at_call;
  platform::ConsoleReadControl control;
};

struct ScriptedHandle {
  explicit ScriptedHandle(uintptr_t value)
      : handle(reinterpret_cast<platform::Handle>(value)) {}

  platform::Handle handle;
  platform::Handle given = handle;  // what GetStdHandle gives for this id
  bool console = false;
  std::deque<Transfer> transfers;  // an empty script: a write takes all, a read ends
  std::deque<ConsoleWrite> console_writes;  // an empty script: takes all
  std::deque<ConsoleRead> console_reads;

  int lookups = 0;  // those that gave `handle`
  int console_checks = 0;
  std::vector<std::string> writes;  // bytes offered, one entry per NtWriteFile
  std::vector<uint64_t> write_lengths;
  std::vector<uint32_t> read_lengths;
  std::u16string screen;  // units WriteConsoleW took
  std::vector<uint32_t> console_write_sizes;
  std::vector<ConsoleReadCall> console_read_calls;

  std::string written() const {
    std::string all;
    for (const std::string& write : writes) all += write;
    return all;
  }
};

class StdHandlesFake final : public FakePlatform {
 public:
  ScriptedHandle in{0x5150};
  ScriptedHandle out{0x5100};
  ScriptedHandle err{0x5200};
  uint32_t last_error = 0;
  uint32_t lookup_error = 0;  // the last error a lookup giving the invalid value leaves
  int units_reported_at_most = INT_MAX;  // what MultiByteToWideChar claims at most
  // What is recorded: `lengths` copies no bytes, `nothing` allocates nothing.
  enum class Record { everything, lengths, nothing } record = Record::everything;

  std::vector<int32_t> lookup_ids;
  std::vector<int> conversion_capacities;
  std::vector<std::pair<uint32_t, uint32_t>> conversions;  // to UTF-8: code page, flags
  std::vector<Handle> waited;

  Handle get_std_handle(int32_t id) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle* h = id == platform::std_input_handle    ? &in
                        : id == platform::std_output_handle ? &out
                        : id == platform::std_error_handle  ? &err
                                                            : nullptr;
    if (h == nullptr) return FakePlatform::get_std_handle(id);
    if (record != Record::nothing) lookup_ids.push_back(id);
    if (h->given == h->handle) ++h->lookups;
    if (h->given == platform::invalid_handle_value()) last_error = lookup_error;
    return h->given;
  }
  bool get_console_mode(Handle handle, uint32_t* mode) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle& h = scripted(handle);
    EXPECT_EQ(*mode, 0u);
    ++h.console_checks;
    if (!h.console) last_error = platform::error_invalid_handle;
    if (h.console) *mode = 0x3;  // any mode: the program asks only whether there is one
    return h.console;
  }
  uint32_t get_last_error() override { return last_error; }
  void set_last_error(uint32_t code) override { last_error = code; }
  uint32_t rtl_nt_status_to_dos_error(NtStatus status) override {
    const auto bits = static_cast<uint32_t>(status);
    return (bits & 0xE0000000u) == 0xE0000000u
               ? bits & 0xFFFF
               : FakePlatform::rtl_nt_status_to_dos_error(status);
  }

  NtStatus nt_write_file(Handle handle, platform::IoStatusBlock* block, const void* bytes,
                         uint32_t length) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle& h = scripted(handle);
    EXPECT_EQ(block->status, platform::status_pending);
    EXPECT_EQ(block->information, 0u);
    const Transfer step = next(h.transfers);
    if (record == Record::everything) {
      h.writes.emplace_back(static_cast<const char*>(bytes), length);
    }
    if (record != Record::nothing) h.write_lengths.push_back(length);
    if (step.throws) throw std::runtime_error("the write never returned");
    return finish(block, step, std::min<size_t>(step.most, length));
  }
  NtStatus nt_read_file(Handle handle, platform::IoStatusBlock* block, void* buffer,
                        uint32_t length) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle& h = scripted(handle);
    EXPECT_EQ(block->status, platform::status_pending);
    h.read_lengths.push_back(length);
    const Transfer step = h.transfers.empty()
                              ? Transfer{.status = platform::status_end_of_file}
                              : next(h.transfers);
    EXPECT_LE(step.data.size(), length);
    std::memcpy(buffer, step.data.data(), step.data.size());
    return finish(block, step, step.data.size());
  }
  uint32_t wait_for_single_object(Handle handle, uint32_t ms) override {
    platform::ExclusiveGuard guard(lock_);
    waited.push_back(handle);
    EXPECT_EQ(ms, platform::infinite);
    if (pending_ != nullptr) {
      *pending_ = pending_result_;
      pending_ = nullptr;
    }
    return 0;
  }

  int multi_byte_to_wide_char(uint32_t cp, uint32_t flags, const char* bytes, int n,
                              char16_t* units, int capacity) override {
    EXPECT_EQ(cp, platform::cp_utf8);
    EXPECT_EQ(flags, platform::mb_err_invalid_chars);
    conversion_capacities.push_back(capacity);
    return std::min(units_reported_at_most, FakePlatform::multi_byte_to_wide_char(
                                                cp, flags, bytes, n, units, capacity));
  }
  int wide_char_to_multi_byte(uint32_t cp, uint32_t flags, const char16_t* units, int n,
                              char* bytes, int capacity) override {
    conversions.emplace_back(cp, flags);
    return FakePlatform::wide_char_to_multi_byte(cp, flags, units, n, bytes, capacity);
  }
  bool write_console_w(Handle handle, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle& h = scripted(handle);
    h.console_write_sizes.push_back(count);
    const ConsoleWrite step = next(h.console_writes);
    if (step.error != 0) {
      last_error = step.error;
      return false;
    }
    *written = std::min(count, step.most);
    h.screen.append(units, *written);
    return true;
  }
  bool read_console_w(Handle handle, char16_t* units, uint32_t count, uint32_t* read,
                      platform::ConsoleReadControl* control) override {
    platform::ExclusiveGuard guard(lock_);
    ScriptedHandle& h = scripted(handle);
    h.console_read_calls.push_back({count, last_error, *control});
    *read = 0;
    if (h.console_reads.empty()) {
      ADD_FAILURE() << "console read beyond the script";
      return true;
    }
    const ConsoleRead step = next(h.console_reads);
    EXPECT_LE(step.units.size(), count);
    std::memcpy(units, step.units.data(), step.units.size() * sizeof(char16_t));
    if (step.ok) *read = static_cast<uint32_t>(step.units.size());
    last_error = step.error;
    return step.ok;
  }

 private:
  ScriptedHandle& scripted(Handle handle) {
    for (ScriptedHandle* h : {&in, &out, &err}) {
      if (h->handle == handle) return *h;
    }
    ADD_FAILURE() << "a call on a handle the fake never gave out";
    return stray_;
  }
  template <class Step>
  static Step next(std::deque<Step>& script) {
    if (script.empty()) return Step{};
    Step step = std::move(script.front());
    script.pop_front();
    return step;
  }
  // Fills the block as the transfer of `moved` bytes ends, now or at the wait.
  NtStatus finish(platform::IoStatusBlock* block, const Transfer& step, size_t moved) {
    const bool pending = step.status == platform::status_pending;
    const NtStatus status = pending ? step.later : step.status;
    if (pending) pending_ = block;
    platform::IoStatusBlock& result = pending ? pending_result_ : *block;
    result.status = status;
    result.information = status < 0 ? 0 : moved;
    return pending ? platform::status_pending : status;
  }

  platform::SrwLock lock_;
  ScriptedHandle stray_{0};
  platform::IoStatusBlock* pending_ = nullptr;
  platform::IoStatusBlock pending_result_{};
};

}  // namespace tavo::testing
