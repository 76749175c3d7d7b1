// A deliberately plain UTF-8 decoder for the fuzz targets to measure the
// product against. It shares nothing with src/streams/utf8.cpp: instead of a
// table of allowed second bytes it decodes the bit pattern and then applies
// the three rules of well-formed UTF-8 to the value (shortest form, no
// surrogates, nothing above U+10FFFF). Speed does not matter here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavo::fuzz {

struct Decoded {
  char32_t code_point = 0;
  size_t length = 0;  // 0: no well-formed character starts here
};

// What a lead byte of two to four bytes announces: the length, the value
// bits it carries, and the smallest value that length may encode.
struct Lead {
  size_t length = 0;  // 0: not such a lead byte
  char32_t value = 0;
  char32_t smallest = 0;
};

inline Lead read_lead(uint8_t lead) {
  if ((lead & 0xE0) == 0xC0) return {2, char32_t{lead} & 0x1F, 0x80};
  if ((lead & 0xF0) == 0xE0) return {3, char32_t{lead} & 0x0F, 0x800};
  if ((lead & 0xF8) == 0xF0) return {4, char32_t{lead} & 0x07, 0x10000};
  return {};  // ASCII, a continuation byte, or 0xF8-0xFF
}

// Reads the lead and the continuation bytes of `text` (at most the length the
// lead announces) into `lead.value`; false if a byte is not a continuation.
inline bool read_continuations(std::string_view text, Lead& lead) {
  for (size_t i = 1; i < text.size() && i < lead.length; ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if ((byte & 0xC0) != 0x80) return false;
    lead.value = (lead.value << 6) | (byte & 0x3F);
  }
  return true;
}

// The values a character may take: not overlong, no surrogate, at most
// U+10FFFF. True if any value in [low, high] is one of them.
inline bool allows_any(char32_t low, char32_t high, char32_t smallest) {
  const auto overlaps = [&](char32_t from, char32_t to) {
    return low <= to && high >= from;
  };
  return overlaps(smallest, 0xD7FF) ||
         overlaps(smallest < 0xE000 ? 0xE000 : smallest, 0x10FFFF);
}

inline Decoded decode_one(std::string_view text) {
  if (text.empty()) return {};
  const auto first = static_cast<uint8_t>(text[0]);
  if (first < 0x80) return {first, 1};
  Lead lead = read_lead(first);
  if (lead.length == 0 || text.size() < lead.length) return {};  // cut short
  if (!read_continuations(text, lead)) return {};
  if (!allows_any(lead.value, lead.value, lead.smallest)) return {};
  return {lead.value, lead.length};
}

// Whether `text` is the start of a well-formed character that more bytes
// could still complete. The completions fill the missing six-bit groups with
// anything, so their values form one interval; some value in it must be
// allowed.
inline bool incomplete_character(std::string_view text) {
  if (text.empty()) return false;
  Lead lead = read_lead(static_cast<uint8_t>(text[0]));
  if (lead.length == 0 || text.size() >= lead.length) return false;
  if (!read_continuations(text, lead)) return false;
  const size_t missing_bits = 6 * (lead.length - text.size());
  const char32_t low = lead.value << missing_bits;
  const char32_t high = low | ((char32_t{1} << missing_bits) - 1);
  return allows_any(low, high, lead.smallest);
}

// The longest prefix that is a sequence of well-formed characters.
inline size_t valid_prefix(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const Decoded d = decode_one(text.substr(i));
    if (d.length == 0) break;
    i += d.length;
  }
  return i;
}

inline bool well_formed(std::string_view text) {
  return valid_prefix(text) == text.size();
}

inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

inline void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

// The UTF-16 form of well-formed `text`.
inline std::u16string to_utf16(std::string_view text) {
  std::u16string out;
  while (!text.empty()) {
    const Decoded d = decode_one(text);
    if (d.length == 0) break;
    append_utf16(out, d.code_point);
    text.remove_prefix(d.length);
  }
  return out;
}

// `text` with every byte that begins no well-formed character replaced by
// U+FFFD, byte by byte: always well-formed.
inline std::string replace_invalid(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const Decoded d = decode_one(text);
    if (d.length == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, d.length));
      text.remove_prefix(d.length);
    }
  }
  return out;
}

// A small deterministic generator for the choices a target makes from one
// fuzzed seed (chunk sizes, partial takes).
class Choices {
 public:
  explicit Choices(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A value in [low, high].
  size_t between(size_t low, size_t high) { return low + next() % (high - low + 1); }

 private:
  uint64_t state_;
};

}  // namespace tavo::fuzz
