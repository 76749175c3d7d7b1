// The one interface that takes text. A conversion (the display or debug form
// of an error, a number, a thread name...) hands its text to a `TextSink` in
// pieces of UTF-8. `write_str` returns false when the piece could not be
// taken; the conversion must then stop at once and return false itself. The
// sink remembers why (for example the I/O error of the stream below it), so
// the conversion does not need to. The sinks of the standard streams
// implement it too (errors/formatted_write.h).
#pragma once

#include <string_view>

namespace tavo {

class TextSink {
 public:
  // Takes one piece of text; false means "stop now".
  virtual bool write_str(std::string_view text) = 0;

 protected:
  ~TextSink() = default;
};

}  // namespace tavo
