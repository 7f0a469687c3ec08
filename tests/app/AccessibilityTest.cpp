// The window as a screen reader and a keyboard user meet it: every control's role, name and
// focus, what the window announces, page changes from the keyboard, and a focus that shows.
#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QStyle>
#include <QStyleFactory>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceCommands.h"
#include "resources/WindowLayout.h"
#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;
namespace mb = toolkit::mb;

struct Expected {
  const char* control;
  QAccessible::Role role;
  Qt::FocusPolicy focus;
  const char* english;
  const char* japanese;
  const char* englishDescription = "";
  const char* japaneseDescription = "";
};

constexpr char kPercentEn[] = "From 1 to 100 percent; the Up and Down keys change it";
constexpr char kPercentJa[] = "1～100％（上下キーで変更）";
constexpr char kYesNoEn[] = "Yes or No; the Up and Down keys change it";
constexpr char kYesNoJa[] = "「はい」または「いいえ」（上下キーで変更）";

// Every control of the layout and every page, as the window stands after start-up.
const Expected kControls[] = {
    {"SelectComPortLabel", QAccessible::StaticText, Qt::NoFocus, "Select COM Port",
     "COMポートを選択"},
    {"FWVerLabel", QAccessible::StatusBar, Qt::NoFocus, "Firmware version",
     "ファームウエアバージョン"},
    {"PaintBox1", QAccessible::Client, Qt::NoFocus, "Device information", "デバイス情報"},
    {"DeviceInfoLabel", QAccessible::StaticText, Qt::NoFocus, "Device configuration",
     "デバイス構成"},
    {"DeviceBdAddrInfoLabel", QAccessible::StaticText, Qt::NoFocus, "Device address",
     "デバイスアドレス"},
    {"PageControl1", QAccessible::Client, Qt::TabFocus, "Pages", "ページ"},
    {"ComPortListBox", QAccessible::List, Qt::StrongFocus, "Select COM Port", "COMポートを選択"},
    {"OpenComPortButton", QAccessible::Button, Qt::StrongFocus, "Open COM Port", "COMポートを開く"},
    {"CloseComPortButton", QAccessible::Button, Qt::StrongFocus, "Close COM Port",
     "COMポートを閉じる"},
    {"InfoMemo", QAccessible::EditableText, Qt::NoFocus, "Information", "情報"},
    {"ExitButton", QAccessible::Button, Qt::StrongFocus, "Exit", "閉じる"},
    {"RestoreDefaultButton", QAccessible::Button, Qt::StrongFocus, "Restore default settings",
     "リセット"},
    {"SpeedDialSettingTabSheet", QAccessible::Client, Qt::NoFocus, "Speed dial setting",
     "スピードダイヤル設定"},
    {"SpeedDial1LabeledEdit", QAccessible::EditableText, Qt::StrongFocus, "Speed dial 1",
     "スピードダイヤル1"},
    {"SpeedDial2LabeledEdit", QAccessible::EditableText, Qt::StrongFocus, "Speed dial 2",
     "スピードダイヤル2"},
    {"SpeedDial3LabeledEdit", QAccessible::EditableText, Qt::StrongFocus, "Speed dial 3",
     "スピードダイヤル3"},
    {"SaveSpeedDialSettingButton", QAccessible::Button, Qt::StrongFocus, "Save", "保存"},
    {"SpeedDialSettingMemo", QAccessible::EditableText, Qt::ClickFocus, "Speed dial setting: note",
     "スピードダイヤル設定：注意事項"},
    {"A2DPAudioSettingTabSheet", QAccessible::Client, Qt::NoFocus, "A2DP music setting",
     "A2DP音量設定"},
    {"A2DPAudioMixPercentageLabeledEdit", QAccessible::EditableText, Qt::StrongFocus,
     "The percentage of A2DP music volume among the mixed audio", "A2DPの音量調整比率", kPercentEn,
     kPercentJa},
    {"A2DPAudioMixPercentageUpDown", QAccessible::SpinBox, Qt::TabFocus,
     "The percentage of A2DP music volume among the mixed audio", "A2DPの音量調整比率", kPercentEn,
     kPercentJa},
    {"SaveA2dpAudioSettingButton", QAccessible::Button, Qt::StrongFocus, "Save", "保存"},
    {"A2DPAudioSettingMemo", QAccessible::EditableText, Qt::ClickFocus, "A2DP music setting: note",
     "A2DP音量設定：注意事項"},
    {"GPSAudioSettingTabSheet", QAccessible::Client, Qt::NoFocus, "GPS audio setting",
     "GPS音量設定"},
    {"GPSAudioMixPercentageLabeledEdit", QAccessible::EditableText, Qt::StrongFocus,
     "The percentage of GPS audio volume among the mixed audio", "GPSの音量調整比率", kPercentEn,
     kPercentJa},
    {"GPSAudioMixPercentageUpDown", QAccessible::SpinBox, Qt::TabFocus,
     "The percentage of GPS audio volume among the mixed audio", "GPSの音量調整比率", kPercentEn,
     kPercentJa},
    {"GPSAudioSharingLabeledEdit", QAccessible::EditableText, Qt::StrongFocus, "GPS audio sharing",
     "GPS共有", kYesNoEn, kYesNoJa},
    {"GPSAudioSharingUpDown", QAccessible::SpinBox, Qt::TabFocus, "GPS audio sharing", "GPS共有",
     kYesNoEn, kYesNoJa},
    {"SaveGPSAudioSettingButton", QAccessible::Button, Qt::StrongFocus, "Save", "保存"},
    {"GPSAudioSettingMemo", QAccessible::EditableText, Qt::ClickFocus, "GPS audio setting: note",
     "GPS音量設定：注意事項"},
    {"DeviceFirmwareUpgradeTabSheet", QAccessible::Client, Qt::NoFocus, "Firmware upgrade",
     "ファームウエアアップグレード"},
    {"OpenDfuFileButton", QAccessible::Button, Qt::StrongFocus, "Select firmware file...",
     "ファームウエアファイル選択"},
    {"DFUFileNameLabel", QAccessible::StaticText, Qt::NoFocus, "Firmware file",
     "ファームウエアファイル"},
    {"DfuDeviceLabel", QAccessible::StaticText, Qt::NoFocus, "USB device", "USBデバイス"},
    {"DfuModeLabel", QAccessible::StaticText, Qt::NoFocus, "USB device", "USBデバイス"},
    {"ConfigInfoLabel", QAccessible::StaticText, Qt::NoFocus, "Device configuration",
     "デバイス構成"},
    {"BdAddrInfoLabel", QAccessible::StaticText, Qt::NoFocus, "Device address", "デバイスアドレス"},
    {"StartDFUUpgradeButton", QAccessible::Button, Qt::StrongFocus, "Start firmware upgrade",
     "ファームウエアアップデート開始"},
    {"InfoLabel", QAccessible::StatusBar, Qt::NoFocus, "Upgrade progress",
     "アップデートの進行状況"},
    {"ElapsedLabel", QAccessible::StaticText, Qt::NoFocus, "Elapsed", "経過s"},
    {"UpgradeProgressBar", QAccessible::ProgressBar, Qt::NoFocus, "Upgrade progress",
     "アップデートの進行状況"},
    {"HintLabel", QAccessible::StaticText, Qt::NoFocus, "Upgrade progress",
     "アップデートの進行状況"},
};

