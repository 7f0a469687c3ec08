// qmr7ctl upgrade up to the engine, against the headset model in virtual time: the file checks
// before anything is sent, the USB search and its limit, Ctrl-C, and the progress line.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/ctl/CtlFixture.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tools/qmr7ctl/Upgrade.h"
#include "tools/qmr7ctl/UsbDriver.h"
#include "upgrade/DfuEngineCore.h"

namespace qmr7ctl::testing {
namespace {

using namespace std::chrono_literals;

class UpgradeStepsTest : public CtlTest {
 protected:
  void SetUp() override {
    CtlTest::SetUp();
    system.now = [this] { return now; };
    system.sleep = [this](std::chrono::milliseconds ms) {
      sleeps.push_back(ms);
      now += ms;
      if (pressAfterSleep > 0 && static_cast<int>(sleeps.size()) % pressAfterSleep == 0) ++presses;
    };
    system.walkUsb = [this] {
      ++walks;
      return usbenum::UsbDetection{};
    };
    system.createEngine = []() -> DFUEngineHandle {
      ADD_FAILURE() << "no engine without a headset on USB";
      return 0;
    };
    system.catchInterrupts = [this] { ++catches; };
    system.interrupts = [this] { return presses; };
    upgrade = &system;
  }

  std::string Firmware(const std::string& name, const std::string& description = "FARPOINT") {
    return dfu::testing::WriteFirmware(tmp / name, dfu::testing::Header(description, 200));
  }

