// The console-write rules with a recording chunk writer in place of the
// console: which pieces reach it, what is held, what is reported taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams/console_writer.h"
#include "streams/offer_until_taken.h"
#include "support/collecting_formatter.h"

namespace tavo {
namespace {

using testing::outcome;

struct RecordingConsole {
  std::vector<std::string> chunks;
  size_t limit = SIZE_MAX;  // most bytes taken per chunk

  IoResult<size_t> operator()(std::string_view text) {
    chunks.emplace_back(text);
    return std::min(limit, text.size());
  }
};

bool is_console_not_utf8(const IoError& error) {
  return error.word() == reinterpret_cast<uintptr_t>(&message_console_not_utf8);
}

// Feeds `bytes` through the console write until all are taken or it fails.
struct Feed {
  IoResult<void> result;
  size_t taken = 0;
};
Feed feed_all(std::string_view bytes, PendingUtf8& pending, RecordingConsole& console) {
  Feed feed;
  IoResult<void> result = offer_until_taken(bytes, [&](std::string_view rest) {
    IoResult<size_t> n = write_console(rest, pending, console);
    if (n.ok()) feed.taken += n.value();
    return n;
  });
  return {std::move(result), feed.taken};
}

TEST(ConsoleWriterTest, InvalidSequencesAtTheFrontAreRefused) {
  // Each of these begins with something that is no character (or is the
  // start of one that the same write already shows to be broken).
  const char* const cases[] = {
      "\x80",              // lone continuation byte
      "\xFF",              // never valid
      "\xC0\xAF",          // overlong
      "\xC3\x41",          // lead byte followed by "A"
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
  };
  for (const char* bytes : cases) {
    RecordingConsole console;
    PendingUtf8 pending;
    IoResult<size_t> result = write_console(bytes, pending, console);
    ASSERT_FALSE(result.ok()) << bytes;
    EXPECT_TRUE(is_console_not_utf8(result.error()));
    EXPECT_TRUE(console.chunks.empty());
    EXPECT_TRUE(pending.empty());
  }
}

TEST(ConsoleWriterTest, ValidPrefixIsWrittenBeforeTheError) {
  RecordingConsole console;
  PendingUtf8 pending;
  Feed feed = feed_all(
      "h\xC3\xA9llo\xE2\x82"
      "x",
      pending, console);
  ASSERT_FALSE(feed.result.ok());
  EXPECT_TRUE(is_console_not_utf8(feed.result.error()));
  EXPECT_EQ(console.chunks, (std::vector<std::string>{"h\xC3\xA9llo"}));
  EXPECT_EQ(feed.taken, 6u);
}

TEST(ConsoleWriterTest, WindowIsCutAtTheLastCompleteCharacter) {
  RecordingConsole console;
  PendingUtf8 pending;
  // 4094 ASCII bytes and a 4-byte character across the 4096-byte window.
  const std::string text = std::string(4094, 'a') + "\xF0\x9F\x98\x80" + "z";
  Feed feed = feed_all(text, pending, console);
  ASSERT_TRUE(feed.result.ok());
  ASSERT_EQ(console.chunks.size(), 2u);
  EXPECT_EQ(console.chunks[0], std::string(4094, 'a'));
  EXPECT_EQ(console.chunks[1], "\xF0\x9F\x98\x80z");
  for (const auto& chunk : console.chunks) EXPECT_LE(chunk.size(), console_chunk_bytes);
}

TEST(ConsoleWriterTest, WriteEndingInsideACharacterIsHeldOnlyIfItCanStillBeValid) {
  const struct {
    std::string bytes;
    bool held;
  } cases[] = {
      {"\xE2\x82", true},       // U+20AC cut short
      {"\xE0\xA0", true},       // U+0800 cut short
      {"\xF0\x90\x80", true},   // U+10000 cut short
      {"\xF4\x8F\xBF", true},   // U+10FFFF cut short
      {"\xE0\x80", false},      // overlong
      {"\xED\xA0", false},      // surrogate
      {"\xF0\x8F\xBF", false},  // overlong
      {"\xF4\x90", false},      // above U+10FFFF
      {"\xE2\x41", false},      // broken by a letter
      {"\xF0\x9F\x41", false},  // broken by a letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    RecordingConsole console;
    PendingUtf8 pending;
    Feed feed = feed_all(c.bytes, pending, console);
    EXPECT_TRUE(console.chunks.empty());
    if (c.held) {
      EXPECT_TRUE(feed.result.ok());
      EXPECT_EQ(pending.count, c.bytes.size());
    } else {
      ASSERT_FALSE(feed.result.ok());
      EXPECT_TRUE(is_console_not_utf8(feed.result.error()));
      EXPECT_EQ(feed.taken, 0u);
      EXPECT_TRUE(pending.empty());
    }
  }
}

TEST(ConsoleWriterTest, HeldCharacterFailsAtTheFirstByteThatBreaksIt) {
  // Written a byte at a time, so every byte after the lead arrives held; a
  // character that can no longer be valid must not stay held, or a write
  // ending there would succeed with the character never shown.
  constexpr size_t valid = std::string::npos;
  const struct {
    std::string bytes;
    size_t fails_at;
  } cases[] = {
      {"\xE2\x82\xAC", valid},      // U+20AC
      {"\xF0\x90\x80\x80", valid},  // U+10000
      {"\xE0\x80\x80", 1},          // overlong
      {"\xE0\x9F\xBF", 1},          // overlong
      {"\xED\xA0\x80", 1},          // surrogate
      {"\xF4\x90\x80\x80", 1},      // above U+10FFFF
      {"\xE2\x82\x41", 2},          // broken by a letter
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    RecordingConsole console;
    PendingUtf8 pending;
    size_t failed_at = valid;
    for (size_t i = 0; i < c.bytes.size(); ++i) {
      IoResult<size_t> result = write_console(c.bytes.substr(i, 1), pending, console);
      if (!result.ok()) {
        EXPECT_TRUE(is_console_not_utf8(result.error()));
        failed_at = i;
        break;
      }
      EXPECT_EQ(result.value(), 1u);
    }
    EXPECT_EQ(failed_at, c.fails_at);
    EXPECT_TRUE(pending.empty());
    if (c.fails_at == valid) {
      EXPECT_EQ(console.chunks, std::vector<std::string>{c.bytes});
    } else {
      EXPECT_TRUE(console.chunks.empty());
    }
  }
}

TEST(ConsoleWriterTest, CompletedCharacterRefusedByTheConsoleIsNotReportedTaken) {
  RecordingConsole console;
  PendingUtf8 pending;
  ASSERT_TRUE(write_console("\xC3", pending, console).ok());
  console.limit = 0;
  EXPECT_EQ(outcome(write_console("\xA9", pending, console)), "ok 0");
  EXPECT_TRUE(pending.empty());
}

TEST(ConsoleWriterTest, ConsoleErrorOnACompletedCharacterIsReturned) {
  PendingUtf8 pending;
  pending.bytes[0] = 0xC3;
  pending.count = 1;
  auto failing = [](std::string_view) -> IoResult<size_t> {
    return IoError::from_os_code(6);
  };
  EXPECT_EQ(outcome(write_console("\xA9", pending, failing)), "Uncategorized 6");
  EXPECT_TRUE(pending.empty());
}

TEST(ConsoleWriterTest, ChunkLengthStopsAtACharacterBoundary) {
  const struct {
    std::string tail;  // placed after 4094 ASCII bytes
    size_t expected;
  } cases[] = {
      {"ab", 4096},
      {"abc", 4096},
      {"\xC3\xA9\xC3\xA9", 4096},  // é ends exactly at 4096
      {"a\xC3\xA9", 4095},         // é straddles
      {"\xE2\x82\xAC", 4094},      // € straddles
      {"a\xE2\x82\xAC", 4095},     // € straddles
      {"\xF0\x9F\x98\x80", 4094},  // 4-byte straddles
      {"a\xF0\x9F\x98\x80", 4095},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(4094, 'x') + c.tail;
    EXPECT_EQ(console_chunk_length(text), c.expected) << ::testing::PrintToString(c.tail);
  }
  EXPECT_EQ(console_chunk_length("short"), 5u);
}

TEST(ConsoleWriterTest, UnitsCountAsTheBytesTheyCameFrom) {
  const struct {
    std::u16string units;
    size_t bytes;
  } cases[] = {
      {u"", 0},
      {u"a\u007F", 2},
      {u"\u0080\u07FF", 4},
      {u"\u0800\uFFFF", 6},
      {u"\U0001F600", 4},
      {std::u16string(1, char16_t{0xD83D}), 3},
      {std::u16string(1, char16_t{0xDC00}), 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_length_of_units(c.units), c.bytes);
  }
}

TEST(OfferUntilTakenTest, InterruptedIsRetriedAndOtherErrorsStop) {
  int calls = 0;
  std::string taken;
  IoResult<void> ok =
      offer_until_taken("abcdef", [&](std::string_view rest) -> IoResult<size_t> {
        ++calls;
        if (calls <= 3) return IoError::from_kind(IoErrorKind::Interrupted);
        taken.append(rest.substr(0, 2));
        return size_t{2};
      });
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(calls, 6);
  EXPECT_EQ(taken, "abcdef");

  calls = 0;
  IoResult<void> failed =
      offer_until_taken("abc", [&](std::string_view) -> IoResult<size_t> {
        ++calls;
        return IoError::from_kind(IoErrorKind::TimedOut);
      });
  EXPECT_EQ(outcome(failed), "TimedOut: timed out");
  EXPECT_EQ(calls, 1);

  IoResult<void> zero = offer_until_taken(
      "abc", [](std::string_view) -> IoResult<size_t> { return size_t{0}; });
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().word(),
            reinterpret_cast<uintptr_t>(&message_write_whole_buffer));

  calls = 0;
  IoResult<void> empty = offer_until_taken("", [&](std::string_view) -> IoResult<size_t> {
    ++calls;
    return size_t{1};
  });
  EXPECT_TRUE(empty.ok());
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace tavo
