// The quoted form of any bytes: always well-formed UTF-8 inside a pair of
// double quotes, with nothing unescaped that the form promises to escape;
// reading the escapes back gives the input, where every byte that begins no
// well-formed character stands as U+FFFD. A sink that fails stops the form at
// that call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "errors/quoted.h"
#include "reference_utf8.h"
#include "support/collecting_sink.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not the form's
}

// Reads the escapes back; aborts on anything the form never writes.
std::string unquote(std::string_view quoted) {
  check(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
  std::string_view body = quoted.substr(1, quoted.size() - 2);
  std::string out;
  while (!body.empty()) {
    const char c = body.front();
    body.remove_prefix(1);
    if (c != '\\') {
      const auto byte = static_cast<uint8_t>(c);
      check(c != '"' && byte >= 0x20 && byte != 0x7F);
      out += c;
      continue;
    }
    check(!body.empty());
    const char e = body.front();
    body.remove_prefix(1);
    switch (e) {
      case '0':
        out += '\0';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case 'u': {
        check(body.size() >= 3 && body.front() == '{');
        body.remove_prefix(1);
        char32_t value = 0;
        size_t digits = 0;
        while (!body.empty() && body.front() != '}') {
          const int d = hex_digit(body.front());
          check(d >= 0 && digits < 6);
          check(!(digits == 0 && d == 0 && body.size() > 1 && body[1] != '}'));
          value = value * 16 + static_cast<char32_t>(d);
          ++digits;
          body.remove_prefix(1);
        }
        check(digits >= 1 && !body.empty());
        body.remove_prefix(1);  // '}'
        check(value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF));
        // The short escapes are used where they exist.
        check(value != 0 && value != '\t' && value != '\r' && value != '\n' &&
              value != '"' && value != '\\');
        tavo::fuzz::append_utf8(out, value);
        break;
      }
      default:
        check(false);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  tavo::testing::CollectingSink out;
  check(tavo::write_quoted(out, bytes));
  const std::string_view text = out.text();
  check(tavo::fuzz::well_formed(text));
  check(unquote(text) == tavo::fuzz::replace_invalid(bytes));

  // A sink that refuses its k-th piece: the form says so and makes no call
  // after it.
  if (out.calls() > 1) {
    const int fail_at = 1 + (size == 0 ? 0 : data[0] % out.calls());
    tavo::testing::CollectingSink failing(fail_at);
    check(!tavo::write_quoted(failing, bytes));
    check(failing.calls() == fail_at);
    check(text.starts_with(failing.text()));
  }
  return 0;
}
