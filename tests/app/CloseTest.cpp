#include <QCoreApplication>
#include <QTimer>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/UpgradeEngine.h"
#include "platform/IniFile.h"
#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
namespace mb = toolkit::mb;

struct CloseCase {
  const char* name;
  bool upgradeRunning;
  int pendingCommand;
  bool speedDialChanged;
  std::vector<int> answers;
  bool closes;
  std::vector<TextId> boxes;
};

TEST_F(MainformTest, ClosingIsRefusedOrQuestionedInOrder) {
  const std::vector<CloseCase> cases = {
      {"clean", false, kIdleCommand, false, {}, true, {}},
      {"upgrade running", true, kIdleCommand, false, {}, false, {kTextUpgradeRunning}},
      {"upgrade running before pending command", true, 7, true, {}, false, {kTextUpgradeRunning}},
      {"command pending", false, 7, false, {}, false, {kTextCommunicating}},
      {"command pending before unsaved edits", false, 21, true, {}, false, {kTextCommunicating}},
      {"unsaved edits, No", false, kIdleCommand, true, {mb::kIdNo}, false, {kTextConfirmDiscard}},
      {"unsaved edits, Yes", false, kIdleCommand, true, {mb::kIdYes}, true, {kTextConfirmDiscard}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir folder;
    appDataFolder = folder.Path();
    ui.boxes.clear();
    ui.answers.assign(c.answers.begin(), c.answers.end());
    auto form = MakeForm();
    form->show();
    form->SpeedDial1LabeledEdit->setText("0312");
    form->SpeedDialChanged = c.speedDialChanged;
    form->PendingCommand = c.pendingCommand;
    form->UpgradePhase = c.upgradeRunning ? TUpgradePhase::Download : TUpgradePhase::Idle;

    form->ExitButton->click();

    EXPECT_EQ(form->isVisible(), !c.closes);
    std::vector<toolkit::testing::ShownBox> expected;
    for (TextId id : c.boxes) {
      const unsigned flags = id == kTextConfirmDiscard
                                 ? mb::kYesNo | mb::kIconWarning | mb::kDefButton2
                                 : mb::kOk | mb::kIconWarning;
      expected.push_back(Box(id, kTextCaptionNote, flags));
    }
    EXPECT_EQ(ui.boxes, expected);
    EXPECT_EQ(form->SpeedDial1LabeledEdit->text(), "0312");  // a refusal keeps the edit
    EXPECT_EQ(form->EngineHandle == 0, c.closes);
    EXPECT_EQ(std::filesystem::exists(SettingsFile()), c.closes);
  }
}

TEST_F(MainformTest, ClosingWritesTheFirmwareFileKeyEvenWhenEmptyAndKeepsTheRest) {
  std::filesystem::create_directories(appDataFolder + "/FPBFU");
  testsupport::WriteFile(SettingsFile(), "[Mine]\nkeep=1\n[Setting]\nDFU_FileName=/old.dfu\n");
  auto form = MakeForm();
  EXPECT_EQ(form->FirmwareFilePath, "/old.dfu");
  form->FirmwareFilePath.clear();  // the last choice was rejected
  form->show();
  form->close();
  EXPECT_EQ(testsupport::ReadFile(SettingsFile()), "[Mine]\nkeep=1\n[Setting]\nDFU_FileName=\n");

  auto next = MakeForm();
  next->FirmwareFilePath = "/fw/QMR7_\u30d5\u30a1\u30a4\u30eb.dfu";
  next->FormClose();
  EXPECT_EQ(platform::IniFile(SettingsFile()).ReadString("Setting", "DFU_FileName"),
            "/fw/QMR7_\u30d5\u30a1\u30a4\u30eb.dfu");
  EXPECT_EQ(next->EngineHandle, 0u);
  next->FormClose();  // a second close finds no engine to destroy
}

// A settings file that cannot be written at the close (here a folder stands in its place; the
// other ways a write fails are the settings file's own tests) is reported, and the window still
// closes: refusing would leave the user no way out.
TEST_F(MainformTest, ASettingsFileThatCannotBeWrittenIsReportedAndTheWindowCloses) {
  std::filesystem::create_directories(SettingsFile());
  reports.clear();
  auto form = MakeForm();
  form->show();
  form->ExitButton->click();
  EXPECT_FALSE(form->isVisible());
  ASSERT_EQ(reports.size(), 1u);
  // The path as the system writes it (Windows: with backslashes).
  EXPECT_EQ(reports[0].rfind("Unable to write to ", 0), 0u) << reports[0];
  EXPECT_NE(reports[0].find("qmr7-tool.INI"), std::string::npos) << reports[0];
  EXPECT_TRUE(std::filesystem::is_directory(SettingsFile()));
}

// A Linux file name may hold a line break; the settings file cannot. Such a file is simply not
// remembered, rather than remembered as another, cut name.
TEST_F(MainformTest, AFirmwarePathWithALineBreakIsNotRemembered) {
  auto form = MakeForm();
  form->FirmwareFilePath = "/fw/QMR7_a\nb.dfu";
  form->FormClose();
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(platform::IniFile(SettingsFile()).Read("Setting", "DFU_FileName"), "");
  EXPECT_EQ(MakeForm()->FirmwareFilePath, "");
}

TEST_F(MainformTest, ClosingStopsTheUpgradeTimersAndEndsTheDeviceNotification) {
  auto form = MakeForm();
  form->ProgressTimer->Start();
  form->CheckUSBConnectionTimer->Start();
  EXPECT_TRUE(form->BlinkHintTextTimer->Enabled());
  form->FormClose();
  EXPECT_FALSE(form->ProgressTimer->Enabled());
  EXPECT_FALSE(form->CheckUSBConnectionTimer->Enabled());
  EXPECT_FALSE(form->BlinkHintTextTimer->Enabled());
  form.reset();
  EXPECT_FALSE(notifier.Registered());
}

// The engine's handle goes back to the engine once, at the close; a handle of 0 (the engine could
// not be made) is never handed to it.
TEST_F(MainformTest, TheEngineIsDestroyedOnceAndNeverWithHandleZero) {
  class CountingEngine final : public UpgradeEngine {
   public:
    explicit CountingEngine(DFUEngineHandle handle) : handle_(handle) {}
    DFUEngineHandle Create() override { return handle_; }
    void Destroy(DFUEngineHandle handle) override { destroyed.push_back(handle); }
    std::vector<DFUEngineHandle> destroyed;

   private:
    DFUEngineHandle handle_;
  };
  for (const DFUEngineHandle handle : {DFUEngineHandle{0}, DFUEngineHandle{77}}) {
    CountingEngine counting(handle);
    engine = &counting;
    auto form = MakeForm();
    form->show();
    EXPECT_TRUE(form->close());
    form.reset();
    const std::vector<DFUEngineHandle> expected =
        handle == 0 ? std::vector<DFUEngineHandle>{} : std::vector<DFUEngineHandle>{handle};
    EXPECT_EQ(counting.destroyed, expected) << handle;
    engine = nullptr;
  }
}

// A line that cannot be written (the device failed before the window heard of it) is answered by
// nothing: it must not stay pending, or every close would be refused as "communicating".
TEST_F(MainformTest, ACommandThatCannotBeWrittenIsReportedAndLeftBehind) {
  struct Case {
    const char* name;
    std::function<void(TMajorForm&)> send;
    bool TMajorForm::*changeFlag;  // stays set: nothing was saved
  };
  const Case cases[] = {
      {"next link of the read chain",
       [](TMajorForm& f) {
         f.PendingCommand = 7;
         f.UartRespTimeoutTimer->Start();
         f.HandleDeviceLine("OK");
         f.HandleDeviceLine("+FPSTS1=7,89075089");
       },
       nullptr},
      {"save of the A2DP page",
       [](TMajorForm& f) {
         f.A2DPAudioMixPercentageUpDown->SetPosition(55);
         f.SaveA2dpAudioSettingButtonClick();  // as pressed once the page was read
       },
       &TMajorForm::A2dpChanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reports.clear();
    auto form = MakeForm();
    form->show();
    form->PortReady = true;  // as the window believes; the port itself cannot write
    form->UpdateControlStates();

    c.send(*form);

    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
    EXPECT_FALSE(form->PortReady);
    EXPECT_TRUE(form->OpenComPortButton->isEnabled());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("Unable to write to COM2: ", 0), 0u) << reports[0];
    if (c.changeFlag != nullptr) {
      EXPECT_TRUE((*form).*c.changeFlag);
    }
    ui.answers = {mb::kIdYes};  // leave the unsaved edit
    form->ExitButton->click();
    EXPECT_FALSE(form->isVisible());
  }
}

TEST_F(MainformTest, AnExceptionEscapingAnEventIsReportedAndTheLoopGoesOn) {
  auto form = MakeForm();
  bool later = false;
  QTimer::singleShot(0, form.get(), [] { throw std::runtime_error("Handler failed"); });
  QTimer::singleShot(0, form.get(), [&] { later = true; });
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(reports, (std::vector<std::string>{"Handler failed."}));
  EXPECT_TRUE(later);
}

}  // namespace
}  // namespace app::testing
