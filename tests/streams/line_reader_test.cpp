// Line assembly over a scripted source: line cutting across refills, the
// UTF-8 admission of exactly the appended bytes, and error precedence.
#include "streams/line_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "errors/io_error.h"
#include "streams/console_input.h"
#include "text/utf8.h"

namespace tavo {
namespace {

size_t byte_by_byte(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n') return i;
  }
  return s.size();
}

TEST(FindLineFeed, AgreesWithByteByByteSearch) {
  // Bytes near 0x0A in value or bit pattern are where a word-wise test slips.
  const char alphabet[] = {'a', '\x0B', '\x09', '\x8A', '\x0A', '\x00', '\xFF', '\x1A'};
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    const size_t length = random() % 80;
    std::string s(length, 'x');
    for (char& c : s) {
      // Mostly no line feed, so that long runs are searched word by word.
      c = alphabet[random() % (round % 3 == 0 ? 8 : 4)];
    }
    ASSERT_EQ(find_line_feed(s.data(), s.size()), byte_by_byte(s)) << round;
  }
  // A single line feed at every position of a long run, at every alignment.
  for (size_t offset = 0; offset < 8; ++offset) {
    std::string run(200, '\x8A');
    for (size_t at = 0; at + offset < run.size(); ++at) {
      std::string s = run;
      s[offset + at] = '\n';
      ASSERT_EQ(find_line_feed(s.data() + offset, s.size() - offset), at);
    }
    EXPECT_EQ(find_line_feed(run.data() + offset, run.size() - offset),
              run.size() - offset);
  }
}

// One outcome of a scripted refill: bytes (possibly none, for end of input)
// or an OS error code.
using Step = std::variant<std::string, int32_t>;

class ScriptedSource final : public LineSource {
 public:
  explicit ScriptedSource(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  IoResult<size_t> refill(char* buffer, size_t capacity) override {
    ++calls;
    if (steps_.empty()) return size_t{0};
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (auto* code = std::get_if<int32_t>(&step)) return IoError::from_os_code(*code);
    const std::string& bytes = std::get<std::string>(step);
    EXPECT_LE(bytes.size(), capacity);
    std::memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
  }

  int calls = 0;

 private:
  std::deque<Step> steps_;
};

// A reader over a buffer of the real size, as standard input has.
struct Reader {
  explicit Reader(std::vector<Step> steps) : source(std::move(steps)) {
    buffer.data = storage.data();
    buffer.capacity = storage.size();
  }
  IoResult<size_t> next(std::string& text) {
    return append_line_from(buffer, source, text);
  }

  std::vector<char> storage = std::vector<char>(input_buffer_size);
  LineBuffer buffer;
  ScriptedSource source;
};

// Pieces of `input` in refills of at most `chunk` bytes.
std::vector<Step> chunks(const std::string& input, size_t chunk) {
  std::vector<Step> steps;
  for (size_t i = 0; i < input.size(); i += chunk)
    steps.push_back(input.substr(i, chunk));
  return steps;
}

void expect_line(Reader& reader, std::string& text, const std::string& expected_text,
                 size_t expected_count) {
  IoResult<size_t> result = reader.next(text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), expected_count);
  EXPECT_EQ(text, expected_text);
}

void expect_invalid_utf8(const IoResult<size_t>& result) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(result.error().word(), IoError::from_static(message_invalid_utf8).word());
}

TEST(AppendLine, CutsAtTheFirstLineFeedAndKeepsTheRestForTheNextCall) {
  Reader reader({std::string("42\nrest\n")});
  std::string text = "prior:";
  expect_line(reader, text, "prior:42\n", 3);
  expect_line(reader, text, "prior:42\nrest\n", 5);
  EXPECT_EQ(reader.source.calls, 1);
  expect_line(reader, text, "prior:42\nrest\n", 0);
  EXPECT_EQ(reader.source.calls, 2);
}

TEST(AppendLine, EndOfInputAtOnceLeavesTheTextAlone) {
  Reader reader({std::string()});
  std::string text = "kept";
  expect_line(reader, text, "kept", 0);
}

TEST(AppendLine, InputEndingWithoutLineFeedIsTheLastLine) {
  Reader reader({std::string("ab"), std::string("c"), std::string()});
  std::string text;
  expect_line(reader, text, "abc", 3);
  EXPECT_EQ(reader.source.calls, 3);
}

