// The fatal-failure entry: how code of this layer and the ones above it
// raises a failure that it cannot return as an error value (a print that fails, a
// conversion that fails, a lock nested past its count).
//
// `raise_fatal` hands the failure to the fatal steps installed in this layer.
// The process frame (src/runtime/) installs its own, which write the report
// and carry the failure back to the start routine; it does so before the
// first static initialiser of the program runs, so its steps serve every
// failure that code of the program can raise. A program without the process
// frame keeps the steps defined here, which end the process at once with one
// line on standard error.
#pragma once

#include "text/deferred_message.h"
#include "text/source_position.h"

namespace tavo {

// A fatal failure on its way to the fatal steps.
struct FatalFailure {
  const DeferredMessage& message;
  const SourcePosition& position;
  // False when the failure must end the process after its report instead
  // of travelling back.
  bool may_unwind;
};

// What is done with a fatal failure. Never returns: it carries the failure
// away as an exception or ends the process.
using FatalSteps = void (*)(const FatalFailure& failure);

// Makes `steps` the fatal steps of the process.
void install_fatal_steps(FatalSteps steps) noexcept;

// Raises a fatal failure whose message is `message`, at `position`.
[[noreturn]] void raise_fatal(const DeferredMessage& message,
                              const SourcePosition& position, bool may_unwind = true);

// Raises a fatal failure whose message is the given pieces and arguments,
// composed only when the report needs it.
template <class... Args>
[[noreturn]] void raise_fatal_format(const SourcePosition& position,
                                     const Args&... args) {
  const MessageArgs<Args...> pieces(args...);
  raise_fatal(pieces.message(), position);
}

}  // namespace tavo
