// qmr7ctl upgrade in-process, the whole run: the virtual headset on a pseudo-terminal with its USB
// DFU side in a private registry, reached through the serial port component, the USB walk and an
// engine on the registry's sockets. Waits end early when the registry changes.
#include <gtest/gtest.h>
#include <poll.h>

#include <functional>
#include <utility>

#include "platform/VirtualDeviceRegistry.h"
#include "sim/DfuSide.h"
#include "sim/VirtualHeadset.h"
#include "sim/testing/GatedPacer.h"
#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tools/qmr7ctl/Commands.h"
#include "tools/qmr7ctl/Json.h"
#include "tools/qmr7ctl/SerialLink.h"
#include "tools/qmr7ctl/Texts.h"
#include "upgrade/DfuEngineCore.h"
#include "upgrade/DfuTransport.h"

namespace qmr7ctl {
namespace {

using namespace std::chrono_literals;

// The registry's serial ports alone, as the window would list them.
class RegistryPorts final : public platform::PortEnumerator {
 public:
  explicit RegistryPorts(const platform::VirtualDeviceRegistry& registry) : registry_(registry) {}
  std::vector<platform::PortInfo> Enumerate() override {
    std::vector<platform::PortInfo> ports;
    for (const auto& device : registry_.List(platform::kSerialKind)) {
      ports.push_back({device.path, device.description});
    }
    return ports;
  }

 private:
  const platform::VirtualDeviceRegistry& registry_;
};

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qmr7ctl::SetLanguage(resources::Language::English);
    registry_.EnsureDirectory();
    watcher_.emplace(registry_);
    dfu_.registry = &registry_;
    sim::VirtualHeadset::Options options;
    options.registry = &registry_;
    options.pacer = pacer_.Pacer();
    options.upgradeMode = [this](const sim::UpgradeContext& context) {
      sim::RunDfuSide(context, firmware_, dfu_);
    };
    headset_.emplace(sim::HeadsetState{}, options);

    system_.now = [] { return Clock::now(); };
    system_.sleep = [this](std::chrono::milliseconds ms) {
      sleeps_.push_back(ms);
      if (atFirstWait_) std::exchange(atFirstWait_, {})();
      if (pressWhileEngineRuns_ && engines_ > 0) ++presses_;
      pollfd p{watcher_->Fd(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(ms.count())) == 1) watcher_->ReadEvents();
    };
    system_.walkUsb = [this] { return usbenum::WalkSystemUsb(registry_.Directory()); };
    system_.interrupts = [this] { return presses_; };
    system_.createEngine = [this] {
      dfu::EngineEnvironment env;
      env.transports = {dfu::MakeSocketTransport(registry_.Directory())};
      env.timing.replugLimit = replugLimit_;
      ++engines_;
      return dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
    };
  }

  void TearDown() override {
    pacer_.Open();
    headset_.reset();
  }

  int Ctl(const std::vector<std::string>& args) {
    std::ostringstream o, e;
    Environment env{o, e, ports_, [](const std::string& port) {
                      return std::make_unique<SerialLink>(port, [](std::uint32_t) {});
                    }};
    env.upgrade = &system_;
    const int code = qmr7ctl::Run(args, env);
    out_ = o.str();
    err_ = e.str();
    return code;
  }

  std::string Firmware(int version) {
    return dfu::testing::WriteFirmware(root_ / ("QMR7_" + std::to_string(version) + ".dfu"),
                                       dfu::testing::Header("FARPOINT QM-R7", version), 20000);
  }

  static std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
    return text;
  }

  testsupport::TempDir root_;
  platform::VirtualDeviceRegistry registry_{root_ / "registry"};
  std::optional<platform::VirtualDeviceWatcher> watcher_;
  RegistryPorts ports_{registry_};
  sim::testing::GatedPacer pacer_;
  sim::Firmware firmware_ = sim::DefaultFirmware(123);
  sim::DfuSideOptions dfu_;
  std::optional<sim::VirtualHeadset> headset_;
  UpgradeSystem system_;
  std::vector<std::chrono::milliseconds> sleeps_;
  bool pressWhileEngineRuns_ = false;  // Ctrl-C at every wait once an engine exists
  std::function<void()> atFirstWait_;  // runs at the first wait, the one before the USB search
  // The engine's wait for a headset the user was asked to replug.
  std::chrono::milliseconds replugLimit_{60000};
  int engines_ = 0;
  int presses_ = 0;
  std::string out_;
  std::string err_;
};

// The file is read once, at its check; what becomes of it on disk afterwards does not reach the
// headset.
TEST_F(UpgradeTest, TheCheckedFileIsSentWhateverBecomesOfItDuringTheRun) {
  const std::string file = Firmware(200);
  atFirstWait_ = [&] {
    dfu::testing::WriteFirmware(file, dfu::testing::Header("OTHER MAKER", 999), 20000);
  };
  ASSERT_EQ(Ctl({"upgrade", "--port", headset_->SlavePath(), file}), 0) << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 200);
  testsupport::RecordHostile("Firmware file",
                             "qmr7ctl upgrade's file rewritten as another maker's firmware, "
                             "version 9.99, after its check",
                             "the checked file is sent: the headset runs its version 2.00");
}

