// How the tests start guess.exe through the process harness: the program
// beside the test, the chosen standard handles, and no TAVO_BACKTRACE from
// the caller's environment, so that it cannot change a report.
#pragma once

#include <cstdint>
#include <utility>

#include "harness/process_harness.h"

namespace tavo::testing {

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
