#include "streams/formatted_write.h"

namespace tavo {

bool SinkFormatter::write_str(std::string_view text) {
  IoResult<void> result = sink_.write_text(text);
  if (result.ok()) {
    return true;
  }
  // Only the first failure matters: the write stops there.
  if (!error_) {
    error_.emplace(std::move(result.error()));
  }
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
