// Bytes as lower-case hex digits, two per byte: how tests and the programs
// they start pass arbitrary bytes through a line of text.
#pragma once

#include <string>
#include <string_view>

namespace tavo::testing {

inline std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace tavo::testing