QAccessibleInterface* Accessible(QObject* object) {
  return QAccessible::queryAccessibleInterface(object);
}

std::string Name(QObject* object) {
  return S(Accessible(object)->text(QAccessible::Name));
}

class AccessibilityTest : public MainformTest {
 protected:
  std::unique_ptr<TMajorForm> ShowFocused() {
    auto form = MakeForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    clock.Advance(100);  // past the first-show prompt
    ui.boxes.clear();
    return form;
  }
};

TEST_F(AccessibilityTest, EveryControlHasItsRoleNameAndFocusInBothLanguages) {
  // The table covers the whole layout: a control added later must be added to it.
  std::vector<std::string> listed;
  for (const Expected& e : kControls)
    listed.push_back(e.control);
  for (const ControlLayout& c : MainWindowLayout().controls) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::string(c.name)), listed.end())
        << c.name << " is missing from the table";
  }
  for (const auto& page : MainWindowLayout().pages) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::string(page.name)), listed.end())
        << page.name << " is missing from the table";
  }

  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    const bool english = language == Language::English;
    for (const Expected& e : kControls) {
      SCOPED_TRACE(std::string(e.control) + (english ? " (English)" : " (Japanese)"));
      auto* widget = form->findChild<QWidget*>(QString::fromLatin1(e.control));
      ASSERT_NE(widget, nullptr);
      QAccessibleInterface* iface = Accessible(widget);
      ASSERT_NE(iface, nullptr);
      EXPECT_EQ(iface->role(), e.role);
      EXPECT_EQ(S(iface->text(QAccessible::Name)), english ? e.english : e.japanese);
      EXPECT_EQ(S(iface->text(QAccessible::Description)),
                english ? e.englishDescription : e.japaneseDescription);
      EXPECT_EQ(widget->focusPolicy(), e.focus);
    }
    // The caption labels the list, for readers that follow the relation.
    const auto relations =
        Accessible(form->SelectComPortLabel)->relations(QAccessible::AllRelations);
    ASSERT_EQ(relations.size(), 1);
    EXPECT_EQ(relations.front().first->object(), form->ComPortListBox);
  }
}

