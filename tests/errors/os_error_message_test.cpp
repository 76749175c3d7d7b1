// The system message text of an error code: the lookup's arguments, its two
// fallbacks, the conversion and the trimming, over a scripted platform; and
// the same against Wine's real message table.
#include "errors/os_error_message.h"

#include <gtest/gtest.h>

#include <string>

#include "errors/io_error.h"
#include "message_platform.h"
#include "support/collecting_sink.h"
#include "support/where_tests_run.h"

namespace tavo {
namespace {

using testing::fake_ntdll;
using testing::MessagePlatform;
using testing::ScopedPlatform;
using Call = MessagePlatform::Call;

constexpr uint32_t from_system_ignore_inserts = 0x1200;
constexpr uint32_t from_hmodule_too = 0x1A00;

TEST(OsErrorMessageTest, AsksTheSystemTableInTheDefaultLanguage) {
  MessagePlatform fake;
  fake.text = u"File not found.\r\n";
  ScopedPlatform use(fake);
  EXPECT_EQ(os_error_message(2), "File not found.");
  EXPECT_EQ(fake.format_calls, 1);
  EXPECT_EQ(fake.flags, from_system_ignore_inserts);
  EXPECT_EQ(fake.source, nullptr);
  EXPECT_EQ(fake.message_id, 2u);
  EXPECT_EQ(fake.language, 0x0800u);
  EXPECT_EQ(fake.size, 2048u);
  EXPECT_TRUE(fake.buffer_was_zeroed);
  // No module lookup without the NTSTATUS bit.
  EXPECT_EQ(fake.call_count, 1u);
}

TEST(OsErrorMessageTest, NtStatusBitLooksInLoadedNtdllWithoutTheBit) {
  MessagePlatform fake;
  fake.text = u"{Access Denied}\r\n";
  fake.ntdll = fake_ntdll();
  ScopedPlatform use(fake);
  // 0xD0000022: bit 28 set on top of the NTSTATUS 0xC0000022.
  EXPECT_EQ(os_error_message(static_cast<int32_t>(0xD0000022u)), "{Access Denied}");
  EXPECT_EQ(fake.module_name, u"NTDLL.DLL");
  EXPECT_EQ(fake.flags, from_hmodule_too);
  EXPECT_EQ(fake.source, fake_ntdll());
  EXPECT_EQ(fake.message_id, 0xC0000022u);
  EXPECT_EQ(fake.language, 0x0800u);
}

TEST(OsErrorMessageTest, NtStatusBitWithoutNtdllKeepsCodeAndFlags) {
  MessagePlatform fake;
  fake.text = u"x";
  ScopedPlatform use(fake);
  EXPECT_EQ(os_error_message(0x10000005), "x");
  EXPECT_EQ(fake.module_name, u"NTDLL.DLL");
  EXPECT_EQ(fake.flags, from_system_ignore_inserts);
  EXPECT_EQ(fake.source, nullptr);
  EXPECT_EQ(fake.message_id, 0x10000005u);
}

TEST(OsErrorMessageTest, FailedLookupNamesTheCodeAndTheLastError) {
  struct Case {
    int32_t code;
    bool ntdll;
    uint32_t last_error;
    std::string expected;
  };
  const Case cases[] = {
      {5, false, 1813, "OS Error 5 (FormatMessageW() returned error 1813)"},
      {-1, false, 317, "OS Error -1 (FormatMessageW() returned error 317)"},
      {INT32_MIN, false, 0xFFFFFFFFu,
       "OS Error -2147483648 (FormatMessageW() returned error -1)"},
      // The code shown is the one the lookup used, bit 28 cleared.
      {0x10000002, true, 1813, "OS Error 2 (FormatMessageW() returned error 1813)"},
      {0x10000002, false, 1813,
       "OS Error 268435458 (FormatMessageW() returned error 1813)"},
      {static_cast<int32_t>(0xD0000022u), true, 15100,
       "OS Error -1073741790 (FormatMessageW() returned error 15100)"},
  };
  for (const Case& c : cases) {
    MessagePlatform fake;
    fake.fail = true;
    fake.last_error = c.last_error;
    fake.ntdll = c.ntdll ? fake_ntdll() : nullptr;
    fake.text = u"ignored";
    ScopedPlatform use(fake);
    EXPECT_EQ(os_error_message(c.code), c.expected) << c.code;
    // The last error is read right after the failed call, nothing between.
    ASSERT_GE(fake.call_count, 2u);
    EXPECT_EQ(fake.calls[fake.call_count - 2], Call::format_message);
    EXPECT_EQ(fake.calls[fake.call_count - 1], Call::get_last_error);
  }
}

TEST(OsErrorMessageTest, TextThatIsNotUtf16GivesTheFallback) {
  const std::u16string invalid[] = {
      u"abc\xD800",  // high surrogate at the end
      u"\xDC00"
      u"abc",  // low surrogate first
      u"a\xD83D"
      u"b",                 // high surrogate followed by a letter
      u"\xDE00\xD83D",      // a pair in the wrong order
      u"ok\r\n\xD800\r\n",  // trailing white space does not hide it
  };
  for (const std::u16string& text : invalid) {
    MessagePlatform fake;
    fake.text = text;
    fake.ntdll = fake_ntdll();
    ScopedPlatform use(fake);
    EXPECT_EQ(os_error_message(77),
              "OS Error 77 (FormatMessageW() returned invalid UTF-16)");
    EXPECT_EQ(os_error_message(0x1000004D),
              "OS Error 77 (FormatMessageW() returned invalid UTF-16)");
  }
}

TEST(OsErrorMessageTest, ConvertsExactlyTheUnitsReported) {
  MessagePlatform fake;
  ScopedPlatform use(fake);
  fake.text = u"\u00E9t\u00E9 \U0001F600 \u65E5\r\n";
  EXPECT_EQ(os_error_message(1), "\u00E9t\u00E9 \U0001F600 \u65E5");
  // Units past the reported count are not part of the text, even invalid ones.
  fake.text = u"short\xD800";
  fake.use_claimed = true;
  fake.claimed = 5;
  EXPECT_EQ(os_error_message(1), "short");
}

TEST(OsErrorMessageTest, FullBufferIsKeptAndOverlongCountIsCapped) {
  MessagePlatform fake;
  ScopedPlatform use(fake);
  fake.text = std::u16string(2047, u'x') + u"y";
  EXPECT_EQ(os_error_message(1), std::string(2047, 'x') + "y");
  // A count beyond the buffer (no real system returns one) reads no further.
  fake.text = std::u16string(3000, u'z');
  fake.use_claimed = true;
  fake.claimed = 3000;
  EXPECT_EQ(os_error_message(1), std::string(2048, 'z'));
}

TEST(OsErrorMessageTest, RemovesExactlyTheTrailingWhiteSpace) {
  const char16_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,
                            0x85,   0xA0,   0x1680, 0x2000, 0x2005, 0x200A,
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  // Look like space or are format characters, but are not white space here.
  const char16_t kept[] = {0x08, 0x0E, 0x1F, 0x180E, 0x200B, 0x200D, 0x2060, 0xFEFF};
  MessagePlatform fake;
  ScopedPlatform use(fake);
  for (char16_t c : white) {
    fake.text = std::u16string(u" a") + c + u"b" + c + c;
    std::string inner = os_error_message(1);
    std::u16string expected16 = std::u16string(u" a") + c + u"b";
    fake.text = expected16;
    EXPECT_EQ(inner, os_error_message(1)) << std::hex << int(c);
  }
  for (char16_t c : kept) {
    fake.text = std::u16string(u"a") + c;
    std::string text = os_error_message(1);
    EXPECT_GT(text.size(), 1u) << std::hex << int(c);
  }
  fake.text = u" \t\u3000\r\n\u2028";
  EXPECT_EQ(os_error_message(1), "");
  fake.text = u"\r\n  inner \r\n text";
  EXPECT_EQ(os_error_message(1), "\r\n  inner \r\n text");
}

TEST(OsErrorMessageTest, FreesEveryTextItMade) {
  MessagePlatform fake;
  fake.reserve();
  fake.text = std::u16string(600, u'\u65E5') + u"\r\n";
  ScopedPlatform use(fake);
  {
    testing::AllocationWindow window(fake);
    {
      std::string text = os_error_message(3);
      EXPECT_EQ(text.size(), 1800u);
    }
    EXPECT_GT(window.allocations(), 0u);
    EXPECT_EQ(window.allocations(), window.frees());
  }
  fake.fail = true;
  {
    testing::AllocationWindow window(fake);
    { std::string text = os_error_message(3); }
    EXPECT_EQ(window.allocations(), window.frees());
  }
  fake.fail = false;
  fake.text = u"\xD800";
  {
    testing::AllocationWindow window(fake);
    { std::string text = os_error_message(3); }
    EXPECT_EQ(window.allocations(), window.frees());
  }
}

// Against Wine's own message table and loader.
TEST(OsErrorMessageWineTest, FileNotFound) {
  IoError error = IoError::from_os_code(2);
  EXPECT_EQ(error.kind(), IoErrorKind::NotFound);
  std::string message = os_error_message(2);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message.find("OS Error"), std::string::npos) << message;
  EXPECT_NE(message.back(), '\n');
  EXPECT_NE(message.back(), '\r');
  EXPECT_NE(message.back(), ' ');
  std::string display = testing::display_text(error);
  EXPECT_EQ(display, message + " (os error 2)");
  std::string debug = testing::debug_text(error);
  EXPECT_EQ(debug.rfind("Os { code: 2, kind: NotFound, message: \"", 0), 0u) << debug;
  EXPECT_EQ(debug.substr(debug.size() - 3), "\" }");
}

TEST(OsErrorMessageWineTest, InvalidHandleIsUncategorized) {
  IoError error = IoError::from_os_code(6);
  EXPECT_EQ(error.kind(), IoErrorKind::Uncategorized);
  std::string debug = testing::debug_text(error);
  EXPECT_EQ(debug.rfind("Os { code: 6, kind: Uncategorized, message: \"", 0), 0u)
      << debug;
  EXPECT_EQ(debug.find("\\r\\n"), std::string::npos) << debug;
}

// Forwards the lookup to the real platform and notes how it was made.
class LookupRecorder final : public testing::FakePlatform {
 public:
  uint32_t flags = 0;
  Module source = nullptr;
  uint32_t message_id = 0;

