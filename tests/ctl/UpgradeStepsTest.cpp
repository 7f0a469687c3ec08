// qmr7ctl upgrade up to the engine, against the headset model in virtual time: the file checks
// before anything is sent, the USB search and its limit, Ctrl-C, and the progress line.
#include <gtest/gtest.h>

#include "tests/ctl/CtlFixture.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tools/qmr7ctl/Upgrade.h"

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
  // About a second for the headset to leave its port, then every 100 ms for 30 s.
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.front(), 1000ms);
  EXPECT_EQ(sleeps.size(), 301u);
  EXPECT_EQ(walks, 301);
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
