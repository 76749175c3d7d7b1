// UTF-16 as this program meets it: the console's units and the system's
// texts. The halves of a surrogate pair, and the conversion of units into
// UTF-8 for the system's texts (messages, symbol names, the environment).
// Standard input converts a console's units with the system's own
// conversion instead (streams/stdin.cpp), which refuses an unpaired half.
#pragma once

#include <string>
#include <string_view>

namespace tavo {

// The first half of a surrogate pair (0xD800-0xDBFF).
constexpr bool is_high_surrogate(char16_t unit) { return (unit & 0xFC00) == 0xD800; }
// The second half of a surrogate pair (0xDC00-0xDFFF).
constexpr bool is_low_surrogate(char16_t unit) { return (unit & 0xFC00) == 0xDC00; }

// What a conversion does with a surrogate that has no partner.
enum class UnpairedSurrogate {
  Refuse,  // the whole conversion fails
  Encode,  // it becomes its 3-byte generalized UTF-8 form, losing nothing
};

// Appends the UTF-8 form of `units` to `out`; pairs become 4-byte sequences.
// False, with `out` holding an unspecified prefix of the result, when an
// unpaired surrogate is refused.
bool append_utf16_as_utf8(std::u16string_view units, UnpairedSurrogate unpaired,
                          std::string& out);

}  // namespace tavo
