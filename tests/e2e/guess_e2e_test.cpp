// The guess program as a user or a parent process sees it: guess.exe started
// with every kind of standard input, output and error, its bytes on both
// streams compared exactly, and its full exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness/process_harness.h"
#include "support/guess_launch.h"
#include "support/program_copy.h"
#include "support/trace_text.h"
#include "support/where_tests_run.h"

namespace tavo::harness {
namespace {

using testing::any_name_has;
using testing::dialogue;
using testing::greeting;
using testing::has;
using testing::invalid_input_report;
using testing::report_hint;
using testing::trace_trailer;

ChildSpec guess(Input in) { return testing::guess_launch(std::move(in)); }

const std::string ill_formed = "4\xC3\x28\n";  // a lead byte without its continuation

ChildResult run(const ChildSpec& launch) {
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.setup_error, "");
  EXPECT_FALSE(r.timed_out);
  return r;
}

void expect_echo(const ChildResult& r, const std::string& line) {
  EXPECT_EQ(r.out, dialogue(line)) << escaped(r.out);
  EXPECT_EQ(r.err, "") << escaped(r.err);
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
}

void expect_read_failure(const ChildResult& r) {
  EXPECT_EQ(r.out, greeting) << escaped(r.out);
  EXPECT_EQ(r.err, invalid_input_report + report_hint) << escaped(r.err);
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
}

std::string long_line() {
  std::string line;
  for (int i = 0; i < 99999; ++i) line += static_cast<char>('a' + i % 26);
  return line + "\n";
}

// ---------------------------------------------------------------- pipes and files

struct EchoCase {
  const char* name;
  std::string input;
  std::string echoed;
};

const std::vector<EchoCase>& echo_cases() {
  static const std::vector<EchoCase> cases = {
      {"one line", "42\n", "42\n"},
      {"no line feed at the end", "abc", "abc"},
      {"carriage return kept", "42\r\n", "42\r\n"},
      {"only the first of several lines", "first\nsecond\nthird\n", "first\n"},
      {"an empty first line", "\nsecond\n", "\n"},
      {"a line far longer than the input buffer", long_line() + "next\n", long_line()},
      // The reader takes 12288 bytes at a time.
      {"a line filling the buffer exactly", std::string(12287, 'x') + "\nnext\n",
       std::string(12287, 'x') + "\n"},
      {"a character across the buffer's end", std::string(12287, 'x') + "\xC3\xA9\n",
       std::string(12287, 'x') + "\xC3\xA9\n"},
      {"non-ASCII text", "caf\xC3\xA9 \xF0\x9F\x98\x80\n",
       "caf\xC3\xA9 \xF0\x9F\x98\x80\n"},
      {"bad bytes after the first line are never read", "ok\n\xFF\xFE\n", "ok\n"},
  };
  return cases;
}

TEST(GuessPipe, EchoesTheFirstLineAsRead) {
  for (const EchoCase& c : echo_cases()) {
    SCOPED_TRACE(c.name);
    expect_echo(run(guess(Input::bytes(c.input))), c.echoed);
  }
}

TEST(GuessFile, BehavesLikeThePipe) {
  for (const EchoCase& c : echo_cases()) {
    SCOPED_TRACE(c.name);
    expect_echo(run(guess(Input::file(c.input))), c.echoed);
  }
}

TEST(GuessNoInput, EveryEmptyInputEchoesAnEmptyGuess) {
  struct Case {
    const char* name;
    Input in;
  };
  const Case cases[] = {
      {"empty pipe", Input::bytes("")},
      {"pipe whose writer is already closed", Input::closed_pipe()},
      {"NUL device", Input::nul()},
      {"no standard input handle", Input::null()},
      {"an invalid handle value", Input::invalid()},
      {"empty file", Input::file("")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_echo(run(guess(c.in)), "");
  }
}

TEST(GuessArguments, AreAcceptedAndIgnored) {
  ChildSpec launch = guess(Input::bytes("7\n"));
  launch.args = {L"--help", L"-", L"one two", L""};
  expect_echo(run(launch), "7\n");
}

// ---------------------------------------------------------------- invalid UTF-8

TEST(GuessInvalidInput, PipeAndFileGiveTheReportAndStatus101) {
  const std::string inputs[] = {
      ill_formed,
      "\xFF",                                  // at the end of input
      "abc\xED\xA0\x80\n",                     // an encoded surrogate
      "\xF0\x9F\x98\n",                        // cut short by the line feed
      std::string(12287, 'x') + "\xC3(\n",     // the bad pair across the buffer's end
      std::string(20000, 'x') + "\xC0\xAF\n",  // an overlong form far into the line
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(escaped(input));
    expect_read_failure(run(guess(Input::bytes(input))));
    expect_read_failure(run(guess(Input::file(input))));
  }
}

// A report with a trace: line 1, the header, the frames, then the trailer
// (short) or nothing (full); entries numbered from 0 in order.
void expect_trace(const ChildResult& r, bool full) {
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
  EXPECT_EQ(r.out, greeting) << escaped(r.out);
  const std::string head = invalid_input_report + "stack backtrace:\n";
  ASSERT_EQ(r.err.substr(0, head.size()), head) << escaped(r.err);
  std::string trace = r.err.substr(head.size());
  EXPECT_FALSE(has(trace, report_hint)) << escaped(r.err);
  if (full) {
    EXPECT_FALSE(has(trace, "note: ")) << escaped(r.err);
  } else {
    ASSERT_GE(trace.size(), trace_trailer.size()) << escaped(r.err);
    EXPECT_EQ(trace.substr(trace.size() - trace_trailer.size()), trace_trailer)
        << escaped(r.err);
    trace.resize(trace.size() - trace_trailer.size());
  }

  static const std::regex numbered(R"( *(\d+): .*)");
  std::vector<std::string> others;
  std::vector<std::string> names = testing::frame_names(trace, &others);
  EXPECT_TRUE(others.empty()) << "not a trace line: "
                              << escaped(others.empty() ? "" : others[0]);
  ASSERT_FALSE(names.empty()) << escaped(r.err);
  unsigned expected_number = 0;
  for (size_t start = 0; start < trace.size(); start = trace.find('\n', start) + 1) {
    std::string line = trace.substr(start, trace.find('\n', start) - start);
    std::smatch m;
    if (!std::regex_match(line, m, numbered)) continue;
    EXPECT_EQ(std::stoul(m[1]), expected_number) << line;
    ++expected_number;
  }

  // The dialogue's routine is always there; start-up only in the full trace.
  EXPECT_TRUE(any_name_has(names, "guess::main")) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "run_main"), full) << escaped(r.err);
  EXPECT_EQ(any_name_has(names, "__tavo_"), full) << escaped(r.err);
  if (!full) {
    // From the raise out to the dialogue's routine, nothing around it (the
    // process entry, named main, included).
    EXPECT_TRUE(has(names.front(), "raise_fatal")) << escaped(r.err);
    EXPECT_TRUE(has(names.back(), "guess::main")) << escaped(r.err);
    for (const std::string& name : names) EXPECT_NE(name, "main") << escaped(r.err);
  }
  // The dialogue's frame carries its place in our source.
  EXPECT_TRUE(has(trace, "main.cpp:")) << escaped(r.err);
}

