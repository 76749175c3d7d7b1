// The console chunk: the conversion, the console write, and what the console
// is reported to have taken when it stops short.
#include "streams/console_chunk.h"

#include <cstdint>

#include "streams/console_writer.h"
#include "streams/failure.h"

namespace tavo {

IoResult<size_t> ConsoleChunkWriter::operator()(std::string_view text) const {
  const size_t length = console_chunk_length(text);
  char16_t units[console_chunk_units];
  const int produced = platform::current().multi_byte_to_wide_char(
      platform::cp_utf8, platform::mb_err_invalid_chars, text.data(),
      static_cast<int>(length), units, static_cast<int>(console_chunk_units));
  if (produced <= 0) {
    raise_fatal("Unexpected error in MultiByteToWideChar", TAVO_HERE);
  }
  const uint32_t count = static_cast<uint32_t>(produced);
  uint32_t written = 0;
  if (!platform::current().write_console_w(console, units, count, &written)) {
    return IoError::last_os_error();
  }
  if (written >= count) {
    // What the units stand for, not the text's length: a conversion that
    // produced fewer units than the text holds must not have the rest of the
    // text reported as shown.
    return utf8_length_of_units(std::u16string_view(units, count));
  }
  if (is_low_surrogate(units[written])) {
    // The console stopped between the halves of a pair: give it the second
    // half too, so that the bytes reported stop at a character boundary. Its
    // outcome does not change what is reported.
    uint32_t ignored = 0;
    (void)platform::current().write_console_w(console, &units[written], 1, &ignored);
    ++written;
  }
  return utf8_length_of_units(std::u16string_view(units, written));
}

}  // namespace tavo
