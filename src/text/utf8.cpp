// UTF-8 rules: the well-formed prefix of a byte string, decoding one
// character, encoding one code point.
#include "text/utf8.h"

#include <cstring>

namespace tavo::utf8 {
namespace {

// The range allowed for the second byte of a sequence, which is narrower than
// 0x80-0xBF after four lead bytes (to rule out overlong forms, surrogates and
// values above U+10FFFF).
struct SecondByteRange {
  uint8_t low;
  uint8_t high;
};

constexpr SecondByteRange second_byte_range(uint8_t lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {0x80, 0xBF};
  }
}

}  // namespace

size_t valid_prefix_length(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case: skip them eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const uint8_t lead = p[i];
    const int length = sequence_length(lead);
    if (length == 1) {
      ++i;
      continue;
    }
    if (length == 0 || i + static_cast<size_t>(length) > n) break;
    const SecondByteRange second = second_byte_range(lead);
    if (p[i + 1] < second.low || p[i + 1] > second.high) break;
    bool ok = true;
    for (int k = 2; k < length; ++k) {
      if (!is_continuation(p[i + k])) {
        ok = false;
        break;
      }
    }
    if (!ok) break;
    i += static_cast<size_t>(length);
  }
  return i;
}

bool is_cut_short(std::string_view bytes) {
  if (bytes.empty()) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t length = static_cast<size_t>(sequence_length(p[0]));
  if (length <= bytes.size()) return false;
  if (bytes.size() >= 2) {
    const SecondByteRange second = second_byte_range(p[0]);
    if (p[1] < second.low || p[1] > second.high) return false;
  }
  return bytes.size() < 3 || is_continuation(p[2]);
}

char32_t decode_front(std::string_view text, size_t& length) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t lead = p[0];
  switch (sequence_length(lead)) {
    case 2:
      length = 2;
      return (char32_t{lead & 0x1Fu} << 6) | (p[1] & 0x3Fu);
    case 3:
      length = 3;
      return (char32_t{lead & 0x0Fu} << 12) | (char32_t{p[1] & 0x3Fu} << 6) |
             (p[2] & 0x3Fu);
    case 4:
      length = 4;
      return (char32_t{lead & 0x07u} << 18) | (char32_t{p[1] & 0x3Fu} << 12) |
             (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3Fu);
    default:
      length = 1;
      return lead;
  }
}

size_t encode(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace tavo::utf8