TEST(GuessBacktrace, VariableChoosesTheReport) {
  struct Case {
    const char* name;
    std::optional<std::u16string> value;
    enum { off, short_trace, full_trace } style;
  };
  const Case cases[] = {
      {"unset", std::nullopt, Case::off},  {"0", u"0", Case::off},
      {"1", u"1", Case::short_trace},      {"empty", u"", Case::short_trace},
      {"yes", u"yes", Case::short_trace},  {"FULL", u"FULL", Case::short_trace},
      {"full", u"full", Case::full_trace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = guess(Input::bytes(ill_formed));
    launch.env_changes = {{u"TAVO_BACKTRACE", c.value}};
    ChildResult r = run(launch);
    if (c.style == Case::off)
      expect_read_failure(r);
    else
      expect_trace(r, c.style == Case::full_trace);
  }
}

// The program and its debug information copied into another folder and
// started from a third one: its own frames are still named. The folders: one
// whose name the ANSI code page cannot spell, one whose path is longer than
// the traditional limit of 260 characters, one whose name holds the symbol
// search path's separator.
TEST(GuessBacktrace, FramesAreNamedFromAnyFolder) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / L"tavo-odd-folder";
  const std::pair<const char*, fs::path> folders[] = {
      {"unspellable", root / L"Prog Files \u00e9 \u65e5\u672c"},
      {"long path", testing::long_folder(root)},
      {"separator", root / L"semi;colon"},
  };
  testing::remove_tree(root);
  fs::create_directories(root / L"elsewhere");
  const fs::path before = fs::current_path();
  fs::current_path(root / L"elsewhere");
  for (const auto& [label, folder] : folders) {
    SCOPED_TRACE(label);
    const fs::path copy = testing::copy_program(sibling_program(L"guess.exe"), folder);
    for (const bool full : {false, true}) {
      SCOPED_TRACE(full ? "full" : "short");
      ChildSpec launch = guess(Input::bytes(ill_formed));
      launch.program = copy.wstring();
      launch.env_changes = {{u"TAVO_BACKTRACE", full ? u"full" : u"1"}};
      const ChildResult r = run_child(launch);
      if (!r.setup_error.empty() && copy.native().size() >= MAX_PATH) {
        // Wine starts no program by a path this long (nor, reliably, by its
        // short form); there the frame test's long-path scenario stands in.
        std::printf("not run from the long folder: %s\n", r.setup_error.c_str());
        break;
      }
      EXPECT_EQ(r.setup_error, "");
      EXPECT_FALSE(r.timed_out);
      expect_trace(r, full);
      // Every frame out to the start routine is this program's own.
      for (const std::string& name : testing::frame_names(r.err)) {
        EXPECT_NE(name, "<unknown>") << escaped(r.err);
        if (has(name, "run_main")) break;
      }
    }
  }
  fs::current_path(before);
  testing::remove_tree(root);
}

