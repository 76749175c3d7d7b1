// Standard error as a text sink: unbuffered, each text written whole before
// `write_str` returns. What the fatal reports and the abort lines write
// through.
#pragma once

#include <string_view>

#include "errors/formatted_write.h"
#include "platform/platform.h"
#include "streams/console_writer.h"
#include "streams/std_handle_writer.h"

namespace tavo {

// The sink's pending UTF-8 bytes are its own: they start empty and end with
// the sink.
class StderrSink final : public ErrorKeepingSink {
 public:
  StderrSink() = default;
  StderrSink(const StderrSink&) = delete;
  StderrSink& operator=(const StderrSink&) = delete;

  bool write_str(std::string_view text) override {
    return accepting() &&
           keep(write_all_to_handle(platform::std_error_handle, text, pending_));
  }

 private:
  PendingUtf8 pending_;
};

}  // namespace tavo
