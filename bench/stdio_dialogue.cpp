// The dialogue written with the C library's stdio (fgets/fputs), as a
// reference: same texts, the first line echoed with its terminator. stdout is
// in text mode, so every line feed goes out as CR LF.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  std::fputs("Guess the numberl!\n", stdout);
  std::fputs("Please input your guess.\n", stdout);
  std::fflush(stdout);  // the prompt is visible before the read

  size_t size = 0;
  size_t capacity = 4096;
  char* line = static_cast<char*>(std::malloc(capacity));
  if (line == nullptr) return 1;
  line[0] = '\0';
  // fgets reads at most a buffer's worth: grow and go on until the line ends.
  while (std::fgets(line + size, static_cast<int>(capacity - size), stdin) != nullptr) {
    size += std::strlen(line + size);
    if (size > 0 && line[size - 1] == '\n') break;
    if (capacity - size < 2) {
      capacity *= 2;
      char* grown = static_cast<char*>(std::realloc(line, capacity));
      if (grown == nullptr) return 1;
      line = grown;
    }
  }
  std::fputs("You guessed: ", stdout);
  std::fwrite(line, 1, size, stdout);
  std::fputs("\n", stdout);
  std::free(line);
  return 0;
}
