// The ways to end the process at once: the fail-fast request, and the same
// after one line on standard error.
#include "streams/abort.h"

#include <atomic>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "streams/stderr_sink.h"

namespace tavo {
namespace {

// Set by the first abort that writes its line. Writing to standard error can
// itself end in an abort (a write that never completes); that abort must not
// try to write again, or the two would call each other without end.
constinit std::atomic<bool> writing_abort_line{false};

}  // namespace

void abort_process() {
  platform::current().fail_fast(platform::fast_fail_fatal_app_exit);
  // Not reached; GCC does not carry [[noreturn]] through a virtual call.
  __builtin_trap();
}

void abort_with_line(std::string_view line) {
  if (!writing_abort_line.exchange(true, std::memory_order_acq_rel)) {
    StderrSink writer;
    (void)write_formatted(writer, line);
  }
  abort_process();
}

void report_allocation_failure(size_t size) {
  {
    // The writer and the number's digits live on the stack.
    StderrSink writer;
    (void)write_formatted(writer, "memory allocation of ", size, " bytes failed\n");
  }
  abort_process();
}

}  // namespace tavo
