// Line assembly: the line-feed search, the growth of the caller's text, and
// the loop that cuts one line out of buffered input and checks it as UTF-8.
#include "streams/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "text/utf8.h"

namespace tavo {
namespace {

constexpr uint64_t ones = 0x0101010101010101ull;
constexpr uint64_t high_bits = 0x8080808080808080ull;
constexpr uint64_t line_feeds = 0x0A0A0A0A0A0A0A0Aull;

// True when one of the eight bytes of `word` is a line feed. The classic
// zero-byte test on word ^ line_feeds: it can flag a byte above a true match
// but never reports a word without one.
constexpr bool has_line_feed(uint64_t word) {
  const uint64_t x = word ^ line_feeds;
  return ((x - ones) & ~x & high_bits) != 0;
}

// Finds the end of a line and checks it as UTF-8 in the same pass, one chunk
// at a time, so that every byte is judged while the chunk is still in cache
// rather than in a second pass over the whole line once it is complete. The
// chunks together are the line's bytes in order, and the verdict is the one
// for all of them as a whole: a character cut by the end of one chunk is kept
// as a pending character and judged together with the first bytes of the
// next.
class LineScan {
 public:
  // The offset of the first line feed in bytes[0, size), or `size` when there
  // is none; every byte before that offset has been judged.
  size_t next(const char* bytes, size_t size) {
    if (failed_) return find_line_feed(bytes, size);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes);
    size_t i = 0;
    if (pending_count_ > 0) {
      i = complete_pending(p, size);
      if (failed_) return find_line_feed(bytes, size);
    }
    while (i < size) {
      // Plain ASCII without a line feed, the bulk of most lines: a word at a
      // time.
      while (i + 8 <= size) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & high_bits) != 0 || has_line_feed(word)) break;
        i += 8;
      }
      if (i == size) break;
      const uint8_t lead = p[i];
      if (lead == '\n') return i;
      if (lead < 0x80) {
        ++i;
        continue;
      }
      const size_t length = static_cast<size_t>(utf8::sequence_length(lead));
      const std::string_view rest(bytes + i, size - i);
      if (length != 0 && length > rest.size() && utf8::is_cut_short(rest)) {
        // The chunk ends inside this character (so no line feed follows).
        std::memcpy(pending_, rest.data(), rest.size());
        pending_count_ = rest.size();
        return size;
      }
      if (length == 0 || utf8::valid_prefix_length(rest.substr(0, length)) != length) {
        failed_ = true;
        return i + find_line_feed(bytes + i, size - i);
      }
      i += length;
    }
    return size;
  }

  // True when the bytes judged so far are well-formed UTF-8 and do not end
  // inside a character.
  bool well_formed() const { return !failed_ && pending_count_ == 0; }

 private:
  // Adds the first bytes of a chunk to the pending character; returns how many
  // were taken.
  size_t complete_pending(const uint8_t* p, size_t size) {
    const size_t length = static_cast<size_t>(utf8::sequence_length(pending_[0]));
    const size_t taken = std::min(length - pending_count_, size);
    std::memcpy(pending_ + pending_count_, p, taken);
    pending_count_ += taken;
    const std::string_view character(reinterpret_cast<const char*>(pending_),
                                     pending_count_);
    if (pending_count_ < length) {
      failed_ = !utf8::is_cut_short(character);
      return taken;
    }
    failed_ = !utf8::is_well_formed(character);
    pending_count_ = 0;
    return taken;
  }

  uint8_t pending_[4] = {};
  size_t pending_count_ = 0;
  bool failed_ = false;
};

// Grows `text` geometrically when `count` more bytes do not fit, then appends
// them. A request that cannot be met goes to the source, which ends the
// process.
void append_bytes(std::string& text, const char* bytes, size_t count,
                  LineSource& source) {
  const size_t size = text.size();
  if (count > text.capacity() - size) {
    if (count > text.max_size() - size) source.out_of_memory(size + count);
    const size_t needed = size + count;
    const size_t doubled =
        text.capacity() > text.max_size() / 2 ? text.max_size() : text.capacity() * 2;
    const size_t target = std::max(needed, doubled);
    try {
      text.reserve(target);
    } catch (const std::bad_alloc&) {
      // The string asks for its capacity plus the terminating NUL.
      source.out_of_memory(target + 1);
    }
  }
  text.append(bytes, count);
}

}  // namespace

size_t find_line_feed(const char* bytes, size_t size) {
  size_t i = 0;
  if (size >= 16) {
    while (i + 8 <= size) {
      uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      if (has_line_feed(word)) break;
      i += 8;
    }
  }
  // Either a word with a line feed (found below within its 8 bytes), or the
  // tail shorter than a word, or a short input.
  for (; i < size; ++i) {
    if (bytes[i] == '\n') return i;
  }
  return size;
}

IoResult<size_t> append_line_from(LineBuffer& buffer, LineSource& source,
                                  std::string& text) {
  const size_t entry_length = text.size();
  size_t total = 0;
  std::optional<IoError> failure;
  LineScan scan;

  for (;;) {
    if (buffer.position == buffer.filled) {
      IoResult<size_t> refilled = source.refill(buffer.data, buffer.capacity);
      if (!refilled) {
        failure.emplace(std::move(refilled.error()));
        break;
      }
      buffer.position = 0;
      buffer.filled = std::min(refilled.value(), buffer.capacity);
    }
    const size_t available = buffer.filled - buffer.position;
    if (available == 0) break;  // end of input

    const char* start = buffer.data + buffer.position;
    const size_t line_feed = scan.next(start, available);
    const bool line_complete = line_feed < available;
    const size_t taken = line_complete ? line_feed + 1 : available;
    append_bytes(text, start, taken, source);
    buffer.position += taken;
    total += taken;
    if (line_complete) break;
  }

  if (!scan.well_formed()) {
    text.resize(entry_length);
    if (failure) return std::move(*failure);
    return IoError::from_static(message_invalid_utf8);
  }
  if (failure) return std::move(*failure);
  return total;
}

}  // namespace tavo
