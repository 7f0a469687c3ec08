#include <QFontMetrics>
#include <QGuiApplication>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/Program.h"
#include "platform/Folders.h"
#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;
namespace mb = toolkit::mb;
// The settings file's path is made with the system's separator, after the folder as given.
const std::string kSep(1, platform::kPathSeparator);

TEST_F(MainformTest, CaptionTitleAndFontFollowTheLanguage) {
  struct Case {
    Language language;
    const char* caption;
    const char* title;
    int charset;
  };
  const Case cases[] = {
      {Language::English, "QM-R7 Tool Program, V1.00", "QM-R7 Tool Program", kDefaultCharset},
      {Language::Japanese, "QM-R7\u8a2d\u5b9a\u30c4\u30fc\u30eb, V1.00",
       "QM-R7\u8a2d\u5b9a\u30c4\u30fc\u30eb", kShiftJisCharset},
  };
  for (const auto& c : cases) {
    SetLanguage(c.language);
    auto form = MakeForm();
    EXPECT_EQ(S(form->windowTitle()), c.caption);
    EXPECT_EQ(form->ApplicationTitle, c.title);
    EXPECT_EQ(S(form->windowIconText()), c.title);  // what the task bar shows
    EXPECT_EQ(form->FontCharset, c.charset);
    if (c.language == Language::Japanese) {
      EXPECT_EQ(form->font().pointSize(), 10);
    } else {
      EXPECT_EQ(form->font().pixelSize(), 11);  // the designed size stays
    }
    // Every control takes the window's font.
    EXPECT_EQ(form->SpeedDial1LabeledEdit->EditLabel()->font(), form->font());
    EXPECT_EQ(form->ExitButton->font(), form->font());
  }
}

// What task bars, docks and window lists show is the desktop entry the application names: its
// Name is text 20001 alone, in each language, where the window's title carries the version too.
TEST_F(MainformTest, TheDesktopEntryTheApplicationNamesIsTitledWithText20001) {
  NameTheApplication();
  EXPECT_EQ(S(QGuiApplication::desktopFileName()), QMR7_APP_ID);
  // The entry the package installs under that id.
  std::map<std::string, std::string> entry;
  std::istringstream lines(testsupport::ReadFile(QMR7_DESKTOP_ENTRY));
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) entry[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const std::pair<Language, const char*> names[] = {{Language::English, "Name"},
                                                    {Language::Japanese, "Name[ja]"}};
  for (const auto& [language, key] : names) {
    SetLanguage(language);
    EXPECT_EQ(entry[key], LoadText(kTextAppTitle)) << key;
    auto form = MakeForm();
    EXPECT_EQ(S(form->windowIconText()), LoadText(kTextAppTitle));
  }
}

TEST_F(MainformTest, StartUpLeavesTheWindowIdleWithThePortClosed) {
  auto form = MakeForm();
  EXPECT_EQ(form->PendingCommand, kIdleCommand);
  EXPECT_FALSE(form->PortReady);
  EXPECT_NE(form->EngineHandle, 0u);
  EXPECT_TRUE(notifier.Registered());
  EXPECT_TRUE(form->ReportNoDevice);
  EXPECT_EQ(form->PageControl1->ActivePageIndex(), 0);
  EXPECT_EQ(form->GPSAudioSharingLabeledEdit->text(), "Yes");
  EXPECT_EQ(form->A2DPAudioMixPercentageLabeledEdit->text(), "20");

  for (QWidget* hidden : std::vector<QWidget*>{form->InfoLabel, form->ElapsedLabel, form->HintLabel,
                                               form->UpgradeProgressBar, form->DeviceInfoLabel,
                                               form->DeviceBdAddrInfoLabel}) {
    EXPECT_TRUE(hidden->isHidden()) << S(hidden->objectName());
  }
  for (QLabel* empty : {form->ConfigInfoLabel, form->BdAddrInfoLabel, form->DeviceInfoLabel,
                        form->DeviceBdAddrInfoLabel, form->FWVerLabel, form->DFUFileNameLabel}) {
    EXPECT_EQ(empty->text(), "") << S(empty->objectName());
  }

  // With the port closed only the port list, its label, the open button, the pages and Exit work.
  for (QWidget* on :
       std::vector<QWidget*>{form->ComPortListBox, form->SelectComPortLabel,
                             form->OpenComPortButton, form->PageControl1, form->ExitButton}) {
    EXPECT_TRUE(on->isEnabled()) << S(on->objectName());
  }
  for (QWidget* off : std::vector<QWidget*>{
           form->CloseComPortButton, form->SpeedDial1LabeledEdit, form->SaveSpeedDialSettingButton,
           form->A2DPAudioMixPercentageUpDown, form->GPSAudioSharingUpDown,
           form->SaveGPSAudioSettingButton, form->OpenDfuFileButton, form->StartDFUUpgradeButton,
           form->RestoreDefaultButton, form->GPSAudioSettingMemo}) {
    EXPECT_FALSE(off->isEnabled()) << S(off->objectName());
  }
}

