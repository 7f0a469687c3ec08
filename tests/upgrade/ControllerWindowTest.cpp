// The window's side of the upgrade without a device: finding the DFU device on USB, what the
// page shows of it, progress reports from the engine's thread, the Start button's state and the
// hint. The engine's device names come from a script on the window's clock.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <cstring>
#include <thread>

#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuEngineCore.h"
#include "upgrade/DfuNames.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
namespace mb = toolkit::mb;

// An engine with no transport whose device list a test writes: `name` appears at `appearAt` on
// the window's clock.
class ScriptedEngine final : public UpgradeEngine {
 public:
  explicit ScriptedEngine(toolkit::Clock& clock) : clock_(clock) {}

  DFUEngineHandle Create() override {
    return dfu::RegisterEngine(std::make_unique<dfu::Engine>(dfu::EngineEnvironment{}));
  }
  std::uint32_t GetUSBDeviceNames(DFUEngineHandle, char* names) override {
    ++polls;
    if (!name || clock_.TickCount() < appearAt) return 0;
    std::memcpy(names, name->c_str(), name->size() + 1);
    names[name->size() + 1] = '\0';
    return 1;
  }
  dfu::winusb::HeadsetDriverCheck CheckHeadsetDriver() override {
    ++driverChecks;
    return driver;
  }

  std::optional<std::string> name;
  dfu::winusb::HeadsetDriverCheck driver;  // Absent unless a test says otherwise
  int driverChecks = 0;
  std::uint32_t appearAt = 0;
  int polls = 0;

 private:
  toolkit::Clock& clock_;
};

class ControllerWindowTest : public MainformTest {
 protected:
  void SetUp() override {
    MainformTest::SetUp();
    engine = &scripted;
    scanUsbTree = [this] { return configuration; };
    form = MakeForm();
  }
  void TearDown() override {
    form.reset();
    MainformTest::TearDown();
  }

  // Reports as the engine's thread sends them.
  void Report(std::uint32_t kind, std::uint32_t percent, std::uint32_t operation = 9) {
    DFUEngineReport report{28, percent, operation, 0, 0, 0, 0};
    form->OnEngineReport(kind, report);
  }

  ScriptedEngine scripted{clock};
  std::string configuration;
  std::unique_ptr<TMajorForm> form;
};

TEST_F(ControllerWindowTest, DetectionPollsEveryTenthOfASecondForThirtySeconds) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> appearAt;  // after the detection began; none: never
    std::size_t sleeps;
  };
  for (const Case& c : std::vector<Case>{{"at once", 0u, 0},
                                         {"after 2.5 s", 2500u, 25},
                                         {"at the last poll", 29900u, 299},
                                         {"never", std::nullopt, 300}}) {
    SCOPED_TRACE(c.name);
    form = MakeForm();
    ui.boxes.clear();
    ui.cursorHistory.clear();
    scripted.polls = 0;
    scripted.name = "sim:1";
    scripted.appearAt = clock.TickCount() + c.appearAt.value_or(UINT32_MAX / 2);
    int messageRounds = 0;
    clock.SetMessageHook([&] { ++messageRounds; });
    const std::size_t sleepsBefore = clock.Sleeps().size();

    form->DetectUsbDevice();

    const std::vector<std::uint32_t> sleeps(
        clock.Sleeps().begin() + static_cast<std::ptrdiff_t>(sleepsBefore), clock.Sleeps().end());
    EXPECT_EQ(sleeps, std::vector<std::uint32_t>(c.sleeps, 100));
    EXPECT_EQ(scripted.polls, static_cast<int>(c.appearAt ? c.sleeps + 1 : c.sleeps));
    EXPECT_EQ(messageRounds, 0) << "no message is handled while the engine is asked";
    EXPECT_EQ(ui.cursorHistory,
              (std::vector<toolkit::Cursor>{toolkit::Cursor::Wait, toolkit::Cursor::Default}));
    EXPECT_EQ(form->UsbDeviceFound, c.appearAt.has_value());
    EXPECT_EQ(S(form->DfuDeviceLabel->text()), c.appearAt ? "sim:1" : "");
    EXPECT_EQ(form->UsbDeviceName, c.appearAt ? "sim:1" : "");
  }
  clock.SetMessageHook({});
}

TEST_F(ControllerWindowTest, NoDeviceEmptiesTheLabelsAndWarnsUnlessToldNotTo) {
  for (const bool report : {true, false}) {
    SCOPED_TRACE(report);
    ui.boxes.clear();
    form->DfuDeviceLabel->setText("old");
    form->ConfigInfoLabel->setText("old");
    form->BdAddrInfoLabel->setText("old");
    form->ReportNoDevice = report;
    form->DetectUsbDevice();
    EXPECT_EQ(S(form->DfuDeviceLabel->text()), "");
    EXPECT_EQ(S(form->ConfigInfoLabel->text()), "");
    EXPECT_EQ(S(form->BdAddrInfoLabel->text()), "");
    EXPECT_FALSE(form->UsbDeviceFound);
    std::vector<toolkit::testing::ShownBox> expected;
    if (report)
      expected.push_back(Box(kTextNoUsbDevice, kTextCaptionNote, mb::kOk | mb::kIconWarning));
    EXPECT_EQ(ui.boxes, expected);
  }
}

