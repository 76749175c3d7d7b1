// The floor for any program that must keep the whole line: address space
// reserved once, each read placed where the line's bytes end up, the line
// written with one call. Nothing is copied and no page is touched twice.
// The reads ask for 12,288 bytes, as guess.exe's do.
#include <cstring>

#include "reference_io.h"

namespace {

constexpr SIZE_T reserved = SIZE_T{4} << 30;
constexpr SIZE_T commit_step = SIZE_T{4} << 20;
constexpr DWORD read_size = 12288;

}  // namespace

using bench::write_all;

int main() {
  HANDLE in;
  HANDLE out;
  if (!bench::open_dialogue(in, out)) return 1;

  char* line =
      static_cast<char*>(VirtualAlloc(nullptr, reserved, MEM_RESERVE, PAGE_NOACCESS));
  if (line == nullptr) return 1;
  SIZE_T committed = 0;
  SIZE_T size = 0;
  for (;;) {
    if (committed - size < read_size) {
      if (VirtualAlloc(line + committed, commit_step, MEM_COMMIT, PAGE_READWRITE) ==
          nullptr)
        return 1;
      committed += commit_step;
    }
    DWORD got = 0;
    if (!ReadFile(in, line + size, read_size, &got, nullptr) || got == 0) break;
    const void* line_feed = std::memchr(line + size, '\n', got);
    size += got;
    if (line_feed != nullptr) {
      // The bytes after the line feed belong to the next line; this program
      // reads one line only, so they are simply not echoed.
      size = static_cast<SIZE_T>(static_cast<const char*>(line_feed) - line) + 1;
      break;
    }
  }
  const char prefix[] = "You guessed: ";
  if (!write_all(out, prefix, sizeof prefix - 1) || !write_all(out, line, size) ||
      !write_all(out, "\n", 1))
    return 1;
  return 0;
}
