// Standard input over a scripted platform: handle lookup on every refill,
// what counts as end of input, the file read, and the console read with its
// Ctrl+Z, interrupted-read and split-surrogate rules.
#include "streams/stdin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "support/test_thread.h"

namespace tavo {
namespace {

using sys::Handle;

const Handle input_handle = reinterpret_cast<Handle>(uintptr_t{0x5150});

// An NT status that the fake maps back to a chosen Win32 code.
constexpr sys::NtStatus failure_status(uint32_t code) {
  return static_cast<sys::NtStatus>(0xE0000000u | code);
}

struct FileStep {
  std::string bytes;
  sys::NtStatus status = 0;  // STATUS_SUCCESS
};

struct ConsoleStep {
  std::u16string units;
  bool ok = true;
  uint32_t error_after = 0;  // what GetLastError gives after the call
};

struct ConsoleCall {
  uint32_t asked;
  uint32_t last_error_at_call;
  sys::ConsoleReadControl control;
};

class StdinPlatform final : public testing::FakePlatform {
 public:
  Handle handle = input_handle;
  uint32_t error_of_lookup = 0;  // GetLastError after an invalid handle
  bool console = false;
  std::deque<FileStep> file_steps;
  std::deque<ConsoleStep> console_steps;

  int lookups = 0;
  int live_lookups = 0;  // those that gave `input_handle`
  int console_checks = 0;
  std::vector<uint32_t> file_lengths;
  std::vector<ConsoleCall> console_calls;
  std::vector<std::pair<uint32_t, uint32_t>> conversions;  // code page, flags
  uint32_t last_error = 0;

  Handle get_std_handle(int32_t id) override {
    if (id != sys::std_input_handle) return FakePlatform::get_std_handle(id);
    ++lookups;
    if (handle == input_handle) ++live_lookups;
    if (handle == sys::invalid_handle_value()) last_error = error_of_lookup;
    return handle;
  }
  bool get_console_mode(Handle h, uint32_t* mode) override {
    if (h != input_handle) return FakePlatform::get_console_mode(h, mode);
    ++console_checks;
    if (!console) {
      last_error = sys::error_invalid_handle;
      return false;
    }
    *mode = 0x1F7;
    return true;
  }
  uint32_t get_last_error() override { return last_error; }
  void set_last_error(uint32_t code) override { last_error = code; }

  NtStatus nt_read_file(Handle h, sys::IoStatusBlock* block, void* bytes,
                        uint32_t length) override {
    EXPECT_EQ(h, input_handle);
    file_lengths.push_back(length);
    if (file_steps.empty()) return sys::status_end_of_file;
    FileStep step = std::move(file_steps.front());
    file_steps.pop_front();
    if (step.status != 0) return step.status;
    EXPECT_LE(step.bytes.size(), length);
    std::memcpy(bytes, step.bytes.data(), step.bytes.size());
    block->status = 0;
    block->information = step.bytes.size();
    return 0;
  }
  uint32_t rtl_nt_status_to_dos_error(NtStatus status) override {
    return static_cast<uint32_t>(status) & 0xFFFF;
  }

  bool read_console_w(Handle h, char16_t* units, uint32_t count, uint32_t* read,
                      sys::ConsoleReadControl* control) override {
    EXPECT_EQ(h, input_handle);
    console_calls.push_back({count, last_error, *control});
    // Whatever the call leaves behind, the next one must clear it first.
    last_error = 0xBAD;
    if (console_steps.empty()) {
      ADD_FAILURE() << "console read beyond the script";
      *read = 0;
      return true;
    }
    ConsoleStep step = std::move(console_steps.front());
    console_steps.pop_front();
    EXPECT_LE(step.units.size(), count);
    std::memcpy(units, step.units.data(), step.units.size() * sizeof(char16_t));
    *read = step.ok ? static_cast<uint32_t>(step.units.size()) : 0;
    last_error = step.error_after;
    return step.ok;
  }
  int wide_char_to_multi_byte(uint32_t cp, uint32_t flags, const char16_t* u, int n,
                              char* b, int capacity) override {
    conversions.emplace_back(cp, flags);
    return FakePlatform::wide_char_to_multi_byte(cp, flags, u, n, b, capacity);
  }
};

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
  void TearDown() override { EXPECT_EQ(fake.console_checks, fake.live_lookups); }

