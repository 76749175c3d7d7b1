// The formatted write: a message made of literal pieces and arguments, handed
// text by text to a sink.
//
//   write_formatted(sink, "You guessed: ", guess, "\n");
//
// Each argument is one text: a string (any string_view-convertible value) or
// an integer in decimal goes to the sink in one call; an object with
// `bool write_to(Formatter&) const` (for example `display(error)`) writes its
// own pieces. Nothing is allocated. The first failing sink call stops the
// message and is its result; a conversion that fails on its own, without a
// failing sink call, gives the "formatter error" error.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>
#include <type_traits>

#include "errors/formatter.h"
#include "errors/io_error.h"

namespace tavo {

// An argument that writes itself.
template <class T>
concept SelfFormatting = requires(const T& value, Formatter& out) {
  { value.write_to(out) } -> std::same_as<bool>;
};

template <class T>
concept DecimalInteger =
    std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
    !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
    !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

inline bool write_arg(Formatter& out, std::string_view text) {
  return out.write_str(text);
}

template <DecimalInteger T>
bool write_arg(Formatter& out, T value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 digits hold every 64-bit value.
  return out.write_str(std::string_view(digits, static_cast<size_t>(end - digits)));
}

template <SelfFormatting T>
bool write_arg(Formatter& out, const T& value) {
  return value.write_to(out);
}

// Writes every argument to `out`, in order; false at the first failure.
template <class... Args>
bool write_args(Formatter& out, const Args&... args) {
  return (write_arg(out, args) && ...);
}

// A Formatter over a TextSink that keeps the sink's first error. After a
// failed sink call it passes nothing more on, even to a conversion that
// ignored the failure and carried on.
class SinkFormatter final : public Formatter {
 public:
  explicit SinkFormatter(TextSink& sink) : sink_(sink) {}
  bool write_str(std::string_view text) override;
  bool sink_failed() const { return error_.has_value(); }
  // The sink's error if a sink call failed, otherwise "formatter error".
  IoError take_error();

 private:
  TextSink& sink_;
  std::optional<IoError> error_;
};

template <class... Args>
IoResult<void> write_formatted(TextSink& sink, const Args&... args) {
  SinkFormatter out(sink);
  if (write_args(out, args...) && !out.sink_failed()) {
    return {};
  }
  return out.take_error();
}

}  // namespace tavo
