// The stack walk over RtlCaptureContext, RtlLookupFunctionEntry and
// RtlVirtualUnwind, and the export directory of a mapped image.
#include <cstring>

#include "platform/platform.h"
#include "platform/stack_walk.h"
#include "platform/windows_api.h"

namespace tavo::platform {
namespace {

constexpr size_t max_name_length = 1024;

// The thread's stack: [low, high).
struct StackLimits {
  uint64_t low = 0;
  uint64_t high = 0;
  bool holds(uint64_t address, uint64_t size) const {
    return address >= low && address < high && high - address >= size;
  }
};

// Moves `context` from its frame (in `function`, or in a leaf function when
// that is null) to the caller's. False when the stack looks damaged: the
// stack pointer is outside the stack, or the caller's frame is not further
// out than this one, so that a walk over it might never end.
bool unwind_one(Platform& platform, CONTEXT& context, void* function, uint64_t base,
                const StackLimits& stack) {
  const uint64_t sp = context.Rsp;
  if (!stack.holds(sp, sizeof context.Rip)) {
    return false;
  }
  if (function != nullptr) {
    platform.rtl_virtual_unwind(base, context.Rip, function, &context);
  } else {
    // A leaf function: the return address is on top of the stack.
    std::memcpy(&context.Rip, reinterpret_cast<const void*>(sp), sizeof context.Rip);
    context.Rsp = sp + sizeof context.Rip;
  }
  return context.Rsp > sp && context.Rsp <= stack.high;
}

}  // namespace

[[gnu::noinline]] void walk_stack(FrameVisitor& visitor) {
  Platform& platform = current();
  StackLimits stack;
  platform.get_current_thread_stack_limits(&stack.low, &stack.high);
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  platform.rtl_capture_context(&context);
  // The frames of this function and of what captured the context lie at or
  // below its own locals; the caller's frame is the first beyond them.
  const auto own_frame = reinterpret_cast<uint64_t>(&context);
  for (;;) {
    const uint64_t pc = context.Rip;
    if (pc == 0) {
      return;
    }
    uint64_t base = 0;
    void* function = platform.rtl_lookup_function_entry(pc - 1, &base);
    if (context.Rsp > own_frame) {
      const StackFrame frame{
          pc - 1, function != nullptr ? base : 0,
          function != nullptr
              ? static_cast<const RUNTIME_FUNCTION*>(function)->BeginAddress
              : 0};
      if (!visitor.visit(frame)) {
        return;
      }
    }
    if (!unwind_one(platform, context, function, base, stack)) {
      return;
    }
  }
}

uint64_t image_base_of(uint64_t address) {
  uint64_t base = 0;
  return current().rtl_lookup_function_entry(address, &base) != nullptr ? base : 0;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string_view exported_name(uint64_t image_base, uint32_t function_start) {
  const auto* image = reinterpret_cast<const unsigned char*>(image_base);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
    return {};
  }
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) {
    return {};
  }
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.VirtualAddress == 0 || directory.Size == 0) {
    return {};
  }
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + directory.VirtualAddress);
  const auto* functions =
      reinterpret_cast<const DWORD*>(image + exports->AddressOfFunctions);
  const auto* names = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
  const auto* ordinals =
      reinterpret_cast<const WORD*>(image + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const WORD ordinal = ordinals[i];
    if (ordinal < exports->NumberOfFunctions && functions[ordinal] == function_start) {
      const char* name = reinterpret_cast<const char*>(image + names[i]);
      return {name, strnlen(name, max_name_length)};
    }
  }
  return {};
}

}  // namespace tavo::platform
