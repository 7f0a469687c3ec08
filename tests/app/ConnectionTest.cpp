#include <QEvent>
#include <QObject>
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "tests/app/DeviceTestFixture.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
namespace mb = toolkit::mb;

sim::Settings SomeSettings() {
  sim::Settings s;
  s.speedDials = {"0312345678", "", "9876543210123456"};
  s.a2dpPercentage = 35;
  s.gpsPercentage = 45;
  s.gpsSharing = 0;
  return s;
}

void ExpectShowsSomeSettings(const TMajorForm& form) {
  EXPECT_EQ(form.SpeedDial1LabeledEdit->text(), "0312345678");
  EXPECT_EQ(form.SpeedDial2LabeledEdit->text(), "");
  EXPECT_EQ(form.SpeedDial3LabeledEdit->text(), "9876543210123456");
  EXPECT_EQ(form.A2DPAudioMixPercentageLabeledEdit->text(), "35");
  EXPECT_EQ(form.GPSAudioMixPercentageLabeledEdit->text(), "45");
  EXPECT_EQ(form.GPSAudioSharingLabeledEdit->text(), "No");
  EXPECT_EQ(form.FWVerLabel->text(), "Firmware version: V1.23");
  EXPECT_EQ(form.DeviceModelName, "QMR7");
  EXPECT_EQ(form.DeviceBdAddrInfoLabel->text(), "Device address : 00:0B:24:52:37:19");
  EXPECT_FALSE(form.SpeedDialChanged || form.A2dpChanged || form.GpsChanged);
}

TEST_F(DeviceTest, OpeningReadsEverySettingIntoThePages) {
  StartHeadset({}, SomeSettings());
  StartWindow();
  OpenAndRead();
  ExpectShowsSomeSettings(*form);
  EXPECT_TRUE(form->PortOpenedByUser);
  EXPECT_EQ(form->OpenPortDescription, sim::kDefaultDescription);
  EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
  EXPECT_TRUE(form->CloseComPortButton->isEnabled());
  EXPECT_FALSE(form->OpenComPortButton->isEnabled());
  EXPECT_TRUE(form->SaveSpeedDialSettingButton->isEnabled());
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_TRUE(reports.empty());

  // Closing the port empties the version and makes the port controls usable again.
  form->CloseComPortButton->click();
  EXPECT_FALSE(form->PortReady);
  EXPECT_FALSE(form->ComPort1->Active());
  EXPECT_EQ(form->FWVerLabel->text(), "");
  EXPECT_TRUE(form->OpenComPortButton->isEnabled());

  // And it opens again.
  OpenAndRead();
  ExpectShowsSomeSettings(*form);
}

// A line cut by a time-out does not survive a reopen: the next session's first answer is read
// alone, not glued to it.
TEST_F(DeviceTest, OpeningStartsWithAnEmptyLineBuffer) {
  StartHeadset();
  StartWindow();
  OpenAndRead();
  form->CloseComPortButton->click();
  form->RxBuffer.Append("+FPSTS1=24,4");  // the start of an answer the time-out cut off
  OpenAndRead();
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(S(form->FWVerLabel->text()), LoadText(kTextFirmwareVersion) + " V1.23");
}

// The version's hundredths keep their leading zero.
TEST_F(DeviceTest, VersionFiveShowsAsV005) {
  headsetInfo.firmwareVersion = 5;
  StartHeadset();
  StartWindow();
  OpenAndRead();
  EXPECT_EQ(S(form->FWVerLabel->text()), LoadText(kTextFirmwareVersion) + " V0.05");
}

// A status line counts only after the OK of its command: one that comes first is ignored.
TEST_F(DeviceTest, AStatusLineBeforeAnyOkIsIgnored) {
  StartHeadset("silent");
  StartWindow();
  OpenPort();
  ASSERT_EQ(form->PendingCommand, cmd::ReadIdentity);
  form->RxBuffer.Append("+FPSTS1=7,89075089\r\n");
  form->HandleReceivedLines();
  EXPECT_EQ(form->PendingCommand, cmd::ReadIdentity);
  EXPECT_FALSE(form->OkReceived);
  form->RxBuffer.Append("OK\r\n+FPSTS1=7,89075089\r\n");
  form->HandleReceivedLines();
  EXPECT_EQ(form->PendingCommand, cmd::ReadFirmwareVersion);
}

