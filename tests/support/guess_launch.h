// How the tests start guess.exe through the process harness: the program
// beside the test, the chosen standard handles, and no TAVO_BACKTRACE from
// the caller's environment, so that it cannot change a report. And what the
// program writes, for the tests to compare with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "harness/process_harness.h"

namespace tavo::testing {

// Standard output before the program reads its line.
inline const std::string greeting = "Guess the numberl!\nPlease input your guess.\n";

// Standard output of a run that read `line`.
inline std::string dialogue(std::string_view line) {
  return greeting + "You guessed: " + std::string(line) + "\n";
}

// The first line of the report when standard input is not UTF-8.
inline const std::string invalid_input_report =
    "thread 'main' panicked at 'Failed to read line!: Error { kind: InvalidData, "
    "message: \"stream did not contain valid UTF-8\" }', main:11:10\n";

inline harness::ChildSpec guess_launch(harness::Input in,
                                       harness::Output out = harness::Output::pipe(),
                                       uint32_t timeout_ms = 30000) {
  harness::ChildSpec launch;
  launch.program = harness::sibling_program(L"guess.exe");
  launch.in = std::move(in);
  launch.out = out;
  launch.env_changes = {{u"TAVO_BACKTRACE", std::nullopt}};
  launch.timeout_ms = timeout_ms;
  return launch;
}

}  // namespace tavo::testing
