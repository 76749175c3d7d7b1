// Standard input over a scripted standard input handle: handle lookup on every refill,
// what counts as end of input, the file read, and the console read with its
// Ctrl+Z, interrupted-read and split-surrogate rules.
#include "streams/stdin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/std_handles_fake.h"
#include "support/test_thread.h"

namespace tavo {
namespace {

using platform::Handle;
using testing::failure_status;

// Runs one append_line and checks the outcome.
void expect_line(StandardInput& input, std::string& text, const std::string& expected,
                 size_t count) {
  IoResult<size_t> result = input.append_line(text);
  ASSERT_TRUE(result.ok()) << "error kind " << debug_name(result.error().kind());
  EXPECT_EQ(result.value(), count);
  EXPECT_EQ(text, expected);
}

void expect_os_error(StandardInput& input, std::string& text, int32_t code) {
  const std::string before = text;
  IoResult<size_t> result = input.append_line(text);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().is_os_code(code))
      << "got kind " << debug_name(result.error().kind());
  EXPECT_EQ(text, before);
}

void expect_static_error(StandardInput& input, std::string& text,
                         const MessageRecord& record) {
  const std::string before = text;
  IoResult<size_t> result = input.append_line(text);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().word(), IoError::from_static(record).word());
  EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(text, before);
}

class StdinTest : public ::testing::Test {
 protected:
  // Every refill looks the handle up and asks once whether it is a console,
  // for a file or pipe as for a console: also the second and later refills
  // of one line.
  void TearDown() override { EXPECT_EQ(fake.in.console_checks, fake.in.lookups); }

  testing::StdHandlesFake fake;
  testing::ScopedPlatform use{fake};
  StandardInput input;
  std::string text;
};

TEST_F(StdinTest, FileReadsTheWholeBufferAndLooksTheHandleUpEveryTime) {
  fake.in.transfers = {{.data = "42\nre"}, {.data = "st\n"}};
  expect_line(input, text, "42\n", 3);
  expect_line(input, text, "42\nrest\n", 5);
  expect_line(input, text, "42\nrest\n", 0);
  EXPECT_EQ(fake.lookup_ids.size(), 3u);
  EXPECT_EQ(fake.in.read_lengths, (std::vector<uint32_t>{12288, 12288, 12288}));
  EXPECT_TRUE(fake.in.console_read_calls.empty());
}

TEST_F(StdinTest, EndOfInputIsNotRemembered) {
  fake.in.transfers = {{}, {.data = "late\n"}};
  expect_line(input, text, "", 0);
  expect_line(input, text, "late\n", 5);
}

