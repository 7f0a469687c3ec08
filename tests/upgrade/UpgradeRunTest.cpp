// Whole upgrade runs in the window: the Start button, command 20 to the virtual headset, the real
// engine on the simulated DFU device, the outcome, and the port afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QString>
#include <filesystem>

#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "tests/support/Hostile.h"
#include "tests/upgrade/WindowUpgradeFixture.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuNames.h"

namespace app::testing {
namespace {

using namespace resources;
using namespace std::chrono_literals;
using toolkit::qt::S;
namespace mb = toolkit::mb;
namespace op = dfu::operation;
namespace sub = dfu::suboperation;

// Longest a run may take on the window's clock: the start delay, a detection, one poll per
// operation and a silent re-detection of a device that is gone.
constexpr std::uint32_t kRunBoundMs = 1000 + 30000 + 3 * 100 + 30000 + 100;

class UpgradeRunTest : public WindowUpgradeTest {
 protected:
  toolkit::testing::ShownBox SuccessBox() const {
    return Box(kTextUpgradeComplete, kTextCaptionNote, mb::kOk | mb::kIconInformation);
  }
  toolkit::testing::ShownBox FailureBox(std::uint32_t result, std::uint32_t operation,
                                        std::uint32_t subOperation) const {
    return {UpgradeFailureText(result, operation, subOperation), LoadText(kTextCaptionError),
            mb::kOk | mb::kIconError};
  }

  bool Shown(const toolkit::testing::ShownBox& box) const {
    return std::find(ui.boxes.begin(), ui.boxes.end(), box) != ui.boxes.end();
  }

  // After a run that did not reopen the port: the controls as the closed port sets them, and
  // nothing of the run left on the page.
  void ExpectClosedAndIdle() {
    EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Idle);
    EXPECT_FALSE(form->PortReady);
    EXPECT_FALSE(form->ComPort1->Active());
    EXPECT_FALSE(form->ProgressTimer->Enabled());
    EXPECT_TRUE(form->OpenComPortButton->isEnabled());
    EXPECT_TRUE(form->ComPortListBox->isEnabled());
    EXPECT_FALSE(form->CloseComPortButton->isEnabled());
    EXPECT_FALSE(form->StartDFUUpgradeButton->isEnabled());
    EXPECT_FALSE(form->OpenDfuFileButton->isEnabled());
    EXPECT_TRUE(form->PageControl1->isEnabled());
    EXPECT_TRUE(form->InfoLabel->isHidden());
    EXPECT_TRUE(form->ElapsedLabel->isHidden());
    EXPECT_TRUE(form->UpgradeProgressBar->isHidden());
    EXPECT_TRUE(form->ReportNoDevice);
    EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
    // What a run must never touch.
    EXPECT_EQ(form->FirmwareFilePath, firmwarePath);
    EXPECT_EQ(testsupport::ReadFile(SettingsFile()), settingsText);
    // And the window can be closed.
    const auto boxes = ui.boxes.size();
    bool canClose = false;
    form->FormCloseQuery(canClose);
    EXPECT_TRUE(canClose);
    EXPECT_EQ(ui.boxes.size(), boxes);
  }
};

TEST_F(UpgradeRunTest, FromTheStartButtonToTheReopenedPortWithTheNewVersion) {
  // The USB walk finds the headset's configuration string, in upper case.
  scanUsbTree = [this] {
    return QString::fromStdString(simulated->transport->Device().ConfigurationString())
        .toUpper()
        .toStdString();
  };
  StartAll();
  ASSERT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.23");
  // Code 10 of the read chain looked the device up on USB.
  EXPECT_EQ(S(form->DeviceInfoLabel->text()),
            "Firmware file : QMR7_123.xpv/.xdv        psr file : QMR7_123.psr");
  ASSERT_TRUE(form->StartDFUUpgradeButton->isEnabled());
  RequestUpgrade();
  // Confirmed: the wait cursor until the run starts, the port closed a millisecond later.
  EXPECT_EQ(ui.cursor, toolkit::Cursor::Wait);
  clock.Advance(1);
  EXPECT_FALSE(form->PortReady);
  EXPECT_FALSE(form->PortOpenedByUser);
  EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Idle);

