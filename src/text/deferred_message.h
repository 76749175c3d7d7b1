// A message that is composed only when somebody writes it, so that raising a
// failure costs nothing until its report needs the text.
#pragma once

#include <string_view>
#include <tuple>

#include "text/write_args.h"

namespace tavo {

// One literal text, or pieces and arguments (see MessageArgs) that are
// written out on demand. Borrows what it refers to; it lives no longer than
// the call it is passed to.
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
//   const MessageArgs pieces("Failed to read line!: ", debug(error));
//   raise_fatal(pieces.message(), position);
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
