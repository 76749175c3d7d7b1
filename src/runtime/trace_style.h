// Whether a fatal report carries a stack trace, as the environment asks.
#pragma once

#include <string>
#include <string_view>

namespace tavo {

enum class TraceStyle { Short, Full, Off };

// The style that `TAVO_BACKTRACE` asks for, read from the environment once
// per process and cached from then on.
TraceStyle trace_style();

// The style that `TAVO_BACKTRACE` asks for now: the environment read again,
// the cache neither read nor written.
TraceStyle read_trace_style();

// The style for a variable's value (already turned into 8-bit text); for a
// missing variable or a failed lookup, pass nothing.
TraceStyle trace_style_for(const std::string* value);

}  // namespace tavo
