// The line buffer: what passes straight on, what waits, and the flush that
// keeps unwritten bytes in order.
#include "streams/line_writer.h"

#include <algorithm>
#include <cstring>

#include "streams/offer_until_taken.h"

namespace tavo {

namespace {

// Removes the bytes already taken from the front of the buffer when the
// flush ends, by any road: a return with or without an error, or a fatal
// failure unwinding through it. The rest keeps its order.
class DrainFront {
 public:
  DrainFront(char* storage, size_t& length) : storage_(storage), length_(length) {}
  DrainFront(const DrainFront&) = delete;
  DrainFront& operator=(const DrainFront&) = delete;
  ~DrainFront() {
    if (written > 0) {
      std::memmove(storage_, storage_ + written, length_ - written);
      length_ -= written;
    }
  }

  size_t written = 0;

 private:
  char* storage_;
  size_t& length_;
};

}  // namespace

IoResult<void> LineWriter::flush_buffer() {
  DrainFront drain(storage_, length_);
  auto write_some = [&](std::string_view rest) {
    write_in_progress_ = true;
    IoResult<size_t> result = lower_.write_some(rest);
    write_in_progress_ = false;
    // A lower writer never reports more than it was offered; if one did, the
    // buffer would be read past its end when it drains.
    if (result.ok()) drain.written += std::min(result.value(), rest.size());
    return result;
  };
  return offer_until_taken(std::string_view(storage_, length_), write_some,
                           message_write_buffered_data);
}

IoResult<void> LineWriter::write_direct(std::string_view bytes) {
  return offer_until_taken(
      bytes, [this](std::string_view rest) { return lower_.write_some(rest); });
}

IoResult<void> LineWriter::buffered_add(std::string_view bytes) {
  if (bytes.empty()) {
    return {};
  }
  if (bytes.size() > capacity_ - length_) {
    if (IoResult<void> flushed = flush_buffer(); !flushed.ok()) {
      return flushed;
    }
  }
  if (bytes.size() < capacity_) {
    // After the flush above, the bytes fit: either they did already, or the
    // buffer is now empty and they are shorter than the capacity.
    std::memcpy(storage_ + length_, bytes.data(), bytes.size());
    length_ += bytes.size();
    return {};
  }
  write_in_progress_ = true;
  IoResult<void> result = write_direct(bytes);
  write_in_progress_ = false;
  return result;
}

IoResult<void> LineWriter::write_line_buffered(std::string_view bytes) {
  const size_t last_line_feed = bytes.rfind('\n');
  if (last_line_feed == std::string_view::npos) {
    // Bytes that end in a line feed stay buffered only after a failed flush;
    // they must go out before anything is added behind them.
    if (length_ > 0 && storage_[length_ - 1] == '\n') {
      if (IoResult<void> flushed = flush_buffer(); !flushed.ok()) {
        return flushed;
      }
    }
    return buffered_add(bytes);
  }

  const std::string_view lines = bytes.substr(0, last_line_feed + 1);
  const std::string_view tail = bytes.substr(last_line_feed + 1);
  if (length_ == 0) {
    if (IoResult<void> written = write_direct(lines); !written.ok()) {
      return written;
    }
  } else {
    if (IoResult<void> added = buffered_add(lines); !added.ok()) {
      return added;
    }
    if (IoResult<void> flushed = flush_buffer(); !flushed.ok()) {
      return flushed;
    }
  }
  return buffered_add(tail);
}

}  // namespace tavo
