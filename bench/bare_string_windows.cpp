// The floor for guess.exe's design: the line kept in a plain std::string
// that grows by itself, fed through a 12,288-byte buffer (the size of
// guess.exe's input buffer), and written out once it is complete. No UTF-8
// check, no lock, no error values.
#include <cstring>
#include <string>

#include "reference_io.h"

using bench::write_all;

int main() {
  HANDLE in;
  HANDLE out;
  if (!bench::open_dialogue(in, out)) return 1;

  static char buffer[12288];
  std::string line;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    const void* line_feed = std::memchr(buffer, '\n', got);
    if (line_feed != nullptr) {
      line.append(buffer, static_cast<const char*>(line_feed) - buffer + 1);
      break;
    }
    line.append(buffer, got);
  }
  const char prefix[] = "You guessed: ";
  if (!write_all(out, prefix, sizeof prefix - 1) ||
      !write_all(out, line.data(), line.size()) || !write_all(out, "\n", 1))
    return 1;
  return 0;
}
