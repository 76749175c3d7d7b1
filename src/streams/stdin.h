// Standard input: a process-wide, locked, buffered line reader that hands
// out only well-formed UTF-8.
#pragma once

#include <cstddef>
#include <string>

#include "errors/io_error.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "streams/line_reader.h"

namespace tavo {

class StandardInput final : private LineSource {
 public:
  // Allocates the input buffer (a failure ends the process with the
  // allocation-failure report). The program uses the one object that
  // `standard_input` returns; tests make their own.
  StandardInput();
  ~StandardInput();
  StandardInput(const StandardInput&) = delete;
  StandardInput& operator=(const StandardInput&) = delete;

  // Reads one line (up to and including its line feed, or to the end of
  // input) and appends it to `text`. Returns the number of bytes appended; 0
  // with `text` unchanged at end of input. A line that is not well-formed
  // UTF-8 is refused with InvalidData and `text` keeps exactly what it had.
  // A read that fails ends the line with its error; bytes of the line that
  // earlier reads appended stay in `text` if they are well-formed.
  // Calls from several threads are served one whole line at a time.
  IoResult<size_t> append_line(std::string& text);

 private:
  IoResult<size_t> refill(char* buffer, size_t capacity) override;
  [[noreturn]] void out_of_memory(size_t requested) override;

  IoResult<size_t> read_console(platform::Handle handle, char* buffer, size_t capacity);

  platform::SrwLock lock_;
  LineBuffer buffer_;
  // A high surrogate that ended the last console read, or 0.
  char16_t held_surrogate_ = 0;
};

// The process-wide standard input, created on first use (once, also when
// threads race for it) and never destroyed.
StandardInput& standard_input();

}  // namespace tavo
