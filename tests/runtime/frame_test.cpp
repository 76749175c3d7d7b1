// The process frame seen from outside: exit statuses, the exact fatal
// reports, stack traces and the abort lines of the scenario program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness/process_harness.h"
#include "support/program_copy.h"
#include "support/trace_text.h"

namespace tavo::harness {
namespace {

using testing::any_name_has;
using testing::frame_names;
using testing::has;

constexpr uint32_t fail_fast_status = 0xC0000409u;

const std::string& hint = testing::report_hint;
const std::string& trailer = testing::trace_trailer;

std::string line1(const std::string& thread, const std::string& message) {
  return "thread '" + thread + "' panicked at '" + message + "', scenario.cpp:7:3\n";
}

ChildSpec scenario(const wchar_t* name, std::optional<std::u16string> backtrace = {}) {
  ChildSpec launch;
  launch.program = sibling_program(L"frame_scenarios.exe");
  launch.args = {name};
  launch.env_changes = {{u"TAVO_BACKTRACE", std::move(backtrace)}};
  return launch;
}

ChildResult run(const ChildSpec& launch) {
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.setup_error, "");
  EXPECT_FALSE(r.timed_out);
  return r;
}

TEST(StartRoutine, NormalReturnFlushesAndGivesZero) {
  ChildResult r = run(scenario(L"normal"));
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_EQ(r.out, "pending");
  EXPECT_EQ(r.err, "");
}

TEST(FatalReport, FailureGivesExactLinesAndStatus101) {
  for (std::optional<std::u16string> value :
       {std::optional<std::u16string>(), std::optional<std::u16string>(u"0")}) {
    ChildResult r = run(scenario(L"fail", value));
    EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
    EXPECT_EQ(r.err, line1("main", "scenario failure") + hint) << escaped(r.err);
    // Held output reaches its handle after the report, at exit.
    EXPECT_EQ(r.out, "pending");
  }
}

TEST(FatalReport, ComposedMessageAndOddTextsAppearUnchanged) {
  ChildResult composed = run(scenario(L"fail-composed"));
  EXPECT_EQ(composed.exit_status, 101u);
  EXPECT_EQ(composed.err, line1("main", "composed 42 text") + hint)
      << escaped(composed.err);

  ChildResult odd = run(scenario(L"odd-texts"));
  EXPECT_EQ(odd.exit_status, 101u);
  EXPECT_EQ(odd.err,
            line1("it's \"odd\"\nname", "a 'quoted' \"text\"\nsecond line") + hint)
      << escaped(odd.err);
}

TEST(FatalReport, MessageIsComposedOnceForReportAndPayload) {
  for (std::optional<std::u16string> value :
       {std::optional<std::u16string>(), std::optional<std::u16string>(u"full")}) {
    ChildResult r = run(scenario(L"compose-once", value));
    EXPECT_EQ(r.exit_status, 101u);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), line1("main", "a counted message"));
    EXPECT_EQ(r.out, "composed 1 times\n");
  }
}

TEST(FatalReport, HintOnceAndUnnamedThread) {
  ChildResult r = run(scenario(L"two-failures"));
  EXPECT_EQ(r.exit_status, 101u);
  EXPECT_EQ(r.err,
            line1("<unnamed>", "first failure") + hint + line1("main", "second failure"))
      << escaped(r.err);
}

struct StyleCase {
  const char* label;
  std::u16string value;
  bool full;
};

