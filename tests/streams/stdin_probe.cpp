// A small program that reads standard input through the process-wide line
// reader and reports what each call returned, for tests that start it with
// a real pipe, file, device or console as its standard input.
//
//   stdin_probe lines N     N calls; per call "ok <count> <hex bytes>" or
//                           "err <kind> <os code or -> <display form>"
//   stdin_probe threads N   four threads read lines until the end of input;
//                           checks that the lines "0\n" .. "N-1\n" each
//                           arrived once and whole, and prints a summary
//   stdin_probe no-memory N heap requests of N bytes or more fail; one call
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "errors/io_error.h"
#include "streams/stdin.h"
#include "support/collecting_sink.h"
#include "support/fake_platform.h"
#include "support/hex.h"
#include "support/test_thread.h"

namespace {

using tavo::testing::hex;

void print(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}

std::string describe(const tavo::IoError& error) {
  const auto code = error.raw_os_error();
  return std::string("err ") + std::string(tavo::debug_name(error.kind())) + " " +
         (code ? std::to_string(*code) : std::string("-")) + " " +
         tavo::testing::display_text(error) + "\n";
}

int read_lines(int calls) {
  for (int i = 0; i < calls; ++i) {
    std::string text;
    tavo::IoResult<size_t> result = tavo::standard_input().append_line(text);
    if (result.ok()) {
      print("ok " + std::to_string(result.value()) + " " + hex(text) + "\n");
    } else {
      print(describe(result.error()));
    }
  }
  return 0;
}

int read_in_threads(size_t expected) {
  constexpr int thread_count = 4;
  std::vector<std::vector<std::string>> lines(thread_count);
  std::vector<std::string> errors(thread_count);
  std::vector<tavo::testing::TestThread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, &lines, &errors] {
      for (;;) {
        std::string line;
        tavo::IoResult<size_t> result = tavo::standard_input().append_line(line);
        if (!result.ok()) {
          errors[t] = describe(result.error());
          return;
        }
        if (result.value() == 0) return;
        if (result.value() != line.size()) {
          errors[t] = "count differs from bytes\n";
          return;
        }
        lines[t].push_back(std::move(line));
        // Give the other threads a chance to take the lock between lines.
        if (lines[t].size() % 64 == 0) tavo::testing::yield_to_other_threads();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<int> seen(expected, 0);
  size_t total = 0, malformed = 0, duplicates = 0;
  int active = 0;
  for (int t = 0; t < thread_count; ++t) {
    if (!lines[t].empty()) ++active;
    for (const std::string& line : lines[t]) {
      ++total;
      const bool digits = line.size() >= 2 && line.back() == '\n' &&
                          line.find_first_not_of("0123456789") == line.size() - 1;
      const size_t number = digits ? std::strtoull(line.c_str(), nullptr, 10) : expected;
      if (number >= expected) {
        ++malformed;
        continue;
      }
      if (seen[number]++ > 0) ++duplicates;
    }
  }
  size_t missing = 0;
  for (int count : seen) missing += count == 0 ? 1 : 0;
  std::string report = "lines=" + std::to_string(total) +
                       " missing=" + std::to_string(missing) +
                       " duplicates=" + std::to_string(duplicates) +
                       " malformed=" + std::to_string(malformed) +
                       " active=" + std::to_string(active) + "\n";
  for (const std::string& error : errors) report += error;
  print(report);
  return 0;
}

// No heap block of `refused` bytes or more.
struct ShortOfMemory final : tavo::testing::FakePlatform {
  size_t refused = SIZE_MAX;
  void* heap_alloc(size_t size) override {
    return size >= refused ? nullptr : FakePlatform::heap_alloc(size);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The report's line feeds go out as they are.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc == 3 && std::strcmp(argv[1], "lines") == 0) {
    return read_lines(std::atoi(argv[2]));
  }
  if (argc == 3 && std::strcmp(argv[1], "threads") == 0) {
    return read_in_threads(std::strtoull(argv[2], nullptr, 10));
  }
  if (argc == 3 && std::strcmp(argv[1], "no-memory") == 0) {
    static ShortOfMemory short_of_memory;
    short_of_memory.refused = std::strtoull(argv[2], nullptr, 10);
    tavo::platform::install(&short_of_memory);
    return read_lines(1);
  }
  std::fputs("usage: stdin_probe lines N | threads N | no-memory N\n", stderr);
  return 2;
}
