// The window with a headset an upgrade left in DFU mode, and with a USB reset the system refuses:
// the page says the headset waits, Start finishes the upgrade without a port, the user is asked to
// replug and told what a headset that never came back was left with.
#include <gtest/gtest.h>

#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "tests/upgrade/WindowUpgradeFixture.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuNames.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
namespace mb = toolkit::mb;

class DfuModeWindowTest : public WindowUpgradeTest {
 protected:
  void SetUp() override {
    WindowUpgradeTest::SetUp();
    // The walk finds the headset when the simulated device is attached in DFU mode.
    headsetInDfuMode = [this](std::span<const dfu::DeviceIds>) {
      return simulated && !simulated->transport->List().empty() &&
             simulated->transport->Device().Mode() == sim::DfuMode::Dfu;
    };
  }

  toolkit::testing::ShownBox SuccessBox() const {
    return Box(kTextUpgradeComplete, kTextCaptionNote, mb::kOk | mb::kIconInformation);
  }

  // A run that fails in the download, leaving the headset in DFU mode.
  void FailOnce() {
    sim::DfuFaults faults;
    faults.statusAt = sim::DfuFaults::StatusAt{3, 7};
    StartAll({}, faults);
    RequestUpgrade();
    ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }));
    ASSERT_EQ(ui.boxes.size(), 1u);
    ui.boxes.clear();
  }
};

TEST_F(DfuModeWindowTest, ACutShortUpgradeIsFinishedFromTheWindow) {
  const std::size_t sleepsBefore = clock.Sleeps().size();
  FailOnce();
  // The silent re-detection looked once: no wait for a device it only refreshes labels for.
  EXPECT_EQ(clock.Sleeps().size(), sleepsBefore);
  EXPECT_EQ(S(form->DfuModeLabel->text()), LoadText(kTextHeadsetInDfuMode));
  EXPECT_FALSE(form->PortReady);
  EXPECT_TRUE(form->StartDFUUpgradeButton->isEnabled());
  EXPECT_TRUE(form->OpenDfuFileButton->isEnabled());
  EXPECT_TRUE(form->OpenComPortButton->isEnabled());

  // No file: nothing to start with.
  const std::string file = form->FirmwareFilePath;
  form->FirmwareFilePath.clear();
  form->UpdateControlStates();
  EXPECT_FALSE(form->StartDFUUpgradeButton->isEnabled());
  form->FirmwareFilePath = file;
  form->UpdateControlStates();

  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    if (box == SuccessBox()) LetHeadsetReturn();
  };
  form->StartDFUUpgradeButton->click();
  // Straight to the engine: no command 20, no second of waiting for a port to close.
  EXPECT_EQ(form->PendingCommand, kIdleCommand);
  EXPECT_FALSE(form->StartDFUTimer->Enabled());
  EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Reconfigure);
  EXPECT_EQ(S(form->DfuModeLabel->text()), "");
  ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }));
  EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
  // Back on the port of the description opened before, with the new version.
  EXPECT_TRUE(form->PortReady);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
  EXPECT_EQ(headset->State().info.firmwareVersion, 124);
  EXPECT_EQ(S(form->DfuModeLabel->text()), "");
  EXPECT_FALSE(form->UsbDeviceInDfuMode);
}

TEST_F(DfuModeWindowTest, AHeadsetUnpluggedInDfuModeNoLongerWaits) {
  FailOnce();
  ASSERT_EQ(S(form->DfuModeLabel->text()), LoadText(kTextHeadsetInDfuMode));
  simulated->transport->SetAttached(false);
  notifier.Notify(platform::kDeviceRemoveComplete);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(S(form->DfuModeLabel->text()), "");
  EXPECT_FALSE(form->UsbDeviceInDfuMode);
  EXPECT_FALSE(form->StartDFUUpgradeButton->isEnabled());
}

// Support can name a headset's ids in the settings file; a value that is no ids is ignored.
TEST_F(DfuModeWindowTest, TheSettingsFileMayNameTheHeadsetsIds) {
  for (const auto& [value, expected] :
       std::vector<std::pair<std::string, std::vector<dfu::DeviceIds>>>{
           {"1234:0001,1234:0002", {dfu::DeviceIds{0x1234, 0x0001, 0x1234, 0x0002}}},
           {"1234", {}},
           {"", {}}}) {
    SCOPED_TRACE(value);
    platform::CreateFolder(appDataFolder + "/FPBFU");
    platform::IniFile(SettingsFile()).WriteString("Setting", "DFU_DeviceIds", value);
    std::vector<dfu::DeviceIds> asked;
    headsetInDfuMode = [&](std::span<const dfu::DeviceIds> ids) {
      asked.assign(ids.begin(), ids.end());
      return false;
    };
    form = MakeForm();
    EXPECT_EQ(form->ExtraDeviceIds, expected);
    EXPECT_EQ(asked, expected);  // the look at start-up
    form.reset();
  }
  headsetInDfuMode = {};
}

