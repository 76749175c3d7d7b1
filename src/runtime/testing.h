// Hooks into the process frame for tests only; the program never calls them.
#pragma once

namespace tavo::testing {

// A routine run whenever a fatal failure's payload is released. It may raise
// a fatal failure, which then counts as a failing release. Null removes it.
void set_payload_release_hook(void (*hook)());

// Forgets the cached trace style, so that the next trace_style() reads the
// environment again.
void reset_trace_style_cache();

}  // namespace tavo::testing
