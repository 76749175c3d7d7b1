// Names and source lines of this program's code, from the system's debug help
// library: loaded from the system directory on first use, with nothing linked
// against it, and called through its wide-character functions only, so that
// no path passes through the ANSI code page.
//
// The library is not safe for concurrent use, and neither is this service:
// its callers take turns.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavo::sys {

// Loads the library, starts its symbol handler and loads the debug
// information of the image at `image_base`, once per process. False when the
// library or its handler cannot be had: then no name can be looked up.
bool prepare_symbols(uint64_t image_base);

// The name of the function around `address`; empty when unknown. Valid until
// the next call of this service.
std::u16string_view symbol_name(uint64_t address);

struct SourceLine {
  std::u16string_view file;  // empty when unknown
  uint32_t line = 0;
};

// Where in the source `address` is. Valid until the next call of this service.
SourceLine source_line(uint64_t address);

}  // namespace tavo::sys