// Start with no firmware file chosen: the file is refused and nothing reaches the headset.
TEST_F(DeviceTest, StartWithNoFileSaysSoAndSendsNothing) {
  StartHeadset();
  StartWindow();
  OpenAndRead();
  ASSERT_EQ(form->FirmwareFilePath, "");
  form->StartDFUUpgradeButton->click();
  EXPECT_EQ(ui.boxes,
            (std::vector{Box(kTextBadFirmwareFile, kTextCaptionError, mb::kOk | mb::kIconError)}));
  EXPECT_EQ(form->PendingCommand, kIdleCommand);
  EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
  EXPECT_TRUE(form->PortReady);
  EXPECT_EQ(headset->GetPresence(), sim::Presence::Attached);
}

TEST_F(DeviceTest, MisbehavingLinesAreReadAllTheSame) {
  for (const char* fault : {"split", "noise", "slow=400", "split,noise"}) {
    SCOPED_TRACE(fault);
    StartHeadset(fault, SomeSettings());
    StartWindow();
    OpenAndRead();
    ExpectShowsSomeSettings(*form);
    form.reset();
    headset.reset();
  }
}

TEST_F(DeviceTest, ASilentDeviceTimesOutAfterASecondAndThePortCloses) {
  StartHeadset("silent");
  StartWindow();
  OpenPort();
  EXPECT_EQ(form->PendingCommand, 7);
  clock.Advance(999);
  EXPECT_TRUE(ui.boxes.empty());
  clock.Advance(1);
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextDeviceTimeout, kTextCaptionError, mb::kIconWarning)}));
  EXPECT_EQ(form->PendingCommand, kIdleCommand);
  EXPECT_FALSE(form->PortReady);
  EXPECT_FALSE(form->ComPort1->Active());
  EXPECT_TRUE(form->PortOpenedByUser);  // a time-out leaves it; the user opens again
}

TEST_F(DeviceTest, OkWithoutStatusAlsoTimesOut) {
  StartHeadset("ok-only");
  StartWindow();
  OpenPort();
  ASSERT_TRUE(PumpUntil([&] { return form->OkReceived; }));
  clock.Advance(1000);
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextDeviceTimeout, kTextCaptionError, mb::kIconWarning)}));
}

TEST_F(DeviceTest, AWrongIdentityStopsTheChain) {
  StartHeadset("wrong-identity");
  StartWindow();
  OpenPort();
  ASSERT_TRUE(PumpUntil([&] { return form->OkReceived; }));
  EXPECT_EQ(form->PendingCommand, 7);
  clock.Advance(1000);
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextDeviceTimeout, kTextCaptionError, mb::kIconWarning)}));
  EXPECT_EQ(form->FWVerLabel->text(), "");
}

// A Save pressed while the read chain reads later pages, once its own page has been read, takes
// the chain's place.
TEST_F(DeviceTest, SaveDuringTheReadChainTakesItsPlace) {
  StartHeadset("slow=100");
  StartWindow();
  pacer.Close();  // each answer waits for the test
  OpenPort();
  while (form->PendingCommand != cmd::ReadA2dpPercentage) {
    const int pending = form->PendingCommand;
    ASSERT_NE(pending, kIdleCommand);
    ASSERT_TRUE(pacer.WaitForPause());
    pacer.Release();
    ASSERT_TRUE(PumpUntil([&] { return form->PendingCommand != pending; }));
  }
  pacer.Open();
  form->SpeedDial2LabeledEdit->setText("55");
  form->SaveSpeedDialSettingButton->click();
  EXPECT_EQ(form->PendingCommand, cmd::WriteSpeedDial1);
  ASSERT_TRUE(PumpUntilIdle());
  EXPECT_EQ(ui.boxes,
            (std::vector{Box(kTextSaveSuccessful, kTextCaptionNote, mb::kIconInformation)}));
  EXPECT_EQ(headset->State().settings.speedDials[1], "55");
  // The chain went no further: the later pages were never read.
  EXPECT_FALSE(form->SaveA2dpAudioSettingButton->isEnabled());
  EXPECT_FALSE(form->SaveGPSAudioSettingButton->isEnabled());
}

TEST_F(DeviceTest, TheResponseTimerKeepsCountingWhenASaveReplacesACommand) {
  StartHeadset("slow=100");
  StartWindow();
  OpenAndRead();
  pacer.Close();  // the headset holds its answers from here on
  form->SaveA2dpAudioSettingButton->click();
  clock.Advance(600);
  form->SaveGPSAudioSettingButton->click();
  EXPECT_EQ(form->PendingCommand, cmd::WriteGpsAudio);
  clock.Advance(400);  // 1000 ms since the first send, not since the save
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextDeviceTimeout, kTextCaptionError, mb::kIconWarning)}));
}

