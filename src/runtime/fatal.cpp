// The process frame's fatal steps: counting a failure, writing its report,
// and carrying it back to the start routine. They are installed into the
// fatal-failure entry (streams/failure.h), together with the terminate
// handler, before any static initialiser of the program runs.
#include "runtime/fatal.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "errors/formatted_write.h"
#include "platform/sync.h"
#include "runtime/backtrace.h"
#include "runtime/fatal_unwind.h"
#include "runtime/terminate.h"
#include "runtime/thread_record.h"
#include "runtime/trace_style.h"
#include "streams/abort.h"
#include "streams/stderr_sink.h"

namespace tavo {

namespace {

// Failures raised and not yet caught by the start routine, in every thread.
constinit std::atomic<uint64_t> failures_in_flight{0};
// True until the first report written without a trace has carried the hint.
constinit std::atomic<bool> first_report{true};
// Reports of different threads do not exclude each other (shared mode).
constinit platform::SrwLock report_lock;

constinit thread_local uintptr_t thread_failures = 0;
constinit thread_local bool thread_reporting = false;

class TextBuilder final : public TextSink {
 public:
  explicit TextBuilder(std::string& text) : text_(text) {}
  bool write_str(std::string_view piece) override {
    text_.append(piece);
    return true;
  }

 private:
  std::string& text_;
};

// One failure on its way up, while it is still in the raising frames.
struct Raise {
  const FatalFailure& raised;
  std::optional<std::string> composed;

  // The message text; a format is composed the first time it is asked for
  // and never again.
  std::string_view text() {
    if (raised.message.is_literal()) {
      return raised.message.literal();
    }
    if (!composed) {
      composed.emplace();
      TextBuilder builder(*composed);
      // A conversion that gives up leaves what it wrote so far.
      (void)raised.message.write_to(builder);
    }
    return *composed;
  }
};

void write_fatal_report(Raise& failure) {
  const TraceStyle style = thread_failures > 1 ? TraceStyle::Full : trace_style();
  const std::string_view text = failure.text();
  const ThreadRecord* record = current_thread_record();
  std::string_view name = "<unnamed>";
  if (record != nullptr && record->name()) {
    name = *record->name();
  }

  // Each formatted write stops at its first error; the report goes on with
  // the next one regardless.
  StderrSink writer;
  (void)write_formatted(writer, "thread '", name, "' panicked at '", text, "', ",
                        failure.raised.position, "\n");
  if (style == TraceStyle::Off) {
    if (first_report.exchange(false, std::memory_order_acq_rel)) {
      (void)write_formatted(writer,
                            "note: run with `TAVO_BACKTRACE=1` environment variable "
                            "to display a backtrace\n");
    }
  } else {
    write_stack_trace(writer, style == TraceStyle::Full);
  }
}

// The frame's fatal steps, run inside the raise marker.
void raise_steps(const FatalFailure& raised) {
  Raise failure{raised, std::nullopt};
  failures_in_flight.fetch_add(1, std::memory_order_relaxed);
  if (thread_reporting) {
    abort_with_line("thread panicked while processing panic. aborting.\n");
  }
  ++thread_failures;
  thread_reporting = true;
  report_lock.lock_shared();
  write_fatal_report(failure);
  report_lock.unlock_shared();
  thread_reporting = false;
  if (!raised.may_unwind) {
    abort_with_line("thread caused non-unwinding panic. aborting.\n");
  }
  throw detail::FatalUnwind(std::string(failure.text()));
}

// Installs the steps above, and the end of a failure that cannot unwind,
// ahead of every static initialiser of the program: constructors run in the
// order of their priority, and 101 is the first one open to a program (the
// C++ runtime's own come before, and raise nothing).
[[gnu::constructor(101)]] void install_frame_steps() {
  install_fatal_steps(raise_steps);
  detail::install_cannot_unwind_handler();
}

}  // namespace

// The runtime library's link interface names this symbol as undefined, so
// that every program linking the library links this file and so the
// installer above, whether or not anything else here is called.
extern "C" void tavo_frame_fatal_steps() {}

namespace detail {

void failure_caught() noexcept {
  failures_in_flight.fetch_sub(1, std::memory_order_relaxed);
  --thread_failures;
  thread_reporting = false;
}

}  // namespace detail

}  // namespace tavo
