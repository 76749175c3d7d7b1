// What a console read does to the UTF-16 units it received before they are
// converted: no system call here, so the rules can be tested alone.
#pragma once

#include <cstddef>

#include "text/utf16.h"

namespace tavo {

// The scratch array of one console read, in UTF-16 units.
inline constexpr size_t console_read_units = 4096;
// Ctrl+Z as the console delivers it.
inline constexpr char16_t console_ctrl_z = 0x1A;

// `units` holds `carried` units (0 or 1: a high surrogate kept back from the
// previous read) followed by the `read` units that the console just
// delivered. Drops a Ctrl+Z that ends the delivered units (only that one: a
// Ctrl+Z elsewhere is text), then keeps back a high surrogate that ends what
// is left, since its low half can only come with the next read. Sets
// `held` to the unit kept back, or 0, and returns how many units from the
// front of `units` are to be converted. 0 is the end of the input unless
// the units were only a kept-back first half, in which case the reader
// waits for the second half with another read.
constexpr size_t settle_console_units(const char16_t* units, size_t carried, size_t read,
                                      char16_t& held) {
  size_t count = carried + read;
  if (read > 0 && units[count - 1] == console_ctrl_z) --count;
  held = 0;
  if (count > 0 && is_high_surrogate(units[count - 1])) {
    held = units[count - 1];
    --count;
  }
  return count;
}

}  // namespace tavo
