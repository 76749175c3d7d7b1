// What the reference programs that keep the line share: writing all of a
// block to a handle, and the dialogue's opening lines.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/windows_api.h"

namespace bench {

inline constexpr std::string_view greeting =
    "Guess the numberl!\nPlease input your guess.\n";

// WriteFile until every byte is taken, at most 1 GiB a call; false when a
// call fails or takes nothing.
inline bool write_all(HANDLE out, const char* bytes, size_t count) {
  while (count > 0) {
    const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD put = 0;
    if (!WriteFile(out, bytes, chunk, &put, nullptr) || put == 0) return false;
    bytes += put;
    count -= put;
  }
  return true;
}

// Looks up the standard handles and writes the greeting and the prompt;
// false when they could not be written.
inline bool open_dialogue(HANDLE& in, HANDLE& out) {
  in = GetStdHandle(STD_INPUT_HANDLE);
  out = GetStdHandle(STD_OUTPUT_HANDLE);
  return write_all(out, greeting.data(), greeting.size());
}

}  // namespace bench
