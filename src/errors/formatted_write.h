// The formatted write: a message made of literal pieces and arguments (see
// text/format.h), handed text by text to a sink that can fail with an I/O
// error.
//
//   write_formatted(sink, "You guessed: ", guess, "\n");
//
// The first failing sink call stops the message and is its result; a
// conversion that fails on its own, without a failing sink call, gives the
// "formatter error" error.
#pragma once

#include <optional>
#include <string_view>

#include "errors/io_error.h"
#include "text/format.h"

namespace tavo {

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
  // The outcome of a message whose conversions returned `written`: a
  // conversion that carried on after a failed sink call has still failed.
  IoResult<void> result(bool written) {
    if (written && !sink_failed()) {
      return {};
    }
    return take_error();
  }

 private:
  TextSink& sink_;
  std::optional<IoError> error_;
};

template <class... Args>
IoResult<void> write_formatted(TextSink& sink, const Args&... args) {
  SinkFormatter out(sink);
  return out.result(write_args(out, args...));
}

}  // namespace tavo
