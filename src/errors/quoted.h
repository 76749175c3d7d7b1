// The quoted form of a text, as the debug form of an error shows messages:
// in double quotes, with the characters that would be invisible, ambiguous or
// attach to their neighbours written as escapes.
#pragma once

#include <string_view>

#include "text/text_sink.h"

namespace tavo {

// Writes `utf8` in double quotes. \0 \t \r \n \" and \\ stand for themselves;
// a character that is not printable or that extends the grapheme before it is
// written as \u{hex}; every other character is copied, and runs of them go to
// `out` in one piece. Bytes that are not well-formed UTF-8 are each shown as
// U+FFFD, so the result is always well-formed. False when `out` fails.
bool write_quoted(TextSink& out, std::string_view utf8);

}  // namespace tavo