  UpgradeSystem system;
  Clock::time_point now{};
  std::vector<std::chrono::milliseconds> sleeps;
  int walks = 0;
  int catches = 0;
  int presses = 0;
  int pressAfterSleep = 0;  // a Ctrl-C after every this many waits; 0: none
};

TEST_F(UpgradeStepsTest, AFileTheWindowWouldRefuseSendsNothingUpgradeMode) {
  struct Case {
    std::string file;
    std::string error;
    std::vector<std::string> sent;
  };
  const std::vector<std::string> identity = {"AT+FPCMD1=7", "AT+FPCMD1=8", "AT+FPCMD1=9",
                                             "AT+FPCMD1=10"};
  const std::vector<Case> cases = {
      {tmp / "missing.dfu", "Incorrect firmware file: ", {}},
      {Firmware("QMR7_other.dfu", "another product"),
       "The firmware file selected cannot work with this headset.",
       {}},
      // The model is the headset's to say: it is asked, but command 20 never goes.
      {Firmware("OTHER_200.dfu"),
       "The firmware file selected cannot match with your device model (QMR7).", identity},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    commands.clear();
    EXPECT_EQ(Ctl({"upgrade", c.file}), static_cast<int>(Exit::FileInvalid));
    EXPECT_NE(err.find(c.error), std::string::npos) << err;
    EXPECT_EQ(commands, c.sent);
    EXPECT_EQ(out, "");
    EXPECT_EQ(walks, 0);
    EXPECT_EQ(catches, 0);
  }
}

TEST_F(UpgradeStepsTest, AHeadsetNotFoundOnUsbWithin30SecondsIsReportedAfterCommand20) {
  const std::string file = Firmware("QMR7_200.dfu");
  EXPECT_EQ(Ctl({"upgrade", file}), static_cast<int>(Exit::NoDevice));
  EXPECT_EQ(commands.back(), "AT+FPCMD1=20");
  EXPECT_EQ(catches, 1);
  // About a second for the headset to leave its port, then a look every 100 ms while less than
  // 30 s have passed, as the window looks.
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.front(), 1000ms);
  EXPECT_EQ(sleeps.size(), 301u);
  EXPECT_EQ(walks, 300);
  EXPECT_EQ(err,
            "Asking the headset on /dev/ttyACM0 to get ready for the upgrade.\n"
            "Looking for the headset on USB...\n"
            "qmr7ctl: Your computer is not connected to a Bluetooth device. Please check if your "
            "device is correctly connected to the computer.\n");
}

TEST_F(UpgradeStepsTest, CtrlCWhileTheHeadsetIsAwayWarnsOnceAndStopsAtTheSecondPress) {
  pressAfterSleep = 5;
  EXPECT_EQ(Ctl({"upgrade", Firmware("QMR7_200.dfu")}), static_cast<int>(Exit::UpgradeFailed));
  EXPECT_EQ(sleeps.size(), 10u);
  const std::string warning =
      "Stopping now leaves the headset in DFU mode; running 'qmr7ctl "
      "upgrade FILE' again finds it there and finishes the upgrade. Press "
      "Ctrl-C again to stop anyway.\n";
  EXPECT_NE(err.find(warning), std::string::npos) << err;
  EXPECT_EQ(err.find(warning), err.rfind(warning)) << "warned once";
  // Stopped while looking for it on USB: nothing was written.
  EXPECT_TRUE(err.ends_with("qmr7ctl: " + Get(Text::StoppedBeforeWrite) + "\n")) << err;
}

// What a stop leaves depends on how far the run got; the message says it as it is.
TEST_F(UpgradeStepsTest, AStopSaysHowFarTheRunGot) {
  EXPECT_EQ(StoppedText(Stage::Detecting, 0), Get(Text::StoppedBeforeWrite));
  EXPECT_EQ(StoppedText(Stage::Reconfigure, 75), Get(Text::StoppedBeforeWrite));
  EXPECT_EQ(StoppedText(Stage::Download, 37),
            "Upgrade stopped during the download (37%). The headset is in DFU mode without a "
            "complete firmware; run 'qmr7ctl upgrade FILE' again to finish.");
  EXPECT_EQ(StoppedText(Stage::Manifest, 50), Get(Text::StoppedAfterWrite));
  EXPECT_EQ(StoppedText(Stage::Reconnecting, 0), Get(Text::InterruptReconnect));
}

TEST_F(UpgradeStepsTest, NoHeadsetPortAndNothingOnUsbIsNoDevice) {
  ports.ports.clear();
  EXPECT_EQ(Ctl({"upgrade", Firmware("QMR7_200.dfu")}), static_cast<int>(Exit::NoDevice));
  EXPECT_EQ(walks, 1);
  EXPECT_EQ(connects, 0);
  EXPECT_NE(err.find("No serial port found."), std::string::npos) << err;
}

// Windows' drivers as the configuration manager would have them, asked only when no usable device
// is found: a headset without WinUSB is named with its state instead of the usual failure.
TEST_F(UpgradeStepsTest, TheHeadsetWithoutWinUsbIsNamedWhereNoDeviceCanBeUsed) {
  using dfu::winusb::DfuDriverState;
  using dfu::winusb::HeadsetOnUsb;
  struct Case {
    const char* name;
    bool port;       // the headset answers on its port (and is asked for command 20)
    bool walkFinds;  // the USB walk finds it
    HeadsetOnUsb verdict;
    DfuDriverState state;
    const char* service;
    std::uint32_t problem;
    Exit exit;
    const char* ending;  // of the error output
  };
  const char* const kUsual = "qmr7ctl: An error occurs during firmware upgrade.\n";
  const Case cases[] = {
      {"FoundByTheWalkWithoutADriver", true, true, HeadsetOnUsb::WithoutWinUsb,
       DfuDriverState::NoDriver, "", 28, Exit::NoDevice,
       "qmr7ctl: The headset is on USB (USB ID 1209:7208), but Windows has no working WinUSB "
       "driver for its DFU interface (no driver installed, code 28), which the firmware upgrade "
       "needs. Install WinUSB for it as README describes under \"Windows: the USB driver\", then "
       "run 'qmr7ctl upgrade FILE' again.\n"},
      {"FoundByTheWalkDriversAsUsual",
       true,
       true,
       HeadsetOnUsb::Usual,
       {},
       "",
       0,
       Exit::UpgradeFailed,
       kUsual},
      {"FoundByTheWalkNoHeadsetToTheDrivers",
       true,
       true,
       HeadsetOnUsb::Absent,
       {},
       "",
       0,
       Exit::UpgradeFailed,
       kUsual},
      {"NotFoundWithAnotherDriver", true, false, HeadsetOnUsb::WithoutWinUsb,
       DfuDriverState::OtherDriver, "libusbK", 0, Exit::NoDevice,
       "(USB ID 1209:7208), but Windows has no working WinUSB driver for its DFU interface "
       "(driver: libusbK), which"},
      {"NotFoundDriversAsUsual",
       true,
       false,
       HeadsetOnUsb::Usual,
       {},
       "",
       0,
       Exit::NoDevice,
       "qmr7ctl: Your computer is not connected to a Bluetooth device. Please check if your "
       "device is correctly connected to the computer.\n"},
      {"NoPortAndFoundInDfuModeWithWinUsbDisabled", false, true, HeadsetOnUsb::WithoutWinUsb,
       DfuDriverState::WinUsbProblem, "WinUSB", 22, Exit::NoDevice, "(driver: WinUSB, code 22)"},
      {"NoPortNothingFoundWinUsbWithoutAClass", false, false, HeadsetOnUsb::WithoutWinUsb,
       DfuDriverState::NoInterfaceClass, "WinUSB", 0, Exit::NoDevice,
       "(WinUSB without a device interface GUID)"},
      {"NoPortNothingFoundNoHeadset",
       false,
       false,
       HeadsetOnUsb::Absent,
       {},
       "",
       0,
       Exit::NoDevice,
       "No serial port found. Is the headset connected?\n"},
  };
  std::vector<DFUEngineHandle> engines;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    err.clear();
    if (!c.port) ports.ports.clear();
    system.walkUsb = [&] {
      usbenum::UsbDetection found;
      if (c.walkFinds) {
        found.configText = "FW:QMR7_200.XPV PSR:QMR7.PSR";
        found.deviceName = "usb:USB\\ROOT_HUB30\\4&1A2B3C&0&0/2";
        found.idVendor = 0x1209;
        found.idProduct = 0x7208;
      }
      return found;
    };
    // An engine without a transport lists no device, as the WinUSB transport lists none that
    // WinUSB does not serve.
    system.createEngine = [&] {
      engines.push_back(
          dfu::RegisterEngine(std::make_unique<dfu::Engine>(dfu::EngineEnvironment{})));
      return engines.back();
    };
    int checks = 0;
    system.checkDriver = [&](std::span<const dfu::DeviceIds>) {
      ++checks;
      dfu::winusb::HeadsetDriverCheck check;
      check.verdict = c.verdict;
      if (c.verdict == HeadsetOnUsb::WithoutWinUsb) {
        check.ids = {0x1209, 0x7208};
        check.instanceId = "USB\\VID_1209&PID_7208\\5&ABC&0&2";
        check.state = c.state;
        check.service = c.service;
        check.problem = c.problem;
      }
      return check;
    };
    EXPECT_EQ(Ctl({"upgrade", Firmware("QMR7_200.dfu")}), static_cast<int>(c.exit));
    EXPECT_NE(err.find(c.ending), std::string::npos) << err;
    if (c.ending[std::strlen(c.ending) - 1] == '\n') {
      EXPECT_TRUE(err.ends_with(c.ending)) << err;
    }
    EXPECT_EQ(checks, 1);
  }

