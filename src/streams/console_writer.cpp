// The console-write rules: valid UTF-8 goes out in pieces of whole
// characters, a character split across writes is kept pending until it is
// whole.
#include "streams/console_writer.h"

#include "text/utf8.h"

namespace tavo {
namespace {

IoError not_utf8() { return IoError::from_static(message_console_not_utf8); }

// A byte that continues the pending character.
IoResult<ConsoleStep> continue_pending(uint8_t byte, PendingUtf8& pending) {
  if (!utf8::is_continuation(byte)) {
    // The pending character never ends; its bytes are dropped and the byte
    // that broke it is not taken.
    pending.clear();
    return not_utf8();
  }
  pending.bytes[pending.count++] = byte;
  const std::string_view character(reinterpret_cast<const char*>(pending.bytes),
                                   pending.count);
  if (utf8::is_cut_short(character)) {
    // Still short, and more bytes can still complete it. Bytes that can no
    // longer become a character are an error now, for the same reason as at
    // the first byte (a write ending here must not succeed).
    return ConsoleStep{{}, 1, false};
  }
  pending.clear();
  if (!utf8::is_well_formed(character)) {
    return not_utf8();
  }
  // The bytes stay in `pending` (now empty) until its next write, so the
  // character can be shown from there.
  return ConsoleStep{character, 0, true};
}

}  // namespace

IoResult<ConsoleStep> plan_console_write(std::string_view bytes, PendingUtf8& pending) {
  if (bytes.empty()) {
    return ConsoleStep{};
  }
  if (!pending.empty()) {
    return continue_pending(static_cast<uint8_t>(bytes.front()), pending);
  }
  const std::string_view window = bytes.substr(0, console_chunk_bytes);
  const size_t valid = utf8::valid_prefix_length(window);
  if (valid > 0) {
    // Either the whole window, or its longest valid prefix: the next write
    // starts at the byte that stopped the check.
    return ConsoleStep{window.substr(0, valid), 0, false};
  }
  if (utf8::is_cut_short(bytes)) {
    // The write ends inside what would be one character: keep its lead byte
    // pending and take the rest byte by byte. Bytes that already break it are
    // an error now: kept pending, they would count as written, and if nothing
    // followed the write would succeed with the character never shown.
    pending.bytes[0] = static_cast<uint8_t>(bytes.front());
    pending.count = 1;
    return ConsoleStep{{}, 1, false};
  }
  return not_utf8();
}

size_t console_chunk_length(std::string_view text) {
  if (text.size() <= console_chunk_bytes) {
    return text.size();
  }
  size_t end = console_chunk_bytes;
  // Back off over at most three continuation bytes to the start of the
  // character that straddles the limit.
  for (int step = 0; step < 3 && utf8::is_continuation(static_cast<uint8_t>(text[end]));
       ++step) {
    --end;
  }
  return end;
}

size_t utf8_length_of_units(std::u16string_view units) {
  size_t bytes = 0;
  for (const char16_t unit : units) {
    // One branch per range of units, in order; two of them add one byte each
    // for different reasons, which is what the check takes for a copy.
    // NOLINTNEXTLINE(bugprone-branch-clone)
    if (unit < 0x80) {
      bytes += 1;
    } else if (unit < 0x800) {
      bytes += 2;
    } else if (is_low_surrogate(unit)) {
      bytes += 1;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

}  // namespace tavo
