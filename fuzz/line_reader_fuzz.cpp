// Line assembly against a one-shot model: a byte stream delivered in any
// refill sizes, through an input buffer of any capacity, gives the same lines,
// byte counts and verdicts as cutting the whole stream at its line feeds and
// checking each line as UTF-8. A refused line leaves the caller's text as it
// was; bytes already in the text are never touched; after the last line every
// call reports end of input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "errors/io_error.h"
#include "reference_utf8.h"
#include "streams/line_reader.h"
#include "support/lines.h"

namespace {

using tavo::testing::lines_of;

void check(bool condition) {
  if (!condition) std::abort();
}

// Hands the stream out in chunks of chosen sizes, then end of input forever.
class ChunkedSource final : public tavo::LineSource {
 public:
  ChunkedSource(std::string_view stream, uint64_t seed, size_t largest)
      : stream_(stream), choices_(seed), largest_(largest) {}

  tavo::IoResult<size_t> refill(char* buffer, size_t capacity) override {
    ++refills;
    const size_t most = std::min({capacity, largest_, stream_.size()});
    const size_t count = most == 0 ? 0 : choices_.between(1, most);
    std::memcpy(buffer, stream_.data(), count);
    stream_.remove_prefix(count);
    return count;
  }

  size_t refills = 0;

 private:
  std::string_view stream_;
  tavo::fuzz::Choices choices_;
  size_t largest_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // Tiny buffers put refill boundaries everywhere; the real size is checked
  // too.
  const uint8_t shape = input.ConsumeIntegral<uint8_t>();
  const size_t capacity = shape % 4 == 0 ? tavo::input_buffer_size : 1 + shape % 24;
  const size_t largest_chunk = 1 + input.ConsumeIntegralInRange<size_t>(0, 40);
  const uint64_t seed = input.ConsumeIntegral<uint64_t>();
  const std::string prefix = input.ConsumeBool() ? "\xC3\xA9t\xC3\xA9 " : "";
  const std::string stream = input.ConsumeRemainingBytesAsString();

  std::vector<char> storage(capacity);
  tavo::LineBuffer buffer{storage.data(), capacity, 0, 0};
  ChunkedSource source(stream, seed,
                       shape % 4 == 0 ? tavo::input_buffer_size : largest_chunk);

  for (const std::string_view line : lines_of(stream)) {
    std::string text = prefix;
    tavo::IoResult<size_t> result = tavo::append_line_from(buffer, source, text);
    if (tavo::fuzz::well_formed(line)) {
      check(result.ok());
      check(result.value() == line.size());
      check(text.size() == prefix.size() + line.size());
      check(std::string_view(text).substr(0, prefix.size()) == prefix);
      check(std::string_view(text).substr(prefix.size()) == line);
    } else {
      check(!result.ok());
      check(result.error().word() ==
            reinterpret_cast<uintptr_t>(&tavo::message_invalid_utf8));
      check(text == prefix);
    }
    check(buffer.position <= buffer.filled && buffer.filled <= buffer.capacity);
  }

  // The stream is used up: end of input, again and again.
  for (int i = 0; i < 2; ++i) {
    std::string text = prefix;
    tavo::IoResult<size_t> result = tavo::append_line_from(buffer, source, text);
    check(result.ok() && result.value() == 0 && text == prefix);
  }
  // One refill per chunk of at least one byte, plus the ends of input.
  check(source.refills <= stream.size() + 2 + 2);
  return 0;
}
