// The quoted form of a text and the character tables behind it.
#include "errors/quoted.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/unicode_tables.h"
#include "support/collecting_sink.h"

namespace tavo {
namespace {

using testing::CollectingSink;

std::string quoted(std::string_view text) {
  return testing::written([&](TextSink& out) { return write_quoted(out, text); });
}

std::vector<std::string> quoted_pieces(std::string_view text) {
  CollectingSink out;
  EXPECT_TRUE(write_quoted(out, text));
  std::vector<std::string> pieces;
  for (size_t i = 0; i < out.pieces(); ++i) pieces.emplace_back(out.piece(i));
  return pieces;
}

struct QuotedCase {
  std::string_view text;
  std::string_view expected;
};

TEST(QuotedFormTest, EscapesAndPlainCharacters) {
  using namespace std::string_view_literals;
  const QuotedCase cases[] = {
      {""sv, R"("")"sv},
      {"\0"sv, R"("\0")"sv},
      {"\t"sv, R"("\t")"sv},
      {"\r"sv, R"("\r")"sv},
      {"\n"sv, R"("\n")"sv},
      {"\""sv, R"("\"")"sv},
      {"\\"sv, R"("\\")"sv},
      {"'"sv, R"("'")"sv},
      {"a\r\nb"sv, R"("a\r\nb")"sv},
      // Other ASCII controls have no short escape.
      {"\x01"sv, R"("\u{1}")"sv},
      {"\x1b[0m"sv, R"("\u{1b}[0m")"sv},
      {"\x1f"sv, R"("\u{1f}")"sv},
      {"\x7f"sv, R"("\u{7f}")"sv},
      {" ~"sv, R"(" ~")"sv},
      // Combining acute accent (Grapheme_Extend), alone and after a letter.
      {"\u0301"sv, R"("\u{301}")"sv},
      {"e\u0301"sv, R"("e\u{301}")"sv},
      // Grapheme_Extend although printable (a letter modifier).
      {"\uFF9E"sv, R"("\u{ff9e}")"sv},
      // Not printable: C1 control, no-break space, line separator,
      // private use, unassigned, byte order mark, the last code point.
      {"\u0085"sv, R"("\u{85}")"sv},
      {"\u00A0"sv, R"("\u{a0}")"sv},
      {"\u2028"sv, R"("\u{2028}")"sv},
      {"\uE000"sv, R"("\u{e000}")"sv},
      {"\u0378"sv, R"("\u{378}")"sv},
      {"\uFEFF"sv, R"("\u{feff}")"sv},
      {"\U000E0001"sv, R"("\u{e0001}")"sv},
      {"\U0010FFFF"sv, R"("\u{10ffff}")"sv},
      // Printable beyond ASCII stays as it is.
      {"\u00E9"sv, "\"\u00E9\""sv},
      {"\u65E5\u672C"sv, "\"\u65E5\u672C\""sv},
      {"\U0001F600"sv, "\"\U0001F600\""sv},
      {"\U0001F44D\U0001F3FB"sv, "\"\U0001F44D\U0001F3FB\""sv},
      {"\uFFFD"sv, "\"\uFFFD\""sv},
      // Bytes that are not UTF-8 become U+FFFD, one per byte.
      {"a\xFF"
       "b"sv,
       "\"a\uFFFDb\""sv},
      {"\xE6\x97"sv, "\"\uFFFD\uFFFD\""sv},
      {"\xC0\xAF\n"sv, "\"\uFFFD\uFFFD\\n\""sv},
  };
  for (const QuotedCase& c : cases) {
    EXPECT_EQ(quoted(c.text), c.expected) << "text: " << ::testing::PrintToString(c.text);
  }
}

TEST(QuotedFormTest, RunsWithoutEscapesGoOutInOnePiece) {
  EXPECT_EQ(quoted_pieces("File not found. \u00E9\u65E5"),
            (std::vector<std::string>{"\"", "File not found. \u00E9\u65E5", "\""}));
  EXPECT_EQ(
      quoted_pieces("ab\r\ncd\u0301e"),
      (std::vector<std::string>{"\"", "ab", "\\r", "\\n", "cd", "\\u{301}", "e", "\""}));
  EXPECT_EQ(quoted_pieces(""), (std::vector<std::string>{"\"", "\""}));
}

TEST(QuotedFormTest, StopsAtTheFirstFailingCall) {
  const std::string_view text = "say \"hi\"\n\u0301 \xFF end";
  CollectingSink full;
  ASSERT_TRUE(write_quoted(full, text));
  for (int n = 1; n <= full.calls(); ++n) {
    CollectingSink out(n);
    EXPECT_FALSE(write_quoted(out, text)) << n;
    EXPECT_EQ(out.calls(), n);
    EXPECT_EQ(out.text(), full.text().substr(0, out.text().size()));
  }
}

TEST(UnicodeTablesTest, PropertiesAtRangeEdges) {
  struct Row {
    char32_t c;
    bool printable;
    bool extend;
  };
  const Row rows[] = {
      {0x20, true, false},      {0x7E, true, false},     {0x7F, false, false},
      {0x9F, false, false},     {0xA0, false, false},    {0xA1, true, false},
      {0x2FF, true, false},     {0x300, true, true},     {0x36F, true, true},
      {0x370, true, false},     {0x200B, false, false},  {0x200C, false, true},
      {0x3000, false, false},   {0xD800, false, false},  {0xDFFF, false, false},
      {0xF8FF, false, false},   {0xF900, true, false},   {0xFFFD, true, false},
      {0xFFFF, false, false},   {0x1F600, true, false},  {0xE0100, true, true},
      {0xE01EF, true, true},    {0xE01F0, false, false}, {0x10FFFF, false, false},
      {0x110000, false, false}, {0, false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(unicode::is_printable(row.c), row.printable) << std::hex << uint32_t(row.c);
    EXPECT_EQ(unicode::is_grapheme_extend(row.c), row.extend)
        << std::hex << uint32_t(row.c);
  }
}

}  // namespace
}  // namespace tavo