// The command awaiting its answer ends with the port the user closes: no time-out follows for a
// port closed on purpose, and the window closes at once.
TEST_F(DeviceTest, ClosingThePortEndsTheCommandItAwaited) {
  StartHeadset("silent");
  StartWindow();
  OpenPort();
  clock.Advance(400);
  form->CloseComPortButton->click();
  EXPECT_EQ(form->PendingCommand, kIdleCommand);
  EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
  clock.Advance(1000);
  EXPECT_TRUE(ui.boxes.empty());
  form->ExitButton->click();
  EXPECT_FALSE(form->isVisible());
}

TEST_F(DeviceTest, ATimedOutRestoreIsNotReportedAtTheNextRead) {
  StartHeadset();
  StartWindow();
  OpenAndRead();
  ui.answers = {mb::kIdYes};
  form->RestoreDefaultButton->click();
  clock.Advance(1000);  // the answer is never handed to the window in time
  ASSERT_FALSE(form->PortReady);
  EXPECT_FALSE(form->RestorePending);
  ui.boxes.clear();
  OpenAndRead();
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(DeviceTest, TheDeviceLeavingClosesThePortAndRebuildsTheList) {
  StartHeadset("unplug-after=9");
  StartWindow();
  OpenAndRead();
  ASSERT_TRUE(PumpUntil([&] { return !form->PortReady; }));
  notifier.Notify(platform::kDeviceRemoveComplete);
  EXPECT_FALSE(form->ComPort1->Active());
  EXPECT_FALSE(form->PortOpenedByUser);
  EXPECT_EQ(form->FWVerLabel->text(), "");
  EXPECT_TRUE(form->OpenComPortButton->isEnabled());
  for (int i = 0; i < form->ComPortListBox->count(); ++i) {
    EXPECT_EQ(S(form->ComPortListBox->item(i)->text()).find(sim::kDefaultDescription),
              std::string::npos);
  }
}

TEST_F(DeviceTest, AnArrivalWhileThePortIsOpenLeavesTheListAlone) {
  StartHeadset();
  StartWindow();
  OpenAndRead();
  const int lines = form->ComPortListBox->count();
  sim::VirtualHeadset second(sim::HeadsetState{}, [&] {
    sim::VirtualHeadset::Options o;
    o.registry = &registry;
    o.pacer = pacer.Pacer();
    return o;
  }());
  notifier.Notify(platform::kDeviceArrival);
  EXPECT_EQ(form->ComPortListBox->count(), lines);

  form->CloseComPortButton->click();
  notifier.Notify(platform::kDeviceArrival);
  EXPECT_EQ(form->ComPortListBox->count(), lines + 1);
}

TEST_F(DeviceTest, RemovalsThatLeaveTheOpenPortsDescriptionKeepItOpen) {
  StartHeadset();
  sim::VirtualHeadset::Options o;
  o.registry = &registry;
  o.pacer = pacer.Pacer();
  auto twin = std::make_unique<sim::VirtualHeadset>(sim::HeadsetState{}, o);  // same description
  StartWindow();
  // Which of the two is preselected depends on the numbers the kernel gave their terminals: open
  // the headset's line, so that the twin is the one to leave.
  const auto names = std::span(form->PortNames).first(static_cast<std::size_t>(form->PortCount));
  const auto line = std::find(names.begin(), names.end(), headset->SlavePath());
  ASSERT_NE(line, names.end());
  form->ComPortListBox->setCurrentRow(static_cast<int>(line - names.begin()));
  form->OpenComPortButton->click();
  ASSERT_TRUE(form->PortReady);
  ASSERT_TRUE(PumpUntilIdle());

  // Nothing changed in the count: nothing happens.
  notifier.Notify(platform::kDeviceRemoveComplete);
  EXPECT_TRUE(form->PortReady);

  // The other headset leaves; one with the open port's description remains.
  twin.reset();
  notifier.Notify(platform::kDeviceRemoveComplete);
  EXPECT_TRUE(form->PortReady);
  EXPECT_TRUE(form->ComPort1->Active());
  EXPECT_TRUE(form->PortOpenedByUser);
}

TEST_F(DeviceTest, APortThatWillNotOpenCostsTwoWaitsAndSaysSo) {
  StartHeadset();
  StartWindow();
  const std::string path = headset->SlavePath();
  headset.reset();  // the port is gone, the list still shows it
  form->OpenComPortButton->click();
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextCannotOpenPort, kTextCaptionError, mb::kIconError)}));
  EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint32_t>{1000, 1000}));
  EXPECT_FALSE(form->PortOpenedByUser);
  EXPECT_EQ(form->OpenPortDescription, "");
  EXPECT_EQ(ui.cursor, toolkit::Cursor::Default);
}