TEST_F(UpgradeTest, TheWholeRunEndsWithTheNewVersionReadBack) {
  const std::string file = Firmware(200);
  const std::string before = headset_->SlavePath();
  ASSERT_EQ(Ctl({"upgrade", "--port", before, file}), 0) << err_;
  EXPECT_EQ(Replace(err_, before, "PORT"),
            "Asking the headset on PORT to get ready for the upgrade.\n"
            "Looking for the headset on USB...\n"
            "Found the headset on USB (FW:QMR7_123.XPV PSR:QMR7_123.PSR).\n"
            "Reconfigure in progress...\n"
            "Download in progress...\n"
            "Verifying in progress.\n"
            "Firmware upgrade completes.\n"
            "Waiting for the headset's port...\n");
  const std::string after = headset_->SlavePath();
  EXPECT_EQ(out_, "File:                      " + file + "\n" +
                      "Port:                      " + after + "\n" +
                      "Model:                     QMR7\n"
                      "Previous firmware version: V1.23\n"
                      "Firmware version:          V2.00\n");
  EXPECT_EQ(headset_->State().info.firmwareVersion, 200);
  ASSERT_FALSE(sleeps_.empty());
  EXPECT_EQ(sleeps_.front(), 1000ms);
}

// A headset known by its configuration string but showing ids the packaged udev rules do not name:
// the user is told, and given the one line that would grant it.
TEST_F(UpgradeTest, AHeadsetWithUnlistedIdsGetsItsRuleLine) {
  system_.walkUsb = [this] {
    usbenum::UsbDetection found = usbenum::WalkSystemUsb(registry_.Directory());
    if (found.Found()) found.idProduct = 0x00aa;
    return found;
  };
  ASSERT_EQ(Ctl({"upgrade", "--port", headset_->SlavePath(), Firmware(200)}), 0) << err_;
  EXPECT_NE(err_.find("Found the headset on USB (FW:QMR7_123.XPV PSR:QMR7_123.PSR).\n"
                      "The headset shows USB ids 1209:00aa, which the tool's udev rules do not "
                      "name."),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("\nSUBSYSTEM==\"usb|tty\", ATTRS{idVendor}==\"1209\", "
                      "ATTRS{idProduct}==\"00aa\", TAG+=\"uaccess\", "
                      "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
            std::string::npos)
      << err_;
}

TEST_F(UpgradeTest, TheJsonDocument) {
  const std::string file = Firmware(201);
  ASSERT_EQ(Ctl({"--json", "upgrade", file}), 0) << err_;
  const auto parsed = json::Parse(out_);
  ASSERT_TRUE(std::holds_alternative<json::Value>(parsed)) << out_;
  const json::Value expected = json::Object{{"file", file},
                                            {"port", headset_->SlavePath()},
                                            {"model", "QMR7"},
                                            {"from-dfu-mode", false},
                                            {"previous-firmware-version", 123},
                                            {"firmware-version", 201},
                                            {"firmware-version-text", "V2.01"}};
  EXPECT_EQ(std::get<json::Value>(parsed), expected) << out_;
}

TEST_F(UpgradeTest, AFailedDownloadIsExit7AndTheNextRunFinishesFromDfuMode) {
  dfu_.faults.statusAt = sim::DfuFaults::StatusAt{4, 7};  // errVERIFY, once
  const std::string file = Firmware(202);
  EXPECT_EQ(Ctl({"upgrade", file}), static_cast<int>(Exit::UpgradeFailed));
  EXPECT_TRUE(
      err_.ends_with("Download in progress...\n"
                     "qmr7ctl: An error occurs during firmware upgrade. Result = "
                     "fail_dfu_verify, Operation = download_progress, SubOperation = "
                     "download_processing\n"))
      << err_;
  EXPECT_EQ(out_, "");
  EXPECT_EQ(headset_->State().info.firmwareVersion, 123);
  EXPECT_EQ(headset_->GetPresence(), sim::Presence::Away);

  // No port answers now; the walk finds the headset still in DFU mode.
  sleeps_.clear();
  ASSERT_EQ(Ctl({"--json", "upgrade", file}), 0) << err_;
  EXPECT_TRUE(
      err_.starts_with("No headset port answers, but the headset is on USB in DFU mode "
                       "(FW:QMR7_123.XPV PSR:QMR7_123.PSR); finishing the upgrade.\n"
                       "Reconfigure in progress...\n"))
      << err_;
  const auto parsed = json::Parse(out_);
  ASSERT_TRUE(std::holds_alternative<json::Value>(parsed)) << out_;
  const json::Object* document = std::get<json::Value>(parsed).AsObject();
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->Find("from-dfu-mode"), nullptr);
  EXPECT_EQ(*document->Find("from-dfu-mode"), json::Value(true));
  ASSERT_NE(document->Find("previous-firmware-version"), nullptr);
  EXPECT_EQ(*document->Find("previous-firmware-version"), json::Value());
  ASSERT_NE(document->Find("firmware-version"), nullptr);
  EXPECT_EQ(*document->Find("firmware-version"), json::Value(202));
  EXPECT_EQ(headset_->State().info.firmwareVersion, 202);
  // Straight to the engine: no second of waiting for a port to close.
  EXPECT_TRUE(sleeps_.empty() || sleeps_.front() != 1000ms);
}