TEST_F(ControllerWindowTest, NoDeviceWithTheHeadsetWithoutWinUsbSaysSoInsteadInBothLanguages) {
  using dfu::winusb::HeadsetOnUsb;
  dfu::winusb::HeadsetDriverCheck withoutWinUsb;
  withoutWinUsb.verdict = HeadsetOnUsb::WithoutWinUsb;
  withoutWinUsb.ids = {0x1209, 0x7208};
  withoutWinUsb.state = dfu::winusb::DfuDriverState::NoDriver;
  dfu::winusb::HeadsetDriverCheck usual;
  usual.verdict = HeadsetOnUsb::Usual;
  const struct {
    const char* name;
    dfu::winusb::HeadsetDriverCheck driver;
    bool driverNote;
  } cases[] = {
      {"no headset", {}, false},
      {"the headset without WinUSB", withoutWinUsb, true},
      {"the headset, drivers as usual", usual, false},
  };
  for (const Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (language == Language::Japanese ? " (ja)" : " (en)"));
      ui.boxes.clear();
      scripted.driver = c.driver;
      form->ReportNoDevice = true;
      form->DetectUsbDevice();
      EXPECT_FALSE(form->UsbDeviceFound);
      ASSERT_EQ(ui.boxes.size(), 1u);
      if (!c.driverNote) {
        EXPECT_EQ(ui.boxes[0], Box(kTextNoUsbDevice, kTextCaptionNote, mb::kOk | mb::kIconWarning));
        continue;
      }
      // Which device, that WinUSB is missing, and where the steps are.
      std::string expected = LoadText(kTextWinUsbMissing);
      expected.replace(expected.find("%s"), 2, "1209:7208");
      EXPECT_EQ(ui.boxes[0].text, expected);
      EXPECT_NE(ui.boxes[0].text.find("WinUSB"), std::string::npos);
      EXPECT_NE(ui.boxes[0].text.find("1209:7208"), std::string::npos);
      EXPECT_NE(ui.boxes[0].text.find("Windows: the USB driver"), std::string::npos);
      EXPECT_EQ(ui.boxes[0].caption, LoadText(kTextCaptionNote));
      EXPECT_EQ(ui.boxes[0].flags, mb::kOk | mb::kIconWarning);
    }
  }
  SetLanguage(Language::English);

  // After a failed run the window looks again without a word, whatever the drivers say.
  ui.boxes.clear();
  scripted.driver = withoutWinUsb;
  form->ReportNoDevice = false;
  form->DetectUsbDevice();
  EXPECT_TRUE(ui.boxes.empty());

  // A device the engine lists is used as it is: the drivers are not asked.
  scripted.driverChecks = 0;
  scripted.name = "sim:1";
  scripted.appearAt = 0;
  form->ReportNoDevice = true;
  form->DetectUsbDevice();
  EXPECT_TRUE(form->UsbDeviceFound);
  EXPECT_EQ(scripted.driverChecks, 0);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(ControllerWindowTest, AFoundDeviceShowsWhatItRuns) {
  struct Case {
    std::string configuration, deviceAddress;
    std::string configLabel, addressLabel;
  };
  for (const Case& c : std::vector<Case>{
           {"FW:ABC.XPV PSR:DEF.PSR", "00:0B:24:52:37:19",
            "Firmware file : ABC.xpv/.xdv        psr file : DEF.psr",
            "Device address : 00:0B:24:52:37:19"},
           // No address known yet: the address label keeps what it showed.
           {"FW:ABC.XPV PSR:DEF.PSR", "", "Firmware file : ABC.xpv/.xdv        psr file : DEF.psr",
            "kept"},
           // No configuration string found: nothing about the files, the address label kept.
           {"", "00:0B:24:52:37:19", "", "kept"},
       }) {
    SCOPED_TRACE(c.configuration + " / " + c.deviceAddress);
    scripted.name = "sim:1";
    scripted.appearAt = 0;
    configuration = c.configuration;
    form->DeviceAddress = c.deviceAddress;
    form->ConfigInfoLabel->setText("kept");
    form->BdAddrInfoLabel->setText("kept");
    form->DetectUsbDevice();
    EXPECT_EQ(S(form->ConfigInfoLabel->text()), c.configLabel);
    EXPECT_EQ(S(form->BdAddrInfoLabel->text()), c.addressLabel);
    EXPECT_TRUE(ui.boxes.empty());
  }
}