  // In Japanese, with the state in Japanese too.
  qmr7ctl::SetLanguage(resources::Language::Japanese);
  dfu::winusb::HeadsetDriverCheck check;
  check.verdict = HeadsetOnUsb::WithoutWinUsb;
  check.ids = {0x1209, 0x7207};
  check.state = DfuDriverState::NoDriver;
  check.problem = 28;
  const std::string japanese = WinUsbMissingText(check);
  qmr7ctl::SetLanguage(resources::Language::English);
  EXPECT_NE(japanese.find("USB ID 1209:7207"), std::string::npos) << japanese;
  EXPECT_NE(
      japanese.find("\xef\xbc\x88ドライバーがインストールされていません, コード 28\xef\xbc\x89"),
      std::string::npos)
      << japanese;
  EXPECT_NE(japanese.find("WinUSB"), std::string::npos);
}

// A headset the table does not know, named with --device: the drivers are asked about its ids,
// whether the run found nothing after command 20 or no port answered at all.
TEST_F(UpgradeStepsTest, TheDriverCheckAsksAboutTheIdsTheUserNamed) {
  const dfu::DeviceIds named{0x1234, 0x0001, 0x1234, 0x0002};
  for (const bool port : {true, false}) {
    SCOPED_TRACE(port ? "after command 20" : "no port");
    if (!port) ports.ports.clear();
    std::vector<std::vector<dfu::DeviceIds>> asked;
    system.checkDriver = [&](std::span<const dfu::DeviceIds> ids) {
      asked.emplace_back(ids.begin(), ids.end());
      dfu::winusb::HeadsetDriverCheck check;
      check.verdict = dfu::winusb::HeadsetOnUsb::Absent;
      return check;
    };
    EXPECT_EQ(Ctl({"upgrade", "--device", "1234:0001,1234:0002", Firmware("QMR7_200.dfu")}),
              static_cast<int>(Exit::NoDevice));
    EXPECT_EQ(asked, std::vector<std::vector<dfu::DeviceIds>>{{named}});
  }
}

