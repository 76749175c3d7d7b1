// Character properties the quoted form of a text needs, from the Unicode
// Character Database (see scripts/gen_unicode_tables.py).
#pragma once

namespace tavo::unicode {

// The Grapheme_Extend property: combining marks and the like, which would
// attach to the quote or escape before them if written unescaped.
bool is_grapheme_extend(char32_t c);

// False for control, format, surrogate, private-use and unassigned code
// points and for separators other than U+0020.
bool is_printable(char32_t c);

}  // namespace tavo::unicode
