// The fixed lines of a report, and reading a stack trace as the reports write it: entry
// lines ("  N: name"), each possibly followed by its location line ("      at
// file:line").
#pragma once

#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::testing {

// How a report ends: with this hint when no trace was asked for, and a short
// trace with this trailer.
inline const std::string report_hint =
    "note: run with `TAVO_BACKTRACE=1` environment variable to display a backtrace\n";
inline const std::string trace_trailer =
    "note: Some details are omitted, run with `TAVO_BACKTRACE=full` for a verbose "
    "backtrace.\n";

inline bool has(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The names of the entry lines of `text`, in order. Lines that are neither
// entries nor locations (a report's first line, the trace header, a note, an
// unterminated last line) go to `others` when it is given.
inline std::vector<std::string> frame_names(const std::string& text,
                                            std::vector<std::string>* others = nullptr) {
  static const std::regex entry(R"( *\d+: (.*))");
  static const std::regex location(R"( +at .+:\d+)");
  std::vector<std::string> names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = text.size();
    const std::string line = text.substr(start, end - start);
    std::smatch m;
    if (terminated && std::regex_match(line, m, entry)) {
      names.push_back(m[1]);
    } else if (!terminated || !std::regex_match(line, location)) {
      if (others != nullptr) others->push_back(line);
    }
    start = end + 1;
  }
  return names;
}

inline bool any_name_has(const std::vector<std::string>& names, std::string_view part) {
  for (const std::string& name : names) {
    if (has(name, part)) return true;
  }
  return false;
}

}  // namespace tavo::testing
