// The window under the keyboard, shown and focused as the user has it.
#include <QApplication>
#include <QKeyEvent>
#include <string>
#include <vector>

#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
namespace mb = toolkit::mb;

void Press(Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  ASSERT_NE(target, nullptr);
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

class KeyboardTest : public MainformTest {
 protected:
  void SetUp() override {
    MainformTest::SetUp();
    // No port looks like the headset's: nothing is highlighted after start-up.
    ports.ports = {{"/dev/qmr7-test-ttyS0", "Serial Port (ttyS0)"},
                   {"/dev/qmr7-test-ttyS1", "Serial Port (ttyS1)"}};
  }

  std::unique_ptr<TMajorForm> ShowFocused() {
    auto form = MakeForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    clock.Advance(100);  // past the first-show prompt
    ui.boxes.clear();
    return form;
  }
};

// Qt makes a line of the list current, without highlighting it, when the list takes the focus.
TEST_F(KeyboardTest, OpenWithNothingHighlightedAsksForAPortHoweverTheListGotTheFocus) {
  for (Qt::FocusReason reason : {Qt::TabFocusReason, Qt::ActiveWindowFocusReason}) {
    SCOPED_TRACE(reason);
    auto form = ShowFocused();
    form->ComPortListBox->setFocus(reason);
    QApplication::processEvents();
    ASSERT_TRUE(form->ComPortListBox->selectedItems().isEmpty());

    form->OpenComPortButton->click();

    EXPECT_EQ(ui.boxes,
              (std::vector{Box(kTextSelectAndOpenPort, kTextCaptionNote, mb::kIconInformation)}));
    EXPECT_FALSE(form->ComPort1->Active());
    EXPECT_TRUE(clock.Sleeps().empty());  // no open was tried
    ui.boxes.clear();
  }
}

TEST_F(KeyboardTest, EscapeNeverClosesTheTool) {
  auto form = ShowFocused();
  for (QWidget* focused : std::vector<QWidget*>{form->ComPortListBox, form->OpenComPortButton,
                                                form->PageControl1, form->ExitButton}) {
    SCOPED_TRACE(S(focused->objectName()));
    focused->setFocus(Qt::TabFocusReason);
    Press(Qt::Key_Escape);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(ui.boxes.empty());
  }
}

TEST_F(KeyboardTest, EnterPressesTheFocusedButtonAndNoOther) {
  struct Case {
    const char* name;
    Qt::Key key;
    bool portReady;
    const char* focused;  // the control with the focus
    std::vector<TextId> boxes;
    bool stillOpen;
  };
  const Case cases[] = {
      {"Return on Open",
       Qt::Key_Return,
       false,
       "OpenComPortButton",
       {kTextSelectAndOpenPort},
       true},
      {"keypad Enter on Open",
       Qt::Key_Enter,
       false,
       "OpenComPortButton",
       {kTextSelectAndOpenPort},
       true},
      {"Return on Exit", Qt::Key_Return, false, "ExitButton", {}, false},
      {"Return in a speed dial", Qt::Key_Return, true, "SpeedDial1LabeledEdit", {}, true},
      {"Return in the list", Qt::Key_Return, false, "ComPortListBox", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto form = ShowFocused();
    form->PortReady = c.portReady;
    form->UpdateControlStates();
    form->findChild<QWidget*>(c.focused)->setFocus(Qt::TabFocusReason);
    Press(c.key);
    std::vector<toolkit::testing::ShownBox> expected;
    for (TextId id : c.boxes)
      expected.push_back(Box(id, kTextCaptionNote, mb::kIconInformation));
    EXPECT_EQ(ui.boxes, expected);
    EXPECT_EQ(form->isVisible(), c.stillOpen);
    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    ui.boxes.clear();
  }
}

}  // namespace
}  // namespace app::testing
