// The fatal-failure entry and the raise marker, and the fatal steps of a
// program without the process frame.
#include "streams/failure.h"

#include <atomic>

#include "streams/abort.h"

namespace tavo {
namespace {

// Without the process frame there is no report writer and nothing to carry
// the failure back to, so the process ends here.
void end_without_frame(const FatalFailure&) {
  abort_with_line(
      "fatal runtime error: fatal failure raised without the process frame\n");
}

constinit std::atomic<FatalSteps> fatal_steps{end_without_frame};

}  // namespace

void install_fatal_steps(FatalSteps steps) noexcept {
  fatal_steps.store(steps, std::memory_order_release);
}

}  // namespace tavo

// The raise marker: a short trace starts with the frame that called this.
// The trace finds it by this name, so the reserved-looking spelling stays.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" [[gnu::noinline]] [[noreturn]] void __tavo_end_short_backtrace(void* failure) {
  // Called through the pointer, the steps cannot be seen never to return,
  // so this frame keeps its own.
  tavo::fatal_steps.load(std::memory_order_acquire)(
      *static_cast<const tavo::FatalFailure*>(failure));
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
  FatalFailure failure{message, position, may_unwind};
  __tavo_end_short_backtrace(&failure);
}

}  // namespace tavo
