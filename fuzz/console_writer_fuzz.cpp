// The console-write state machine, driven the way the write-all loop drives
// it: a text cut into pieces, each piece offered until it is taken or a write
// fails, over a console that may take only part of what it is given.
//
// Valid UTF-8, however it is cut, reaches the console as exactly the UTF-16
// of the whole. Invalid UTF-8 reaches it up to the first bad sequence and then
// fails with the console's InvalidData error, no later than three pending
// bytes past that point; only a text that ends inside a character that more
// bytes could still complete leaves those bytes pending. At most 3 bytes are
// ever pending, and they always start with a lead byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "errors/io_error.h"
#include "reference_utf8.h"
#include "streams/console_writer.h"
#include "text/utf8.h"

namespace {

using tavo::IoError;
using tavo::IoResult;
using tavo::PendingUtf8;

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_console_error(const IoError& error) {
  return error.word() == reinterpret_cast<uintptr_t>(&tavo::message_console_not_utf8);
}

// What the console received, and how much of each piece it agrees to take.
struct Console {
  explicit Console(uint64_t seed) : choices(seed) {}

  IoResult<size_t> operator()(std::string_view text) {
    // Only non-empty, well-formed text of at most one window reaches it.
    check(!text.empty() && text.size() <= tavo::console_chunk_bytes);
    check(tavo::fuzz::well_formed(text));
    const std::u16string units = tavo::fuzz::to_utf16(text);
    check(tavo::utf8_length_of_units(units) == text.size());

    // Now and then take only some whole characters (never none: a console
    // always takes at least one when it succeeds).
    size_t taken = text.size();
    if (choices.next() % 4 == 0) {
      const size_t characters = units.size();
      const size_t keep = choices.between(1, characters);
      size_t end = 0;
      for (size_t i = 0; i < keep; ++i)
        end += tavo::fuzz::decode_one(text.substr(end)).length;
      taken = end;
    }
    received += tavo::fuzz::to_utf16(text.substr(0, taken));
    return taken;
  }

  tavo::fuzz::Choices choices;
  std::u16string received;
};

void check_pending(const PendingUtf8& pending) {
  check(pending.count <= 3);
  if (pending.count > 0) {
    check(tavo::utf8::sequence_length(pending.bytes[0]) >= 2);
    check(pending.count < tavo::utf8::sequence_length(pending.bytes[0]));
  }
}

struct Outcome {
  bool failed = false;
  size_t position = 0;  // bytes of the text taken
  PendingUtf8 pending;
};

Outcome write_text(std::string_view text, const std::vector<size_t>& cuts,
                   Console& console) {
  Outcome outcome;
  for (size_t cut_index = 0; cut_index <= cuts.size(); ++cut_index) {
    const size_t piece_end = cut_index < cuts.size() ? cuts[cut_index] : text.size();
    while (outcome.position < piece_end) {
      const std::string_view rest =
          text.substr(outcome.position, piece_end - outcome.position);
      IoResult<size_t> result = tavo::write_console(rest, outcome.pending, console);
      check_pending(outcome.pending);
      if (!result) {
        check(is_console_error(result.error()));
        check(outcome.pending.empty());
        outcome.failed = true;
        return outcome;
      }
      check(result.value() >= 1 && result.value() <= rest.size());
      outcome.position += result.value();
    }
  }
  return outcome;
}

std::vector<size_t> cut_points(FuzzedDataProvider& input, size_t count) {
  std::vector<size_t> lengths;
  for (size_t i = 0; i < count; ++i) {
    lengths.push_back(input.ConsumeIntegralInRange<size_t>(0, 5000));
  }
  return lengths;
}

std::vector<size_t> positions(const std::vector<size_t>& lengths, size_t size) {
  std::vector<size_t> cuts;
  size_t at = 0;
  for (const size_t length : lengths) {
    at = std::min(size, at + length);
    cuts.push_back(at);
  }
  return cuts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t piece_count = input.ConsumeIntegralInRange<size_t>(0, 12);
  const std::vector<size_t> lengths = cut_points(input, piece_count);
  const uint64_t seed = input.ConsumeIntegral<uint64_t>();
  const std::string text = input.ConsumeRemainingBytesAsString();

  // The text as given: valid or not.
  {
    Console console(seed);
    const Outcome outcome = write_text(text, positions(lengths, text.size()), console);
    const size_t valid = tavo::fuzz::valid_prefix(text);
    check(console.received == tavo::fuzz::to_utf16(text.substr(0, valid)));
    // A text that ends inside what could still be one character holds those
    // bytes; any other bad sequence fails.
    const bool ends_inside =
        tavo::fuzz::incomplete_character(std::string_view(text).substr(valid));
    if (valid == text.size()) {
      check(!outcome.failed && outcome.position == text.size() &&
            outcome.pending.empty());
    } else if (!ends_inside) {
      // Failed at the first bad sequence, after holding at most 3 bytes of it.
      check(outcome.failed);
      check(outcome.position >= valid && outcome.position <= valid + 3);
    } else {
      // Its bytes are held, nothing is lost or invented.
      check(!outcome.failed);
      const size_t held = text.size() - valid;
      check(outcome.position == text.size());
      check(held >= 1 && held <= 3 && outcome.pending.count == held);
      check(std::string_view(reinterpret_cast<const char*>(outcome.pending.bytes),
                             held) == std::string_view(text).substr(valid));
    }
  }

  // The same text made valid, cut at the same places: always exact.
  {
    const std::string valid_text = tavo::fuzz::replace_invalid(text);
    Console console(seed);
    const Outcome outcome =
        write_text(valid_text, positions(lengths, valid_text.size()), console);
    check(!outcome.failed && outcome.pending.empty());
    check(outcome.position == valid_text.size());
    check(console.received == tavo::fuzz::to_utf16(valid_text));
  }
  return 0;
}