TEST_F(DfuModeWindowTest, NothingChangesWhenNoHeadsetWaitsInDfuMode) {
  headsetInDfuMode = [](std::span<const dfu::DeviceIds>) { return false; };
  FailOnce();
  EXPECT_EQ(S(form->DfuModeLabel->text()), "");
  EXPECT_FALSE(form->StartDFUUpgradeButton->isEnabled());
  EXPECT_FALSE(form->OpenDfuFileButton->isEnabled());
}

TEST_F(DfuModeWindowTest, ARefusedResetAsksForAReplugOnThePageAndTheRunGoesOn) {
  StartAll();
  // The system refuses resets; the user replugs the headset when asked.
  simulated->transport->SetReplugAfterRefusal(std::chrono::seconds(5));
  simulated->transport->SetRefuseResets(true);
  RequestUpgrade();
  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    if (box == SuccessBox()) LetHeadsetReturn();
  };
  ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }));
  // No box for the request: the wait went on behind the page's line, which went with the next
  // report.
  EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
  EXPECT_EQ(S(form->HintLabel->text()), LoadText(kTextReplugHeadset));
  EXPECT_EQ(form->HintText, "");
  EXPECT_TRUE(form->HintLabel->isHidden());
  EXPECT_EQ(headset->State().info.firmwareVersion, 124);
}

// The engine reports the wait's progress right after asking: the request stays through the wait
// and goes when the headset is back.
TEST_F(DfuModeWindowTest, TheReplugRequestStaysThroughTheWait) {
  using namespace dfu::operation;
  struct Case {
    TUpgradePhase phase;
    std::uint32_t asking;
    std::uint32_t waiting;
    std::uint32_t waitingPercent;
    std::uint32_t back;
    std::uint32_t backPercent;
  };
  StartAll();
  // As the engine reports, from its thread: the window takes each from its queue.
  const auto Report = [&](std::uint32_t kind, std::uint32_t percent, std::uint32_t operation) {
    form->OnEngineReport(kind, {sizeof(DFUEngineReport), percent, operation, 0, 0, 0, 0});
    dispatcher.Pump();
  };
  for (const Case& c : {Case{TUpgradePhase::Reconfigure, kReconfigureStartRuntime,
                             kReconfigureStartDfu, 50, kReconfigureChecking, 75},
                        Case{TUpgradePhase::Manifest, kManifestStartRuntime, kManifestStartRuntime,
                             50, kManifestStartRuntime, 100}}) {
    SCOPED_TRACE(c.asking);
    form->UpgradePhase = c.phase;
    Report(DFUENGINE_REPORT_REPLUG, 0, c.asking);
    Report(DFUENGINE_REPORT_PROGRESS, c.waitingPercent, c.waiting);
    clock.Advance(5000);
    dispatcher.Pump();
    EXPECT_EQ(form->HintText, LoadText(kTextReplugHeadset));
    Report(DFUENGINE_REPORT_PROGRESS, c.backPercent, c.back);
    EXPECT_EQ(form->HintText, "");
    EXPECT_TRUE(form->HintLabel->isHidden());
  }
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(DfuModeWindowTest, AHeadsetNeverRepluggedIsReportedWithWhatTheRunLeft) {
  struct Case {
    const char* name;
    bool startInDfuMode;  // the detach is skipped, so the refusal comes after manifestation
    TextId message;
  };
  for (const Case& c : {Case{"after the detach", false, kTextNotBackNothingWritten},
                        Case{"after manifestation", true, kTextNotBackAfterWrite}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.startInDfuMode) {
      FailOnce();
    } else {
      StartAll();
    }
    // From now on the system refuses resets, and the user never replugs the headset.
    simulated->transport->SetRefuseResets(true);
    if (c.startInDfuMode) {
      form->StartDFUUpgradeButton->click();
    } else {
      RequestUpgrade();
    }
    ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }));
    EXPECT_EQ(ui.boxes, std::vector{Box(c.message, kTextCaptionError, mb::kOk | mb::kIconError)});
    EXPECT_EQ(form->HintText, "");
    EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Idle);
    EXPECT_FALSE(simulated->transport->Device().Upgraded());
  }
}

}  // namespace
}  // namespace app::testing
