// One piece of text shown on a console: converted from UTF-8 to UTF-16 on
// the stack and handed to WriteConsoleW.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/io_error.h"
#include "platform/platform.h"

namespace tavo {

// The chunk writer that the console-write rules (streams/console_writer.h)
// show their text with, for one console handle.
struct ConsoleChunkWriter {
  platform::Handle console;

  // Writes a non-empty piece of valid UTF-8: at most 4096 bytes of it (cut at
  // a character boundary). Returns how many of its bytes reached the console.
  IoResult<size_t> operator()(std::string_view text) const;
};

}  // namespace tavo