TEST_F(AccessibilityTest, LabelsAreReadWithTheirMeaningAsTheirTextsChange) {
  struct Case {
    const char* label;
    std::string shown;
    std::string heard;
  };
  const Case cases[] = {
      // The text says what it is already: read as it stands.
      {"FWVerLabel", "Firmware version: V1.23", "Firmware version: V1.23"},
      {"BdAddrInfoLabel", "Device address : 00:11:22:33:44:55",
       "Device address : 00:11:22:33:44:55"},
      {"ElapsedLabel", "Elapsed: 1:05", "Elapsed: 1:05"},
      // A bare value gets its meaning in front.
      {"DfuDeviceLabel", "QM-R7 Headset", "USB device: QM-R7 Headset"},
      {"ConfigInfoLabel", "Firmware file : QMR7_123.xpv        psr file : QMR7_123.psr",
       "Device configuration: Firmware file : QMR7_123.xpv        psr file : QMR7_123.psr"},
      // The fitting's line breaks are not read: the path is heard whole.
      {"DFUFileNameLabel", "/home/user/firm\nware/QMR7_124.dfu",
       "Firmware file: /home/user/firmware/QMR7_124.dfu"},
      // The phase of a run is a status read alone.
      {"InfoLabel", "Download in progress... 45%", "Download in progress... 45%"},
  };
  auto form = MakeForm();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto* label = form->findChild<QLabel*>(QString::fromLatin1(c.label));
    ASSERT_NE(label, nullptr);
    label->setText(Q(c.shown));
    EXPECT_EQ(Name(label), c.heard);
    label->clear();
    EXPECT_FALSE(Name(label).empty());
  }
}

// Qt announces what changes in a control's name or value (a label's text, a bar's position);
// what is checked here is what a reader then hears from it.
TEST_F(AccessibilityTest, AnUpgradesPhaseAndPercentageAreReadAsAStatusAndABarValue) {
  auto form = MakeForm();
  form->UpgradePhase = TUpgradePhase::Download;
  form->InfoLabel->show();
  form->UpgradeProgressBar->show();
  for (std::uint32_t percent : {10u, 45u}) {
    DFUEngineReport report{};
    report.size = sizeof report;
    report.percent = percent;
    form->OnEngineReport(DFUENGINE_REPORT_PROGRESS, report);
  }
  dispatcher.Pump();

  QAccessibleInterface* bar = Accessible(form->UpgradeProgressBar);
  ASSERT_NE(bar->valueInterface(), nullptr);
  EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 45);
  EXPECT_EQ(S(bar->text(QAccessible::Name)), "Upgrade progress");
  QAccessibleInterface* status = Accessible(form->InfoLabel);
  EXPECT_EQ(status->role(), QAccessible::StatusBar);
  EXPECT_EQ(S(status->text(QAccessible::Name)),
            UpgradeProgressText(TUpgradePhase::Download, 45, 0));
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(AccessibilityTest, TheEndOfAReadChainIsAStatusUntilThePortCloses) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    form->PortReady = true;
    QAccessibleInterface* status = Accessible(form->FWVerLabel);
    form->PendingCommand = cmd::ReadA2dpPercentage;
    form->HandleDeviceLine("OK");
    form->HandleDeviceLine("+FPSTS1=4,20");
    EXPECT_EQ(S(status->text(QAccessible::Description)), "");  // mid-chain: nothing said yet
    form->PendingCommand = cmd::ReadGpsAudio;
    form->HandleDeviceLine("OK");
    form->HandleDeviceLine("+FPSTS1=5,30,1");

    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    EXPECT_EQ(status->role(), QAccessible::StatusBar);
    EXPECT_EQ(S(status->text(QAccessible::Description)), LoadText(kTextSettingsRead));
    EXPECT_EQ(Accessible(form->GPSAudioMixPercentageUpDown)->valueInterface()->currentValue(), 30);

    form->CloseComPortButtonClick();
    EXPECT_EQ(S(status->text(QAccessible::Description)), "");
  }
}

TEST_F(AccessibilityTest, TheSharingControlIsHeardAsYesOrNo) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    QAccessibleInterface* sharing = Accessible(form->GPSAudioSharingUpDown);
    ASSERT_NE(sharing->valueInterface(), nullptr);
    EXPECT_EQ(S(sharing->text(QAccessible::Value)), LoadText(kTextYes));
    form->GPSAudioSharingUpDown->Step(toolkit::qt::UDBtnType::btPrev);
    EXPECT_EQ(S(sharing->text(QAccessible::Value)), LoadText(kTextNo));
    QAccessibleInterface* percent = Accessible(form->A2DPAudioMixPercentageUpDown);
    EXPECT_EQ(percent->valueInterface()->currentValue().toInt(), 20);
    EXPECT_EQ(percent->valueInterface()->minimumValue().toInt(), 1);
    EXPECT_EQ(percent->valueInterface()->maximumValue().toInt(), 100);
  }
}