TEST_F(MainformTest, NotesFillTheMemosLineByLine) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    auto form = MakeForm();
    EXPECT_EQ(form->SpeedDialSettingMemo->Lines().size(), 3);
    EXPECT_EQ(form->A2DPAudioSettingMemo->Lines().size(), 3);
    EXPECT_EQ(form->GPSAudioSettingMemo->Lines(), Q(LoadText(kTextGpsNote)).split('\n'));
    // The whole note fits the memo's designed height, heading first.
    const auto* memo = form->GPSAudioSettingMemo;
    EXPECT_LE(memo->document()->size().height(), memo->height());
  }
}

TEST_F(MainformTest, PortsAreListedInNumberOrderAndTheFirstUsbOneIsSelected) {
  struct Case {
    const char* name;
    std::vector<platform::PortInfo> ports;
    std::vector<std::string> lines;
    int selected;
  };
  const std::vector<Case> cases = {
      {"numbers, not letters",
       {{"COM10", "USB Serial Device (a)"}, {"COM3", "Communications Port"}, {"COM4", "Usb b"}},
       {"COM3  -  Communications Port", "COM4  -  Usb b", "COM10  -  USB Serial Device (a)"},
       1},
      {"device nodes",
       {{"/dev/ttyUSB10", "USB Serial Device (x)"},
        {"/dev/ttyACM2", "USB Serial Device (QM-R7 virtual headset)"},
        {"/dev/ttyS0", "Serial Port (ttyS0)"}},
       {"/dev/ttyACM2  -  USB Serial Device (QM-R7 virtual headset)",
        "/dev/ttyS0  -  Serial Port (ttyS0)", "/dev/ttyUSB10  -  USB Serial Device (x)"},
       0},
      {"no USB port: nothing selected",
       {{"/dev/ttyS1", "Serial Port (ttyS1)"}},
       {"/dev/ttyS1  -  Serial Port (ttyS1)"},
       -1},
      {"empty description", {{"/dev/ttyS1", ""}}, {"/dev/ttyS1  -  "}, -1},
      {"no port at all", {}, {}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ports.ports = c.ports;
    auto form = MakeForm();
    std::vector<std::string> lines;
    for (int i = 0; i < form->ComPortListBox->count(); ++i) {
      lines.push_back(S(form->ComPortListBox->item(i)->text()));
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(form->PortCount, static_cast<int>(c.ports.size()));
    EXPECT_EQ(form->ComPortListBox->currentRow(), c.selected);
  }
}

TEST_F(MainformTest, WithNoPortOpenArrivalsRebuildTheListAndRemovalsOfAllPortsKeepIt) {
  ports.ports = {{"/dev/ttyS0", "Serial Port (ttyS0)"}};
  auto form = MakeForm();
  ports.ports.push_back({"/dev/ttyACM0", "USB Serial Device (QM-R7)"});
  notifier.Notify(platform::kDeviceArrival);
  ASSERT_EQ(form->ComPortListBox->count(), 2);
  EXPECT_EQ(form->ComPortListBox->currentRow(), 0);  // the USB one, preselected
  EXPECT_EQ(S(form->ComPortListBox->item(0)->text()), "/dev/ttyACM0  -  USB Serial Device (QM-R7)");

  ports.ports.erase(ports.ports.begin() + 1);
  notifier.Notify(platform::kDeviceRemoveComplete);
  EXPECT_EQ(form->ComPortListBox->count(), 1);
  EXPECT_EQ(form->ComPortListBox->currentRow(), -1);  // rebuilt without preselection

  ports.ports.clear();
  notifier.Notify(platform::kDeviceRemoveComplete);
  EXPECT_EQ(form->ComPortListBox->count(), 1);  // the old lines stay
  EXPECT_EQ(form->PortCount, 0);
}

// The kept lines still name their ports: a highlighted one is tried, and the user learns that it
// would not open rather than being asked to choose a line.
TEST_F(MainformTest, OpenOnALineKeptAfterEveryPortLeftTriesThatPort) {
  ports.ports = {{"/dev/ttyUSB97", "USB Serial Device (QM-R7)"}};
  auto form = MakeForm();
  ports.ports.clear();
  notifier.Notify(platform::kDeviceRemoveComplete);
  ASSERT_EQ(form->ComPortListBox->count(), 1);
  ASSERT_EQ(form->PortCount, 0);
  form->ComPortListBox->setCurrentRow(0);
  form->OpenComPortButton->click();
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextCannotOpenPort, kTextCaptionError, mb::kIconError)}));
  EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{1000, 1000}));
  EXPECT_FALSE(form->PortOpenedByUser);
}

