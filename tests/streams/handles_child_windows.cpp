// A program that the standard-handle tests start with chosen handles. It
// does one thing, named by its argument:
//   write-invalid   write-all of "ab\xFFcd\n" to standard output
//   write-line      write-all of "line\n" to standard output
//   console         writes to standard output (a console): an ASCII line,
//                   then é as two writes, then U+1F600 as 3+1 bytes and "\n"
//   pending-write   a standard-output write whose NtWriteFile stays pending
//   pending-read    a standard-input read whose NtReadFile stays pending
//   pending-all     a standard-output write that stays pending while
//                   standard error never completes a write either
//   conversion-fails  a console write whose MultiByteToWideChar returns 0,
//                   run as the main routine of the start routine
// The write modes report on standard error "ok\n" or
// "error <kind> <code>\n" (code -1 when the error has none). The console
// mode ends with status 0 when every write succeeded, otherwise 10 plus the
// number of the failed write. The pending modes never return.
#include <cstring>
#include <optional>
#include <string_view>

#include "errors/formatted_write.h"
#include "runtime/run_main.h"
#include "streams/console_chunk.h"
#include "streams/std_handle.h"
#include "streams/std_handle_writer.h"
#include "streams/stderr_sink.h"
#include "streams/sync_io.h"
#include "support/fake_platform.h"

namespace {

using namespace tavo;

int report(const IoResult<void>& result) {
  StderrSink err;
  if (result.ok()) {
    (void)write_formatted(err, "ok\n");
    return 0;
  }
  const std::optional<int32_t> code = result.error().raw_os_error();
  (void)write_formatted(err, "error ", debug_name(result.error().kind()), " ",
                        code.value_or(-1), "\n");
  return 1;
}

int write_console_pieces() {
  PendingUtf8 pending;
  const std::string_view pieces[] = {"plain ASCII\n", "\xC3", "\xA9",
                                     "\xF0\x9F\x98",  "\x80", "\n"};
  int number = 0;
  for (std::string_view piece : pieces) {
    ++number;
    if (!write_all_to_handle(platform::std_output_handle, piece, pending).ok()) {
      return 10 + number;
    }
  }
  return 0;
}

// NtWriteFile and NtReadFile on the standard handle stay pending even after
// the wait; everything else (standard error included) is real.
struct NeverCompletes final : testing::FakePlatform {
  platform::Handle target = nullptr;
  platform::Handle also = nullptr;  // a second handle whose writes stay pending
  platform::NtStatus nt_write_file(platform::Handle h, platform::IoStatusBlock* block,
                                   const void* bytes, uint32_t length) override {
    if (h != target && h != also) {
      return FakePlatform::nt_write_file(h, block, bytes, length);
    }
    return platform::status_pending;
  }
  platform::NtStatus nt_read_file(platform::Handle h, platform::IoStatusBlock* block,
                                  void* bytes, uint32_t length) override {
    if (h != target) return FakePlatform::nt_read_file(h, block, bytes, length);
    return platform::status_pending;
  }
  uint32_t wait_for_single_object(platform::Handle h, uint32_t ms) override {
    if (h != target && h != also) return FakePlatform::wait_for_single_object(h, ms);
    return 0;  // "signalled", yet the block was never filled in
  }
};

int stay_pending(bool write, bool stderr_too = false) {
  NeverCompletes fake;
  testing::ScopedPlatform use(fake);
  IoResult<platform::Handle> handle =
      lookup_std_handle(write ? platform::std_output_handle : platform::std_input_handle);
  if (!handle.ok()) return 2;
  fake.target = handle.value();
  if (stderr_too) {
    IoResult<platform::Handle> err = lookup_std_handle(platform::std_error_handle);
    if (!err.ok()) return 2;
    fake.also = err.value();
  }
  char buffer[16] = "pending";
  if (write) {
    (void)sync_write(fake.target, buffer, 7);
  } else {
    (void)sync_read(fake.target, buffer, sizeof buffer);
  }
  return 3;  // not reached: the transfer above ends the process
}

// Standard output looks like a console whose text never converts.
struct ConversionFails final : testing::FakePlatform {
  platform::Handle console = nullptr;
  bool get_console_mode(platform::Handle h, uint32_t* mode) override {
    if (h == console) return true;
    return FakePlatform::get_console_mode(h, mode);
  }
  int multi_byte_to_wide_char(uint32_t, uint32_t, const char*, int, char16_t*,
                              int) override {
    return 0;
  }
};

ConversionFails conversion_fails;

void write_through_failing_conversion() {
  IoResult<platform::Handle> out = lookup_std_handle(platform::std_output_handle);
  if (!out.ok()) return;
  conversion_fails.console = out.value();
  testing::ScopedPlatform use(conversion_fails);
  PendingUtf8 pending;
  (void)write_all_to_handle(platform::std_output_handle, "text", pending);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 100;
  const std::string_view mode = argv[1];
  PendingUtf8 pending;
  if (mode == "write-invalid") {
    return report(write_all_to_handle(platform::std_output_handle,
                                      "ab\xFF"
                                      "cd\n",
                                      pending));
  }
  if (mode == "write-line") {
    return report(write_all_to_handle(platform::std_output_handle, "line\n", pending));
  }
  if (mode == "console") return write_console_pieces();
  if (mode == "pending-write") return stay_pending(true);
  if (mode == "pending-read") return stay_pending(false);
  if (mode == "pending-all") return stay_pending(true, true);
  if (mode == "conversion-fails") {
    return static_cast<int>(run_main(write_through_failing_conversion, argc, argv, 0));
  }
  return 101;
}