void expect_trace(const ChildResult& r, bool full, const char* label) {
  SCOPED_TRACE(label);
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
  const std::string head = line1("main", "scenario failure") + "stack backtrace:\n";
  ASSERT_EQ(r.err.substr(0, head.size()), head) << escaped(r.err);
  EXPECT_FALSE(has(r.err, hint));
  std::string trace = r.err.substr(head.size());
  const bool has_trailer = trace.size() >= trailer.size() &&
                           trace.substr(trace.size() - trailer.size()) == trailer;
  EXPECT_EQ(has_trailer, !full) << escaped(r.err);
  std::vector<std::string> names = frame_names(trace);
  EXPECT_TRUE(any_name_has(names, "frame_scenario_inner")) << escaped(r.err);
  EXPECT_TRUE(any_name_has(names, "frame_scenario_outer")) << escaped(r.err);
  EXPECT_TRUE(any_name_has(names, "frame_scenario::fail")) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "run_main"), full) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "__tavo_begin_short_backtrace"), full) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "__tavo_end_short_backtrace"), full) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "write_stack_trace"), full) << escaped(r.err);
  if (!full) {
    // The first frame shown is where the failure was raised from.
    ASSERT_FALSE(names.empty());
    EXPECT_TRUE(has(names.front(), "raise_fatal")) << escaped(r.err);
    // The last one is the main routine: nothing of start-up.
    EXPECT_TRUE(has(names.back(), "frame_scenario::fail")) << escaped(r.err);
  } else {
    bool entry_point = false;
    for (const std::string& name : names) entry_point |= name == "main";
    EXPECT_TRUE(entry_point) << escaped(r.err);
  }
  // Frames with line information name our sources.
  EXPECT_TRUE(has(trace, "frame_scenarios.cpp:")) << escaped(r.err);
}

TEST(StackTrace, StyleFollowsTheVariableByteForByte) {
  const StyleCase cases[] = {
      {"full", u"full", true},
      {"1", u"1", false},
      {"empty", u"", false},
      {"FULL", u"FULL", false},
      {"yes", u"yes", false},
      {"leading space", u" full", false},
      {"full + space", u"full ", false},
  };
  for (const StyleCase& c : cases) {
    expect_trace(run(scenario(L"fail", c.value)), c.full, c.label);
  }
}

TEST(StackTrace, UnpairedSurrogateInTheEnvironmentGivesShortTrace) {
  ChildSpec launch = scenario(L"fail");
  launch.env_changes.clear();
  std::u16string block;
  block += u"SystemRoot=C:\\windows";
  block += u'\0';
  block += u"TAVO_BACKTRACE=";
  block += static_cast<char16_t>(0xD800);
  block += u"full";
  block += u'\0';
  launch.raw_environment = block;
  expect_trace(run(launch), false, "surrogate");
}

// The program told that its image is a copy of itself in a folder whose
// path is longer than MAX_PATH.
TEST(StackTrace, ProgramUnderALongPathStillNamesItsFrames) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / L"tavo-long-folder";
  testing::remove_tree(root.wstring());
  const std::filesystem::path copy = testing::copy_program(
      sibling_program(L"frame_scenarios.exe"), testing::long_folder(root));
  ASSERT_GT(copy.native().size(), 260u);
  ChildSpec launch = scenario(L"fail-long-module-path", u"1");
  launch.env_changes.emplace_back(
      u"TAVO_SCENARIO_IMAGE_COPY",
      std::u16string(copy.native().begin(), copy.native().end()));
  expect_trace(run(launch), false, "long path");
  testing::remove_tree(root.wstring());
}

TEST(StackTrace, ShortTraceVisitsExactly101Frames) {
  // The full trace of the same failure numbers every frame from 0. The short
  // one counts the raising frames before its window opens as well: it shows
  // the frames after the raise marker up to frame 100, and no further.
  const std::vector<std::string> all =
      frame_names(run(scenario(L"fail-deep", u"full")).err);
  size_t marker = 0;
  while (marker < all.size() && !has(all[marker], "__tavo_end_short_backtrace")) ++marker;
  ASSERT_GT(all.size(), 101u) << "the descent must reach past the window";
  ASSERT_LT(marker, 100u);
  ChildResult r = run(scenario(L"fail-deep", u"1"));
  EXPECT_EQ(r.exit_status, 101u);
  const std::vector<std::string> expected(all.begin() + static_cast<long>(marker) + 1,
                                          all.begin() + 101);
  EXPECT_EQ(frame_names(r.err), expected) << escaped(r.err);
  EXPECT_TRUE(has(expected.back(), "frame_scenario_descend"));
  EXPECT_TRUE(has(r.err, trailer));
}

