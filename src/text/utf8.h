// UTF-8 rules shared by the console writer, the line reader and the quoted
// form of error messages. Well-formed means what the Unicode Standard says:
// no overlong forms, no encoded surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tavo::utf8 {

// The length of the sequence that `lead` begins: 1 for 0x00-0x7F, 2 for
// 0xC2-0xDF, 3 for 0xE0-0xEF, 4 for 0xF0-0xF4, and 0 for a byte that
// cannot begin one (0x80-0xC1, 0xF5-0xFF).
constexpr int sequence_length(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// True for 0x80-0xBF.
constexpr bool is_continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes at the front of `bytes` that form well-formed UTF-8,
// ending at a character boundary.
size_t valid_prefix_length(std::string_view bytes);

inline bool is_well_formed(std::string_view bytes) {
  return valid_prefix_length(bytes) == bytes.size();
}

// True when `bytes` are the first bytes of a well-formed sequence and fewer
// than it needs: a character that more bytes may still complete.
bool is_cut_short(std::string_view bytes);

// Decodes the character at the front of well-formed `text` (not empty) and
// stores its byte length in `length`.
char32_t decode_front(std::string_view text, size_t& length);

// Writes the UTF-8 form of `c` (any value up to 0x10FFFF, surrogates
// included: the generalized form) to `out`, which has room for 4 bytes, and
// returns the number of bytes written.
size_t encode(char32_t c, char* out);

}  // namespace tavo::utf8