// The run's failures as qmr7ctl ends them: each with its exit code and its own message.
TEST(UpgradeEndings, EachFailedEndingHasItsExitAndMessage) {
  qmr7ctl::SetLanguage(resources::Language::English);
  using dfu::RunEnding;
  struct Case {
    RunEnding ending;
    Exit exit;
    std::string message;
  };
  const Case cases[] = {
      {RunEnding::NoDevice, Exit::NoDevice,
       "Your computer is not connected to a Bluetooth device. Please check if your device is "
       "correctly connected to the computer."},
      {RunEnding::StartRefused, Exit::UpgradeFailed, "An error occurs during firmware upgrade."},
      {RunEnding::OperationFailed, Exit::UpgradeFailed,
       "An error occurs during firmware upgrade. Result = fail_file_crc, Operation = "
       "download_progress, SubOperation = no_sub_operation"},
      {RunEnding::NotBackUnwritten, Exit::UpgradeFailed, Get(Text::NotBackBeforeWrite)},
      {RunEnding::NotBackWritten, Exit::UpgradeFailed, Get(Text::NotBackAfterWrite)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    const Failure failure = EndingFailure(c.ending, {14, 9, 0});
    EXPECT_EQ(failure.Code(), c.exit);
    EXPECT_EQ(failure.what(), c.message);
  }
  EXPECT_NE(Get(Text::NotBackBeforeWrite), Get(Text::NotBackAfterWrite));
}

TEST(UpgradeInterrupt, WhatEachPressMeans) {
  using Kind = InterruptResponse::Kind;
  struct Case {
    Stage stage;
    int presses;
    Kind kind;
    Exit exit;
  };
  const Case cases[] = {
      {Stage::Download, 0, Kind::None, Exit::Ok},
      {Stage::Detecting, 1, Kind::Warn, Exit::Ok},
      {Stage::Reconfigure, 1, Kind::Warn, Exit::Ok},
      {Stage::Download, 1, Kind::Warn, Exit::Ok},
      {Stage::Manifest, 1, Kind::Warn, Exit::Ok},
      {Stage::Download, 2, Kind::Stop, Exit::UpgradeFailed},
      {Stage::Detecting, 3, Kind::Stop, Exit::UpgradeFailed},
      // The firmware is in place: waiting for the port is all that is left.
      {Stage::Reconnecting, 1, Kind::Stop, Exit::NoDevice},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.stage) * 10 + c.presses);
    const InterruptResponse r = RespondToInterrupt(c.stage, c.presses);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.exit, c.exit);
    EXPECT_EQ(r.message.empty(), c.kind == Kind::None);
  }
}

TEST(UpgradeInterrupt, APressAnsweredBeforeTheFirmwareWasInPlaceDoesNotEndThePortWait) {
  qmr7ctl::SetLanguage(resources::Language::English);
  int presses = 0;
  UpgradeSystem system;
  system.interrupts = [&] { return presses; };
  std::ostringstream err;
  InterruptWatch watch(system, err);
  presses = 1;
  watch.Check(Stage::Download);
  watch.Check(Stage::Manifest);
  EXPECT_EQ(err.str().find("Press Ctrl-C again"), err.str().rfind("Press Ctrl-C again"));
  EXPECT_NO_THROW(watch.Check(Stage::Reconnecting));
  presses = 2;
  try {
    watch.Check(Stage::Reconnecting);
    ADD_FAILURE() << "a press while waiting for the port ends the wait";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.Code(), Exit::NoDevice);
    EXPECT_STREQ(failure.what(),
                 "Stopped waiting for the headset's port; the new firmware is in place.");
  }
}

TEST(UpgradeProgress, TheTerminalLine) {
  qmr7ctl::SetLanguage(resources::Language::English);
  EXPECT_EQ(ProgressBarLine(Stage::Download, 42, 125s, 30s, 10),
            "Download in progress... [####......]  42%  Elapsed: 2:05  left: 0:30");
  // The catalogue's text ends in a blank; the bar follows after one.
  EXPECT_EQ(ProgressBarLine(Stage::Reconfigure, 0, 0s, std::nullopt, 4),
            "Reconfigure in progress... [....]   0%  Elapsed: 0:00");
  EXPECT_EQ(ProgressBarLine(Stage::Manifest, 150, 59s, 0s, 4),
            "Verifying in progress. [####] 100%  Elapsed: 0:59  left: 0:00");
  EXPECT_EQ(MinutesSeconds(3725s), "62:05");
}

}  // namespace
}  // namespace qmr7ctl::testing
