// Proves that the harness gives a child exactly the handles, environment and
// console asked for and reports its output and status faithfully.
#include "harness/process_harness.h"

#include <gtest/gtest.h>

#include "support/where_tests_run.h"

namespace tavo::harness {
namespace {

ChildSpec child(std::vector<std::wstring> args) {
  ChildSpec launch;
  launch.program = sibling_program(L"harness_child.exe");
  launch.args = std::move(args);
  launch.timeout_ms = 20000;
  return launch;
}

std::string all_bytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

TEST(Harness, PipeBytesArriveIntact) {
  // Every byte value, a NUL and a CR LF among them, and more than a pipe
  // buffer holds, so that the feeding and draining threads must work.
  std::string data;
  for (int i = 0; i < 1200; ++i) data += all_bytes();
  ChildSpec launch = child({L"echo"});
  launch.in = Input::bytes(data);
  ChildResult r = run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 0u);
  EXPECT_EQ(r.out.size(), data.size());
  EXPECT_TRUE(r.out == data) << "bytes differ";
  EXPECT_EQ(r.err, "end error 109\n");  // a closed writer reads as a broken pipe
}

TEST(Harness, LargeOutputOnBothStreamsDoesNotBlock) {
  ChildSpec launch = child({L"fill", L"300000", L"write-err", L"done"});
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.out.size(), 300000u);
  EXPECT_EQ(r.out.substr(0, 27), "abcdefghijklmnopqrstuvwxyza");
  EXPECT_EQ(r.err, "done");
  EXPECT_EQ(r.exit_status, 0u);
}

struct HandleCase {
  const char* name;
  Input in;
  Output out;
  Output err;
  const char* expected;
};

TEST(Harness, ChildSeesTheChosenHandleKinds) {
  // The report goes to standard output, so it is a pipe or a file there.
  const HandleCase cases[] = {
      {"null stdin", Input::null(), Output::pipe(), Output::null(),
       "in=null out=pipe err=null\n"},
      {"nul stdin", Input::nul(), Output::pipe(), Output::nul(),
       "in=char out=pipe err=char\n"},
      {"file stdin", Input::file("x"), Output::file(), Output::pipe(),
       "in=disk out=disk err=pipe\n"},
      {"pipes", Input::bytes("x"), Output::pipe(), Output::closed_pipe(),
       "in=pipe out=pipe err=pipe\n"},
      {"open pipe", Input::open_pipe(), Output::pipe(), Output::pipe(),
       "in=pipe out=pipe err=pipe\n"},
      {"closed pipe", Input::closed_pipe(), Output::pipe(), Output::pipe(),
       "in=pipe out=pipe err=pipe\n"},
  };
  for (const HandleCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = child({L"handles"});
    launch.in = c.in;
    launch.out = c.out;
    launch.err = c.err;
    ChildResult r = run_child(launch);
    EXPECT_EQ(r.setup_error, "");
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.exit_status, 0u);
  }
}

TEST(Harness, InvalidHandleValueIsPassedOn) {
  // Wine hands the child NULL, Windows the value itself; never a live handle.
  ChildSpec launch = child({L"handles"});
  launch.in = Input::invalid();
  launch.err = Output::invalid();
  ChildResult r = run_child(launch);
  const std::string seen = testing::system_facts().invalid_handle_in_child;
  EXPECT_EQ(r.out, "in=" + seen + " out=pipe err=" + seen + "\n");
}

TEST(Harness, InputFileAndEndsOfInput) {
  struct Case {
    const char* name;
    Input in;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"file", Input::file("line one\nline two"), "line one\nline two", "end of file\n"},
      {"nul", Input::nul(), "", "end of file\n"},
      {"closed pipe", Input::closed_pipe(), "", "end error 109\n"},
      {"null", Input::null(), "", "end error 6\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildSpec launch = child({L"echo"});
    launch.in = c.in;
    ChildResult r = run_child(launch);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Harness, OpenPipeStaysOpenUntilTheTimeout) {
  ChildSpec launch = child({L"echo"});
  launch.in = Input::open_pipe("partial");
  launch.timeout_ms = 1500;
  ChildResult r = run_child(launch);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.out, "partial");  // what it had written before it was killed
}

TEST(Harness, WriteFailuresOfOutputKinds) {
  struct Case {
    const char* name;
    Output out;
    const char* err;
  };
  const Case cases[] = {
      {"closed pipe", Output::closed_pipe(), "error 232\n"},
      {"null", Output::null(), "error 6\n"},
      {"nul", Output::nul(), "ok\n"},
      {"full", Output::full(), "error 112\n"},
  };
  const bool full_device = testing::system_facts().full_device != nullptr;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.out.kind == Output::Kind::full && !full_device) continue;  // skipped below
    ChildSpec launch = child({L"write", L"hello"});
    launch.out = c.out;
    ChildResult r = run_child(launch);
    EXPECT_EQ(r.setup_error, "");
    EXPECT_EQ(r.err, c.err);
  }
  if (!full_device) GTEST_SKIP() << testing::no_full_device;
}

