// Text cut after each line feed: every piece but possibly the last ends in
// '\n', and together they are the text.
#pragma once

#include <string_view>
#include <vector>

namespace tavo::testing {

inline std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t feed = text.find('\n');
    const size_t length = feed == std::string_view::npos ? text.size() : feed + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

}  // namespace tavo::testing