  uint32_t format_message_w(uint32_t f, Module m, uint32_t id, uint32_t lang,
                            char16_t* buffer, uint32_t size) override {
    flags = f;
    source = m;
    message_id = id;
    return FakePlatform::format_message_w(f, m, id, lang, buffer, size);
  }
};

TEST(OsErrorMessageWineTest, NtStatusBitGoesToNtdll) {
  // Windows' ntdll has a text for the NTSTATUS; Wine's carries no message
  // table. The lookup also names the system table, which is searched next: a
  // cleared code that is a system error finds its text there, any other
  // fails (with 317, ERROR_MR_MID_NOT_FOUND, on the Wine versions seen so far).
  LookupRecorder recorder;
  ScopedPlatform use(recorder);

  // 0xD0000022: STATUS_ACCESS_DENIED with bit 28 set.
  const int32_t code = static_cast<int32_t>(0xD0000022u);
  std::string message = os_error_message(code);
  EXPECT_EQ(recorder.flags, from_hmodule_too);
  EXPECT_NE(recorder.source, nullptr);
  EXPECT_EQ(recorder.message_id, 0xC0000022u);
  if (testing::system_facts().ntdll_has_status_texts) {
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.find("OS Error"), std::string::npos) << message;
  } else {
    const std::string prefix = "OS Error -1073741790 (FormatMessageW() returned error ";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    std::string error = message.substr(prefix.size());
    ASSERT_GE(error.size(), 2u);
    EXPECT_EQ(error.back(), ')');
    error.pop_back();
    EXPECT_EQ(error.find_first_not_of("0123456789"), std::string::npos) << message;
    EXPECT_NE(error, "0");
  }