TEST(Harness, ExitStatusArrivesWhole) {
  struct Case {
    std::vector<std::wstring> args;
    std::uint32_t status;
  };
  const Case cases[] = {
      {{L"exit", L"0"}, 0u},
      {{L"exit", L"65"}, 101u},
      {{L"exit", L"c0000005"}, 0xC0000005u},
      {{L"fail-fast"}, 0xC0000409u},
  };
  for (const Case& c : cases) {
    ChildResult r = run_child(child(c.args));
    EXPECT_EQ(hex_status(r.exit_status), hex_status(c.status));
    EXPECT_FALSE(r.timed_out);
  }
}

TEST(Harness, TimeoutKillsTheChildAndKeepsItsOutput) {
  ChildSpec launch = child({L"write", L"before", L"sleep", L"60000"});
  launch.timeout_ms = 1000;
  ChildResult r = run_child(launch);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.out, "before");
}

TEST(Harness, ArgumentsArriveUnchanged) {
  ChildSpec launch = child({L"write", L"a \"quoted\" arg\\\\ with\\ backslashes\\"});
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.out, "a \"quoted\" arg\\\\ with\\ backslashes\\");
}

TEST(Harness, EnvironmentChangesReachTheChild) {
  ChildSpec launch = child({L"env", L"TAVO_A", L"env", L"tavo_b", L"env", L"TAVO_C",
                            L"env", L"PATH", L"env", L"TAVO_GONE"});
  launch.env_changes = {{u"TAVO_A", u"x\u00e9"},
                        {u"TAVO_B", u""},
                        {u"TAVO_C", u"first"},
                        {u"tavo_c", std::nullopt},
                        {u"PATH", std::nullopt}};
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.out,
            "TAVO_A=0078 00e9\n"
            "tavo_b=\n"
            "TAVO_C unset\n"
            "PATH unset\n"
            "TAVO_GONE unset\n");
}

TEST(Harness, RawEnvironmentCarriesLoneSurrogates) {
  ChildSpec launch = child({L"env", L"TAVO_S", L"env", L"PATH"});
  std::u16string block = u"TAVO_S=a";
  block += char16_t{0xD800};
  block += u'b';
  block += u'\0';
  launch.raw_environment = block;
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.out, "TAVO_S=0061 d800 0062\nPATH unset\n");
}

TEST(Harness, TypedTextReachesReadConsoleAndTheScreen) {
  ChildSpec launch = child({L"console"});
  launch.in = Input::console();
  launch.err = Output::console();
  std::u16string text = u"ab \u00e9 \U0001F600";
  launch.keys = typed(text + u"\r");
  ChildResult r = run_child(launch);
  ASSERT_EQ(r.setup_error, "");
  EXPECT_EQ(r.exit_status, 0u);
  EXPECT_EQ(r.out, "0061 0062 0020 00e9 0020 d83d de00 000d 000a\n");
  const std::u16string shown = testing::as_on_screen(text);
  EXPECT_NE(r.screen.find(u"prompt> " + shown), std::u16string::npos)
      << escaped(r.screen);
  EXPECT_NE(r.screen.find(u"read: " + shown), std::u16string::npos) << escaped(r.screen);
}

TEST(Harness, ScreenCanBeReadBeforeTyping) {
  ChildSpec launch = child({L"console", L"handles"});
  launch.in = Input::console();
  launch.err = Output::console();
  ConsoleSession session(launch);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.wait_for_screen(u"prompt>"));
  EXPECT_EQ(session.screen(), u"prompt>");  // trailing space trimmed
  session.type(typed(u"x"));
  session.type({ctrl_z()});
  session.type({enter()});
  ChildResult r = session.wait();
  EXPECT_EQ(r.out, "0078 001a 000d 000a\nin=console out=pipe err=console\n");
  EXPECT_FALSE(r.timed_out);
}

TEST(Harness, ScreenOfAChildThatEndsAtOnceIsKept) {
  // The console outlives the child, and a NULL handle stays NULL beside
  // console handles.
  ChildSpec launch = child({L"handles", L"exit", L"2a"});
  launch.in = Input::null();
  launch.out = Output::console();
  ChildResult r = run_child(launch);
  EXPECT_EQ(r.screen, u"in=null out=console err=pipe");
  EXPECT_EQ(r.exit_status, 0x2Au);
}

}  // namespace
}  // namespace tavo::harness
