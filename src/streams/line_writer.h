// The line buffer behind standard output, over any lower writer (standard
// output's handle, or a scripted one in tests).
//
// Text handed in is passed on up to its last line feed at once; what follows
// the last line feed waits in the buffer until a later line feed, an
// overflow or an explicit flush. A complete line handed in while the buffer
// is empty goes to the lower writer without being copied.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/formatted_write.h"
#include "errors/io_error.h"
#include "streams/write_all.h"

namespace tavo {

// A line buffer over storage that the owner provides and keeps alive, and
// the sink that a message is written into. The capacity never grows; it can
// only drop to 0 (unbuffered).
class LineWriter final : public ErrorKeepingSink {
 public:
  LineWriter(char* storage, size_t capacity, RawWriter& lower)
      : storage_(storage), capacity_(capacity), lower_(lower) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // One text of a message. On success every byte up to the last line feed
  // handed in so far has been passed to the lower writer, and at most
  // `capacity()` bytes after it are buffered.
  bool write_str(std::string_view text) override;

  // Passes the buffered bytes to the lower writer, retrying after
  // `Interrupted`. Whatever the outcome, the bytes not taken stay buffered,
  // in order, at the front.
  IoResult<void> flush_buffer();

  // From now on every byte goes straight to the lower writer. Buffered bytes
  // are dropped and the write-in-progress mark cleared.
  void make_unbuffered() {
    capacity_ = 0;
    length_ = 0;
    write_in_progress_ = false;
  }

  // Set while buffered bytes or an oversized chunk are with the lower
  // writer; it stays set only if that call never returned (it unwound).
  bool write_in_progress() const { return write_in_progress_; }
  size_t capacity() const { return capacity_; }
  std::string_view buffered() const { return {storage_, length_}; }

 private:
  // Whether `bytes` fit beside what is buffered.
  bool fits(std::string_view bytes) const { return bytes.size() <= capacity_ - length_; }
  // Buffers `bytes`, which fit, or passes them straight to the lower writer
  // when they are too long for the buffer (which is then empty).
  bool add(std::string_view bytes);

  char* storage_;
  size_t capacity_;
  size_t length_ = 0;
  bool write_in_progress_ = false;
  RawWriter& lower_;
};

}  // namespace tavo
