#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/TextCatalog.h"
#include "toolkit/Utf.h"

namespace resources {
namespace {

// A font where an ASCII character is 7 px wide and any other character 13 px.
int Measure(std::string_view line) {
  int width = 0;
  for (std::size_t i = 0; i < line.size();) {
    const std::size_t len = toolkit::Utf8CharSize(line, i);
    width += len == 1 ? 7 : 13;
    i += len;
  }
  return width;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const auto nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) return lines;
    start = nl + 1;
  }
}

struct FitCase {
  const char* name;
  std::string text;
  int width;
  std::string expected;
};

TEST(FitTextTest, BreaksBeforeTheFirstCharacterThatOverflows) {
  const std::vector<FitCase> cases = {
      {"empty", "", 70, ""},
      {"fits exactly", "/abc/defgh", 70, "/abc/defgh"},
      {"one past the width", "/abc/defghi", 70, "/abc/defgh\ni"},
      {"several lines", "abcdefghijklmnopqrstuvwxy", 70, "abcdefghij\nklmnopqrst\nuvwxy"},
      {"line feeds in the text start lines", "abc\ndefghijklm", 70, "abc\ndefghijklm"},
      {"carriage returns are ordinary", "abcd\refghij", 70, "abcd\refghi\nj"},
      {"kana never split", "\u30a2\u30a4\u30a6\u30a8\u30aa", 30,
       "\u30a2\u30a4\n\u30a6\u30a8\n\u30aa"},
      {"character wider than the label stands alone", "ab\u30a2cd", 10, "a\nb\n\u30a2\nc\nd"},
      {"wide character first", "\u30a2b", 10, "\n\u30a2\nb"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitText(c.text, c.width, Measure), c.expected) << c.name;
  }
}

TEST(FitTextTest, JapanesePathLinesAreWholeCharactersWithinTheWidth) {
  std::string path = "/home/\u30e6\u30fc\u30b6\u30fc/";
  for (int i = 0; i < 40; ++i)
    path += "\u30d5\u30a1\u30fc\u30e0";
  path += ".dfu";
  const std::string fitted = FitText(path, 553, Measure);
  std::string joined;
  for (const auto& line : Lines(fitted)) {
    EXPECT_LE(Measure(line), 553);
    joined += line;
    // Every line starts on a character's first byte.
    if (!line.empty()) {
      EXPECT_NE(static_cast<unsigned char>(line[0]) & 0xC0, 0x80);
    }
  }
  EXPECT_EQ(joined, path);
}

}  // namespace
}  // namespace resources