TEST_F(MainformTest, TheRememberedFirmwareFileIsReadFromTheSettingsFile) {
  struct Case {
    const char* name;
    const char* program;
    const char* file;      // settings file name in FPBFU
    std::string contents;  // empty: no file
    std::string expected;
  };
  const std::string tooLong = "/" + std::string(255, 'x');
  const std::vector<Case> cases = {
      {"my.tool gives my.tool.INI", "/opt/my.tool", "my.tool.INI",
       "[Setting]\nDFU_FileName=/fw/QMR7_1.dfu\n", "/fw/QMR7_1.dfu"},
      {"my.tool.exe", "/opt/my.tool.exe", "my.tool.INI", "[Setting]\nDFU_FileName=/fw/QMR7_2.dfu\n",
       "/fw/QMR7_2.dfu"},
      {"missing file", "/usr/bin/qmr7-tool", "other.INI", "[Setting]\nDFU_FileName=/x\n", ""},
      {"missing key", "/usr/bin/qmr7-tool", "qmr7-tool.INI", "[Setting]\nOther=1\n", ""},
      {"longer than a path field holds", "/usr/bin/qmr7-tool", "qmr7-tool.INI",
       "[Setting]\nDFU_FileName=" + tooLong + "\n", ""},
      {"255 characters fit", "/usr/bin/qmr7-tool", "qmr7-tool.INI",
       "[Setting]\nDFU_FileName=" + tooLong.substr(1) + "\n", tooLong.substr(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir folder;
    appDataFolder = folder.Path();
    std::filesystem::create_directories(appDataFolder + "/FPBFU");
    if (!c.contents.empty()) testsupport::WriteFile(appDataFolder + "/FPBFU/" + c.file, c.contents);
    auto form = MakeForm(c.program);
    EXPECT_EQ(form->SettingsFilePath, appDataFolder + kSep + "FPBFU" + kSep +
                                          platform::ProgramBaseName(c.program) + ".INI");
    EXPECT_EQ(form->FirmwareFilePath, c.expected);
    EXPECT_EQ(S(form->DFUFileNameLabel->text()).find(c.expected.substr(0, 10)), 0u);
  }
}

TEST_F(MainformTest, ALongPathIsFittedToTheLabelAtCharacterBoundaries) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    const std::string unit = language == Language::Japanese ? "\u30d5\u30a1\u30fc\u30e0" : "firm";
    std::string path = "/home/user";
    for (int i = 0; i < 30; ++i)
      path += "/" + unit;
    std::filesystem::create_directories(appDataFolder + "/FPBFU");
    testsupport::WriteFile(SettingsFile(), "[Setting]\nDFU_FileName=" + path + "\n");
    auto form = MakeForm();
    const QString shown = form->DFUFileNameLabel->text();
    EXPECT_EQ(QString(shown).remove('\n'), Q(path));
    const QStringList lines = shown.split('\n');
    EXPECT_GE(lines.size(), 2);
    const QFontMetrics metrics(form->DFUFileNameLabel->font());
    for (const QString& line : lines) {
      EXPECT_LE(metrics.horizontalAdvance(line), form->DFUFileNameLabel->width());
    }
    EXPECT_EQ(form->FirmwareFilePath, path);  // the field keeps the path unbroken

    // A short path stays on one line.
    form->FitLabelText(form->DFUFileNameLabel, "/fw/QMR7_1.dfu");
    EXPECT_EQ(form->DFUFileNameLabel->text(), "/fw/QMR7_1.dfu");
  }
}

