#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QTabBar>
#include <string>
#include <vector>

#include "resources/WindowLayout.h"
#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;

// The text a control shows: a button's or label's caption, a labelled edit's label.
std::string Caption(QWidget* w) {
  if (auto* edit = dynamic_cast<LabeledEdit*>(w)) return S(edit->EditLabel()->text());
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return S(button->text());
  if (auto* label = qobject_cast<QLabel*>(w)) return S(label->text());
  return {};
}

TEST_F(MainformTest, EveryControlStandsWhereTheLayoutPutsItWithItsStartText) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    const auto& layout = MainWindowLayout();
    EXPECT_EQ(form->size(), QSize(layout.clientWidth, layout.clientHeight));
    for (const ControlLayout& c : layout.controls) {
      SCOPED_TRACE(std::string(c.name));
      auto* w = form->findChild<QWidget*>(Q(c.name));
      ASSERT_NE(w, nullptr);
      EXPECT_EQ(w->geometry(), QRect(c.left, c.top, c.width, c.height));
      EXPECT_EQ(S(w->parentWidget()->objectName()), c.parent.empty() ? "" : std::string(c.parent));
      if (c.textAtStart != kNoText && c.role != Role::NoteMemo) {
        EXPECT_EQ(Caption(w), LoadText(c.textAtStart));
      }
    }
    for (std::size_t i = 0; i < layout.pages.size(); ++i) {
      EXPECT_EQ(S(form->PageControl1->widget(static_cast<int>(i))->objectName()),
                layout.pages[i].name);
      EXPECT_EQ(S(form->PageControl1->tabText(static_cast<int>(i))),
                LoadText(layout.pages[i].caption));
    }
  }
}

TEST_F(MainformTest, WindowIsAFixedDialogWithoutMinimizeOrMaximize) {
  auto form = MakeForm();
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  const auto flags = form->windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
}

TEST_F(MainformTest, EditLabelsEndThreePixelsLeftOfTheirEditsInBothLanguages) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    for (LabeledEdit* edit :
         {form->SpeedDial1LabeledEdit, form->SpeedDial2LabeledEdit, form->SpeedDial3LabeledEdit,
          form->A2DPAudioMixPercentageLabeledEdit, form->GPSAudioMixPercentageLabeledEdit,
          form->GPSAudioSharingLabeledEdit}) {
      SCOPED_TRACE(S(edit->objectName()));
      const QRect label = edit->EditLabel()->geometry();
      EXPECT_EQ(label.x() + label.width(), edit->x() - 3);
      EXPECT_NEAR(label.center().y(), edit->geometry().center().y(), 1);
    }
    // The long English label grows to the left of the designed one.
    if (language == Language::English) {
      EXPECT_LT(form->A2DPAudioMixPercentageLabeledEdit->EditLabel()->x(), 324 - 150);
    }
  }
}

TEST_F(MainformTest, SpinControlsAndTimersAreDefinedAsTheLayoutSays) {
  auto form = MakeForm();
  for (const auto& u : MainWindowLayout().upDowns) {
    auto* upDown = form->findChild<UpDown*>(Q(u.name));
    ASSERT_NE(upDown, nullptr);
    EXPECT_EQ(upDown->Min(), u.min);
    EXPECT_EQ(upDown->Max(), u.max);
    EXPECT_EQ(upDown->Position(), u.position);
    EXPECT_EQ(upDown->Buddy() == nullptr ? "" : S(upDown->Buddy()->objectName()), u.buddy);
  }
  const std::vector<std::pair<toolkit::Timer*, std::string_view>> timers = {
      {form->CheckUSBConnectionTimer, "CheckUSBConnectionTimer"},
      {form->ProgressTimer, "ProgressTimer"},
      {form->BlinkHintTextTimer, "BlinkHintTextTimer"},
      {form->UartRespTimeoutTimer, "UartRespTimeoutTimer"},
      {form->StartDFUTimer, "StartDFUTimer"},
      {form->DFUCloseComPortTimer, "DFUCloseComPortTimer"},
      {form->ShowPromptTimer, "ShowPromptTimer"},
  };
  for (const auto& t : MainWindowLayout().timers) {
    const auto it = std::find_if(timers.begin(), timers.end(),
                                 [&](const auto& p) { return p.second == t.name; });
    ASSERT_NE(it, timers.end()) << t.name;
    EXPECT_EQ(it->first->Interval(), t.interval) << t.name;
    EXPECT_EQ(it->first->Enabled(), t.enabled) << t.name;
  }
}