TEST_F(StdinTest, EndOfInputOutcomesOfTheLookupAndTheFileRead) {
  struct Case {
    const char* name;
    Handle handle;
    uint32_t error_of_lookup;
    platform::NtStatus status;
  };
  const Case cases[] = {
      {"no handle", nullptr, 0, 0},
      {"invalid handle value, code 6", platform::invalid_handle_value(), 6, 0},
      {"end of file", fake.in.handle, 0, platform::status_end_of_file},
      {"broken pipe", fake.in.handle, 0, failure_status(109)},
      {"pipe closing", fake.in.handle, 0, failure_status(232)},
      {"handle closed meanwhile", fake.in.handle, 0, failure_status(6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandardInput fresh;
    fake.in.given = c.handle;
    fake.lookup_error = c.error_of_lookup;
    fake.in.transfers = {{.status = c.status}};
    std::string kept = "kept";
    expect_line(fresh, kept, "kept", 0);
  }
}

TEST_F(StdinTest, OtherFailuresAreReturnedAndLeaveTheReaderUsable) {
  fake.in.given = platform::invalid_handle_value();
  fake.lookup_error = 5;
  text = "t";
  expect_os_error(input, text, 5);
  EXPECT_TRUE(fake.in.read_lengths.empty());

  fake.in.given = fake.in.handle;
  fake.in.transfers = {{.status = failure_status(38)}, {.data = "next\n"}};
  expect_os_error(input, text, 38);
  expect_line(input, text, "tnext\n", 5);
}

TEST_F(StdinTest, FailedReadAfterPartOfALineKeepsTheWellFormedPart) {
  fake.in.transfers = {{.data = "par"}, {.status = failure_status(5)}};
  text = ">";
  IoResult<size_t> result = input.append_line(text);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().is_os_code(5));
  EXPECT_EQ(text, ">par");
}

TEST_F(StdinTest, CharacterAcrossAFullBufferIsJoined) {
  std::string first(input_buffer_size - 2, 'x');
  first += "\xF0\x9F";
  fake.in.transfers = {{.data = first}, {.data = "\x98\x80\n"}};
  const std::string line = first + "\x98\x80\n";
  expect_line(input, text, line, line.size());
}

TEST_F(StdinTest, IllFormedLineOnAFileIsRefused) {
  fake.in.transfers = {{.data = "\xC0\x80\nok\n"}};
  text = "keep";
  expect_static_error(input, text, message_invalid_utf8);
  expect_line(input, text, "keepok\n", 3);
}

class ConsoleTest : public StdinTest {
 protected:
  ConsoleTest() { fake.in.console = true; }
};

TEST_F(ConsoleTest, ReadsUtf16AndConvertsWithTheReadControlRecord) {
  fake.in.console_reads = {{u"abcde\r\n"}};
  expect_line(input, text, "abcde\r\n", 7);
  ASSERT_EQ(fake.in.console_read_calls.size(), 1u);
  const testing::ConsoleReadCall& call = fake.in.console_read_calls[0];
  EXPECT_EQ(call.asked, 4096u);
  EXPECT_EQ(call.last_error_at_call, 0u);
  EXPECT_EQ(call.control.length, 16u);
  EXPECT_EQ(call.control.initial_chars, 0u);
  EXPECT_EQ(call.control.ctrl_wakeup_mask, 0x04000000u);
  EXPECT_EQ(call.control.control_key_state, 0u);
  ASSERT_EQ(fake.conversions.size(), 1u);
  EXPECT_EQ(fake.conversions[0], std::make_pair(uint32_t{65001}, uint32_t{0x80}));
  EXPECT_TRUE(fake.in.read_lengths.empty());
}

TEST_F(ConsoleTest, InterruptedEmptyReadIsRepeated) {
  fake.in.console_reads = {{u"", true, 995}, {u"", true, 995}, {u"x"}, {u"\x1A"}};
  expect_line(input, text, "x", 1);
  ASSERT_EQ(fake.in.console_read_calls.size(), 4u);
  for (const testing::ConsoleReadCall& call : fake.in.console_read_calls) {
    EXPECT_EQ(call.last_error_at_call, 0u);
  }
}

TEST_F(ConsoleTest, EmptyReadWithoutInterruptionIsEndOfInput) {
  fake.in.console_reads = {{u"", true, 0}};
  expect_line(input, text, "", 0);
}

TEST_F(ConsoleTest, CtrlZEndsTheInput) {
  // abc, then Ctrl+Z: no line feed yet, so the next read waits; a Ctrl+Z
  // typed then ends the input.
  fake.in.console_reads = {{u"abc\x1A"}, {u"\x1A"}};
  expect_line(input, text, "abc", 3);
  EXPECT_EQ(fake.in.console_read_calls.size(), 2u);
  // Ctrl+Z as the first key: end of input at once.
  fake.in.console_reads = {{u"\x1A"}};
  expect_line(input, text, "abc", 0);
  // A Ctrl+Z that does not end a read is a character like any other.
  fake.in.console_reads = {
      {u"a\x1A"
       u"b\r\n"}};
  expect_line(input, text,
              "abca\x1A"
              "b\r\n",
              5);
}

TEST_F(ConsoleTest, SurrogatePairSplitAcrossReadsArrivesAsOneCharacter) {
  fake.in.console_reads = {{u"a\xD83D"}, {u"\xDE00\r\n"}};
  expect_line(input, text, "a\xF0\x9F\x98\x80\r\n", 7);
  ASSERT_EQ(fake.in.console_read_calls.size(), 2u);
  EXPECT_EQ(fake.in.console_read_calls[1].asked, 4095u);  // the held half takes one unit
}

TEST_F(ConsoleTest, ReadOfOnlyAFirstHalfIsNotTheEndOfInput) {
  // One unit at a time, as a console outside line-input mode delivers.
  fake.in.console_reads = {{u"\xD83D"}, {u"\xDE00"}, {u"\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
  EXPECT_EQ(fake.in.console_read_calls.size(), 3u);
}

TEST_F(ConsoleTest, HeldHalfBeforeCtrlZIsKeptForTheNextRead) {
  fake.in.console_reads = {{u"\xD83D\x1A"}};
  expect_line(input, text, "", 0);
  fake.in.console_reads = {{u"\xDE00\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
}

TEST_F(ConsoleTest, UnpairedSurrogatesAreRefused) {
  for (const std::u16string& units :
       {std::u16string(u"\xDC00\r\n"), std::u16string(u"\xD83Dx\r\n")}) {
    StandardInput fresh;
    fake.in.console_reads = {{units}};
    text = "kept";
    expect_static_error(fresh, text, message_unpaired_surrogate);
  }
}

TEST_F(ConsoleTest, FailedReadGivesItsCodeAndCode6IsEndOfInput) {
  fake.in.console_reads = {{u"", false, 6}};
  expect_line(input, text, "", 0);
  // 995 repeats only a read that succeeded with nothing; as a failure it is
  // an error like any other.
  for (const uint32_t code : {5u, 995u}) {
    SCOPED_TRACE(code);
    fake.in.console_reads = {{u"", false, code}, {u"ok\n"}};
    expect_os_error(input, text, static_cast<int32_t>(code));
    text.clear();
    expect_line(input, text, "ok\n", 3);
  }
}

TEST_F(ConsoleTest, HeldHalfSurvivesAFailedRead) {
  fake.in.console_reads = {{u"\xD83D"}, {u"", false, 8}};
  expect_os_error(input, text, 8);
  fake.in.console_reads = {{u"\xDE00\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
  EXPECT_EQ(fake.in.console_read_calls.back().asked, 4095u);
}

TEST_F(ConsoleTest, FullReadOfThreeByteCharactersFillsTheBufferExactly) {
  fake.in.console_reads = {{std::u16string(4096, u'\x20AC')}, {u"\n"}};
  std::string line;
  for (int i = 0; i < 4096; ++i) line += "\xE2\x82\xAC";
  line += "\n";
  expect_line(input, text, line, 12289);
}

TEST(StandardInputObject, OneObjectForEveryThread) {
  std::atomic<StandardInput*> seen[4] = {};
  std::vector<tavo::testing::TestThread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = &standard_input(); });
  }
  for (auto& t : threads) t.join();
  for (auto& slot : seen) EXPECT_EQ(slot.load(), &standard_input());
}

}  // namespace
}  // namespace tavo
