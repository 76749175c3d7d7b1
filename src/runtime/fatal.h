// Fatal failures: an error the program cannot handle is reported once on
// standard error and carried back to the start routine, which ends the
// process with status 101.
#pragma once

#include <cstdint>
#if !defined(__clang__)
#include <source_location>
#endif
#include <string_view>
#include <tuple>
#include <utility>

#include "errors/formatter.h"
#include "errors/io_error.h"
#include "streams/formatted_write.h"

namespace tavo {

// A place in the source, shown as file:line:column.
struct SourcePosition {
  const char* file;
  uint32_t line;
  uint32_t column;

  bool write_to(Formatter& out) const;
};

// The position of the expression where it is written. GCC has no
// __builtin_COLUMN; its std::source_location gives the column instead (clang
// 14 has no working std::source_location).
#if defined(__clang__)
#define TAVO_COLUMN() __builtin_COLUMN()
#else
#define TAVO_COLUMN() std::source_location::current().column()
#endif
#define TAVO_HERE                                                \
  (::tavo::SourcePosition{__builtin_FILE(),                      \
                          static_cast<uint32_t>(__builtin_LINE()), \
                          static_cast<uint32_t>(TAVO_COLUMN())})

// The message of a fatal failure: one literal text, or a format (pieces and
// arguments) that is composed once, when the report first needs it. The
// format's arguments are borrowed; they must outlive the raise (they do: the
// report is written before anything unwinds).
class FatalMessage {
 public:
  constexpr FatalMessage(std::string_view literal) : literal_(literal) {}
  constexpr FatalMessage(const char* literal) : literal_(literal) {}
  FatalMessage(const void* context, bool (*compose)(const void*, Formatter&))
      : context_(context), compose_(compose) {}

  bool is_literal() const { return compose_ == nullptr; }
  std::string_view literal() const { return literal_; }
  // Writes the message's text (for a format, composes it).
  bool write_to(Formatter& out) const {
    return compose_ == nullptr ? out.write_str(literal_) : compose_(context_, out);
  }

 private:
  std::string_view literal_;
  const void* context_ = nullptr;
  bool (*compose_)(const void*, Formatter&) = nullptr;
};

// Raises a fatal failure; never returns. `may_unwind` false is reserved for
// failures that must not travel (they end in an abort after the report).
[[noreturn]] void raise_fatal(const FatalMessage& message,
                              const SourcePosition& position,
                              bool may_unwind = true);

// Raises a fatal failure whose message is the given pieces and arguments.
template <class... Args>
[[noreturn]] void raise_fatal_format(const SourcePosition& position,
                                     const Args&... args) {
  struct Pieces {
    const std::tuple<const Args&...> args;
  };
  const Pieces pieces{std::tuple<const Args&...>(args...)};
  raise_fatal(FatalMessage(&pieces,
                           [](const void* context, Formatter& out) {
                             return std::apply(
                                 [&out](const Args&... a) { return write_args(out, a...); },
                                 static_cast<const Pieces*>(context)->args);
                           }),
              position);
}

// The value of `result`, or a fatal failure "{message}: {debug form}" at
// `position` when it holds an error.
template <class T>
T expect_ok(IoResult<T>&& result, std::string_view message,
            const SourcePosition& position) {
  if (!result.ok()) {
    raise_fatal_format(position, message, ": ", debug(result.error()));
  }
  return std::move(result.value());
}

}  // namespace tavo