TEST_F(MainformTest, LabelsShowMarkupAsTheCharactersItIsWrittenWith) {
  // Paths and what devices say may look like markup; shown as markup, "<b>x</b>" would be a bold x.
  const std::string path = "/home/user/<b>x</b>/a&lt;b/QMR7_124.dfu";
  std::filesystem::create_directories(appDataFolder + "/FPBFU");
  testsupport::WriteFile(SettingsFile(), "[Setting]\nDFU_FileName=" + path + "\n");
  auto form = MakeForm();
  EXPECT_EQ(S(form->DFUFileNameLabel->text()), path);

  for (QLabel* label : form->findChildren<QLabel*>()) {
    const QWidget* named = label->buddy() != nullptr ? label->buddy() : label;
    SCOPED_TRACE(S(named->objectName()));
    // An edit's caption (a label with a buddy) takes "&" for its mnemonic, as a caption should.
    const QString markup =
        label->buddy() != nullptr ? QStringLiteral("<b>x</b>") : QStringLiteral("<b>x</b> a&lt;b");
    label->setText(markup);
    EXPECT_GE(label->sizeHint().width(), QFontMetrics(label->font()).horizontalAdvance(markup));
  }
}

TEST_F(MainformTest, ThePromptComesOnce100MsAfterTheFirstShow) {
  auto form = MakeForm();
  form->show();
  clock.Advance(99);
  EXPECT_TRUE(ui.boxes.empty());
  clock.Advance(1);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0], Box(kTextSelectAndOpenPort, kTextCaptionNote, mb::kIconInformation));
  EXPECT_FALSE(form->ShowPromptTimer->Enabled());

  form->hide();
  form->show();
  clock.Advance(1000);
  EXPECT_EQ(ui.boxes.size(), 1u);

  auto second = MakeForm();  // the flag is the process's, not the window's
  second->show();
  clock.Advance(1000);
  EXPECT_EQ(ui.boxes.size(), 1u);
}

TEST_F(MainformTest, AnUnusableSettingsFolderReadsEmptyAndIsReportedAtClose) {
  testsupport::WriteFile(appData / "not-a-folder", "x");
  appDataFolder = appData / "not-a-folder";
  auto form = MakeForm();
  EXPECT_EQ(form->FirmwareFilePath, "");
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(reports, (std::vector<std::string>{"Unable to write to " + appDataFolder + kSep +
                                               "FPBFU" + kSep + "qmr7-tool.INI."}));
  EXPECT_EQ(form->EngineHandle, 0u);
}

}  // namespace
}  // namespace app::testing
