// The guess dialogue over a platform that counts console writes: the same
// operations as guess.exe, and on standard error (a pipe) one line
// "console writes: CALLS calls, UNITS units" at the end.
#include <cstdio>
#include <string>

#include "runtime/fatal.h"
#include "runtime/run_main.h"
#include "streams/stdin.h"
#include "streams/stdout.h"
#include "support/fake_platform.h"

namespace {

struct CountingPlatform final : tavo::testing::FakePlatform {
  bool write_console_w(Handle h, const char16_t* units, uint32_t count,
                       uint32_t* written) override {
    ++calls;
    this->units += count;
    return FakePlatform::write_console_w(h, units, count, written);
  }
  unsigned long long calls = 0;
  unsigned long long units = 0;
};

CountingPlatform counting;

void dialogue() {
  tavo::print_to_stdout("Guess the numberl!\n");
  tavo::print_to_stdout("Please input your guess.\n");
  std::string guess;
  tavo::expect_ok(tavo::standard_input().append_line(guess), "Failed to read line!",
                  tavo::SourcePosition{"main", 11, 10});
  tavo::print_to_stdout("You guessed: ", std::string_view(guess), "\n");
}

}  // namespace

int main(int argc, char** argv) {
  tavo::testing::ScopedPlatform use(counting);
  const auto status = tavo::run_main(&dialogue, argc, argv, 0);
  std::fprintf(stderr, "console writes: %llu calls, %llu units\n", counting.calls,
               counting.units);
  return static_cast<int>(status);
}
