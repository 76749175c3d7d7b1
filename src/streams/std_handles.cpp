// The standard handles: lookup, the console test, the synchronous NT
// transfers and the console write, each through the platform seam.
#include "streams/std_handles.h"

#include <algorithm>

#include "streams/abort.h"
#include "streams/failure.h"
#include "streams/offer_until_taken.h"

namespace tavo {
namespace {

constexpr size_t max_transfer = 0xFFFFFFFFu;

// The part shared by the synchronous read and write: `start` issues the NT
// call with the preset block. Returns the final status; the block holds the
// count.
template <class Start>
sys::NtStatus complete_synchronously(sys::Handle handle, sys::IoStatusBlock& block,
                                     Start&& start) {
  block.status = sys::status_pending;
  block.information = 0;
  sys::NtStatus status = start();
  if (status == sys::status_pending) {
    // A handle opened for asynchronous use: wait for this transfer, the only
    // one in flight, and read its outcome from the block.
    sys::platform().wait_for_single_object(handle, sys::infinite);
    status = block.status;
    if (status == sys::status_pending) {
      // The block is on this stack frame and the system may still write it:
      // returning would be unsound, so the process ends here.
      abort_with_line(
          "fatal runtime error: I/O error: operation failed to complete "
          "synchronously\n");
    }
  }
  return status;
}

IoError status_error(sys::NtStatus status) {
  return IoError::from_os_code(
      static_cast<int32_t>(sys::platform().rtl_nt_status_to_dos_error(status)));
}

}  // namespace

IoResult<sys::Handle> lookup_std_handle(int32_t id) {
  const sys::Handle handle = sys::platform().get_std_handle(id);
  if (handle == nullptr) {
    return IoError::from_os_code(static_cast<int32_t>(sys::error_invalid_handle));
  }
  if (handle == sys::invalid_handle_value()) {
    return IoError::last_os_error();
  }
  return handle;
}

bool is_console(sys::Handle handle) {
  uint32_t mode = 0;
  return sys::platform().get_console_mode(handle, &mode);
}

IoResult<size_t> write_console_chunk(sys::Handle console, std::string_view text) {
  const size_t length = console_chunk_length(text);
  char16_t units[console_chunk_units];
  const int produced = sys::platform().multi_byte_to_wide_char(
      sys::cp_utf8, sys::mb_err_invalid_chars, text.data(), static_cast<int>(length),
      units, static_cast<int>(console_chunk_units));
  if (produced <= 0) {
    raise_fatal("Unexpected error in MultiByteToWideChar", TAVO_HERE);
  }
  const uint32_t count = static_cast<uint32_t>(produced);
  uint32_t written = 0;
  if (!sys::platform().write_console_w(console, units, count, &written)) {
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
    (void)sys::platform().write_console_w(console, &units[written], 1, &ignored);
    ++written;
  }
  return utf8_length_of_units(std::u16string_view(units, written));
}

IoResult<size_t> sync_write(sys::Handle handle, const void* bytes, size_t length) {
  sys::IoStatusBlock block;
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const sys::NtStatus status = complete_synchronously(handle, block, [&] {
    return sys::platform().nt_write_file(handle, &block, bytes, request);
  });
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

IoResult<size_t> sync_read(sys::Handle handle, void* buffer, size_t length) {
  sys::IoStatusBlock block;
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const sys::NtStatus status = complete_synchronously(handle, block, [&] {
    return sys::platform().nt_read_file(handle, &block, buffer, request);
  });
  if (status == sys::status_end_of_file) {
    return size_t{0};
  }
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

IoResult<size_t> write_std_handle(int32_t id, std::string_view bytes,
                                  PendingUtf8& pending) {
  if (bytes.empty()) {
    return size_t{0};
  }
  IoResult<sys::Handle> handle = lookup_std_handle(id);
  if (!handle.ok()) {
    return std::move(handle.error());
  }
  const sys::Handle target = handle.value();
  if (!is_console(target)) {
    return sync_write(target, bytes.data(), bytes.size());
  }
  return write_console(bytes, pending, [target](std::string_view text) {
    return write_console_chunk(target, text);
  });
}

IoResult<void> write_all_to_handle(int32_t id, std::string_view bytes,
                                   PendingUtf8& pending) {
  return offer_until_taken(
      bytes, [&](std::string_view rest) { return write_std_handle(id, rest, pending); });
}

}  // namespace tavo
