// The synchronous NT transfers and the wait for one that the system left in
// flight.
#include "streams/sync_io.h"

#include <algorithm>

#include "streams/abort.h"

namespace tavo {
namespace {

constexpr size_t max_transfer = 0xFFFFFFFFu;

// The block as the NT call must find it: marked in flight, nothing moved.
void prepare(platform::IoStatusBlock& block) {
  block.status = platform::status_pending;
  block.information = 0;
}

// The final status of a transfer that the NT call answered with `status`;
// the block then holds the count.
platform::NtStatus finish(platform::Handle handle, const platform::IoStatusBlock& block,
                          platform::NtStatus status) {
  if (status != platform::status_pending) {
    return status;
  }
  // A handle opened for asynchronous use: wait for this transfer, the only
  // one in flight, and read its outcome from the block.
  platform::current().wait_for_single_object(handle, platform::infinite);
  if (block.status == platform::status_pending) {
    // The block is on the caller's stack frame and the system may still
    // write it: returning would be unsound, so the process ends here.
    abort_with_line(
        "fatal runtime error: I/O error: operation failed to complete "
        "synchronously\n");
  }
  return block.status;
}

IoError status_error(platform::NtStatus status) {
  return IoError::from_os_code(
      static_cast<int32_t>(platform::current().rtl_nt_status_to_dos_error(status)));
}

}  // namespace

IoResult<size_t> sync_write(platform::Handle handle, const void* bytes, size_t length) {
  platform::IoStatusBlock block;
  prepare(block);
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const platform::NtStatus status = finish(
      handle, block, platform::current().nt_write_file(handle, &block, bytes, request));
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

IoResult<size_t> sync_read(platform::Handle handle, void* buffer, size_t length) {
  platform::IoStatusBlock block;
  prepare(block);
  const uint32_t request = static_cast<uint32_t>(std::min(length, max_transfer));
  const platform::NtStatus status = finish(
      handle, block, platform::current().nt_read_file(handle, &block, buffer, request));
  if (status == platform::status_end_of_file) {
    return size_t{0};
  }
  if (status < 0) {
    return status_error(status);
  }
  return static_cast<size_t>(block.information);
}

}  // namespace tavo
