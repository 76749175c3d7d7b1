// Names and source lines of this program's code, from the system's debug help
// library: loaded from the system directory on first use, with nothing linked
// against it, and called through its wide-character functions only, so that
// no path passes through the ANSI code page.
//
// The library is not safe for concurrent use, and neither is this service:
// its callers take turns.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace tavo::platform {

// Loads the library, starts its symbol handler and loads the debug
// information of the image at `image_base`, once per process. False when the
// library or its handler cannot be had: then no name can be looked up.
bool prepare_symbols(uint64_t image_base);

// What the library is told about the image whose full path is `image`.
struct SymbolPaths {
  // The image's short path; null when the system has none or none that
  // differs. It serves where the full path is too long for the library.
  std::unique_ptr<char16_t[]> short_image;
  // Where the library looks for the image's debug information: the image's
  // own folder first (the library does not look there by itself on every
  // system), by its full path and then by its short one where that differs
  // (some versions cannot open a folder whose name the ANSI code page cannot
  // spell; a short name is spelled in ASCII); then what it searches when
  // given no path: the current folder and the values of _NT_SYMBOL_PATH and
  // _NT_ALTERNATE_SYMBOL_PATH. Entries are separated by ';', so a form of
  // the folder that holds one is left out: the others still serve.
  std::unique_ptr<char16_t[]> search;
};
SymbolPaths symbol_paths(const char16_t* image);

// The name of the function around `address`; empty when unknown. Valid until
// the next call of this service.
std::u16string_view symbol_name(uint64_t address);

struct SourceLine {
  std::u16string_view file;  // empty when unknown
  uint32_t line = 0;
};

// Where in the source `address` is. Valid until the next call of this service.
SourceLine source_line(uint64_t address);

}  // namespace tavo::platform
