// The UTF-16 to UTF-8 conversion shared by the system-message lookup and the
// environment reading of the trace style.
#include "text/utf16.h"

#include "text/utf8.h"

namespace tavo {

bool append_utf16_as_utf8(std::u16string_view units, UnpairedSurrogate unpaired,
                          std::string& out) {
  out.reserve(out.size() + units.size() * 3);
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (is_high_surrogate(units[i]) && i + 1 < units.size() &&
        is_low_surrogate(units[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if ((is_high_surrogate(units[i]) || is_low_surrogate(units[i])) &&
               unpaired == UnpairedSurrogate::Refuse) {
      return false;
    }
    char bytes[4];
    out.append(bytes, utf8::encode(c, bytes));
  }
  return true;
}

}  // namespace tavo
