// Line assembly for standard input, free of any system call: the input buffer,
// the line-feed search, and the loop that cuts one line out of buffered input
// (refilling as often as the line needs) and admits it only as well-formed
// UTF-8. Where the bytes come from is the caller's `LineSource`.
#pragma once

#include <cstddef>
#include <new>
#include <string>

#include "errors/io_error.h"

namespace tavo {

// The size of standard input's buffer: one refill reads at most this much.
inline constexpr size_t input_buffer_size = 12288;

// The offset of the first line feed (0x0A) in `bytes`, or `size` when there
// is none. Compares a word at a time over long runs; the result is always
// that of a byte-by-byte search.
size_t find_line_feed(const char* bytes, size_t size);

// Where a line reader's bytes come from.
class LineSource {
 public:
  // Reads fresh input into buffer[0, capacity) and returns the number of
  // bytes placed there (at most `capacity`); 0 means end of input.
  virtual IoResult<size_t> refill(char* buffer, size_t capacity) = 0;

  // Called when the caller's text cannot grow to hold the line; must not
  // return. `requested` is the byte count of the request that failed.
  [[noreturn]] virtual void out_of_memory(size_t requested) {
    (void)requested;
    throw std::bad_alloc();
  }

 protected:
  ~LineSource() = default;
};

// Input taken from the source and not yet handed out: data[position, filled).
struct LineBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  size_t position = 0;
  size_t filled = 0;
};

// Appends the next line (through its line feed, or to the end of input) to
// `text` and returns the number of bytes appended; 0 at end of input.
//
// The appended bytes are checked as a whole: if they are not well-formed
// UTF-8, `text` is cut back to its length at entry and the result is the
// InvalidData error "stream did not contain valid UTF-8". A refill that fails
// ends the line with its own error, which takes precedence; the bytes that
// earlier refills appended stay only if they are well-formed. Bytes taken
// from the buffer are consumed whatever happens to them: the next call starts
// after the line just served.
IoResult<size_t> append_line_from(LineBuffer& buffer, LineSource& source,
                                  std::string& text);

}  // namespace tavo
