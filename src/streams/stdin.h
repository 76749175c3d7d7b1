// Standard input: a process-wide, locked, buffered line reader that hands
// out only well-formed UTF-8.
#pragma once

#include <cstddef>
#include <string>

#include "errors/io_error.h"

namespace tavo {

class StandardInput {
 public:
  // Reads one line (up to and including its line feed, or to the end of
  // input) and appends it to `text`. Returns the number of bytes appended,
  // or an error; on an error or a line that is not well-formed UTF-8, `text`
  // keeps exactly what it had.
  IoResult<size_t> append_line(std::string& text);

  // (members chosen by the implementation)
};

// The process-wide standard input, created on first use.
StandardInput& standard_input();

}  // namespace tavo
