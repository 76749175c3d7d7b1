// The floor of the long-line figure: standard input copied to standard output
// with ReadFile/WriteFile and a 12288-byte buffer, nothing else.
#include "platform/windows_api.h"

int main() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  static char buffer[12288];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    DWORD offset = 0;
    while (offset < got) {
      DWORD put = 0;
      if (!WriteFile(out, buffer + offset, got - offset, &put, nullptr) || put == 0)
        return 1;
      offset += put;
    }
  }
  return 0;
}
