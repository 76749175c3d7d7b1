// The global operator new and delete over the process heap. All of them are
// in this one file so that a program gets either all of them or none: a
// block must go back to the allocator it came from.
#include "runtime/allocation.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "streams/abort.h"

namespace tavo {
namespace {

constinit std::atomic<uint64_t> blocks_allocated{0};

// The process heap aligns every block to 16 bytes.
constexpr size_t heap_alignment = 16;

// Requests from this size on are first compared with the commit limit.
constexpr size_t large_request = size_t{1} << 30;

void* allocate(size_t size) {
  platform::Platform& platform = platform::current();
  if (size >= large_request) {
    // A request above the commit limit can never be met. Refusing it here
    // saves the system a long search of the address space for a block that
    // it could not commit anyway.
    const uint64_t limit = platform.commit_limit();
    if (limit != 0 && size > limit) {
      return nullptr;
    }
  }
  void* block = platform.heap_alloc(size);
  if (block != nullptr) {
    blocks_allocated.fetch_add(1, std::memory_order_relaxed);
  }
  return block;
}

// A block with a stricter alignment than the heap's: over-allocated, and the
// heap's own pointer kept just before the aligned one. Size, then alignment:
// the order of the aligned operator new that calls it.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void* allocate_aligned(size_t size, size_t alignment) {
  if (alignment <= heap_alignment) {
    return allocate(size);
  }
  const size_t extra = alignment - 1 + sizeof(void*);
  if (size > SIZE_MAX - extra) {
    return nullptr;
  }
  void* raw = allocate(size + extra);
  if (raw == nullptr) {
    return nullptr;
  }
  uintptr_t aligned =
      (reinterpret_cast<uintptr_t>(raw) + extra) & ~(uintptr_t{alignment} - 1);
  std::memcpy(reinterpret_cast<void*>(aligned - sizeof(void*)), &raw, sizeof raw);
  return reinterpret_cast<void*>(aligned);
}

void release(void* block) {
  if (block != nullptr) {
    (void)platform::current().heap_free(block);
  }
}

void release_aligned(void* block, size_t alignment) {
  if (block == nullptr) {
    return;
  }
  if (alignment <= heap_alignment) {
    release(block);
    return;
  }
  void* raw;
  std::memcpy(&raw, static_cast<char*>(block) - sizeof(void*), sizeof raw);
  release(raw);
}

void* allocate_or_end(size_t size) {
  if (void* block = allocate(size)) {
    return block;
  }
  report_allocation_failure(size);
}

void* allocate_aligned_or_end(size_t size, size_t alignment) {
  if (void* block = allocate_aligned(size, alignment)) {
    return block;
  }
  report_allocation_failure(size);
}

}  // namespace

uint64_t allocation_count() { return blocks_allocated.load(std::memory_order_relaxed); }

}  // namespace tavo

using tavo::allocate;
using tavo::allocate_aligned;
using tavo::allocate_aligned_or_end;
using tavo::allocate_or_end;
using tavo::release;
using tavo::release_aligned;

void* operator new(size_t size) { return allocate_or_end(size); }
void* operator new[](size_t size) { return allocate_or_end(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new(size_t size, std::align_val_t alignment) {
  return allocate_aligned_or_end(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment) {
  return allocate_aligned_or_end(size, static_cast<size_t>(alignment));
}
void* operator new(size_t size, std::align_val_t alignment,
                   const std::nothrow_t&) noexcept {
  return allocate_aligned(size, static_cast<size_t>(alignment));
}
void* operator new[](size_t size, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  return allocate_aligned(size, static_cast<size_t>(alignment));
}

void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, size_t) noexcept { release(block); }
void operator delete[](void* block, size_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete(void* block, std::align_val_t alignment) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
void operator delete[](void* block, std::align_val_t alignment) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
void operator delete(void* block, size_t, std::align_val_t alignment) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
void operator delete[](void* block, size_t, std::align_val_t alignment) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
void operator delete(void* block, std::align_val_t alignment,
                     const std::nothrow_t&) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
void operator delete[](void* block, std::align_val_t alignment,
                       const std::nothrow_t&) noexcept {
  release_aligned(block, static_cast<size_t>(alignment));
}
