// The write-all loop.
#include "streams/write_all.h"

#include <algorithm>
#include <utility>

namespace tavo {

IoResult<void> write_all(RawWriter& lower, std::string_view bytes, size_t* taken,
                         const MessageRecord& zero_write) {
  while (!bytes.empty()) {
    IoResult<size_t> written = lower.write_some(bytes);
    if (!written.ok()) {
      if (written.error().kind() == IoErrorKind::Interrupted) {
        continue;
      }
      return std::move(written.error());
    }
    if (written.value() == 0) {
      return IoError::from_static(zero_write);
    }
    // A lower writer never reports more than it was offered; if one did, a
    // caller's buffer would be read past its end.
    const size_t count = std::min(written.value(), bytes.size());
    if (taken != nullptr) *taken += count;
    bytes.remove_prefix(count);
  }
  return {};
}

}  // namespace tavo