TEST(AppendLine, NoByteIsTranslatedOrDropped) {
  const std::string line("a\r\0\x1A\x7F\r\n", 7);
  Reader reader({line + "next"});
  std::string text;
  expect_line(reader, text, line, 7);
}

TEST(AppendLine, LongLineIsAssembledFromManyRefills) {
  std::string line;
  for (int i = 0; i < 33333; ++i) line += "\xC3\xA9" + std::to_string(i % 10);
  line += '\n';
  ASSERT_EQ(line.size(), 100000u);
  Reader reader(chunks(line + "tail\n", input_buffer_size));
  std::string text;
  expect_line(reader, text, line, 100000);
  EXPECT_EQ(reader.source.calls, 9);  // ceil(100000 / 12288)
  text.clear();
  expect_line(reader, text, "tail\n", 5);
}

TEST(AppendLine, IllFormedLinesAreRefusedAndConsumed) {
  const std::vector<std::string> bad_lines = {
      "a\xFF"
      "b\n",                 // never a UTF-8 byte
      "\x80\n",              // lone continuation byte
      "x\xED\xA0\x80y\n",    // encoded surrogate U+D800
      "\xC0\x80\n",          // overlong NUL
      "\xC1\xBF\n",          // overlong two-byte form
      "\xE0\x80\x80\n",      // overlong three-byte form
      "\xF0\x80\x80\x80\n",  // overlong four-byte form
      "\xF4\x90\x80\x80\n",  // above U+10FFFF
      "\xF5\x80\x80\x80\n",  // lead byte beyond the range
      "\xE2\x82\n",          // three-byte character cut by the line feed
      "\xC3\xA9\xC3\n",      // two-byte character missing its second byte
  };
  for (const std::string& bad : bad_lines) {
    SCOPED_TRACE(bad);
    Reader reader({bad + "good\xC3\xA9\n"});
    std::string text = "before\n";
    expect_invalid_utf8(reader.next(text));
    EXPECT_EQ(text, "before\n");
    // The refused line is gone; the next call starts after its line feed.
    expect_line(reader, text, "before\ngood\xC3\xA9\n", 7);
  }
}

TEST(AppendLine, CharacterCutByTheEndOfInputIsRefused) {
  Reader reader({std::string("ok \xE2\x82"), std::string()});
  std::string text = "t";
  expect_invalid_utf8(reader.next(text));
  EXPECT_EQ(text, "t");
  expect_line(reader, text, "t", 0);
}

TEST(AppendLine, OnlyTheAppendedBytesAreChecked) {
  // The text may already end in a partial character: it is not this call's.
  Reader reader({std::string("\xA9!\n")});
  std::string text = "\xC3";
  expect_invalid_utf8(reader.next(text));
  EXPECT_EQ(text, "\xC3");
  Reader accepted({std::string("x\n")});
  std::string broken = "\xFF";
  expect_line(accepted, broken, "\xFFx\n", 2);
}

TEST(AppendLine, EveryCharacterAcrossTheRefillBoundaryArrivesWhole) {
  const std::vector<std::string> characters = {
      "\xC2\x80",         "\xC3\xA9",         "\xDF\xBF",  // 2 bytes
      "\xE0\xA0\x80",     "\xE2\x82\xAC",     "\xED\x9F\xBF",
      "\xEF\xBF\xBF",                                              // 3 bytes
      "\xF0\x90\x80\x80", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",  // 4 bytes
  };
  for (const std::string& c : characters) {
    for (size_t split = 1; split < c.size(); ++split) {
      SCOPED_TRACE(testing::Message() << c.size() << "-byte character, split " << split);
      // The first refill fills the whole buffer and ends inside the character.
      std::string first(input_buffer_size - split, 'a');
      first += c.substr(0, split);
      const std::string second = c.substr(split) + "\nnext\n";
      Reader reader({first, second});
      std::string text;
      const std::string line = first.substr(0, input_buffer_size - split) + c + "\n";
      expect_line(reader, text, line, line.size());
      EXPECT_EQ(reader.source.calls, 2);
    }
  }
}