// ---------------------------------------------------------------- console

TEST(GuessConsole, PromptIsOnScreenBeforeAnyKeyAndTheLineIsEchoed) {
  ChildSpec launch = guess(Input::console());
  launch.out = Output::console();
  ConsoleSession session(launch);
  ASSERT_TRUE(session.started()) << session.wait().setup_error;
  ASSERT_TRUE(session.wait_for_screen(u"Please input your guess."))
      << escaped(session.screen());
  EXPECT_EQ(session.screen(), u"Guess the numberl!\nPlease input your guess.");
  session.type(typed(u"42\r"));
  ChildResult r = session.wait();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_EQ(r.err, "") << escaped(r.err);
  // The typed line stays where it was typed; the echo's CR LF ends its row
  // and the final line feed leaves an empty row, trimmed from the screen.
  EXPECT_EQ(r.screen,
            u"Guess the numberl!\nPlease input your guess.\n42\nYou guessed: 42")
      << escaped(r.screen);
}

TEST(GuessConsole, NonAsciiIsShownAsTyped) {
  ChildSpec launch = guess(Input::console());
  launch.out = Output::console();
  ConsoleSession session(launch);
  ASSERT_TRUE(session.started()) << session.wait().setup_error;
  ASSERT_TRUE(session.wait_for_screen(u"Please input your guess."));
  session.type(typed(u"\u00e9t\u00e9 \u00c0 \U0001F600\r"));
  ChildResult r = session.wait();
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_TRUE(r.screen.ends_with(
      testing::as_on_screen(u"\nYou guessed: \u00e9t\u00e9 \u00c0 \U0001F600")))
      << escaped(r.screen);
}

// The echo's bytes, with the console as standard input and a pipe as
// standard output.
TEST(GuessConsole, TypedLinesArriveWithTheirCarriageReturn) {
  struct Case {
    const char* name;
    std::vector<KeyEvent> keys;
    std::string echoed;
  };
  const Case cases[] = {
      {"42 Enter", typed(u"42\r"), "42\r\n"},
      {"accented letters", typed(u"\u00e9t\u00e9 \u00c0\u00ef\r"),
       "\xC3\xA9t\xC3\xA9 \xC3\x80\xC3\xAF\r\n"},
      {"outside the BMP", typed(u"\U0001F600x\r"), "\xF0\x9F\x98\x80x\r\n"},
      {"Ctrl+Z first", {ctrl_z()}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = guess(Input::console());
    launch.keys = c.keys;
    expect_echo(run(launch), c.echoed);
  }
}

TEST(GuessConsole, LoneSurrogateGivesTheReportAndStatus101) {
  ChildSpec launch = guess(Input::console());
  std::u16string text = u"4";
  text += char16_t{0xDC00};
  text += u"2\r";
  launch.keys = typed(text);
  ChildResult r = run(launch);
  EXPECT_EQ(r.out, greeting) << escaped(r.out);
  EXPECT_EQ(r.err,
            "thread 'main' panicked at 'Failed to read line!: Error { kind: InvalidData, "
            "message: \"Windows stdin in console mode does not support non-UTF-16 input; "
            "encountered unpaired surrogate\" }', main:11:10\n" +
                report_hint)
      << escaped(r.err);
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
}

// ---------------------------------------------------------------- standard output

TEST(GuessStdout, MissingHandleIsSilentSuccessAndTheLineIsStillRead) {
  // The reader stops at the line feed although the writer stays open...
  ChildSpec launch = guess(Input::open_pipe("42\n"));
  launch.out = Output::null();
  ChildResult r = run(launch);
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "") << escaped(r.err);

  // ... checks what it read ...
  launch.in = Input::open_pipe(ill_formed);
  r = run(launch);
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
  EXPECT_EQ(r.err, invalid_input_report + report_hint) << escaped(r.err);

  // ... and waits for the rest of a line that has not ended yet.
  launch.in = Input::open_pipe("42");
  launch.timeout_ms = 2000;
  r = run_child(launch);
  EXPECT_EQ(r.setup_error, "");
  EXPECT_TRUE(r.timed_out) << "ended without waiting for the line: "
                           << hex_status(r.exit_status);
}

