// The arguments a message is made of, written into a text sink in order.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "text/text_sink.h"

namespace tavo {

// An argument that writes itself.
template <class T>
concept SelfFormatting = requires(const T& value, TextSink& out) {
  { value.write_to(out) } -> std::same_as<bool>;
};

template <class T>
concept DecimalInteger =
    std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
    !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
    !std::same_as<T, char32_t> && !std::same_as<T, wchar_t>;

// Each argument is one text: a string (any string_view-convertible value) or
// an integer in decimal goes to the sink in one call; an object with
// `bool write_to(TextSink&) const` writes its own pieces. Nothing is
// allocated.
inline bool write_arg(TextSink& out, std::string_view text) {
  return out.write_str(text);
}

template <DecimalInteger T>
bool write_arg(TextSink& out, T value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 digits hold every 64-bit value.
  return out.write_str(std::string_view(digits, static_cast<size_t>(end - digits)));
}

template <SelfFormatting T>
bool write_arg(TextSink& out, const T& value) {
  return value.write_to(out);
}

// Writes every argument to `out`, in order; false at the first failure.
template <class... Args>
bool write_args(TextSink& out, const Args&... args) {
  return (write_arg(out, args) && ...);
}

}  // namespace tavo