TEST(StackTrace, SecondFailureWhileUnwindingGetsFullTrace) {
  ChildResult r = run(scenario(L"during-unwinding", u"0"));
  EXPECT_EQ(r.exit_status, fail_fast_status) << hex_status(r.exit_status);
  EXPECT_EQ(r.out, "");  // an abort: no exit clean-up
  const std::string first = line1("main", "scenario failure");
  const std::string expected_start = line1("main", "first failure") + hint +
                                     line1("main", "failure while unwinding") +
                                     "stack backtrace:\n";
  ASSERT_EQ(r.err.substr(0, expected_start.size()), expected_start) << escaped(r.err);
  std::string rest = r.err.substr(expected_start.size());
  // The full trace of the second failure, without the short trace's note.
  size_t next =
      rest.find("thread 'main' panicked at 'panic in a function that cannot unwind'");
  ASSERT_NE(next, std::string::npos) << escaped(r.err);
  std::string second_trace = rest.substr(0, next);
  EXPECT_FALSE(has(second_trace, trailer));
  EXPECT_TRUE(any_name_has(frame_names(second_trace), "RaisesWhenDropped"))
      << escaped(r.err);
  EXPECT_TRUE(any_name_has(frame_names(second_trace), "run_main")) << escaped(r.err);
  const std::string ending = "thread caused non-unwinding panic. aborting.\n";
  ASSERT_GE(r.err.size(), ending.size());
  EXPECT_EQ(r.err.substr(r.err.size() - ending.size()), ending);
}

TEST(Abort, FailureWhereNothingMayUnwindCannotUnwind) {
  // A failure raised by a static initialiser (before the start routine), by
  // a thread-local destructor, and one raised by the overflow handler on a
  // thread whose record is gone: each is reported and becomes the failure
  // that cannot unwind.
  struct Case {
    const wchar_t* scenario;
    bool early;
    std::string first;
  };
  const Case cases[] = {
      {L"normal", true, line1("<unnamed>", "raised by a static initialiser")},
      {L"thread-local-destructor", false,
       line1("<unnamed>", "raised by a thread-local destructor")},
      {L"overflow-without-record", false,
       "thread '<unnamed>' panicked at 'the thread's record is gone: its local storage "
       "has "
       "been torn down', "},
  };
  for (const auto& [name, early, first] : cases) {
    SCOPED_TRACE(first);
    ChildSpec launch = scenario(name, u"0");
    if (early) launch.env_changes.emplace_back(u"TAVO_SCENARIO_RAISE_EARLY", u"1");
    ChildResult r = run(launch);
    EXPECT_EQ(r.exit_status, fail_fast_status) << hex_status(r.exit_status);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.substr(0, first.size()), first) << escaped(r.err);
    const std::string next =
        hint +
        "thread '<unnamed>' panicked at 'panic in a function that cannot unwind', ";
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1, next.size()), next) << escaped(r.err);
    // Still the thread's second failure: a full trace, whatever the variable.
    EXPECT_TRUE(has(r.err, "stack backtrace:\n")) << escaped(r.err);
    const std::string ending = "thread caused non-unwinding panic. aborting.\n";
    ASSERT_GE(r.err.size(), ending.size());
    EXPECT_EQ(r.err.substr(r.err.size() - ending.size()), ending);
  }
}

struct AbortCase {
  const wchar_t* scenario;
  std::string expected_err;  // exact, or a pattern when `pattern` is set
  bool pattern;
};

