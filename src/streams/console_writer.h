// The console side of a standard-handle write, kept apart from the platform:
// the rules that turn a stream of UTF-8 bytes, cut anywhere by the caller,
// into whole characters for a console that takes UTF-16. The piece that
// reaches the console is passed in, so these rules also run without Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "errors/io_error.h"
#include "text/utf16.h"

namespace tavo {

// The leading bytes of one UTF-8 character whose remaining bytes have not
// arrived yet: 0 to 3 bytes; the first pending byte is always the lead
// byte of a 2- to 4-byte sequence, and the pending bytes can always still become
// that character. One per output stream.
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

// A borrowed callable that writes one non-empty piece of valid UTF-8 to the
// console and returns how many of its bytes got there. Allocation-free: it
// refers to the caller's object, which must outlive it.
class ChunkWriter {
 public:
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, ChunkWriter>)
      ChunkWriter(F& write_chunk)  // NOLINT: implicit on purpose
      : object_(&write_chunk), call_([](void* object, std::string_view text) {
          return (*static_cast<F*>(object))(text);
        }) {}

  IoResult<size_t> operator()(std::string_view text) const {
    return call_(object_, text);
  }

 private:
  void* object_;
  IoResult<size_t> (*call_)(void*, std::string_view);
};

// One console write of `bytes` (not empty) with the stream's pending bytes
// `pending`. Returns how many of `bytes` were taken, which is fewer than
// offered when the text is long, has an invalid sequence further on, or
// the console takes only part of it. A byte that begins or continues a split
// character counts as taken as soon as it is pending. Invalid UTF-8 at the
// front gives the InvalidData error "Windows stdio in console mode does not
// support writing non-UTF-8 byte sequences".
IoResult<size_t> write_console(std::string_view bytes, PendingUtf8& pending,
                               ChunkWriter write_chunk);

// The length of the piece of `text` that one console write converts: all of
// it up to 4096 bytes, otherwise cut at the last character boundary at or
// below 4096 bytes.
size_t console_chunk_length(std::string_view text);

// How many UTF-8 bytes the first units of a converted piece stand for: 1 for
// a unit below 0x80, 2 below 0x800, 1 for the second half of a surrogate pair
// and 3 for any other unit (so a pair counts 4).
size_t utf8_length_of_units(std::u16string_view units);

}  // namespace tavo
