// Stack traces for fatal reports.
#pragma once

#include "errors/formatted_write.h"

namespace tavo {

// Writes "stack backtrace:\n" and the calling thread's frames to `sink`,
// under the process-wide trace lock. `full` writes every frame; otherwise
// only the frames between the raise marker and the start marker, followed by
// a note that details were omitted. A full trace shows at most 4097 frames,
// so that a damaged stack cannot make it endless; when there are more, its
// last line says how many were left out. Write errors end the trace quietly.
void write_stack_trace(ErrorKeepingSink& sink, bool full);

}  // namespace tavo

// The two marker functions that delimit the short trace: everything the
// failure raised inside __tavo_end_short_backtrace, and everything that ran
// outside __tavo_begin_short_backtrace, is left out of a short trace. Both
// stay real frames of their own at every optimisation level. The trace finds
// them by these names, so the reserved-looking spelling stays.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" void __tavo_begin_short_backtrace(void (*routine)());
