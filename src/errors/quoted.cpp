// The quoted form of a message: escapes for what would be invisible or would
// attach to its neighbours, copied runs for everything else.
#include "errors/quoted.h"

#include <cstdint>

#include "errors/unicode_tables.h"
#include "text/utf8.h"

namespace tavo {
namespace {

// The two-character escape of `c`, or empty when it has none.
std::string_view short_escape(char32_t c) {
  switch (c) {
    case U'\0':
      return "\\0";
    case U'\t':
      return "\\t";
    case U'\r':
      return "\\r";
    case U'\n':
      return "\\n";
    case U'"':
      return "\\\"";
    case U'\\':
      return "\\\\";
    default:
      return {};
  }
}

bool needs_unicode_escape(char32_t c) {
  if (c < 0x80) {
    return c < 0x20 || c == 0x7F;
  }
  return unicode::is_grapheme_extend(c) || !unicode::is_printable(c);
}

bool write_unicode_escape(TextSink& out, char32_t c) {
  // "\u{" + up to 6 hex digits + "}".
  char text[10] = {'\\', 'u', '{'};
  size_t length = 3;
  int shift = 20;
  while (shift > 0 && ((c >> shift) & 0xF) == 0) {
    shift -= 4;
  }
  for (; shift >= 0; shift -= 4) {
    text[length++] = "0123456789abcdef"[(c >> shift) & 0xF];
  }
  text[length++] = '}';
  return out.write_str(std::string_view(text, length));
}

}  // namespace

bool write_quoted(TextSink& out, std::string_view utf8) {
  if (!out.write_str("\"")) {
    return false;
  }
  // [run_start, position) is a run of characters written unchanged.
  size_t run_start = 0;
  size_t position = 0;
  auto flush_run = [&] {
    bool ok = position == run_start ||
              out.write_str(utf8.substr(run_start, position - run_start));
    return ok;
  };
  while (position < utf8.size()) {
    std::string_view rest = utf8.substr(position);
    size_t valid = utf8::valid_prefix_length(rest);
    if (valid == 0) {
      // A byte that starts no well-formed character.
      if (!flush_run() || !out.write_str("\xEF\xBF\xBD")) {
        return false;
      }
      position += 1;
      run_start = position;
      continue;
    }
    size_t end = position + valid;
    while (position < end) {
      size_t length = 0;
      char32_t c = utf8::decode_front(utf8.substr(position, end - position), length);
      std::string_view escape = short_escape(c);
      if (escape.empty() && !needs_unicode_escape(c)) {
        position += length;
        continue;
      }
      if (!flush_run()) {
        return false;
      }
      bool ok = escape.empty() ? write_unicode_escape(out, c) : out.write_str(escape);
      if (!ok) {
        return false;
      }
      position += length;
      run_start = position;
    }
  }
  return flush_run() && out.write_str("\"");
}

}  // namespace tavo