TEST_F(ControllerWindowTest, ALongDeviceNameIsKeptWhole) {
  scripted.name = "usb:" + std::string(400, '7');
  form->DetectUsbDevice();
  EXPECT_EQ(form->UsbDeviceName, *scripted.name);
}

TEST_F(ControllerWindowTest, DeviceInfoLabelFollowsTheConfigurationString) {
  configuration = "FW:QMR7_123.XPV PSR:QMR7_123.PSR";
  form->RefreshDeviceInfoLabel();
  EXPECT_EQ(S(form->DeviceInfoLabel->text()),
            "Firmware file : QMR7_123.xpv/.xdv        psr file : QMR7_123.psr");
  // Nothing found later: the label keeps what it shows.
  configuration.clear();
  form->RefreshDeviceInfoLabel();
  EXPECT_EQ(S(form->DeviceInfoLabel->text()),
            "Firmware file : QMR7_123.xpv/.xdv        psr file : QMR7_123.psr");
  EXPECT_TRUE(form->DeviceInfoLabel->isHidden());
}

TEST_F(ControllerWindowTest, TheUsbRecheckTimerRunsOnceAndChecksTheFile) {
  scripted.name = "sim:1";
  form->FirmwareFilePath = appData / "missing.dfu";
  form->CheckUSBConnectionTimer->Start();
  clock.Advance(10);
  EXPECT_FALSE(form->CheckUSBConnectionTimer->Enabled());
  EXPECT_TRUE(form->UsbDeviceFound);
  EXPECT_EQ(form->FirmwareFilePath, "");
  EXPECT_EQ(ui.boxes,
            std::vector{Box(kTextBadFirmwareFile, kTextCaptionError, mb::kOk | mb::kIconError)});
  // With no file chosen there is nothing to check.
  ui.boxes.clear();
  form->CheckUSBConnectionTimer->Start();
  clock.Advance(10);
  EXPECT_TRUE(ui.boxes.empty());
  form->RefreshUSBConnectionButtonClick();
  EXPECT_TRUE(form->UsbDeviceFound);
}

TEST_F(ControllerWindowTest, StartButtonOnlyWithThePortReadyAndNoRun) {
  struct Case {
    bool portReady;
    TUpgradePhase phase;
    bool enabled;
  };
  for (const Case& c : std::vector<Case>{{false, TUpgradePhase::Idle, false},
                                         {true, TUpgradePhase::Idle, true},
                                         {true, TUpgradePhase::Reconfigure, false},
                                         {true, TUpgradePhase::Download, false},
                                         {false, TUpgradePhase::Manifest, false}}) {
    SCOPED_TRACE(::testing::Message() << c.portReady << " " << static_cast<int>(c.phase));
    form->PortReady = c.portReady;
    form->UpgradePhase = c.phase;
    form->UpdateControlStates();
    EXPECT_EQ(form->StartDFUUpgradeButton->isEnabled(), c.enabled);
    EXPECT_EQ(form->ExitButton->isEnabled(), true);
  }
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(ControllerWindowTest, ProgressReachesTheUiThreadInOrder) {
  form->UpgradePhase = TUpgradePhase::Download;
  form->UpgradeProgressBar->setValue(0);
  std::vector<int> positions;
  QObject::connect(form->UpgradeProgressBar, &QProgressBar::valueChanged,
                   [&](int value) { positions.push_back(value); });
  std::thread engineThread([&] {
    for (std::uint32_t percent = 1; percent <= 100; ++percent)
      Report(DFUENGINE_REPORT_PROGRESS, percent);
    // Other kinds change nothing.
    Report(0, 7);
    Report(3, 7);
  });
  engineThread.join();
  EXPECT_TRUE(positions.empty()) << "nothing is shown on the engine's thread";
  dispatcher.Pump();
  std::vector<int> expected(100);
  for (int i = 0; i < 100; ++i)
    expected[static_cast<std::size_t>(i)] = i + 1;
  EXPECT_EQ(positions, expected);
  EXPECT_EQ(S(form->InfoLabel->text()), "Download in progress... 100%");
  EXPECT_FALSE(form->ResultArrived);
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(ControllerWindowTest, ProgressWithoutARunOrOfAnEndedOperationIsIgnored) {
  form->InfoLabel->setText("before");
  Report(DFUENGINE_REPORT_PROGRESS, 42);
  dispatcher.Pump();
  EXPECT_EQ(S(form->InfoLabel->text()), "before");

  // A report queued before its operation's end but handled after the end was taken.
  form->UpgradePhase = TUpgradePhase::Download;
  Report(DFUENGINE_REPORT_PROGRESS, 42);
  Report(DFUENGINE_REPORT_RESULT, 0, dfu::operation::kDownloadVerify);
  EXPECT_TRUE(form->ResultArrived);
  EXPECT_EQ(form->LastOperation, dfu::operation::kDownloadVerify);
  // The engine is bound to nothing, so the next operation does not start and the run ends.
  scripted.name.reset();
  form->ProgressTimer->Start();
  clock.Advance(100);
  EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Idle);
  dispatcher.Pump();
  EXPECT_EQ(S(form->InfoLabel->text()), LoadText(kTextVerifying));
}

// Counts the paint events of the object it filters.
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    paints += event->type() == QEvent::Paint ? 1 : 0;
    return false;
  }
};

