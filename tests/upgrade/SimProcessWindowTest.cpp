// The window upgrades qmr7-sim running as a separate process: the Start button, command 20 over
// the pty, the engine on the headset's USB side through the virtual-device socket, and the port
// reopened with the new version.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QCoreApplication>

#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "tests/app/MainformTestFixture.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/Spawn.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "tests/upgrade/RegistryWait.h"
#include "toolkit/qt/Text.h"
#include "upgrade/DfuEngineCore.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace app::testing {
namespace {

using namespace std::chrono_literals;
using namespace resources;
using toolkit::qt::S;
namespace mb = toolkit::mb;

constexpr int kSafetyTimeoutMs = 10000;

// The real engine on the virtual-device socket; its waits take no real time.
class SocketEngine final : public UpgradeEngine {
 public:
  explicit SocketEngine(std::string registry) : registry_(std::move(registry)) {}
  DFUEngineHandle Create() override {
    dfu::EngineEnvironment env;
    env.transports = {dfu::MakeSocketTransport(registry_)};
    env.waiter = std::make_unique<dfu::testing::VirtualWaiter>();
    return dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
  }

 private:
  std::string registry_;
};

class SimProcessWindowTest : public MainformTest {
 protected:
  void TearDown() override {
    form.reset();
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    MainformTest::TearDown();
  }

  void SpawnSim() {
    pid_ = testsupport::Spawn({QMR7_SIM_PROGRAM, "--state", root_ / "state"},
                              testsupport::EnvironmentWithRuntimeDir(root_.Path()), -1, 2);
    ASSERT_GT(pid_, 0);
  }

  std::optional<platform::VirtualDevice> NextArrival(const std::string& kind) {
    return dfu::testing::NextArrival(*watcher_, kind, kSafetyTimeoutMs);
  }

  bool PumpUntil(const std::function<bool()>& done) {
    return testsupport::PumpUntil(
        [this] {
          dispatcher.WaitAndPump(5ms);
          QCoreApplication::processEvents();
        },
        done);
  }

  // Timers on the manual clock, except while an engine operation runs: then its end is awaited.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      dispatcher.Pump();
      if (done()) break;
      if (form->UpgradePhase != TUpgradePhase::Idle && !form->ResultArrived.load()) {
        dispatcher.WaitAndPump(1ms);
        continue;
      }
      clock.Advance(100);
    }
    return true;
  }

  testsupport::TempDir root_;
  platform::VirtualDeviceRegistry registry_{root_ / "qmr7"};
  std::optional<platform::VirtualDeviceWatcher> watcher_;
  std::unique_ptr<SocketEngine> socketEngine_;
  std::unique_ptr<platform::SystemPortEnumerator> systemPorts_;
  std::unique_ptr<TMajorForm> form;
  pid_t pid_ = -1;
};

TEST_F(SimProcessWindowTest, UpgradesTheHeadsetAndReopensItsPort) {
  registry_.EnsureDirectory();
  watcher_.emplace(registry_);
  SpawnSim();
  ASSERT_TRUE(NextArrival(platform::kSerialKind));

  const std::string firmware = dfu::testing::WriteFirmware(
      appData / "QMR7_124.dfu", dfu::testing::Header("FARPOINT QM-R7 firmware", 124), 6000);
  platform::CreateFolder(appDataFolder + "/FPBFU");
  platform::IniFile(SettingsFile()).WriteString("Setting", "DFU_FileName", firmware);
  socketEngine_ = std::make_unique<SocketEngine>(registry_.Directory());
  systemPorts_ = std::make_unique<platform::SystemPortEnumerator>(registry_);
  form = std::make_unique<TMajorForm>(MajorFormServices{clock,
                                                        ui,
                                                        dispatcher,
                                                        *systemPorts_,
                                                        notifier,
                                                        "/usr/bin/qmr7-tool",
                                                        appDataFolder,
                                                        socketEngine_.get(),
                                                        {},
                                                        {}});
  form->OpenComPortButton->click();
  ASSERT_TRUE(form->PortReady);
  ASSERT_TRUE(PumpUntil([&] { return form->PendingCommand == kIdleCommand; }));
  ASSERT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.23");

  form->StartDFUUpgradeButton->click();
  ASSERT_TRUE(PumpUntil([&] { return form->StartDFUTimer->Enabled(); }));
  ASSERT_TRUE(NextArrival(platform::kUsbDfuKind));
  notifier.Notify(platform::kDeviceRemoveComplete);

  const auto success = Box(kTextUpgradeComplete, kTextCaptionNote, mb::kOk | mb::kIconInformation);
  ui.onBox = [&](const toolkit::testing::ShownBox& box) {
    // While the box is up the headset comes back on its serial side.
    if (box == success && NextArrival(platform::kSerialKind)) {
      notifier.Notify(platform::kDeviceArrival);
    }
  };
  clock.SetProcessMessagesStep(1);
  ASSERT_TRUE(RunUntil([&] { return !ui.boxes.empty(); }));
  EXPECT_EQ(ui.boxes, std::vector{success});
  ASSERT_TRUE(form->PortReady);
  ASSERT_TRUE(PumpUntil([&] { return form->PendingCommand == kIdleCommand; }));
  EXPECT_EQ(S(form->FWVerLabel->text()), "Firmware version: V1.24");
  EXPECT_EQ(S(form->DfuDeviceLabel->text()).rfind("virtual:", 0), 0u);
}

}  // namespace
}  // namespace app::testing
