// A TextSink for tests that collects everything it is given into a string,
// and the display form of an error as text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "errors/io_error.h"
#include "text/text_sink.h"

namespace tavo::testing {

class StringFormatter final : public TextSink {
 public:
  bool write_str(std::string_view piece) override {
    text.append(piece);
    return true;
  }
  std::string text;
};

inline std::string display_text(const IoError& error) {
  StringFormatter out;
  EXPECT_TRUE(error.write_display(out));
  return out.text;
}

}  // namespace tavo::testing
