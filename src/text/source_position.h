// Where a message was raised: a place in the source, and the macro that
// names the place where it is written.
#pragma once

#include <cstdint>
#if !defined(__clang__)
#include <source_location>
#endif
#include <string_view>

#include "text/write_args.h"

namespace tavo {

// A place in the source, shown as file:line:column.
struct SourcePosition {
  const char* file;
  uint32_t line;
  uint32_t column;

  bool write_to(TextSink& out) const {
    return write_args(out, std::string_view(file), ":", line, ":", column);
  }
};

}  // namespace tavo

// The position of the expression where it is written. GCC has no
// __builtin_COLUMN; its std::source_location gives the column instead (clang
// 14 has no working std::source_location).
#if defined(__clang__)
#define TAVO_COLUMN() __builtin_COLUMN()
#else
#define TAVO_COLUMN() std::source_location::current().column()
#endif
#define TAVO_HERE                                                                    \
  (::tavo::SourcePosition{__builtin_FILE(), static_cast<uint32_t>(__builtin_LINE()), \
                          static_cast<uint32_t>(TAVO_COLUMN())})
