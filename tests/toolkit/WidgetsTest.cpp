#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabBar>
#include <string>
#include <vector>

#include "tests/support/QtTestApp.h"
#include "toolkit/qt/LabeledEdit.h"
#include "toolkit/qt/PageControl.h"
#include "toolkit/qt/UpDown.h"

namespace toolkit::qt {
namespace {

class WidgetsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication(); }
  QWidget window;
};

TEST_F(WidgetsTest, LabelEndsThreePixelsLeftOfTheEditCentredAndGrowsToTheLeft) {
  LabeledEdit edit(&window);
  edit.setGeometry(324, 40, 49, 21);
  for (const char* text : {"GPS", "The percentage of GPS audio volume among the mixed audio"}) {
    edit.SetLabelText(text);
    const QRect label = edit.EditLabel()->geometry();
    SCOPED_TRACE(text);
    EXPECT_EQ(label.right() + 1, 324 - 3);
    EXPECT_EQ(label.width(), QFontMetrics(edit.EditLabel()->font()).horizontalAdvance(text));
    EXPECT_NEAR(label.center().y(), edit.geometry().center().y(), 1);
  }
}

TEST_F(WidgetsTest, EditChangeEventFollowsProgramAndUserChanges) {
  LabeledEdit edit(&window);
  int changes = 0;
  edit.OnChange = [&] { ++changes; };
  edit.setText("123");
  QKeyEvent key(QEvent::KeyPress, Qt::Key_4, Qt::NoModifier, "4");
  QApplication::sendEvent(&edit, &key);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(edit.text(), "1234");
}

struct StepCase {
  const char* name;
  int min, max, start;
  std::vector<UDBtnType> steps;
  int expected;
  int clicks;
};

TEST_F(WidgetsTest, UpDownStepsWithinItsRangeWithoutWrapping) {
  const std::vector<StepCase> cases = {
      {"stops at max", 1, 100, 99, {UDBtnType::btNext, UDBtnType::btNext}, 100, 1},
      {"stops at min", 1, 100, 2, {UDBtnType::btPrev, UDBtnType::btPrev}, 1, 1},
      {"reaches -1", -1, 2, 0, {UDBtnType::btPrev}, -1, 1},
      {"reaches 2", -1, 2, 1, {UDBtnType::btNext}, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpDown ud(&window);
    ud.SetRange(c.min, c.max);
    ud.SetPosition(c.start);
    int clicks = 0;
    ud.OnClick = [&](UDBtnType) { ++clicks; };
    for (auto s : c.steps)
      ud.Step(s);
    EXPECT_EQ(ud.Position(), c.expected);
    EXPECT_EQ(clicks, c.clicks);
  }
}

TEST_F(WidgetsTest, UpDownChangingComesFirstMayRefuseAndClickFollowsWithDirection) {
  UpDown ud(&window);
  QLineEdit buddy(&window);
  ud.SetRange(1, 100);
  ud.SetBuddy(&buddy);
  std::vector<std::string> events;
  bool allow = true;
  ud.OnChanging = [&](bool& a) {
    events.push_back("changing at " + std::to_string(ud.Position()));
    a = allow;
  };
  ud.OnClick = [&](UDBtnType b) {
    events.push_back(std::string(b == UDBtnType::btNext ? "up" : "down") + " to " +
                     std::to_string(ud.Position()));
  };
  ud.SetPosition(20);  // a program change raises changing too
  ud.Step(UDBtnType::btNext);
  allow = false;
  ud.Step(UDBtnType::btPrev);
  EXPECT_EQ(events, (std::vector<std::string>{"changing at 0", "changing at 20", "up to 21",
                                              "changing at 21"}));
  EXPECT_EQ(ud.Position(), 21);
  EXPECT_EQ(buddy.text(), "21");
}

TEST_F(WidgetsTest, PageChangeByTheUserCanBeRefusedWhileTheProgramNeedsNoConsent) {
  PageControl pages(&window);
  for (const char* t : {"a", "b", "c"})
    pages.addTab(new QWidget, t);
  pages.resize(300, 200);
  window.show();
  std::vector<int> askedOn;
  bool allow = false;
  pages.OnChanging = [&](bool& a) {
    askedOn.push_back(pages.ActivePageIndex());
    a = allow;
  };
  const QPoint onTabB = pages.tabBar()->tabRect(1).center();
  QMouseEvent press(QEvent::MouseButtonPress, onTabB, pages.tabBar()->mapToGlobal(onTabB),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(pages.tabBar(), &press);
  EXPECT_EQ(pages.ActivePageIndex(), 0);
  allow = true;
  QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
  QApplication::sendEvent(pages.tabBar(), &right);
  EXPECT_EQ(pages.ActivePageIndex(), 1);
  pages.SetActivePageIndex(2);
  EXPECT_EQ(pages.ActivePageIndex(), 2);
  EXPECT_EQ(askedOn, (std::vector<int>{0, 0}));
}

}  // namespace
}  // namespace toolkit::qt
