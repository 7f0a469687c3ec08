#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "toolkit/Utf.h"
#include "tools/Console.h"

namespace tools {
namespace {

// Text with characters of every length, and bytes that are none: a stray continuation byte, a
// lead byte whose character breaks off, an overlong form, a byte that never starts one.
const std::string kText =
    "A\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80\n"
    "\x80 \xE6\x97 x \xC0\xAF \xFF \xF0\x9F\x98";

// Writes `text` cut at the given places; returns what reached the console.
std::u16string ThroughBuffer(const std::string& text, std::size_t cut1, std::size_t cut2) {
  std::u16string console;
  {
    Utf16StreamBuffer buffer([&console](std::u16string_view piece) {
      console += piece;
      return true;
    });
    std::ostream stream(&buffer);
    stream << text.substr(0, cut1);
    stream << text.substr(cut1, cut2 - cut1);
    for (std::size_t i = cut2; i < text.size(); ++i)
      stream.put(text[i]);
  }
  return console;
}

TEST(Utf16StreamBufferTest, WritesCutAnywhereReachTheConsoleAsTheWholeTextWould) {
  const std::u16string whole = toolkit::Utf8ToUtf16(kText);
  for (std::size_t cut1 = 0; cut1 <= kText.size(); ++cut1) {
    for (std::size_t cut2 = cut1; cut2 <= kText.size(); ++cut2) {
      ASSERT_EQ(ThroughBuffer(kText, cut1, cut2), whole) << "cut at " << cut1 << ", " << cut2;
    }
  }
}

TEST(Utf16StreamBufferTest, PassesWholeCharactersAtOnceAndHoldsOnlyACutOne) {
  std::u16string console;
  Utf16StreamBuffer buffer([&console](std::u16string_view piece) {
    console += piece;
    return true;
  });
  std::ostream stream(&buffer);
  stream << "progress \xE6\x97";
  EXPECT_EQ(console, u"progress ");
  stream << "\xA5 50%\r";
  EXPECT_EQ(console, u"progress \u65E5 50%\r");
  stream << "\xF8";  // starts no character: nothing to wait for
  EXPECT_EQ(console, u"progress \u65E5 50%\r\uFFFD");
}

TEST(Utf16StreamBufferTest, AConsoleThatRefusesTheTextFailsTheStream) {
  Utf16StreamBuffer buffer([](std::u16string_view) { return false; });
  std::ostream stream(&buffer);
  stream << "text";
  EXPECT_TRUE(stream.bad());
}

}  // namespace
}  // namespace tools
