// The sink's kept error, which becomes the result of the whole message.
#include "errors/formatted_write.h"

namespace tavo {

bool ErrorKeepingSink::keep(IoResult<void> result) {
  if (result.ok()) {
    return true;
  }
  // The message stops at the first failure, which becomes its result.
  error_.emplace(std::move(result.error()));
  return false;
}

IoError ErrorKeepingSink::take_error() {
  if (error_) {
    IoError error = std::move(*error_);
    error_.reset();
    return error;
  }
  return IoError::from_static(message_formatter_error);
}

}  // namespace tavo
