#include <gtest/gtest.h>

#include <string>

#include "toolkit/Utf.h"

namespace toolkit {
namespace {

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

TEST(UtfTest, DecodesUtf8AndReplacesEachBadByte) {
  const DecodeCase cases[] = {
      {"ASCII", "AT+FPCMD1=7\r", u"AT+FPCMD1=7\r"},
      {"two, three and four bytes", "\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80",
       u"\u00e9\u3042\U0001F600"},
      {"the highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"a stray continuation byte", "a\x80z", u"a\uFFFDz"},
      {"a lead byte cut short at the end", "a\xE3\x81", u"a\uFFFD\uFFFD"},
      {"a lead byte followed by ASCII", "\xC3z", u"\uFFFDz"},
      {"an overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"an overlong three-byte form", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
      {"an encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"bytes that never start a character", "\xF8\xFF", u"\uFFFD\uFFFD"},
      {"empty", "", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.name;
  }
}

TEST(UtfTest, EncodesUtf16AndReplacesUnpairedSurrogates) {
  const DecodeCase cases[] = {
      {"a pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a lone high surrogate at the end", "a\xEF\xBF\xBD", u"a\xD83D"},
      {"a high surrogate before a plain character", "\xEF\xBF\xBDz", u"\xD83Dz"},
      {"a lone low surrogate", "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDE00\xDE00"},
      {"reversed pair", "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDE00\xD83D"},
      {"BMP text", "\xE3\x81\x82", u"\u3042"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.name;
  }
}

TEST(UtfTest, WellFormedTextSurvivesTheRoundTrip) {
  const std::string text =
      "QM-R7 \xE3\x83\x98\xE3\x83\x83\xE3\x83\x89\xE3\x82\xBB\xE3\x83\x83"
      "\xE3\x83\x88 \xF0\x9F\x8E\xA7";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
}

// Walking by Utf8CharSize visits exactly the characters the decoder produces.
TEST(UtfTest, CharacterBoundariesAgreeWithTheDecoder) {
  const std::string texts[] = {"a\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80", "a\x80\xE3\x81z\xC0\xAF",
                               "\xED\xA0\x80\xF4\x90\x80\x80", "\xE3\x81"};
  for (const auto& text : texts) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); i += Utf8CharSize(text, i))
      ++characters;
    std::size_t decoded = 0;
    const std::u16string wide = Utf8ToUtf16(text);
    for (std::size_t i = 0; i < wide.size(); ++i, ++decoded) {
      if (wide[i] >= 0xD800 && wide[i] < 0xDC00) ++i;  // a pair is one character
    }
    EXPECT_EQ(characters, decoded) << text;
  }
  EXPECT_EQ(Utf8CharSize("\xE3\x81\x82", 0), 3u);
  EXPECT_EQ(Utf8CharSize("\xE3\x81\x82", 1), 1u);  // inside a character: a stray byte
  EXPECT_EQ(Utf8CharSize("ab", 2), 0u);
}

TEST(UtfTest, AppendingACodePointThatIsNoCharacterGivesTheReplacement) {
  std::string out;
  AppendUtf8(out, 0xD800);
  AppendUtf8(out, 0x110000);
  AppendUtf8(out, U'\u00e9');
  EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9");
}

}  // namespace
}  // namespace toolkit
