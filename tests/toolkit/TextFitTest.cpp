#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetricsF>
#include <cmath>

#include "tests/support/QtTestApp.h"
#include "toolkit/qt/TextFit.h"

namespace toolkit::qt {
namespace {

class TextFitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication(); }

  static QFont Font() {
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(13);
    return font;
  }
  static int Width(const QFont& font, const QString& text) {
    return static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
  }
  static int Height(const QFont& font) {
    return static_cast<int>(std::ceil(QFontMetricsF(font).height()));
  }
};

// A narrower font comes first, so the text keeps its height; only where that is not enough does
// the font get smaller; and a room that nothing fits is said to be too small.
TEST_F(TextFitTest, NarrowsBeforeShrinkingAndSaysWhenNothingFits) {
  const QString text = QStringLiteral("Close COM Port");
  const QFont font = Font();
  const int width = Width(font, text);
  const int height = Height(font);
  struct Case {
    const char* name;
    QRect room;
    bool fits;
    bool narrower;
    bool smaller;
  };
  const Case cases[] = {
      {"room enough", QRect(0, 0, width, height), true, false, false},
      {"a little too narrow", QRect(0, 0, width * 9 / 10, height), true, true, false},
      {"too low for the line", QRect(0, 0, width, height * 2 / 3), true, false, true},
      {"far too narrow", QRect(0, 0, width / 4, height), false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TextRoom room{c.room, Qt::AlignLeft | Qt::AlignTop};
    EXPECT_TRUE(c.fits || !TextFits(font, text, room));
    const FittedFont fitted = FitFont(font, {text}, room);
    EXPECT_EQ(fitted.fits, c.fits);
    if (fitted.fits) {
      EXPECT_TRUE(TextFits(fitted.font, text, room));
    }
    EXPECT_EQ(fitted.font.stretch() < 100 && fitted.font.stretch() != 0, c.narrower);
    EXPECT_EQ(QFontInfo(fitted.font).pixelSize() < 13, c.smaller);
    EXPECT_GE(QFontInfo(fitted.font).pixelSize(), kMinPixelSize);
  }
}

TEST_F(TextFitTest, TheFontIsFittedToTheLongestOfItsTexts) {
  const QFont font = Font();
  const QString shorter = QStringLiteral("Open");
  const QString longer = QStringLiteral("Open COM Port");
  const TextRoom room{QRect(0, 0, Width(font, longer) * 9 / 10, 40),
                      Qt::AlignLeft | Qt::AlignVCenter};
  ASSERT_TRUE(TextFits(font, shorter, room));
  const FittedFont fitted = FitFont(font, {shorter, longer}, room);
  EXPECT_TRUE(fitted.fits);
  EXPECT_TRUE(TextFits(fitted.font, longer, room));
}

TEST_F(TextFitTest, ALineTallerThanItsRoomRunsOutWhereTheAlignmentPutsIt) {
  const QFont font = Font();
  const QString text = QStringLiteral("Mg");
  const int width = Width(font, text);
  EXPECT_TRUE(TextFits(font, text, {QRect(0, 0, width, Height(font)), Qt::AlignTop}));
  // Eight pixels: a descender at the top runs out below, a capital at the bottom out above.
  EXPECT_FALSE(TextFits(font, QStringLiteral("g"), {QRect(0, 0, width, 8), Qt::AlignTop}));
  EXPECT_FALSE(TextFits(font, QStringLiteral("M"), {QRect(0, 0, width, 8), Qt::AlignBottom}));
}

}  // namespace
}  // namespace toolkit::qt