void PressCtrl(Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  ASSERT_NE(target, nullptr);
  const Qt::KeyboardModifiers modifiers =
      key == Qt::Key_Backtab ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier;
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
}

TEST_F(AccessibilityTest, CtrlTabChangesThePageWhereverTheFocusIs) {
  struct Case {
    const char* focused;
    bool portReady;
    Qt::Key key;
    int from;
    int to;
  };
  const Case cases[] = {
      {"ComPortListBox", false, Qt::Key_Tab, 0, 1},
      {"OpenComPortButton", false, Qt::Key_Backtab, 1, 0},
      {"CloseComPortButton", true, Qt::Key_Tab, 3, 0},  // it wraps round
      {"ExitButton", true, Qt::Key_Backtab, 0, 3},
      {"PageControl1", true, Qt::Key_Tab, 1, 2},
      {"SpeedDial2LabeledEdit", true, Qt::Key_Tab, 0, 1},
      {"GPSAudioSharingUpDown", true, Qt::Key_Backtab, 2, 1},
      {"StartDFUUpgradeButton", true, Qt::Key_Backtab, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.focused);
    auto form = ShowFocused();
    form->PortReady = c.portReady;
    form->UpdateControlStates();
    form->PageControl1->SetActivePageIndex(c.from);
    auto* focused = form->findChild<QWidget*>(QString::fromLatin1(c.focused));
    focused->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(),
              focused->focusProxy() != nullptr ? focused->focusProxy() : focused);
    PressCtrl(c.key);
    EXPECT_EQ(form->PageControl1->ActivePageIndex(), c.to);
    EXPECT_TRUE(ui.boxes.empty());
  }
}

TEST_F(AccessibilityTest, CtrlTabAsksBeforeLeavingUnsavedEdits) {
  for (int answer : {mb::kIdNo, mb::kIdYes}) {
    SCOPED_TRACE(answer);
    auto form = ShowFocused();
    form->PortReady = true;
    form->UpdateControlStates();
    form->SpeedDial1LabeledEdit->setFocus(Qt::TabFocusReason);
    form->SpeedDial1LabeledEdit->setText(QStringLiteral("123"));
    ui.answers.push_back(answer);
    PressCtrl(Qt::Key_Tab);
    EXPECT_EQ(ui.boxes, (std::vector{Box(kTextConfirmDiscard, kTextCaptionNote,
                                         mb::kYesNo | mb::kIconWarning | mb::kDefButton2)}));
    EXPECT_EQ(form->PageControl1->ActivePageIndex(), answer == mb::kIdYes ? 1 : 0);
    ui.boxes.clear();
  }
}

TEST_F(AccessibilityTest, TheFocusShowsOnTheListAndTheSpinControlsInBothStyles) {
  struct Case {
    const char* control;
    bool withPorts;  // the list holds lines (one current), or none
    bool portReady;  // the list serves while no port is open, the settings while one is
  };
  const Case cases[] = {
      {"ComPortListBox", true, false},
      {"ComPortListBox", false, false},
      {"A2DPAudioMixPercentageUpDown", true, true},
      {"GPSAudioSharingUpDown", true, true},
  };
  for (const char* styleName : {"Windows", "Fusion"}) {
    std::unique_ptr<QStyle> style(QStyleFactory::create(QString::fromLatin1(styleName)));
    ASSERT_NE(style, nullptr) << styleName;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(styleName) + " " + c.control + (c.withPorts ? "" : " (empty)"));
      ports.ports.clear();
      if (c.withPorts) ports.ports = {{"/dev/qmr7-test-ttyS0", "Serial Port (ttyS0)"}};
      auto form = ShowFocused();
      form->setStyle(style.get());
      for (QWidget* child : form->findChildren<QWidget*>())
        child->setStyle(style.get());
      form->PortReady = c.portReady;
      form->UpdateControlStates();
      auto* control = form->findChild<QWidget*>(QString::fromLatin1(c.control));
      for (int page = 0; page < form->PageControl1->count(); ++page) {
        if (form->PageControl1->widget(page)->isAncestorOf(control))
          form->PageControl1->SetActivePageIndex(page);
      }
      form->ExitButton->setFocus(Qt::TabFocusReason);
      QApplication::processEvents();
      const QImage without = control->grab().toImage();
      control->setFocus(Qt::TabFocusReason);
      QApplication::processEvents();
      ASSERT_TRUE(control->hasFocus());
      const QImage with = control->grab().toImage();
      EXPECT_TRUE(with != without) << "the control looks the same with and without the focus";
    }
  }
}

}  // namespace
}  // namespace app::testing