  std::vector<TUpgradePhase> phases;
  std::uint32_t startedAt = 0;
  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    if (box == SuccessBox()) {
      // The box is modal: the run is still on and the window cannot close meanwhile.
      EXPECT_EQ(S(form->InfoLabel->text()), LoadText(kTextVerifying) + " 100%");
      EXPECT_EQ(form->UpgradeProgressBar->value(), 100);
      LetHeadsetReturn();
    }
  };
  ASSERT_TRUE(RunUntil([&] {
    if (phases.empty() || phases.back() != form->UpgradePhase) {
      if (phases.empty()) startedAt = clock.TickCount();
      phases.push_back(form->UpgradePhase);
    }
    return Shown(SuccessBox());
  }));
  EXPECT_EQ(phases, (std::vector<TUpgradePhase>{TUpgradePhase::Idle, TUpgradePhase::Reconfigure,
                                                TUpgradePhase::Download, TUpgradePhase::Manifest,
                                                TUpgradePhase::Idle}));
  EXPECT_LT(clock.TickCount() - startedAt, kRunBoundMs);
  EXPECT_EQ(S(form->DfuDeviceLabel->text()), "sim:1");
  // The replaced firmware's files are not shown as if it still ran.
  EXPECT_EQ(S(form->ConfigInfoLabel->text()), "");
  EXPECT_EQ(S(form->BdAddrInfoLabel->text()), "Device address : 00:0B:24:52:37:19");
  EXPECT_TRUE(form->CallbackRegistered);

  // Reopened at once: the same description, the query chain under way.
  EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
  EXPECT_TRUE(form->PortReady);
  EXPECT_TRUE(form->PortOpenedByUser);
  EXPECT_EQ(form->PendingCommand, 7);
  EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
  EXPECT_EQ(S(form->DeviceInfoLabel->text()),
            "Firmware file : QMR7_124.xpv/.xdv        psr file : QMR7_124.psr");
  EXPECT_EQ(headset->State().info.firmwareVersion, 124);
  EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
}

// The device's port comes back 3 s into the reconnect wait, or never.
TEST_F(UpgradeRunTest, ReconnectWaitsUpToFifteenSecondsForThePort) {
  for (const std::optional<std::uint32_t> backAfter :
       {std::optional<std::uint32_t>(3000), std::optional<std::uint32_t>()}) {
    SCOPED_TRACE(backAfter ? "back after 3 s" : "never back");
    TearDown();
    SetUp();
    StartAll();
    RequestUpgrade();

    std::uint32_t reconnectFrom = 0;
    bool returned = false;
    int rounds = 0;
    ui.onBox = [&](const toolkit::testing::ShownBox& box) {
      if (box == SuccessBox()) reconnectFrom = clock.TickCount();
    };
    clock.SetMessageHook([&] {
      dispatcher.Pump();
      if (reconnectFrom == 0) return;
      ++rounds;
      if (backAfter && !returned && clock.TickCount() - reconnectFrom >= *backAfter) {
        returned = true;
        LetHeadsetReturn();
      }
    });
    ASSERT_TRUE(RunUntil([&] { return Shown(SuccessBox()); }));
    EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
    EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
    if (backAfter) {
      // Found at the first look after it came: within one round of message processing.
      EXPECT_GE(rounds, 3000);
      EXPECT_LE(rounds, 3100);
      EXPECT_TRUE(form->PortReady);
      EXPECT_EQ(form->PendingCommand, 7);
      ASSERT_TRUE(PumpUntilIdle());
      EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
    } else {
      EXPECT_EQ(rounds, 15000);
      EXPECT_FALSE(form->PortReady);
      EXPECT_EQ(form->PendingCommand, kIdleCommand);
      EXPECT_TRUE(form->OpenComPortButton->isEnabled());
    }
  }
}

// The window may close in the second before the run starts and while it waits for the port; it
// then starts nothing and opens nothing.
TEST_F(UpgradeRunTest, AWindowClosedBeforeTheStartOrDuringTheReconnectDoesNothingMore) {
  for (const bool beforeStart : {true, false}) {
    SCOPED_TRACE(beforeStart ? "before the start" : "during the reconnect");
    TearDown();
    SetUp();
    StartAll();
    RequestUpgrade();
    if (beforeStart) {
      form->ExitButton->click();
      EXPECT_EQ(form->EngineHandle, 0u);
      clock.Advance(1000);
      EXPECT_FALSE(form->StartDFUTimer->Enabled());
      EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Idle);
      EXPECT_EQ(form->UsbDeviceName, "");
      EXPECT_TRUE(ui.boxes.empty());
      EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
      continue;
    }
    bool closing = false;
    ui.onBox = [&](const toolkit::testing::ShownBox& box) { closing = box == SuccessBox(); };
    clock.SetMessageHook([&] {
      dispatcher.Pump();
      if (!closing) return;
      closing = false;
      form->ExitButton->click();
      LetHeadsetReturn();
    });
    ASSERT_TRUE(RunUntil([&] { return Shown(SuccessBox()); }));
    EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
    EXPECT_FALSE(form->PortReady);
    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
  }
}

