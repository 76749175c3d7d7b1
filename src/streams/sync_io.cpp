// The synchronous NT transfers and the wait for one that the system left in
// flight.
#include "streams/sync_io.h"

#include <algorithm>

#include "streams/abort.h"

namespace tavo {
namespace {

constexpr size_t max_transfer = 0xFFFFFFFFu;

// The block as the NT call must find it: marked in flight, nothing moved.
void prepare(sys::IoStatusBlock& block) {
  block.status = sys::status_pending;
  block.information = 0;
}

// The final status of a transfer that the NT call answered with `status`;
// the block then holds the count.
sys::NtStatus finish(sys::Handle handle, const sys::IoStatusBlock& block,
                     sys::NtStatus status) {
  if (status != sys::status_pending) {
    return status;
  }
  // A handle opened for asynchronous use: wait for this transfer, the only
  // one in flight, and read its outcome from the block.
  sys::platform().wait_for_single_object(handle, sys::infinite);
  if (block.status == sys::status_pending) {
    // The block is on the caller's stack frame and the system may still
    // write it: returning would be unsound, so the process ends here.
    abort_with_line(
        "fatal runtime error: I/O error: operation failed to complete "
        "synchronously\n");
  }
  return block.status;
}

IoError status_error(sys::NtStatus status) {
  return IoError::from_os_code(
      static_cast<int32_t>(sys::platform().rtl_nt_status_to_dos_error(status)));
}

}  // namespace

IoResult<size_t> sync_write(sys::Handle handle, const void* bytes, size_t length) {
  sys::IoStatusBlock block;
  prepare(block);
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const sys::NtStatus status = finish(
      handle, block, sys::platform().nt_write_file(handle, &block, bytes, request));
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

IoResult<size_t> sync_read(sys::Handle handle, void* buffer, size_t length) {
  sys::IoStatusBlock block;
  prepare(block);
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const sys::NtStatus status = finish(
      handle, block, sys::platform().nt_read_file(handle, &block, buffer, request));
  if (status == sys::status_end_of_file) {
    return size_t{0};
  }
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

}  // namespace tavo
