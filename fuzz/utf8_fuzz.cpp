// Differential: the product's UTF-8 check against the plain reference decoder.
// Same verdict and same longest valid prefix for any bytes; inside the valid
// prefix, the product's decoder and encoder agree with the reference
// character by character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "reference_utf8.h"
#include "text/utf8.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavo;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const size_t expected = fuzz::valid_prefix(bytes);
  check(utf8::valid_prefix_length(bytes) == expected);
  check(utf8::is_well_formed(bytes) == (expected == size));

  // Every suffix start is a fresh check too: the word-at-a-time skip must not
  // depend on where the text begins relative to its alignment.
  for (size_t start = 1; start < size && start < 9; ++start) {
    const std::string_view rest = bytes.substr(start);
    check(utf8::valid_prefix_length(rest) == fuzz::valid_prefix(rest));
  }

  size_t position = 0;
  while (position < expected) {
    const std::string_view rest = bytes.substr(position, expected - position);
    const fuzz::Decoded reference = fuzz::decode_one(rest);
    size_t length = 0;
    const char32_t c = utf8::decode_front(rest, length);
    check(c == reference.code_point && length == reference.length);
    check(utf8::sequence_length(data[position]) == static_cast<int>(length));
    char encoded[4];
    check(utf8::encode(c, encoded) == length);
    check(std::string_view(encoded, length) == rest.substr(0, length));
    position += length;
  }
  return 0;
}