struct FaultCase {
  std::string name;
  sim::DfuDeviceConfig config;
  sim::DfuFaults faults;
  bool goneAfterDetach = false;
  // The engine's codes; all 0 for a run that succeeds.
  std::uint32_t result = 0, operation = 0, subOperation = 0;
  bool stillOnUsb = true;  // the silent re-detection finds the device
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<FaultCase> FaultCases() {
  std::vector<FaultCase> cases;
  for (std::uint8_t status = 1; status <= 15; ++status) {
    FaultCase c;
    c.name = "Status" + std::to_string(status) + "AtBlock3";
    c.faults.statusAt = sim::DfuFaults::StatusAt{3, status};
    c.result = dfu::result::ForStatus(status, false);
    c.operation = op::kDownloadProgress;
    c.subOperation = sub::kDownloadProcessing;
    cases.push_back(c);
  }
  FaultCase stall;
  stall.name = "StallAtBlock2";
  stall.faults.stallAt = 2;
  stall.result = dfu::result::kFailDfuStalledPkt;
  stall.operation = op::kDownloadProgress;
  stall.subOperation = sub::kDownloadProcessing;
  cases.push_back(stall);

  FaultCase disconnect;
  disconnect.name = "DisconnectInTheDownload";
  disconnect.faults.disconnectAt = 2;
  disconnect.result = dfu::result::kFailUsbNone;
  disconnect.operation = op::kDownloadProgress;
  disconnect.subOperation = sub::kDownloadProcessing;
  disconnect.stillOnUsb = false;  // it went back to its serial side with the old firmware
  cases.push_back(disconnect);

  FaultCase noReturn;
  noReturn.name = "NeverBackAfterManifestation";
  noReturn.faults.noReturn = true;
  noReturn.result = dfu::result::kFailUsbNone;
  noReturn.operation = op::kManifestFail;
  noReturn.subOperation = sub::kUsbWait;
  noReturn.stillOnUsb = false;
  cases.push_back(noReturn);

  FaultCase detachGone;
  detachGone.name = "NeverBackAfterDetach";
  detachGone.goneAfterDetach = true;
  detachGone.result = dfu::result::kFailUsbNone;
  detachGone.operation = op::kReconfigureStartDfu;
  detachGone.subOperation = sub::kUsbWait;
  detachGone.stillOnUsb = false;
  cases.push_back(detachGone);

  FaultCase otherMaker;
  otherMaker.name = "AnotherMakersIdAfterDetach";
  otherMaker.config.dfuVendor = 0x1234;
  otherMaker.result = dfu::result::kFailUsbId;
  otherMaker.operation = op::kReconfigureStartDfu;
  otherMaker.subOperation = sub::kUsbWait;
  cases.push_back(otherMaker);

  // Longer than the engine honours: it waits its own limit, and the run still completes.
  FaultCase slowPoll;
  slowPoll.name = "SlowPoll";
  slowPoll.config.pollTimeoutMs = 90000;
  slowPoll.config.transferSize = 4096;
  cases.push_back(slowPoll);
  return cases;
}

class UpgradeFaultTest : public UpgradeRunTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpgradeFaultTest, TheUserIsToldAndTheWindowIsLeftUsable) {
  const FaultCase& c = GetParam();
  StartAll(c.config, c.faults);
  simulated->transport->goneAfterDetach = c.goneAfterDetach;
  RequestUpgrade();
  const std::uint32_t from = clock.TickCount();
  const bool succeeds = c.result == 0;
  const toolkit::testing::ShownBox expected =
      succeeds ? SuccessBox() : FailureBox(c.result, c.operation, c.subOperation);
  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    if (box == SuccessBox()) LetHeadsetReturn();
  };
  ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }))
      << "the run did not end";
  EXPECT_LT(clock.TickCount() - from, kRunBoundMs);
  EXPECT_EQ(ui.boxes, std::vector{expected});
  if (succeeds) {
    EXPECT_TRUE(form->PortReady);
    ASSERT_TRUE(PumpUntilIdle());
    EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
    return;
  }
  ExpectClosedAndIdle();
  // The USB labels show the device as the silent re-detection found it.
  EXPECT_EQ(S(form->DfuDeviceLabel->text()), c.stillOnUsb ? "sim:1" : "");
  EXPECT_EQ(form->UsbDeviceFound, c.stillOnUsb);
  EXPECT_FALSE(simulated->transport->Device().Upgraded());
}

INSTANTIATE_TEST_SUITE_P(DeviceFaults, UpgradeFaultTest, ::testing::ValuesIn(FaultCases()),
                         [](const auto& param) { return param.param.name; });

