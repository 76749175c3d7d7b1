// Whether a fatal report carries a stack trace, as the environment asks.
#pragma once

#include <string>
#include <string_view>

namespace tavo {

enum class TraceStyle { Short, Full, Off };

// The style that `TAVO_BACKTRACE` asks for, read from the environment once
// per process and cached from then on.
TraceStyle trace_style();

// The style for a variable's value (already turned into 8-bit text); for a
// missing variable or a failed lookup, pass nothing.
TraceStyle trace_style_for(const std::string* value);

// UTF-16 text as 8-bit text, losing nothing: pairs become 4-byte UTF-8 and an
// unpaired surrogate becomes its 3-byte generalized form.
std::string utf16_to_generalized_utf8(std::u16string_view units);

namespace detail {
// Forgets the cached style, so that the next trace_style() reads again. For
// tests.
void reset_trace_style_cache();
}  // namespace detail

}  // namespace tavo