// A name the port does not open by (here the pseudo-terminal's name without /dev/) is tried again
// at once in its device path form, with no wait between the two.
TEST_F(DeviceTest, APortThatOpensOnlyByItsDevicePathOpensAtTheSecondTryWithoutAWait) {
  StartHeadset();
  const std::string path = headset->SlavePath();
  ASSERT_EQ(path.rfind("/dev/", 0), 0u);
  ports.ports = {{path.substr(5), "USB Serial Device (QM-R7)"}};
  form = std::make_unique<TMajorForm>(MajorFormServices{clock, ui, dispatcher, ports, notifier,
                                                        "/usr/bin/qmr7-tool", appDataFolder, engine,
                                                        scanUsbTree, headsetInDfuMode});
  form->show();
  clock.Advance(100);
  ui.boxes.clear();
  ASSERT_EQ(form->ComPortListBox->currentRow(), 0);
  form->OpenComPortButton->click();
  EXPECT_TRUE(form->PortReady);
  EXPECT_EQ(form->ComPort1->DeviceName(), path);
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_TRUE(PumpUntilIdle());  // and the headset answers through it
  EXPECT_NE(S(form->FWVerLabel->text()).find("V1.23"), std::string::npos);
}

TEST_F(DeviceTest, OpenWithNoLineSelectedAsksForOne) {
  StartHeadset();
  StartWindow();
  form->ComPortListBox->setCurrentRow(-1);
  form->OpenComPortButton->click();
  EXPECT_EQ(ui.boxes,
            (std::vector{Box(kTextSelectAndOpenPort, kTextCaptionNote, mb::kIconInformation)}));
  EXPECT_FALSE(form->ComPort1->Active());
}

// The restore question is modal: while it is open the device may leave or a running chain may time
// out, and either closes the port. A Yes given after that must leave the window closable.
TEST_F(DeviceTest, ARestoreAnsweredAfterThePortClosedSendsNothing) {
  enum class Closer { Unplug, TimeOut };
  for (Closer closer : {Closer::Unplug, Closer::TimeOut}) {
    SCOPED_TRACE(closer == Closer::Unplug ? "unplugged" : "timed out");
    StartHeadset(closer == Closer::TimeOut ? "silent" : "");
    StartWindow();
    if (closer == Closer::Unplug) {
      OpenAndRead();
    } else {
      OpenPort();  // command 7 stays unanswered
    }
    const std::string question = LoadText(kTextConfirmRestore);
    ui.answers = {mb::kIdYes};
    ui.onBox = [&](const toolkit::testing::ShownBox& box) {
      if (box.text != question) return;
      if (closer == Closer::Unplug) {
        headset.reset();
        notifier.Notify(platform::kDeviceRemoveComplete);
      } else {
        clock.Advance(1000);
      }
    };
    form->RestoreDefaultButton->click();
    ui.onBox = nullptr;

    EXPECT_FALSE(form->PortReady);
    EXPECT_EQ(form->PendingCommand, kIdleCommand);
    EXPECT_FALSE(form->UartRespTimeoutTimer->Enabled());
    EXPECT_FALSE(form->RestorePending);
    EXPECT_EQ(ui.boxes.back(), Box(kTextSelectAndOpenPort, kTextCaptionNote, mb::kIconInformation));
    EXPECT_TRUE(reports.empty());
    form->ExitButton->click();
    EXPECT_FALSE(form->isVisible());

    form.reset();
    headset.reset();
    ui.boxes.clear();
  }
}

// Counts the enabled-state changes of the control it watches.
class EnabledChanges final : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange) ++count;
    return QObject::eventFilter(watched, event);
  }
};

TEST_F(DeviceTest, DestroyingTheWindowWithThePortOpenRunsNoHandlerIntoIt) {
  StartHeadset();
  StartWindow();
  OpenAndRead();
  EnabledChanges changes;
  form->OpenComPortButton->installEventFilter(&changes);
  form.reset();
  EXPECT_EQ(changes.count, 0);  // the close handler would enable the port controls again
  EXPECT_TRUE(reports.empty());
}

TEST_F(DeviceTest, ClosingWhileTheFirstReadsRunIsRefused) {
  StartHeadset();
  StartWindow();
  OpenPort();
  form->ExitButton->click();
  EXPECT_EQ(ui.boxes, (std::vector{Box(kTextCommunicating, kTextCaptionNote, mb::kIconWarning)}));
  EXPECT_TRUE(form->isVisible());
}

}  // namespace
}  // namespace app::testing
