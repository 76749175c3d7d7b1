// Standard input of a whole process under the real system: pipes, files,
// devices, missing handles, a headless console with typed keys, and several
// threads sharing one pipe.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness/process_harness.h"
#include "support/hex.h"

namespace tavo::harness {
namespace {

using testing::hex;

ChildSpec probe(std::vector<std::wstring> args) {
  ChildSpec launch;
  launch.program = sibling_program(L"stdin_probe.exe");
  launch.args = std::move(args);
  launch.timeout_ms = 30000;
  return launch;
}

// The probe's report of one successful call.
std::string ok(const std::string& line) {
  return "ok " + std::to_string(line.size()) + " " + hex(line) + "\n";
}

ChildResult run_lines(Input in, int calls) {
  ChildSpec launch = probe({L"lines", std::to_wstring(calls)});
  launch.in = std::move(in);
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.setup_error, "");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0u) << hex_status(r.exit_status);
  return r;
}

TEST(StdinProcess, PipeLinesOneAtATime) {
  ChildResult r = run_lines(Input::bytes("42\nrest\n"), 3);
  EXPECT_EQ(r.out, ok("42\n") + ok("rest\n") + ok(""));
}

TEST(StdinProcess, LastLineWithoutLineFeed) {
  ChildResult r = run_lines(Input::bytes("abc"), 2);
  EXPECT_EQ(r.out, ok("abc") + ok(""));
}

TEST(StdinProcess, EveryKindOfEmptyInputIsEndOfInput) {
  struct Case {
    const char* name;
    Input in;
  };
  const Case cases[] = {
      {"no handle", Input::null()},     {"writer gone", Input::closed_pipe()},
      {"empty pipe", Input::bytes("")}, {"NUL device", Input::nul()},
      {"empty file", Input::file("")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildResult r = run_lines(c.in, 2);
    EXPECT_EQ(r.out, ok("") + ok(""));
  }
}

TEST(StdinProcess, FileReadToItsEnd) {
  ChildResult r = run_lines(Input::file("one\ntwo"), 3);
  EXPECT_EQ(r.out, ok("one\n") + ok("two") + ok(""));
}

TEST(StdinProcess, LongLineAcrossManyReads) {
  std::string line;
  for (int i = 0; i < 99999; ++i) line += static_cast<char>('a' + i % 26);
  line += '\n';
  ChildResult r = run_lines(Input::bytes(line + "after\n"), 2);
  EXPECT_EQ(r.out, ok(line) + ok("after\n"));
}

TEST(StdinProcess, IllFormedLineIsRefusedAndSkipped) {
  ChildResult r = run_lines(Input::bytes("a\xED\xA0\x80z\nnext\n"), 2);
  EXPECT_EQ(r.out,
            "err InvalidData - stream did not contain valid UTF-8\n" + ok("next\n"));
}

TEST(StdinProcess, MemoryThatCannotBeHadEndsTheProcessWithItsLine) {
  struct Case {
    const char* name;
    std::wstring refused;  // heap requests of this size or more fail
    std::string in;
    size_t least, most;  // the size of the request that failed
  };
  const Case cases[] = {
      {"input buffer", L"12288", "x\n", 12288, 12288},
      {"growing text", L"20000", std::string(20000, 'x') + "\n", 20001, SIZE_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = probe({L"no-memory", c.refused});
    launch.in = Input::bytes(c.in);
    ChildResult r = run_child(launch);
    EXPECT_EQ(r.exit_status, 0xC0000409u) << hex_status(r.exit_status);
    EXPECT_EQ(r.out, "");
    size_t size = 0;
    char end = 0;
    ASSERT_EQ(std::sscanf(r.err.c_str(), "memory allocation of %zu bytes failed%c", &size,
                          &end),
              2)
        << escaped(r.err);
    EXPECT_GE(size, c.least);
    EXPECT_LE(size, c.most);
    EXPECT_EQ(r.err, "memory allocation of " + std::to_string(size) + " bytes failed\n");
  }
}

TEST(StdinProcess, FourThreadsShareOnePipeLineByLine) {
  constexpr int count = 100000;
  std::string input;
  for (int i = 0; i < count; ++i) input += std::to_string(i) + "\n";
  ChildSpec launch = probe({L"threads", std::to_wstring(count)});
  launch.in = Input::bytes(input);
  launch.timeout_ms = 60000;
  ChildResult r = run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0u);
  // The report starts with the counts; any thread error follows on its own
  // line and would make the comparison fail.
  const std::string expected = "lines=100000 missing=0 duplicates=0 malformed=0 active=";
  ASSERT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
  const int active = std::stoi(r.out.substr(expected.size()));
  EXPECT_GE(active, 2) << "the threads did not take turns";
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
}

struct TypedCase {
  const char* name;
  std::vector<KeyEvent> keys;
  std::string expected;
};

TEST(StdinConsole, TypedLinesArriveAsUtf8) {
  std::vector<KeyEvent> ctrl_z_first = {ctrl_z()};
  std::vector<KeyEvent> abc_then_ctrl_z = typed(u"abc");
  abc_then_ctrl_z.push_back(ctrl_z());
  abc_then_ctrl_z.push_back(ctrl_z());
  const TypedCase cases[] = {
      {"ascii", typed(u"abcde\r"), ok("abcde\r\n")},
      {"accented", typed(u"caf\u00e9\r"), ok("caf\xC3\xA9\r\n")},
      {"three-byte", typed(u"\u20ac\u4e2d\r"), ok("\xE2\x82\xAC\xE4\xB8\xAD\r\n")},
      {"outside the BMP", typed(u"\U0001F600\r"), ok("\xF0\x9F\x98\x80\r\n")},
      {"Ctrl+Z first", ctrl_z_first, ok("")},
      {"abc, Ctrl+Z, Ctrl+Z", abc_then_ctrl_z, ok("abc")},
  };
  for (const TypedCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = probe({L"lines", L"1"});
    launch.in = Input::console();
    launch.keys = c.keys;
    ChildResult r = run_child(launch);
    ASSERT_EQ(r.setup_error, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0u);
    EXPECT_EQ(r.out, c.expected);
  }
}

TEST(StdinConsole, LoneLowSurrogateIsRefused) {
  ChildSpec launch = probe({L"lines", L"1"});
  launch.in = Input::console();
  std::u16string text = u"x";
  text += char16_t{0xDC00};
  text += u"\r";
  launch.keys = typed(text);
  ChildResult r = run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  EXPECT_EQ(r.out,
            "err InvalidData - Windows stdin in console mode does not support non-UTF-16 "
            "input; encountered unpaired surrogate\n");
}

}  // namespace
}  // namespace tavo::harness