// Input waits while the headset is looked for, but the window paints itself at every step, so a
// box closed just before does not stay on it; a look that only refreshes labels waits for nothing.
TEST_F(ControllerWindowTest, TheWindowPaintsWhileItLooksAndOneLookDoesNotWait) {
  form->show();
  QCoreApplication::processEvents();
  PaintCounter counter;
  form->installEventFilter(&counter);
  scripted.name.reset();
  int messageRounds = 0;
  clock.SetMessageHook([&] { ++messageRounds; });
  const std::size_t sleepsBefore = clock.Sleeps().size();
  form->DetectUsbDevice(1000);
  EXPECT_EQ(clock.Sleeps().size() - sleepsBefore, 10u);
  EXPECT_GE(counter.paints, 10);
  EXPECT_EQ(messageRounds, 0) << "no input is handled meanwhile";

  scripted.polls = 0;
  form->DetectUsbDevice(0);
  EXPECT_EQ(scripted.polls, 1);
  EXPECT_EQ(clock.Sleeps().size() - sleepsBefore, 10u);
  form->removeEventFilter(&counter);
}

TEST_F(ControllerWindowTest, TheSamePercentageRedrawsTheBarOnce) {
  form->show();
  form->PageControl1->SetActivePageIndex(3);
  form->UpgradePhase = TUpgradePhase::Reconfigure;
  form->UpgradeProgressBar->show();
  QCoreApplication::processEvents();
  PaintCounter counter;
  form->UpgradeProgressBar->installEventFilter(&counter);
  Report(DFUENGINE_REPORT_PROGRESS, 42);
  dispatcher.Pump();
  EXPECT_EQ(counter.paints, 1);
  EXPECT_EQ(S(form->InfoLabel->text()), "Reconfigure in progress...  42%");
  Report(DFUENGINE_REPORT_PROGRESS, 42, dfu::operation::kReconfigureChecking);
  dispatcher.Pump();
  EXPECT_EQ(counter.paints, 1);
  form->UpgradeProgressBar->removeEventFilter(&counter);
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(ControllerWindowTest, TheElapsedTimeFollowsTheResultPoll) {
  form->UpgradePhase = TUpgradePhase::Reconfigure;
  form->UpgradeStartTick = clock.TickCount();
  form->ProgressTimer->Start();
  clock.Advance(59900);
  EXPECT_EQ(S(form->ElapsedLabel->text()), "Elapsed: 0:59");
  clock.Advance(125000 - 59900);
  EXPECT_EQ(S(form->ElapsedLabel->text()), "Elapsed: 2:05");
  // Still in its phase while no end report came.
  EXPECT_EQ(form->UpgradePhase, TUpgradePhase::Reconfigure);
  form->ProgressTimer->Stop();
  form->UpgradePhase = TUpgradePhase::Idle;
}

TEST_F(ControllerWindowTest, TheHintBlinksOnlyWhenThereIsOne) {
  EXPECT_TRUE(form->BlinkHintTextTimer->Enabled());
  clock.Advance(10000);
  EXPECT_TRUE(form->HintLabel->isHidden());

  form->HintText = "hint";
  form->BlinkHintTextTimer->Stop();
  form->BlinkHintTextTimer->Start();
  clock.Advance(600);
  EXPECT_FALSE(form->HintLabel->isHidden());
  EXPECT_EQ(S(form->HintLabel->text()), "hint");
  clock.Advance(2999);
  EXPECT_FALSE(form->HintLabel->isHidden());
  clock.Advance(1);
  EXPECT_TRUE(form->HintLabel->isHidden());
  clock.Advance(600);
  EXPECT_FALSE(form->HintLabel->isHidden());
}

TEST_F(ControllerWindowTest, ClosingStopsTheUpgradeTimersAndReleasesTheEngine) {
  form->ProgressTimer->Start();
  form->CheckUSBConnectionTimer->Start();
  form->close();
  EXPECT_FALSE(form->ProgressTimer->Enabled());
  EXPECT_FALSE(form->BlinkHintTextTimer->Enabled());
  EXPECT_FALSE(form->CheckUSBConnectionTimer->Enabled());
  EXPECT_EQ(form->EngineHandle, 0u);
}

}  // namespace
}  // namespace app::testing
