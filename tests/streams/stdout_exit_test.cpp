// Standard output in a whole process: what reaches the real handle at exit,
// after a fatal failure and after an abort, and the report of a failed print.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "harness/process_harness.h"
#include "support/where_tests_run.h"

namespace tavo::harness {
namespace {

constexpr uint32_t status_fail_fast = 0xC0000409u;
const char* const hint =
    "note: run with `TAVO_BACKTRACE=1` environment variable to display a backtrace\n";

ChildResult run_scenario(const wchar_t* name, Output out = Output::pipe()) {
  ChildSpec launch;
  launch.program = sibling_program(L"stdout_child.exe");
  launch.args = {name};
  launch.out = out;
  launch.env_changes = {{u"TAVO_BACKTRACE", std::nullopt}};
  launch.timeout_ms = 30000;
  ChildResult result = run_child(launch);
  EXPECT_EQ(result.setup_error, "");
  EXPECT_FALSE(result.timed_out);
  return result;
}

// Line 1 of the report of a failed print, up to the position: the message
// and the position ("file:line:column", in the stream's own source).
struct PrintFailure {
  std::string error;
  std::string position_file;
};

PrintFailure parse_print_failure(const std::string& report) {
  static const std::regex line1(
      "thread 'main' panicked at 'failed printing to stdout: (.*)', "
      "([^\\n]+):[0-9]+:[0-9]+\\n");
  std::smatch match;
  PrintFailure parsed;
  const std::string first_line = report.substr(0, report.find('\n') + 1);
  if (std::regex_match(first_line, match, line1)) {
    parsed.error = match[1];
    parsed.position_file = match[2];
  }
  EXPECT_EQ(report.substr(first_line.size()), hint);
  return parsed;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct EndCase {
  const wchar_t* scenario;
  Output out;
  std::string expected_out;
  uint32_t expected_status;
};

TEST(StdoutProcess, HeldTextAtTheEndOfTheProcess) {
  const EndCase cases[] = {
      // Held text goes out once, at exit.
      {L"held", Output::pipe(), "Guess the numberl!\nPlease input your guess: ", 0},
      {L"held", Output::file(), "Guess the numberl!\nPlease input your guess: ", 0},
      // An abort skips the exit step: held text is lost.
      {L"held-then-abort", Output::pipe(), "", status_fail_fast},
      // After the exit step every print goes out at once.
      {L"exit-first", Output::pipe(), "written at once", status_fail_fast},
      // The exit step drops the first byte of a character that a console
      // held; what follows is shown whole (the screen is compared).
      {L"split-at-exit", Output::console(), "x", 0},
      // Another thread inside a print at exit: nothing written, no hang.
      {L"other-holds", Output::pipe(), "", 0},
      // Lines at once, an oversized text straight through, the rest at exit.
      {L"mixed", Output::pipe(),
       "Guess the numberl!\nheld " + std::string(3000, 'x') +
           "You guessed: 42\n\nheld at exit",
       0},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(escaped(c.expected_out));
    ChildResult r = run_scenario(c.scenario, c.out);
    EXPECT_EQ(r.exit_status, c.expected_status) << hex_status(r.exit_status);
    EXPECT_EQ(r.err, "");
    const bool console = c.out.kind == Output::Kind::console;
    EXPECT_EQ(console ? escaped(r.screen) : r.out, c.expected_out);
  }
}

TEST(StdoutProcess, HeldTextFollowsTheFatalReport) {
  // Standard error shares standard output's pipe in this scenario.
  ChildResult r = run_scenario(L"held-then-fatal");
  EXPECT_EQ(r.exit_status, 101u);
  EXPECT_EQ(r.err, "");
  static const std::regex expected(
      "thread 'main' panicked at 'the scenario fails', [^\\n]+:[0-9]+:[0-9]+\\n"
      "note: run with `TAVO_BACKTRACE=1` environment variable to display a backtrace\\n"
      "held before the failure");
  EXPECT_TRUE(std::regex_match(r.out, expected)) << escaped(r.out);
}

TEST(StdoutProcess, MissingStandardOutputIsSilent) {
  ChildResult r = run_scenario(L"mixed", Output::null());
  EXPECT_EQ(r.exit_status, 0u);
  EXPECT_EQ(r.err, "");
}

TEST(StdoutProcess, FullDeviceIsAFatalPrintFailure) {
  if (!testing::system_facts().full_device) GTEST_SKIP() << testing::no_full_device;
  ChildResult r = run_scenario(L"print", Output::full());
  EXPECT_EQ(r.exit_status, 101u);
  EXPECT_EQ(r.out, "");
  PrintFailure failure = parse_print_failure(r.err);
  EXPECT_TRUE(ends_with(failure.error, " (os error 112)")) << escaped(r.err);
  EXPECT_GT(failure.error.size(), std::string(" (os error 112)").size())
      << escaped(r.err);
  EXPECT_EQ(failure.error.find("OS Error"), std::string::npos) << escaped(r.err);
  EXPECT_TRUE(ends_with(failure.position_file, "stdout.cpp")) << escaped(r.err);
}

TEST(StdoutProcess, FixedErrorsAreFatalPrintFailures) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"zero-direct", "failed to write whole buffer"},
      {L"zero-flush", "failed to write the buffered data"},
      {L"formatter-error", "formatter error"},
  };
  for (const auto& [scenario, message] : cases) {
    SCOPED_TRACE(message);
    ChildResult r = run_scenario(scenario);
    EXPECT_EQ(r.exit_status, 101u);
    EXPECT_EQ(r.out, "");
    PrintFailure failure = parse_print_failure(r.err);
    EXPECT_EQ(failure.error, message) << escaped(r.err);
    EXPECT_TRUE(ends_with(failure.position_file, "stdout.cpp")) << escaped(r.err);
  }
}

TEST(StdoutProcess, BufferThatCannotBeAllocatedEndsTheProcess) {
  ChildResult r = run_scenario(L"no-memory");
  EXPECT_EQ(r.exit_status, status_fail_fast) << hex_status(r.exit_status);
  EXPECT_EQ(r.err, "memory allocation of 1024 bytes failed\n");
  EXPECT_EQ(r.out, "");
}

TEST(StdoutProcess, ThreadsPrintingToARealPipeNeverInterleave) {
  ChildResult r = run_scenario(L"threads");
  EXPECT_EQ(r.exit_status, 0u);
  std::vector<int> next(8, 0);
  size_t start = 0;
  size_t lines = 0;
  while (start < r.out.size()) {
    const size_t end = r.out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated tail";
    const std::string line = r.out.substr(start, end - start);
    start = end + 1;
    int t = -1;
    int m = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d message %d", &t, &m), 2) << line;
    ASSERT_TRUE(t >= 0 && t < 8) << line;
    ASSERT_EQ(line, "thread " + std::to_string(t) + " message " +
                        std::to_string(next[t]) + " end");
    ++next[t];
    ++lines;
  }
  EXPECT_EQ(lines, 8u * 2000u);
}

}  // namespace
}  // namespace tavo::harness