TEST(AppendLine, VerdictInSmallRefillsIsTheVerdictOnTheWholeLine) {
  // Lines are judged as their refills arrive; cut anywhere, a line must get
  // the verdict it gets in one piece.
  const std::vector<std::string> lines = {
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z",  // one of each length
      "\xE2\x41",                                // lead, then no continuation
      "\xE0\x80\x80",                            // overlong, caught at byte 2
      "\xED\xA0\x80",                            // encoded surrogate
      "\xF4\x90\x80\x80",                        // above U+10FFFF
      "\xF0\x9F\x98",                            // cut by the line feed
      "\xE2",                                    // ... right after its lead byte
      "\xF0\x9F\x98\x80\x80",                    // stray continuation after
      "\xC3",                                    // cut by the end of input
      "\xFF"
      "abc",
  };
  for (const std::string& line : lines) {
    for (const bool line_feed : {true, false}) {
      const std::string whole = line_feed ? line + "\n" : line;
      for (size_t chunk = 1; chunk <= 4; ++chunk) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(whole) << " in "
                                        << chunk << "-byte refills");
        // Without a line feed the line ends with the input.
        Reader reader(chunks(line_feed ? whole + "ok\n" : whole, chunk));
        std::string text = ">";
        IoResult<size_t> result = reader.next(text);
        if (utf8::is_well_formed(whole)) {
          ASSERT_TRUE(result.ok());
          EXPECT_EQ(text, ">" + whole);
        } else {
          expect_invalid_utf8(result);
          EXPECT_EQ(text, ">");
        }
        if (line_feed) expect_line(reader, text = "", "ok\n", 3);
      }
    }
  }
}

TEST(AppendLine, FailedRefillWinsAndKeepsOnlyWellFormedBytes) {
  struct Case {
    std::string before_failure;
    bool kept;
  };
  const Case cases[] = {
      {"h\xC3\xA9llo", true},  // well-formed so far: stays, error still returned
      {"h\xC3", false},        // cut character: removed, but the read error wins
      {"\xFFxyz", false},      // ill-formed: removed, the read error wins
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before_failure);
    Reader reader({c.before_failure, int32_t{5}, std::string("after\n")});
    std::string text = "[";
    IoResult<size_t> result = reader.next(text);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is_os_code(5));
    EXPECT_EQ(text, c.kept ? "[" + c.before_failure : "[");
    // Nothing is put back: the next call reads on from the source.
    text.clear();
    expect_line(reader, text, "after\n", 6);
  }
}

TEST(AppendLine, FailedFirstRefillChangesNothing) {
  Reader reader({int32_t{109}});
  std::string text = "x";
  IoResult<size_t> result = reader.next(text);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().is_os_code(109));
  EXPECT_EQ(text, "x");
  EXPECT_EQ(reader.buffer.position, 0u);
  EXPECT_EQ(reader.buffer.filled, 0u);
}

TEST(AppendLine, GrowsTheTextOnlyWhenTheLineDoesNotFit) {
  Reader reader({std::string("short\n")});
  std::string text;
  text.reserve(64);
  const char* storage = text.data();
  expect_line(reader, text, "short\n", 6);
  EXPECT_EQ(text.data(), storage);
}

TEST(SettleConsoleUnits, CtrlZAndSplitSurrogates) {
  struct Case {
    std::u16string units;
    size_t held;
    size_t expected_count;
    char16_t expected_pending;
  };
  const Case cases[] = {
      {u"abc\r\n", 0, 5, 0},
      {u"abc\x1A", 0, 3, 0},  // final Ctrl+Z dropped
      {u"\x1A", 0, 0, 0},     // Ctrl+Z alone: end of input
      {u"a\x1A"
       u"b",
       0, 3, 0},                        // Ctrl+Z inside the text stays
      {u"ab\xD83D", 0, 2, 0xD83D},      // high surrogate held back
      {u"ab\xD83D\x1A", 0, 2, 0xD83D},  // ... also before a final Ctrl+Z
      {u"\xD83D\xDE00\n", 1, 3, 0},     // held half joined with its partner
      {u"\xD83D\x1A", 1, 0, 0xD83D},    // Ctrl+Z after a held half: held again
      {u"\xD83D", 1, 0, 0xD83D},        // nothing read after a held half
      {u"\xDC00", 0, 1, 0},             // a low surrogate is left to the conversion
      {u"", 0, 0, 0},
  };
  for (const Case& c : cases) {
    char16_t pending = 0x1234;
    const size_t count =
        settle_console_units(c.units.data(), c.held, c.units.size() - c.held, pending);
    EXPECT_EQ(count, c.expected_count) << testing::PrintToString(c.units);
    EXPECT_EQ(pending, c.expected_pending) << testing::PrintToString(c.units);
  }
}

}  // namespace
}  // namespace tavo
