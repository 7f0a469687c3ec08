#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "resources/TextCatalog.h"

namespace resources {
namespace {

class CatalogTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLanguage(Language::English); }
};

// Rising ids and texts in both languages are checked at compile time beside the table.
// The window's 57 texts, the one for a firmware file too large to be firmware, four for a headset
// in DFU mode and a USB reset the system refuses, one for a headset without WinUSB, and ten that
// only a screen reader speaks (names, descriptions, an announcement).
TEST_F(CatalogTest, HoldsSeventyThreeIds) {
  std::set<TextId> ids;
  for (const auto& e : kCatalog)
    ids.insert(e.id);
  EXPECT_EQ(ids.size(), 73u);
}

TEST_F(CatalogTest, MissingIdsGiveTheEmptyText) {
  for (Language lang : {Language::English, Language::Japanese}) {
    SetLanguage(lang);
    for (TextId id : {0, 19999, 20204, 20307, 20310, 20002, 30000, 30235, 65535}) {
      EXPECT_EQ(LoadText(static_cast<TextId>(id)), "") << id;
    }
  }
}

struct ExactText {
  TextId id;
  Language language;
  const char* expected;
};

TEST_F(CatalogTest, TextsKeepEveryCharacterAsStored) {
  const ExactText cases[] = {
      {kTextLanguageName, Language::English, "English"},
      {kTextLanguageName, Language::Japanese, "Japanese"},
      {kTextAppTitle, Language::Japanese, "QM-R7\u8a2d\u5b9a\u30c4\u30fc\u30eb"},
      {kTextSpeedDial1, Language::English, "Speed dial 1 "},
      {kTextSpeedDial3, Language::Japanese, "\u30b9\u30d4\u30fc\u30c9\u30c0\u30a4\u30e4\u30eb3"},
      {kTextReconfiguring, Language::English, "Reconfigure in progress... "},
      {kTextSpeedDialNote, Language::English,
       "Note: \n\n To input numbers only  (0 to 9) and the maximum allowed input numbers are 16 "
       "digits."},
      {kTextSpeedDialNote, Language::Japanese,
       "\u6ce8\u610f\uff1a\n\n \u5165\u529b\u3067\u304d\u308b\u6570\u5b57\u306f0\u20269\u306e"
       "\u6700\u592716\u6841\u3067\u3059\u3002"},
      {kTextWrongProductFamily, Language::English,
       "The firmware file selected cannot work with  Corvane Bluetooth device."},
      {kTextAlmostDone, Language::English,
       "Firmware upgrade is almost completed, please wait.... \u00a1]You need to wait a "
       "moment.\u00a1^"},
      {kTextUpgradeFailedDetail, Language::English,
       "An error occurs during firmware upgrade. Result = %s, Operation = %s, SubOperation = %s"},
      {kTextWrongModel, Language::English,
       "The firmware file selected cannot match with your device model. \n Please select the "
       "required firmware file for your device again."},
      {kTextElapsed, Language::Japanese, "\u7d4c\u904es"},
  };
  for (const auto& c : cases) {
    SetLanguage(c.language);
    EXPECT_EQ(LoadText(c.id), c.expected) << c.id;
  }
}

TEST_F(CatalogTest, GpsNoteQuotesAreStraightInEnglishAndTypographicInJapanese) {
  const std::string english = LoadText(kTextGpsNote);
  EXPECT_NE(english.find("If \"GPS Audio Sharing\" Setting is\"Yes\", then"), std::string::npos);
  SetLanguage(Language::Japanese);
  const std::string japanese = LoadText(kTextGpsNote);
  EXPECT_NE(japanese.find("\u201c\u306f\u3044\u201d"), std::string::npos);
  EXPECT_EQ(japanese.find('"'), std::string::npos);
}

TEST_F(CatalogTest, NotesSplitIntoMemoLines) {
  EXPECT_EQ(SplitNoteLines(LoadText(kTextSpeedDialNote)),
            (std::vector<std::string>{"Note: ", "",
                                      " To input numbers only  (0 to 9) and the maximum allowed "
                                      "input numbers are 16 digits."}));
  for (Language lang : {Language::English, Language::Japanese}) {
    SetLanguage(lang);
    const auto lines = SplitNoteLines(LoadText(kTextGpsNote));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[5], "");
  }
  SetLanguage(Language::English);
  const auto lines = SplitNoteLines(LoadText(kTextGpsNote));
  EXPECT_EQ(lines[4].substr(lines[4].size() - 3), ".  ");
}

TEST(SplitNoteLinesTest, BreaksAtLfCrAndCrLfWithoutATrailingEmptyLine) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"a\nb", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\n", {"a"}},
      {"a\n\n", {"a", ""}},
      {"\n", {""}},
      {" a \n b ", {" a ", " b "}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SplitNoteLines(c.text), c.lines) << c.text;
}

TEST(TruncateTest, CutsNeverInsideACharacter) {
  const std::string kana = "\u30a2\u30a4";  // two 3-byte characters
  EXPECT_EQ(TruncateBytes(kana, 6), kana);
  EXPECT_EQ(TruncateBytes(kana, 5), "\u30a2");
  EXPECT_EQ(TruncateBytes(kana, 3), "\u30a2");
  EXPECT_EQ(TruncateBytes(kana, 2), "");
  EXPECT_EQ(TruncateBytes(std::string(1500, 'x'), kMaxTextBytes).size(), 1023u);
  EXPECT_EQ(TruncateChars("a\u30a2b\u30a4", 3), "a\u30a2b");
  EXPECT_EQ(CharCount("a\u30a2b\u30a4"), 4u);
}

// A byte that starts no well-formed character counts as one, as the decoder shows it as one U+FFFD;
// a cut never swallows the good character after it.
TEST(TruncateTest, MalformedBytesCountAsTheDecoderShowsThem) {
  const struct {
    const char* name;
    std::string text;
    std::size_t chars;
  } cases[] = {
      {"a stray continuation byte", "a\x80z", 3},
      {"a lead byte without its continuation", "\xE3\x81z", 3},
      {"a cut-off character at the end", "ab\xE3\x81", 4},
      {"an overlong form", "\xC0\xAFx", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CharCount(c.text), c.chars) << c.name;
    EXPECT_EQ(TruncateChars(c.text, c.chars), c.text) << c.name;
    EXPECT_EQ(TruncateChars(c.text, c.chars - 1), c.text.substr(0, c.text.size() - 1)) << c.name;
  }
  EXPECT_EQ(TruncateBytes("\xE3\x81z\u30a2", 4), "\xE3\x81z");
}

}  // namespace
}  // namespace resources