  IoError value = IoError::from_os_code(code);
  EXPECT_EQ(testing::display_text(value), message + " (os error -805306334)");
  EXPECT_EQ(testing::debug_text(value),
            "Os { code: -805306334, kind: Uncategorized, message: \"" + message + "\" }");

  // 0x10000002: without the bit it is "file not found", which the system
  // table knows.
  IoError bit_on_two = IoError::from_os_code(0x10000002);
  EXPECT_EQ(bit_on_two.kind(), IoErrorKind::Uncategorized);
  std::string display = testing::display_text(bit_on_two);
  EXPECT_EQ(recorder.flags, from_hmodule_too);
  EXPECT_EQ(recorder.message_id, 2u);
  EXPECT_EQ(display, os_error_message(2) + " (os error 268435458)");
}

TEST(OsErrorMessageWineTest, LastOsErrorTakesTheThreadsLastError) {
  platform::current().set_last_error(5);
  IoError denied = IoError::last_os_error();
  EXPECT_EQ(denied.raw_os_error(), 5);
  EXPECT_EQ(denied.kind(), IoErrorKind::PermissionDenied);
  platform::current().set_last_error(0x80070005u);
  IoError negative = IoError::last_os_error();
  EXPECT_EQ(negative.raw_os_error(), static_cast<int32_t>(0x80070005u));
  EXPECT_EQ(negative.kind(), IoErrorKind::Uncategorized);
}

}  // namespace
}  // namespace tavo
