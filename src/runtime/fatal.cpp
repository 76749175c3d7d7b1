// Raising a fatal failure: counting it, writing its report, and carrying it
// back to the start routine.
#include "runtime/fatal.h"

#include <atomic>
#include <exception>
#include <optional>
#include <string>

#include "errors/formatted_write.h"
#include "platform/sync.h"
#include "runtime/abort.h"
#include "runtime/backtrace.h"
#include "runtime/fatal_unwind.h"
#include "runtime/testing.h"
#include "runtime/thread_record.h"
#include "runtime/trace_style.h"
#include "streams/std_handles.h"

namespace tavo {

namespace {

constinit std::atomic<uint64_t> in_flight{0};
// True until the first report written without a trace has carried the hint.
constinit std::atomic<bool> first_report{true};
// Reports of different threads do not exclude each other (shared mode).
constinit sys::SrwLock report_lock;
constinit std::atomic<void (*)()> payload_release_hook{nullptr};

constinit thread_local uintptr_t thread_failures = 0;
constinit thread_local bool thread_reporting = false;

class TextBuilder final : public Formatter {
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
  const DeferredMessage& message;
  const SourcePosition& position;
  bool may_unwind;
  std::optional<std::string> composed;

  // The message text; a format is composed the first time it is asked for
  // and never again.
  std::string_view text() {
    if (message.is_literal()) {
      return message.literal();
    }
    if (!composed) {
      composed.emplace();
      TextBuilder builder(*composed);
      // A conversion that gives up leaves what it wrote so far.
      (void)message.write_to(builder);
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
  StderrWriter writer;
  (void)write_formatted(writer, "thread '", name, "' panicked at '", text, "', ",
                        failure.position, "\n");
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

// The steps of a raise, run inside the raise marker. Reached only through
// `raise_steps_entry`, so the marker cannot see that this never returns and
// must keep its own frame.
void raise_steps(Raise& failure) {
  in_flight.fetch_add(1, std::memory_order_acq_rel);
  if (thread_reporting) {
    abort_with_line("thread panicked while processing panic. aborting.\n");
  }
  ++thread_failures;
  thread_reporting = true;
  report_lock.lock_shared();
  write_fatal_report(failure);
  report_lock.unlock_shared();
  thread_reporting = false;
  if (!failure.may_unwind) {
    abort_with_line("thread caused non-unwinding panic. aborting.\n");
  }
  throw detail::FatalUnwind(std::string(failure.text()));
}

void (*volatile raise_steps_entry)(Raise&) = raise_steps;

[[noreturn]] void on_terminate() {
  if (std::current_exception() != nullptr) {
    raise_fatal("panic in a function that cannot unwind", TAVO_HERE, false);
  }
  abort_process();
}

}  // namespace
}  // namespace tavo

// The C++ runtime's own default for std::terminate names the type of the
// exception in flight, and for that links its C++ name demangler and, through
// it, MinGW's printf engine: about a third of this program. Start-up installs
// `on_terminate` before anything can throw, so the default serves only code
// that runs before it, for which the fail-fast request is the right end.
// Defining it here keeps the runtime's version out of the link.
namespace __gnu_cxx {
void __verbose_terminate_handler() { tavo::abort_process(); }
}  // namespace __gnu_cxx

// The raise marker: a short trace starts with the frame that called this.
// The trace finds it by this name, so the reserved-looking spelling stays.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" [[gnu::noinline]] [[noreturn]] void __tavo_end_short_backtrace(void* failure) {
  tavo::raise_steps_entry(*static_cast<tavo::Raise*>(failure));
  // The steps never return. The trap keeps the call above from becoming a
  // jump, so this frame stays on the stack, and it is an instruction of this
  // function at the call's return address: the unwinder looks that address
  // up in the function table, and an address past the function's end reads
  // as a leaf frame there. (An empty asm statement kept the frame too, but
  // GCC then left the call as the function's last instruction, and a thrown
  // failure lost its way to the start routine.)
  __builtin_trap();
}

namespace tavo {

void raise_fatal(const DeferredMessage& message, const SourcePosition& position,
                 bool may_unwind) {
  Raise failure{message, position, may_unwind, std::nullopt};
  __tavo_end_short_backtrace(&failure);
}

namespace detail {

void FatalUnwind::release_payload() {
  if (void (*hook)() = payload_release_hook.load(std::memory_order_acquire)) {
    hook();
  }
  std::string().swap(payload_);
}

void failure_caught() noexcept {
  in_flight.fetch_sub(1, std::memory_order_acq_rel);
  --thread_failures;
  thread_reporting = false;
}

uint64_t failures_in_flight() noexcept {
  return in_flight.load(std::memory_order_acquire);
}

void install_cannot_unwind_handler() noexcept {
  std::set_terminate(on_terminate);
  // The C++ runtime keeps its per-thread exception state in emulated thread
  // storage, whose first use in the process creates a thread-library key;
  // that takes the library's key lock exclusively. A thread's exit callback
  // holds the same lock while it runs the thread-local destructors, so a
  // failure raised in one of those, were it the process's first, would wait
  // for itself forever instead of ending as one that cannot unwind. Asking
  // for the state here, on the main thread, makes the key before any thread
  // ends. (The result is kept: the call is declared pure and would go.)
  [[maybe_unused]] volatile int exceptions = std::uncaught_exceptions();
}

}  // namespace detail

namespace testing {
void set_payload_release_hook(void (*hook)()) {
  payload_release_hook.store(hook, std::memory_order_release);
}
}  // namespace testing
}  // namespace tavo
