// The console side of a standard-handle write, kept apart from the handles:
// the rules that turn a stream of UTF-8 bytes, cut anywhere by the caller,
// into whole characters for a console that takes UTF-16. The rules decide
// what one write shows and takes; a chunk writer shows it (the console's,
// streams/console_chunk.h, or a test's), so the rules also run without
// Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "errors/io_error.h"
#include "text/utf16.h"

namespace tavo {

// The leading bytes of one UTF-8 character whose remaining bytes have not
// arrived yet: 0 to 3 bytes; the first pending byte is always the lead byte
// of a 2- to 4-byte sequence, and the pending bytes can always still become
// that character. One per output stream; the line reader keeps the same
// kind of character while it judges a line chunk by chunk.
struct PendingUtf8 {
  uint8_t bytes[4] = {0, 0, 0, 0};
  uint8_t count = 0;

  bool empty() const { return count == 0; }
  void clear() { count = 0; }
};

// The most bytes one console write converts, and the size in UTF-16 units of
// the buffer they are converted into. Each byte gives at most one unit.
inline constexpr size_t console_chunk_bytes = 4096;
inline constexpr size_t console_chunk_units = 4096;

// What one console write does with the bytes offered, as the rules decide
// it: show whole characters on the console, or take bytes without showing
// anything (the first bytes of a split character).
struct ConsoleStep {
  // Valid UTF-8 to hand to the console; empty when nothing is shown.
  std::string_view show;
  // The bytes taken when nothing is shown.
  size_t taken = 0;
  // `show` is a split character just completed: its earlier bytes were
  // reported as taken already, so the write reports 1 byte if the console
  // took the whole character, and 0 (the caller then fails the write instead
  // of losing the character silently) if not.
  bool completes_pending = false;
};

// The rules for one console write of `bytes` with the stream's pending
// bytes `pending`, which they update. Invalid UTF-8 at the front gives the
// InvalidData error "Windows stdio in console mode does not support writing
// non-UTF-8 byte sequences". A shown completed character points into
// `pending`, which must outlive the step.
IoResult<ConsoleStep> plan_console_write(std::string_view bytes, PendingUtf8& pending);

// One console write of `bytes` with the stream's pending bytes `pending`:
// the rules decide, and `write_chunk` (IoResult<size_t>(string_view): how many
// bytes of a non-empty piece of valid UTF-8 reached the console) shows what
// they give. Returns how many of `bytes` were taken, which is fewer than
// offered when the text is long, has an invalid sequence further on, or the
// console takes only part of it. A byte that begins or continues a split
// character counts as taken as soon as it is pending.
template <class WriteChunk>
IoResult<size_t> write_console(std::string_view bytes, PendingUtf8& pending,
                               WriteChunk&& write_chunk) {
  IoResult<ConsoleStep> planned = plan_console_write(bytes, pending);
  if (!planned.ok()) {
    return std::move(planned.error());
  }
  const ConsoleStep& step = planned.value();
  if (step.show.empty()) {
    return step.taken;
  }
  IoResult<size_t> written = write_chunk(step.show);
  if (!written.ok() || !step.completes_pending) {
    return written;
  }
  return written.value() < step.show.size() ? size_t{0} : size_t{1};
}

// The length of the piece of `text` that one console write converts: all of
// it up to 4096 bytes, otherwise cut at the last character boundary at or
// below 4096 bytes.
size_t console_chunk_length(std::string_view text);

// How many UTF-8 bytes the first units of a converted piece stand for: 1 for
// a unit below 0x80, 2 below 0x800, 1 for the second half of a surrogate pair
// and 3 for any other unit (so a pair counts 4).
size_t utf8_length_of_units(std::u16string_view units);

}  // namespace tavo
