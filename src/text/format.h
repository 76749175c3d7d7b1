// Text written in pieces: the sink every text conversion writes into, the
// arguments a message is made of, and the small values every layer passes
// around with a message (where it was raised, and the message itself before
// anything has composed it).
//
// A conversion (the display or debug form of an error, a number, a thread
// name...) hands its text to a `TextSink` in pieces of UTF-8. `write_str`
// returns false when the piece could not be taken; the conversion must then
// stop at once and return false itself. The formatter remembers why (for
// example the I/O error of the stream below it), so the conversion does not
// need to. It is the one interface that takes a piece of text: the sinks of
// the standard streams implement it too (errors/formatted_write.h).
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#if !defined(__clang__)
#include <source_location>
#endif
#include <string_view>
#include <tuple>
#include <type_traits>

namespace tavo {

class TextSink {
 public:
  // Takes one piece of text; false means "stop now".
  virtual bool write_str(std::string_view text) = 0;

 protected:
  ~TextSink() = default;
};

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
// an integer in decimal goes to the formatter in one call; an object with
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

// A place in the source, shown as file:line:column.
struct SourcePosition {
  const char* file;
  uint32_t line;
  uint32_t column;

  bool write_to(TextSink& out) const {
    return write_args(out, std::string_view(file), ":", line, ":", column);
  }
};

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

// A message that is composed only when somebody writes it: one literal text,
// or pieces and arguments (see MessageArgs) that are written out on demand.
// Borrows what it refers to; it lives no longer than the call it is passed to.
class DeferredMessage {
 public:
  constexpr DeferredMessage(std::string_view literal) : literal_(literal) {}
  constexpr DeferredMessage(const char* literal) : literal_(literal) {}
  DeferredMessage(const void* context, bool (*compose)(const void*, TextSink&))
      : context_(context), compose_(compose) {}

  bool is_literal() const { return compose_ == nullptr; }
  std::string_view literal() const { return literal_; }
  // Writes the message's text (for pieces and arguments, composes it).
  bool write_to(TextSink& out) const {
    return compose_ == nullptr ? out.write_str(literal_) : compose_(context_, out);
  }

 private:
  std::string_view literal_;
  const void* context_ = nullptr;
  bool (*compose_)(const void*, TextSink&) = nullptr;
};

// Pieces and arguments kept by reference, as a deferred message:
//
//   const MessageArgs pieces("You guessed: ", guess, "\n");
//   stream.write_message(pieces.message());
//
// The arguments must outlive every use of the message.
template <class... Args>
class MessageArgs {
 public:
  explicit MessageArgs(const Args&... args) : args_(args...) {}
  MessageArgs(const MessageArgs&) = delete;
  MessageArgs& operator=(const MessageArgs&) = delete;

  DeferredMessage message() const { return DeferredMessage(this, &compose); }

 private:
  static bool compose(const void* self, TextSink& out) {
    return std::apply([&out](const Args&... a) { return write_args(out, a...); },
                      static_cast<const MessageArgs*>(self)->args_);
  }

  const std::tuple<const Args&...> args_;
};

}  // namespace tavo
