// A platform whose message lookup returns a chosen text or fails, and which
// records how it was asked and counts the heap requests made through it (the
// program's operator new and delete use the process heap through the seam).
// Everything else goes to the real platform.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "support/fake_platform.h"

namespace tavo::testing {

class MessagePlatform final : public FakePlatform {
 public:
  enum class Call { format_message, get_last_error, get_module_handle };

  // What FormatMessageW does: write `text` (as much as fits) and return its
  // length, or `claimed` when set; or fail with `last_error`.
  std::u16string text;
  bool fail = false;
  uint32_t last_error = 0;
  uint32_t claimed = 0;
  bool use_claimed = false;
  // What GetModuleHandleW(u"NTDLL.DLL") finds.
  Module ntdll = nullptr;

  // Observations.
  int format_calls = 0;
  uint32_t flags = 0;
  Module source = nullptr;
  uint32_t message_id = 0;
  uint32_t language = 0;
  uint32_t size = 0;
  bool buffer_was_zeroed = false;
  std::u16string module_name;
  std::array<Call, 16> calls{};
  size_t call_count = 0;
  uint64_t heap_allocs = 0;
  uint64_t heap_frees = 0;

  void reserve() {
    // Keeps the observations from allocating during a measured window.
    module_name.reserve(64);
  }

  uint32_t format_message_w(uint32_t f, Module m, uint32_t id, uint32_t lang,
                            char16_t* buffer, uint32_t n) override {
    note(Call::format_message);
    ++format_calls;
    flags = f;
    source = m;
    message_id = id;
    language = lang;
    size = n;
    buffer_was_zeroed =
        std::all_of(buffer, buffer + n, [](char16_t u) { return u == 0; });
    if (fail) {
      return 0;
    }
    size_t copied = std::min<size_t>(text.size(), n);
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(copied), buffer);
    return use_claimed ? claimed : static_cast<uint32_t>(copied);
  }
  uint32_t get_last_error() override {
    note(Call::get_last_error);
    return last_error;
  }
  void* heap_alloc(size_t bytes) override {
    ++heap_allocs;
    return FakePlatform::heap_alloc(bytes);
  }
  bool heap_free(void* block) override {
    ++heap_frees;
    return FakePlatform::heap_free(block);
  }
  Module get_module_handle_w(const char16_t* name) override {
    note(Call::get_module_handle);
    module_name = name;
    return ntdll;
  }

 private:
  void note(Call call) {
    if (call_count < calls.size()) calls[call_count++] = call;
  }
};

// Heap requests made through `platform` since construction.
class AllocationWindow {
 public:
  explicit AllocationWindow(const MessagePlatform& platform)
      : platform_(platform),
        allocations_(platform.heap_allocs),
        frees_(platform.heap_frees) {}
  uint64_t allocations() const { return platform_.heap_allocs - allocations_; }
  uint64_t frees() const { return platform_.heap_frees - frees_; }

 private:
  const MessagePlatform& platform_;
  uint64_t allocations_;
  uint64_t frees_;
};

// Some address that stands for the loaded ntdll.
inline platform::Module fake_ntdll() {
  return reinterpret_cast<platform::Module>(uintptr_t{0x7FF00000});
}

}  // namespace tavo::testing