TEST(GuessStdout, InvalidHandleValueIsSilentSuccessToo) {
  ChildSpec launch = guess(Input::bytes("42\n"));
  launch.out = Output::invalid();
  ChildResult r = run(launch);
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  EXPECT_EQ(r.err, "") << escaped(r.err);
}

TEST(GuessStdout, FullDeviceGivesThePrintFailure) {
  if (!testing::system_facts().full_device) GTEST_SKIP() << testing::no_full_device;
  ChildSpec launch = guess(Input::bytes("42\n"));
  launch.out = Output::full();
  ChildResult r = run(launch);
  EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
  const std::string failure = "thread 'main' panicked at 'failed printing to stdout: " +
                              testing::system_message(112) + " (os error 112)', ";
  static const std::regex position("[^\\n]+:[0-9]+:[0-9]+\\n");
  const std::string first = r.err.substr(0, r.err.find('\n') + 1);
  ASSERT_TRUE(first.starts_with(failure)) << escaped(r.err);
  EXPECT_TRUE(std::regex_match(first.substr(failure.size()), position)) << escaped(r.err);
  EXPECT_EQ(r.err.substr(first.size()), report_hint) << escaped(r.err);
}

TEST(GuessStdout, FileGetsTheWholeDialogue) {
  ChildSpec launch = guess(Input::bytes("42\n"));
  launch.out = Output::file();
  expect_echo(run(launch), "42\n");
}

// ---------------------------------------------------------------- standard error

TEST(GuessStderr, MissingHandleHidesTheReportButNotTheStatus) {
  for (Output err : {Output::null(), Output::invalid()}) {
    SCOPED_TRACE(err.kind == Output::Kind::null ? "NULL" : "invalid handle value");
    ChildSpec launch = guess(Input::bytes(ill_formed));
    launch.err = err;
    ChildResult r = run(launch);
    EXPECT_EQ(r.exit_status, 101u) << hex_status(r.exit_status);
    EXPECT_EQ(r.out, greeting) << escaped(r.out);
    EXPECT_EQ(r.err, "");
  }
}

// ---------------------------------------------------------------- another parent

TEST(GuessUnderCmd, EchoPipedByTheCommandInterpreter) {
  const char* comspec = std::getenv("ComSpec");
  ASSERT_NE(comspec, nullptr);
  const std::string interpreter = comspec;
  const std::wstring program = sibling_program(L"guess.exe");
  // A path with a space would need quotes of cmd's own inside the command.
  ASSERT_EQ(program.find(L' '), std::wstring::npos);
  struct Case {
    std::wstring command;
    std::string echoed;
  };
  // echo writes everything up to the bar, then CR LF; guess.exe keeps both.
  const Case cases[] = {
      {L"echo 42| " + program, "42\r\n"},
      {L"echo 42 | " + program, "42 \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(escaped(std::u16string(c.command.begin(), c.command.end())));
    ChildSpec launch;
    launch.program = std::wstring(interpreter.begin(), interpreter.end());
    launch.args = {L"/c", c.command};
    // Under Wine, a console program started by a parent without a console
    // gets a new one, which cannot be made without a display: it then never
    // runs, and cmd still ends with 0. The harness's headless console as
    // cmd's (unused) standard input gives cmd a console that its children
    // share; standard output and error stay pipes.
    launch.in = Input::console();
    launch.env_changes = {{u"TAVO_BACKTRACE", std::nullopt}};
    launch.timeout_ms = 30000;
    expect_echo(run(launch), c.echoed);
  }
}

}  // namespace
}  // namespace tavo::harness
