// The start routine: the start-up steps, the containment of fatal failures
// around the main routine, and the exit clean-up.
#include "runtime/run_main.h"

#include <atomic>

#include "platform/platform.h"
#include "platform/thread_description.h"
#include "runtime/allocation.h"
#include "runtime/backtrace.h"
#include "runtime/fatal_unwind.h"
#include "runtime/overflow.h"
#include "runtime/thread_record.h"
#include "streams/abort.h"
#include "streams/failure.h"
#include "streams/stdout.h"

// The start marker: a short trace ends with the frame that this calls.
extern "C" [[gnu::noinline]] void __tavo_begin_short_backtrace(void (*routine)()) {
  routine();
  // Keeps the call above from becoming a jump, so this frame stays on the
  // stack.
  asm volatile("");
}

namespace tavo {
namespace {

constexpr uint32_t stack_guarantee = 20480;

// The operator new and delete of this program live beside this function;
// referring to it here makes sure that every program with a start routine
// links them, not the standard library's.
[[gnu::used]] uint64_t (*const keep_heap_allocator)() = &allocation_count;

// The run-once state of the exit clean-up.
constinit std::atomic<bool> exit_cleanup_done{false};

// Steps 1 to 4: handler, stack guarantee, thread description, thread record.
// Kept out of line: inlined into the start routine by GCC, a failure raised
// here did not find the containment's handler under the platform's
// unwinder.
[[gnu::noinline]] void prepare_main_thread() {
  platform::Platform& platform = platform::current();
  if (platform.add_vectored_exception_handler(0, &overflow_handler) == nullptr) {
    raise_fatal("failed to install exception handler", TAVO_HERE);
  }
  uint32_t guarantee = stack_guarantee;
  if (!platform.set_thread_stack_guarantee(&guarantee) &&
      platform.get_last_error() != platform::error_call_not_implemented) {
    raise_fatal("failed to reserve stack space for exception handling", TAVO_HERE);
  }
  // The result says nothing that start-up could act on.
  (void)platform::set_thread_description(platform.get_current_thread(), u"main");
  // Process-wide and never destroyed, as the reports may ask for it until
  // the very end.
  static ThreadRecord* const main_record = new ThreadRecord("main");
  set_current_thread_record(*main_record);
}

[[gnu::noinline]] void exit_cleanup() {
  if (!exit_cleanup_done.exchange(true, std::memory_order_acq_rel)) {
    exit_flush();
  }
}

// Runs a part of start-up or shut-down; a fatal failure there has already
// been reported when it arrives here, and the process cannot go on.
template <class Step>
void contained(Step step) {
  try {
    step();
  } catch (detail::FatalUnwind&) {
    abort_with_line("fatal runtime error: initialization or cleanup bug\n");
  }
}

// The start routine's side of a caught failure. Nothing may travel out of
// here: a failure that would is turned into an abort by the cannot-unwind
// handler.
void settle_caught_failure(detail::FatalUnwind& failure) noexcept {
  detail::failure_caught();
  try {
    failure.release_payload();
  } catch (detail::FatalUnwind&) {
    abort_with_line("fatal runtime error: drop of the panic payload panicked\n");
  }
}

}  // namespace

int64_t run_main(void (*routine)(), int64_t argc, char** argv, uint8_t flag) {
  (void)argc;
  (void)argv;
  (void)flag;
  contained(prepare_main_thread);

  int64_t status = 0;
  try {
    __tavo_begin_short_backtrace(routine);
  } catch (detail::FatalUnwind& failure) {
    settle_caught_failure(failure);
    status = 101;
  }

  contained(exit_cleanup);
  return status;
}

}  // namespace tavo