TEST_F(UpgradeTest, TheSecondCtrlCStopsTheEngineAndTheNextRunFinishes) {
  pressWhileEngineRuns_ = true;
  const std::string file = Firmware(203);
  EXPECT_EQ(Ctl({"upgrade", file}), static_cast<int>(Exit::UpgradeFailed));
  const std::string warning = "Press Ctrl-C again to stop anyway.\n";
  EXPECT_NE(err_.find(warning), std::string::npos) << err_;
  EXPECT_EQ(err_.find(warning), err_.rfind(warning)) << err_;
  // Stopped in the reconfigure or the download, whichever the second press met: the message
  // says which.
  const std::string lastLine = err_.substr(err_.rfind('\n', err_.size() - 2) + 1);
  EXPECT_TRUE(lastLine == "qmr7ctl: " + Get(Text::StoppedBeforeWrite) + "\n" ||
              lastLine.starts_with("qmr7ctl: Upgrade stopped during the download ("))
      << err_;
  EXPECT_EQ(presses_, 2);
  EXPECT_EQ(headset_->State().info.firmwareVersion, 123);

  pressWhileEngineRuns_ = false;
  presses_ = 0;  // a new process
  ASSERT_EQ(Ctl({"upgrade", file}), 0) << err_;
  EXPECT_NE(err_.find("in DFU mode"), std::string::npos) << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 203);
}

TEST_F(UpgradeTest, ALoaderNamingItselfIsFoundByItsIdsAndTheUpgradeFinishes) {
  dfu_.config.loaderStrings = true;
  dfu_.config.dfuProduct = sim::kLoaderProduct;
  dfu_.faults.statusAt = sim::DfuFaults::StatusAt{2, 7};  // once: the headset stays in DFU mode
  const std::string file = Firmware(204);
  ASSERT_EQ(Ctl({"upgrade", file}), static_cast<int>(Exit::UpgradeFailed)) << err_;
  ASSERT_EQ(headset_->GetPresence(), sim::Presence::Away);

  ASSERT_EQ(Ctl({"upgrade", file}), 0) << err_;
  EXPECT_TRUE(
      err_.starts_with("No headset port answers, but the headset is on USB in DFU mode "
                       "(1209:7208); finishing the upgrade.\n"))
      << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 204);
}

TEST_F(UpgradeTest, ARefusedResetAsksForAReplugAndTheRunGoesOn) {
  dfu_.faults.resetRefused = true;
  dfu_.replugDelay = 0ms;
  const std::string file = Firmware(205);
  ASSERT_EQ(Ctl({"upgrade", file}), 0) << err_;
  const std::string line = Get(Text::ReplugHeadset) + "\n";
  // Once to enter DFU mode, once to leave it.
  const auto first = err_.find(line);
  ASSERT_NE(first, std::string::npos) << err_;
  EXPECT_NE(err_.find(line, first + 1), std::string::npos) << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 205);
}

TEST_F(UpgradeTest, AHeadsetNeverRepluggedEndsSayingNothingWasWritten) {
  dfu_.faults.resetRefused = true;
  dfu_.replugDelay.reset();
  replugLimit_ = 300ms;
  const std::string file = Firmware(206);
  EXPECT_EQ(Ctl({"upgrade", file}), static_cast<int>(Exit::UpgradeFailed));
  EXPECT_TRUE(err_.ends_with("qmr7ctl: " + Get(Text::NotBackBeforeWrite) + "\n")) << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 123);
}

TEST_F(UpgradeTest, DeviceIdsAreCheckedBeforeAnythingIsSent) {
  const std::string file = Firmware(207);
  for (const char* bad : {"1209", "1209:7207,", "1209:7207;1209:7208", "x:y"}) {
    EXPECT_EQ(Ctl({"upgrade", "--device", bad, file}), static_cast<int>(Exit::Usage)) << bad;
    EXPECT_NE(err_.find("is not VID:PID or VID:PID,VID:PID"), std::string::npos) << err_;
  }
  EXPECT_EQ(Ctl({"get", "--device", "1209:7207"}), static_cast<int>(Exit::Usage));
  EXPECT_NE(err_.find("--device"), std::string::npos) << err_;
  EXPECT_EQ(engines_, 0);
  // Ids the table knows already change nothing.
  ASSERT_EQ(Ctl({"upgrade", "--device=1209:7207,1209:7208", file}), 0) << err_;
  EXPECT_EQ(headset_->State().info.firmwareVersion, 207);
}

}  // namespace
}  // namespace qmr7ctl