// The engine refuses to bind or to start one of its operations.
TEST_F(UpgradeRunTest, ARefusedStartEndsTheRunWithItsMessage) {
  for (const char* call : {"CreateUSB", "StartReconfigure", "StartDownload", "StartManifest"}) {
    SCOPED_TRACE(call);
    TearDown();
    SetUp();
    StartAll();
    simulated->refuse = {call};
    RequestUpgrade();
    ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty() && !form->ProgressTimer->Enabled(); }));
    EXPECT_EQ(ui.boxes, std::vector{Box(kTextUpgradeStartFailed, kTextCaptionError,
                                        mb::kOk | mb::kIconError)});
    ExpectClosedAndIdle();
    EXPECT_EQ(S(form->DfuDeviceLabel->text()), "sim:1");
  }
}

TEST_F(UpgradeRunTest, TheWindowCannotBeClosedDuringARun) {
  StartAll();
  form->show();
  RequestUpgrade();
  ASSERT_TRUE(RunUntil([&] { return form->UpgradePhase != TUpgradePhase::Idle; }));
  form->ExitButton->click();
  EXPECT_EQ(ui.boxes,
            std::vector{Box(kTextUpgradeRunning, kTextCaptionNote, mb::kOk | mb::kIconWarning)});
  EXPECT_TRUE(form->isVisible());
  // Nothing was given up: the run goes on to its end.
  ui.boxes.clear();
  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    if (box == SuccessBox()) LetHeadsetReturn();
  };
  ASSERT_TRUE(RunUntil([&] { return Shown(SuccessBox()); }));
  EXPECT_TRUE(form->PortReady);
}

// The file is read once, at the request: whatever becomes of it on disk during the run, the device
// receives the bytes that were checked, never another file's.
TEST_F(UpgradeRunTest, AFileChangedAfterTheRequestDoesNotReachTheDevice) {
  struct Change {
    const char* name;
    void (*apply)(const std::string& path);
  };
  const Change changes[] = {
      {"rewritten as another maker's firmware, version 9.99",
       [](const std::string& path) {
         dfu::testing::WriteFirmware(path, dfu::testing::Header("OTHER MAKER", 999),
                                     kFirmwareBodySize);
       }},
      {"removed", [](const std::string& path) { std::filesystem::remove(path); }},
      {"replaced by a named pipe",
       [](const std::string& path) {
         std::filesystem::remove(path);
         ::mkfifo(path.c_str(), 0600);
       }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    TearDown();
    SetUp();
    StartAll();
    RequestUpgrade();
    change.apply(firmwarePath);
    ui.onBox = [&](const toolkit::testing::ShownBox& box) {
      if (box == SuccessBox()) LetHeadsetReturn();
    };
    ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty(); }));
    EXPECT_EQ(ui.boxes, std::vector{SuccessBox()});
    ASSERT_TRUE(PumpUntilIdle());
    EXPECT_EQ(headset->State().info.firmwareVersion, 124);
    EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
    testsupport::RecordHostile("Firmware file",
                               std::string("the window's file ") + change.name + " after Start",
                               "the checked file is downloaded: the headset runs its version 1.24");
  }
}

// Only a file named for the connected model is sent for; any other sends nothing to the device.
TEST_F(UpgradeRunTest, AFileForAnotherModelSendsNothing) {
  StartAll();
  struct Case {
    std::string name;
    bool sends;
  };
  for (const Case& c : std::vector<Case>{{"OTHER_124.dfu", false},
                                         {"QMR7124.dfu", false},
                                         {"QMR7.dfu", false},
                                         {"QMR7_dir/fw.dfu", false},
                                         {"qmr7_124.dfu", true}}) {
    SCOPED_TRACE(c.name);
    ui.boxes.clear();
    platform::CreateFolder(appData / "QMR7_dir");
    form->FirmwareFilePath = dfu::testing::WriteFirmware(appData / c.name, dfu::testing::Header());
    form->StartDFUUpgradeButton->click();
    if (c.sends) {
      EXPECT_TRUE(ui.boxes.empty());
      EXPECT_EQ(form->PendingCommand, 20);
      continue;
    }
    EXPECT_EQ(ui.boxes,
              std::vector{Box(kTextWrongModel, kTextCaptionError, mb::kOk | mb::kIconError)});
    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    // A command the device answers after it proves nothing else reached it: command 20 would
    // have sent it away from its port.
    ui.boxes.clear();
    form->SaveA2dpAudioSettingButton->click();
    ASSERT_TRUE(PumpUntilIdle());
    EXPECT_EQ(ui.boxes, std::vector{Box(kTextSaveSuccessful, kTextCaptionNote,
                                        mb::kOk | mb::kIconInformation)});
    EXPECT_EQ(headset->GetPresence(), sim::Presence::Attached);
  }
}

}  // namespace
}  // namespace app::testing
