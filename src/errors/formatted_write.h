// The formatted write: a message made of literal pieces and arguments (see
// text/write_args.h), handed text by text to a sink that can fail with an I/O
// error.
//
//   StderrSink err;
//   write_formatted(err, "You guessed: ", guess, "\n");
//
// The first failing sink call stops the message and is its result; a
// conversion that fails on its own, without a failing sink call, gives the
// "formatter error" error.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "errors/io_error.h"
#include "text/write_args.h"

namespace tavo {

// A TextSink that writes to an I/O stream (standard error, standard output's
// line buffer) and keeps the first error of a message. It is the same
// interface that every conversion writes into, not a second one: a sink's
// `write_str` hands the text on and, when that fails, keeps the error with
// `keep` and answers false. After a failure it takes nothing more until the
// message is finished, even from a conversion that ignored the failure and
// carried on.
class ErrorKeepingSink : public TextSink {
 public:
  // The outcome of a message whose conversions returned `written`, which
  // also makes the sink ready for the next message: the kept error, or
  // "formatter error" when a conversion failed without one.
  IoResult<void> finish_message(bool written) {
    if (written && !error_) {
      return {};
    }
    return take_error();
  }

  // Takes the error kept so far out of the sink (nothing when there is
  // none), and puts one back (none clears it): for a message written inside
  // another one, which has a result of its own, and for a message that
  // unwound before it was finished.
  std::optional<IoError> set_aside_error() { return std::exchange(error_, std::nullopt); }
  void restore_error(std::optional<IoError> error) { error_ = std::move(error); }

 protected:
  ~ErrorKeepingSink() = default;

  // False once a write of the current message has failed.
  bool accepting() const { return !error_.has_value(); }
  // The result of one write: true when it succeeded, otherwise the error is
  // kept as the message's result.
  bool keep(IoResult<void> result);

 private:
  IoError take_error();

  std::optional<IoError> error_;
};

template <class... Args>
IoResult<void> write_formatted(ErrorKeepingSink& sink, const Args&... args) {
  return sink.finish_message(write_args(sink, args...));
}

// Arguments that write an error in its display or its debug form.
struct DisplayOf {
  const IoError& error;
  bool write_to(TextSink& out) const { return error.write_display(out); }
};
struct DebugOf {
  const IoError& error;
  bool write_to(TextSink& out) const { return error.write_debug(out); }
};
inline DisplayOf display(const IoError& error) { return {error}; }
inline DebugOf debug(const IoError& error) { return {error}; }

}  // namespace tavo
