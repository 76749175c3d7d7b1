// Standard input: the process-wide reader with its buffer, and the reads
// from a file or pipe and from a console that refill it.
#include "streams/stdin.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "streams/abort.h"
#include "streams/console_input.h"
#include "streams/console_writer.h"
#include "streams/std_handle.h"
#include "streams/sync_io.h"

namespace tavo {
namespace {

// The console read asks for no more units than can be converted into the
// destination: one UTF-16 unit never yields more than three UTF-8 bytes (a
// surrogate pair yields four from two units).
constexpr size_t max_utf8_per_unit = 3;
// Makes a console read return as soon as Ctrl+Z is typed.
constexpr uint32_t ctrl_z_wakeup_mask = uint32_t{1} << console_ctrl_z;

}  // namespace

StandardInput::StandardInput() {
  buffer_.data = new (std::nothrow) char[input_buffer_size];
  if (buffer_.data == nullptr) out_of_memory(input_buffer_size);
  buffer_.capacity = input_buffer_size;
}

StandardInput::~StandardInput() { delete[] buffer_.data; }

IoResult<size_t> StandardInput::append_line(std::string& text) {
  platform::ExclusiveGuard guard(lock_);
  return append_line_from(buffer_, *this, text);
}

void StandardInput::out_of_memory(size_t requested) {
  report_allocation_failure(requested);
}

IoResult<size_t> StandardInput::refill(char* buffer, size_t capacity) {
  // Looked up on every read: the handle may have been replaced meanwhile.
  IoResult<platform::Handle> handle = lookup_std_handle(platform::std_input_handle);
  const bool file = handle && !is_console(handle.value());
  IoResult<size_t> result = !handle ? IoResult<size_t>(std::move(handle.error()))
                            : file  ? sync_read(handle.value(), buffer, capacity)
                                    : read_console(handle.value(), buffer, capacity);
  // A missing or closed standard input handle reads as empty input, whichever
  // step noticed it; so does a file read after the writer of a pipe has gone.
  if (!result && (result.error().is_os_code(platform::error_invalid_handle) ||
                  (file && result.error().kind() == IoErrorKind::BrokenPipe))) {
    return size_t{0};
  }
  return result;
}

IoResult<size_t> StandardInput::read_console(platform::Handle handle, char* buffer,
                                             size_t capacity) {
  platform::Platform& platform = platform::current();
  char16_t units[console_read_units];
  const size_t wanted = std::min(capacity / max_utf8_per_unit, console_read_units);

  size_t count = 0;
  for (;;) {
    size_t carried = 0;
    if (held_surrogate_ != 0) {
      units[0] = held_surrogate_;
      held_surrogate_ = 0;
      carried = 1;
    }

    uint32_t read = 0;
    for (;;) {
      platform::ConsoleReadControl control{sizeof(platform::ConsoleReadControl), 0,
                                           ctrl_z_wakeup_mask, 0};
      read = 0;
      platform.set_last_error(0);
      if (!platform.read_console_w(handle, units + carried,
                                   static_cast<uint32_t>(wanted - carried), &read,
                                   &control)) {
        IoError error = IoError::last_os_error();
        // Keep the first half of a character split across reads: a later
        // read may still bring its second half.
        if (carried != 0) held_surrogate_ = units[0];
        return error;
      }
      if (read > 0) break;
      // An interrupted read that delivered nothing is simply repeated.
      if (platform.get_last_error() != platform::error_operation_aborted) break;
    }
    read = std::min<uint32_t>(read, static_cast<uint32_t>(wanted - carried));

    const bool ended_by_ctrl_z = read > 0 && units[carried + read - 1] == console_ctrl_z;
    count = settle_console_units(units, carried, read, held_surrogate_);
    if (count > 0) break;
    // Nothing to convert. That is the end of the input when the console gave
    // nothing or the user typed Ctrl+Z; a read that brought only the first
    // half of a character (one unit at a time, as outside line-input mode)
    // is not, and the second half is waited for.
    if (read == 0 || ended_by_ctrl_z) return size_t{0};
  }

  const int written = platform.wide_char_to_multi_byte(
      platform::cp_utf8, platform::wc_err_invalid_chars, units, static_cast<int>(count),
      buffer, static_cast<int>(capacity));
  // The conversion takes every unit or fails. A count short of the whole text
  // would drop the rest of the line without a word, so it fails too.
  if (written <= 0 || static_cast<size_t>(written) !=
                          utf8_length_of_units(std::u16string_view(units, count))) {
    return IoError::from_static(message_unpaired_surrogate);
  }
  return static_cast<size_t>(written);
}

StandardInput& standard_input() {
  // Built in static storage and never destroyed, so that it stays usable
  // while the process ends. The initialisation of a local static runs once,
  // also when several threads arrive together.
  alignas(StandardInput) static unsigned char storage[sizeof(StandardInput)];
  static StandardInput* const instance = new (storage) StandardInput();
  return *instance;
}

}  // namespace tavo