  StdinPlatform fake;
  testing::ScopedPlatform use{fake};
  StandardInput input;
  std::string text;
};

TEST_F(StdinTest, FileReadsTheWholeBufferAndLooksTheHandleUpEveryTime) {
  fake.file_steps = {{"42\nre"}, {"st\n"}};
  expect_line(input, text, "42\n", 3);
  expect_line(input, text, "42\nrest\n", 5);
  expect_line(input, text, "42\nrest\n", 0);
  EXPECT_EQ(fake.lookups, 3);
  EXPECT_EQ(fake.file_lengths, (std::vector<uint32_t>{12288, 12288, 12288}));
  EXPECT_TRUE(fake.console_calls.empty());
}

TEST_F(StdinTest, EndOfInputIsNotRemembered) {
  fake.file_steps = {{""}, {"late\n"}};
  expect_line(input, text, "", 0);
  expect_line(input, text, "late\n", 5);
}

TEST_F(StdinTest, EndOfInputOutcomesOfTheLookupAndTheFileRead) {
  struct Case {
    const char* name;
    Handle handle;
    uint32_t error_of_lookup;
    sys::NtStatus status;
  };
  const Case cases[] = {
      {"no handle", nullptr, 0, 0},
      {"invalid handle value, code 6", sys::invalid_handle_value(), 6, 0},
      {"end of file", input_handle, 0, sys::status_end_of_file},
      {"broken pipe", input_handle, 0, failure_status(109)},
      {"pipe closing", input_handle, 0, failure_status(232)},
      {"handle closed meanwhile", input_handle, 0, failure_status(6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandardInput fresh;
    fake.handle = c.handle;
    fake.error_of_lookup = c.error_of_lookup;
    fake.file_steps = {{"", c.status}};
    std::string kept = "kept";
    expect_line(fresh, kept, "kept", 0);
  }
}

TEST_F(StdinTest, OtherFailuresAreReturnedAndLeaveTheReaderUsable) {
  fake.handle = sys::invalid_handle_value();
  fake.error_of_lookup = 5;
  text = "t";
  expect_os_error(input, text, 5);
  EXPECT_TRUE(fake.file_lengths.empty());

  fake.handle = input_handle;
  fake.file_steps = {{"", failure_status(38)}, {"next\n"}};
  expect_os_error(input, text, 38);
  expect_line(input, text, "tnext\n", 5);
}

TEST_F(StdinTest, FailedReadAfterPartOfALineKeepsTheWellFormedPart) {
  fake.file_steps = {{"par"}, {"", failure_status(5)}};
  text = ">";
  IoResult<size_t> result = input.append_line(text);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().is_os_code(5));
  EXPECT_EQ(text, ">par");
}

TEST_F(StdinTest, CharacterAcrossAFullBufferIsJoined) {
  std::string first(input_buffer_size - 2, 'x');
  first += "\xF0\x9F";
  fake.file_steps = {{first}, {"\x98\x80\n"}};
  const std::string line = first + "\x98\x80\n";
  expect_line(input, text, line, line.size());
}

TEST_F(StdinTest, IllFormedLineOnAFileIsRefused) {
  fake.file_steps = {{"\xC0\x80\nok\n"}};
  text = "keep";
  expect_static_error(input, text, message_invalid_utf8);
  expect_line(input, text, "keepok\n", 3);
}

class ConsoleTest : public StdinTest {
 protected:
  ConsoleTest() { fake.console = true; }
};

TEST_F(ConsoleTest, ReadsUtf16AndConvertsWithTheReadControlRecord) {
  fake.console_steps = {{u"abcde\r\n"}};
  expect_line(input, text, "abcde\r\n", 7);
  ASSERT_EQ(fake.console_calls.size(), 1u);
  const ConsoleCall& call = fake.console_calls[0];
  EXPECT_EQ(call.asked, 4096u);
  EXPECT_EQ(call.last_error_at_call, 0u);
  EXPECT_EQ(call.control.length, 16u);
  EXPECT_EQ(call.control.initial_chars, 0u);
  EXPECT_EQ(call.control.ctrl_wakeup_mask, 0x04000000u);
  EXPECT_EQ(call.control.control_key_state, 0u);
  ASSERT_EQ(fake.conversions.size(), 1u);
  EXPECT_EQ(fake.conversions[0], std::make_pair(uint32_t{65001}, uint32_t{0x80}));
  EXPECT_TRUE(fake.file_lengths.empty());
}

TEST_F(ConsoleTest, InterruptedEmptyReadIsRepeated) {
  fake.console_steps = {{u"", true, 995}, {u"", true, 995}, {u"x"}, {u"\x1A"}};
  expect_line(input, text, "x", 1);
  ASSERT_EQ(fake.console_calls.size(), 4u);
  for (const ConsoleCall& call : fake.console_calls) {
    EXPECT_EQ(call.last_error_at_call, 0u);
  }
}

TEST_F(ConsoleTest, EmptyReadWithoutInterruptionIsEndOfInput) {
  fake.console_steps = {{u"", true, 0}};
  expect_line(input, text, "", 0);
}

TEST_F(ConsoleTest, CtrlZEndsTheInput) {
  // abc, then Ctrl+Z: no line feed yet, so the next read waits; a Ctrl+Z
  // typed then ends the input.
  fake.console_steps = {{u"abc\x1A"}, {u"\x1A"}};
  expect_line(input, text, "abc", 3);
  EXPECT_EQ(fake.console_calls.size(), 2u);
  // Ctrl+Z as the first key: end of input at once.
  fake.console_steps = {{u"\x1A"}};
  expect_line(input, text, "abc", 0);
  // A Ctrl+Z that does not end a read is a character like any other.
  fake.console_steps = {
      {u"a\x1A"
       u"b\r\n"}};
  expect_line(input, text,
              "abca\x1A"
              "b\r\n",
              5);
}

TEST_F(ConsoleTest, SurrogatePairSplitAcrossReadsArrivesAsOneCharacter) {
  fake.console_steps = {{u"a\xD83D"}, {u"\xDE00\r\n"}};
  expect_line(input, text, "a\xF0\x9F\x98\x80\r\n", 7);
  ASSERT_EQ(fake.console_calls.size(), 2u);
  EXPECT_EQ(fake.console_calls[1].asked, 4095u);  // the held half takes one unit
}

TEST_F(ConsoleTest, ReadOfOnlyAFirstHalfIsNotTheEndOfInput) {
  // One unit at a time, as a console outside line-input mode delivers.
  fake.console_steps = {{u"\xD83D"}, {u"\xDE00"}, {u"\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
  EXPECT_EQ(fake.console_calls.size(), 3u);
}

TEST_F(ConsoleTest, HeldHalfBeforeCtrlZIsKeptForTheNextRead) {
  fake.console_steps = {{u"\xD83D\x1A"}};
  expect_line(input, text, "", 0);
  fake.console_steps = {{u"\xDE00\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
}

TEST_F(ConsoleTest, UnpairedSurrogatesAreRefused) {
  for (const std::u16string& units :
       {std::u16string(u"\xDC00\r\n"), std::u16string(u"\xD83Dx\r\n")}) {
    StandardInput fresh;
    fake.console_steps = {{units}};
    text = "kept";
    expect_static_error(fresh, text, message_unpaired_surrogate);
  }
}

TEST_F(ConsoleTest, FailedReadGivesItsCodeAndCode6IsEndOfInput) {
  fake.console_steps = {{u"", false, 6}};
  expect_line(input, text, "", 0);
  // 995 repeats only a read that succeeded with nothing; as a failure it is
  // an error like any other.
  for (const uint32_t code : {5u, 995u}) {
    SCOPED_TRACE(code);
    fake.console_steps = {{u"", false, code}, {u"ok\n"}};
    expect_os_error(input, text, static_cast<int32_t>(code));
    text.clear();
    expect_line(input, text, "ok\n", 3);
  }
}

TEST_F(ConsoleTest, HeldHalfSurvivesAFailedRead) {
  fake.console_steps = {{u"\xD83D"}, {u"", false, 8}};
  expect_os_error(input, text, 8);
  fake.console_steps = {{u"\xDE00\n"}};
  expect_line(input, text, "\xF0\x9F\x98\x80\n", 5);
  EXPECT_EQ(fake.console_calls.back().asked, 4095u);
}

TEST_F(ConsoleTest, FullReadOfThreeByteCharactersFillsTheBufferExactly) {
  fake.console_steps = {{std::u16string(4096, u'\x20AC')}, {u"\n"}};
  std::string line;
  for (int i = 0; i < 4096; ++i) line += "\xE2\x82\xAC";
  line += "\n";
  expect_line(input, text, line, 12289);
}

TEST(StandardInputObject, OneObjectForEveryThread) {
  std::atomic<StandardInput*> seen[4] = {};
  std::vector<testing::TestThread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = &standard_input(); });
  }
  for (auto& t : threads) t.join();
  for (auto& slot : seen) EXPECT_EQ(slot.load(), &standard_input());
}

}  // namespace
}  // namespace tavo
