// UTF-16 units into UTF-8: pairs become one character; an unpaired surrogate
// either fails the whole text or becomes its generalized 3-byte form.
#include "text/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace tavo {
namespace {

TEST(Utf16, BecomesUtf8WithUnpairedSurrogatesRefusedOrEncoded) {
  struct Case {
    std::u16string units;
    std::string bytes;
    bool all_paired;
  };
  const Case cases[] = {
      {u"full", "full", true},
      {u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac", true},
      {u"\U0001F600", "\xf0\x9f\x98\x80", true},
      {std::u16string{char16_t{0xD83D}}, "\xed\xa0\xbd", false},  // lone high
      {std::u16string{char16_t{0xDE00}, u'a'},
       "\xed\xb8\x80"
       "a",
       false},  // lone low
      {std::u16string{char16_t{0xDE00}, char16_t{0xD83D}}, "\xed\xb8\x80\xed\xa0\xbd",
       false},
      {std::u16string{u'a', char16_t{0}, u'b'}, std::string("a\0b", 3), true},
  };
  for (const Case& c : cases) {
    std::string encoded = "<";
    EXPECT_TRUE(append_utf16_as_utf8(c.units, UnpairedSurrogate::Encode, encoded));
    EXPECT_EQ(encoded, "<" + c.bytes);
    std::string strict;
    EXPECT_EQ(append_utf16_as_utf8(c.units, UnpairedSurrogate::Refuse, strict),
              c.all_paired);
    if (c.all_paired) {
      EXPECT_EQ(strict, c.bytes);
    }
  }
}

}  // namespace
}  // namespace tavo