TEST_F(MainformTest, TheSignalIndicatorIsAsTheLayoutSaysAndBoundToNothing) {
  auto form = MakeForm();
  ASSERT_EQ(MainWindowLayout().indicators.size(), 1U);
  const auto& layout = MainWindowLayout().indicators[0];
  ASSERT_NE(form->ComSignal1, nullptr);
  EXPECT_EQ(form->ComSignal1->Name(), layout.name);
  EXPECT_EQ(form->ComSignal1->Delay(), 100);
  EXPECT_EQ(form->ComSignal1->Signal(), comport::siNone);
  EXPECT_EQ(form->ComSignal1->ComPort(), nullptr);
  EXPECT_EQ(form->ComSignal1->Control(), nullptr);
  EXPECT_FALSE(form->ComSignal1->SignalValue());
  // The port keeps the window's own handlers.
  EXPECT_TRUE(form->ComPort1->AfterClose() ==
              comport::TOpenCloseEvent::Bind(form.get(), &TMajorForm::ComPort1AfterClose));
  EXPECT_FALSE(static_cast<bool>(form->ComPort1->AfterOpen()));
}

// Presses Tab `count` times from the list box and names the controls that take the focus.
std::vector<std::string> TabWalk(TMajorForm& form, int count) {
  form.show();
  form.activateWindow();
  QApplication::setActiveWindow(&form);
  QWidget* start = form.ComPortListBox->isEnabled() ? static_cast<QWidget*>(form.ComPortListBox)
                                                    : form.CloseComPortButton;
  start->setFocus(Qt::TabFocusReason);
  std::vector<std::string> names{S(start->objectName())};
  for (int i = 0; i < count; ++i) {
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(QApplication::focusWidget(), &tab);
    QWidget* focus = QApplication::focusWidget();
    if (qobject_cast<QTabBar*>(focus) != nullptr) focus = focus->parentWidget();
    names.push_back(focus == nullptr ? "(none)" : S(focus->objectName()));
  }
  return names;
}

TEST_F(MainformTest, TabbingVisitsTheControlsInOrderSkippingDisabledOnes) {
  auto form = MakeForm();
  // The memo below the window's edge takes no focus: the focus never leaves the window's face.
  EXPECT_EQ(TabWalk(*form, 4),
            (std::vector<std::string>{"ComPortListBox", "OpenComPortButton", "PageControl1",
                                      "ExitButton", "ComPortListBox"}));

  form->PortReady = true;
  form->UpdateControlStates();
  // Save waits for the page's values from the headset, which nothing has read here.
  EXPECT_EQ(TabWalk(*form, 7),
            (std::vector<std::string>{"CloseComPortButton", "PageControl1", "SpeedDial1LabeledEdit",
                                      "SpeedDial2LabeledEdit", "SpeedDial3LabeledEdit",
                                      "RestoreDefaultButton", "ExitButton", "CloseComPortButton"}));

  // On the firmware page the start button comes before the file button above it.
  form->PageControl1->SetActivePageIndex(3);
  EXPECT_EQ(TabWalk(*form, 3),
            (std::vector<std::string>{"CloseComPortButton", "PageControl1", "StartDFUUpgradeButton",
                                      "OpenDfuFileButton"}));
}

TEST_F(MainformTest, ClicksOnTheBlankStripReachThePaintBoxWhileTheDeviceLabelsAreHidden) {
  auto form = MakeForm();
  EXPECT_EQ(form->childAt(20, 470), form->PaintBox1);
  EXPECT_EQ(form->childAt(20, 490), form->PaintBox1);
  form->DeviceInfoLabel->show();
  form->DeviceBdAddrInfoLabel->show();
  EXPECT_EQ(form->childAt(20, 470), form->DeviceInfoLabel);
  EXPECT_EQ(form->childAt(20, 490), form->DeviceBdAddrInfoLabel);
}

}  // namespace
}  // namespace app::testing
