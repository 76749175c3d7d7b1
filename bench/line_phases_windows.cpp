// The guess dialogue over a platform that times its system reads, system
// writes and heap calls: where the time of a long line goes. Prints one line
// to standard error at the end.
#include <chrono>
#include <cstdio>
#include <string>

#include "runtime/fatal.h"
#include "runtime/run_main.h"
#include "streams/stdin.h"
#include "streams/stdout.h"
#include "support/fake_platform.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TimingPlatform final : tavo::testing::FakePlatform {
  NtStatus nt_read_file(Handle h, tavo::platform::IoStatusBlock* b, void* p,
                        uint32_t n) override {
    const auto start = Clock::now();
    const NtStatus status = FakePlatform::nt_read_file(h, b, p, n);
    read += Clock::now() - start;
    ++reads;
    return status;
  }
  NtStatus nt_write_file(Handle h, tavo::platform::IoStatusBlock* b, const void* p,
                         uint32_t n) override {
    const auto start = Clock::now();
    const NtStatus status = FakePlatform::nt_write_file(h, b, p, n);
    write += Clock::now() - start;
    ++writes;
    return status;
  }
  void* heap_alloc(size_t size) override {
    const auto start = Clock::now();
    void* block = FakePlatform::heap_alloc(size);
    heap += Clock::now() - start;
    ++allocations;
    return block;
  }
  bool heap_free(void* block) override {
    const auto start = Clock::now();
    const bool ok = FakePlatform::heap_free(block);
    heap += Clock::now() - start;
    return ok;
  }
  Clock::duration read{}, write{}, heap{};
  unsigned long reads = 0, writes = 0, allocations = 0;
};

TimingPlatform timing;
Clock::duration appending{};

void dialogue() {
  tavo::print_to_stdout("Guess the numberl!\n");
  tavo::print_to_stdout("Please input your guess.\n");
  std::string guess;
  const auto start = Clock::now();
  tavo::expect_ok(tavo::standard_input().append_line(guess), "Failed to read line!",
                  tavo::SourcePosition{"main", 11, 10});
  appending = Clock::now() - start;
  tavo::print_to_stdout("You guessed: ", std::string_view(guess), "\n");
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  tavo::testing::ScopedPlatform use(timing);
  const auto start = Clock::now();
  const auto status = tavo::run_main(&dialogue, argc, argv, 0);
  std::fprintf(
      stderr,
      "total %.1f ms; append_line %.1f ms of which %lu reads %.1f ms; %lu writes "
      "%.1f ms; %lu heap requests %.1f ms\n",
      ms(Clock::now() - start), ms(appending), timing.reads, ms(timing.read),
      timing.writes, ms(timing.write), timing.allocations, ms(timing.heap));
  return static_cast<int>(status);
}
