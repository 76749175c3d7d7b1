// The line buffer: what passes straight on, what waits, and the flush that
// keeps unwritten bytes in order.
#include "streams/line_writer.h"

#include <cstring>
#include <utility>

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

// Kept out of line: a message's write calls it from more than one place, and
// one copy of it is smaller than one per call.
[[gnu::noinline]] IoResult<void> LineWriter::flush_buffer() {
  DrainFront drain(storage_, length_);
  write_in_progress_ = true;
  IoResult<void> result = write_all(lower_, std::string_view(storage_, length_),
                                    &drain.written, message_write_buffered_data);
  write_in_progress_ = false;
  return result;
}

bool LineWriter::add(std::string_view bytes) {
  if (bytes.empty()) {
    return true;
  }
  if (bytes.size() < capacity_) {
    std::memcpy(storage_ + length_, bytes.data(), bytes.size());
    length_ += bytes.size();
    return true;
  }
  write_in_progress_ = true;
  IoResult<void> result = write_all(lower_, bytes);
  write_in_progress_ = false;
  return keep(std::move(result));
}

// Every flush is made here, not inside `add`, so that no write of a message
// goes deeper than a flush (or a direct write) under this call.
bool LineWriter::write_str(std::string_view text) {
  if (!accepting()) {
    return false;
  }
  // Up to and including the last line feed; none without one (npos + 1 is 0).
  const size_t end_of_lines = text.rfind('\n') + 1;
  std::string_view pieces[2] = {{text.data(), end_of_lines},
                                {text.data() + end_of_lines, text.size() - end_of_lines}};
  // Whether the buffer must go out before the next piece is added.
  bool flush = false;
  if (pieces[0].empty()) {
    // Bytes that end in a line feed stay buffered only after a failed flush;
    // they must go out before anything is added behind them.
    flush = length_ > 0 && storage_[length_ - 1] == '\n';
  } else if (length_ == 0) {
    // Complete lines with nothing before them go on without being copied.
    if (!keep(write_all(lower_, pieces[0]))) {
      return false;
    }
    pieces[0] = {};
  }
  // The lines, which go out once they are buffered, then the tail.
  for (const std::string_view piece : pieces) {
    if ((flush || !fits(piece)) && !keep(flush_buffer())) {
      return false;
    }
    if (!add(piece)) {
      return false;
    }
    flush = !piece.empty();
  }
  return true;
}

}  // namespace tavo
