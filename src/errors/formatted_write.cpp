// The formatter over a text sink: it keeps the first error of the sink, which
// becomes the result of the whole message.
#include "errors/formatted_write.h"

namespace tavo {

bool SinkFormatter::write_str(std::string_view text) {
  if (error_) {
    return false;
  }
  IoResult<void> result = sink_.write_text(text);
  if (result.ok()) {
    return true;
  }
  // The message stops at the first failure, which becomes its result.
  error_.emplace(std::move(result.error()));
  return false;
}

IoError SinkFormatter::take_error() {
  if (error_) {
    IoError error = std::move(*error_);
    error_.reset();
    return error;
  }
  return IoError::from_static(message_formatter_error);
}

}  // namespace tavo