TEST(Abort, EachRoadWritesItsLinesAndFailsFast) {
  const std::string hint_pattern =
      std::regex_replace(hint, std::regex(R"([`=])"), R"(\$&)");
  const AbortCase cases[] = {
      {L"non-unwinding",
       line1("main", "must not unwind") + hint +
           "thread caused non-unwinding panic. aborting.\n",
       false},
      {L"failing-release",
       line1("main", "released badly") + hint + line1("main", "payload release failed") +
           "fatal runtime error: drop of the panic payload panicked\n",
       false},
      {L"raise-while-reporting", "thread panicked while processing panic. aborting.\n",
       false},
      {L"startup-handler-fails",
       "thread '<unnamed>' panicked at 'failed to install exception handler', "
       "[^\n]*run_main\\.cpp:[0-9]+:[0-9]+\n" +
           hint_pattern + "fatal runtime error: initialization or cleanup bug\n",
       true},
      {L"startup-guarantee-fails",
       "thread '<unnamed>' panicked at 'failed to reserve stack space for exception "
       "handling', [^\n]*run_main\\.cpp:[0-9]+:[0-9]+\n" +
           hint_pattern + "fatal runtime error: initialization or cleanup bug\n",
       true},
      {L"exit-cleanup-fails",
       "thread 'main' panicked at 'Unexpected error in MultiByteToWideChar', "
       "[^\n]*console_chunk\\.cpp:[0-9]+:[0-9]+\n" +
           hint_pattern + "fatal runtime error: initialization or cleanup bug\n",
       true},
      {L"impossible-allocation", "memory allocation of 70368744177664 bytes failed\n",
       false},
  };
  for (const AbortCase& c : cases) {
    SCOPED_TRACE(escaped(std::u16string(c.scenario, c.scenario + wcslen(c.scenario))));
    ChildResult r = run(scenario(c.scenario));
    EXPECT_EQ(r.exit_status, fail_fast_status) << hex_status(r.exit_status);
    EXPECT_EQ(r.out, "");
    if (c.pattern) {
      EXPECT_TRUE(std::regex_match(r.err, std::regex(c.expected_err))) << escaped(r.err);
    } else {
      EXPECT_EQ(r.err, c.expected_err) << escaped(r.err);
    }
  }
}

TEST(StartRoutine, ThreadDescriptionAndOldSystems) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"startup-description", "described 'main' on this thread\n"},
      // The stand-in for a missing SetThreadDescription is called all the same.
      {L"startup-no-description", "last error 120\n"},
      {L"startup-old-system", "guarantee 20480, kernel32 lookups 1\n"},
  };
  for (const auto& [name, out] : cases) {
    SCOPED_TRACE(out);
    ChildResult r = run(scenario(name));
    EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, out);
  }
}

TEST(FatalReport, MissingStandardErrorShowsNothingAndKeeps101) {
  for (std::optional<std::u16string> value :
       {std::optional<std::u16string>(), std::optional<std::u16string>(u"1")}) {
    // Missing handles, and one on which every write fails.
    for (Output err : {Output::null(), Output::invalid(), Output::closed_pipe()}) {
      ChildSpec launch = scenario(L"fail", value);
      launch.err = err;
      ChildResult r = run(launch);
      EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
      EXPECT_EQ(r.out, "pending");
    }
  }
}

TEST(StackTrace, HundredFramesAreQuick) {
  // Not a timed test: the figure goes to the log.
  ChildSpec launch = scenario(L"fail-deep", u"full");
  auto start = std::chrono::steady_clock::now();
  ChildResult r = run(launch);
  auto elapsed = std::chrono::steady_clock::now() - start;
  ChildResult plain = run(scenario(L"fail-deep", u"0"));
  auto plain_elapsed = std::chrono::steady_clock::now() - start - elapsed;
  EXPECT_EQ(r.exit_status, 101u);
  size_t depth = 0;
  for (const std::string& name : frame_names(r.err))
    depth += has(name, "frame_scenario_descend");
  EXPECT_GE(depth, 98u) << escaped(r.err);
  std::printf(
      "run with a %zu-frame full trace: %lld ms; without a trace: %lld ms\n",
      frame_names(r.err).size(),
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(plain_elapsed).count()));
}

}  // namespace
}  // namespace tavo::harness
