#include "tests/upgrade/WindowUpgradeFixture.h"

#include "platform/Folders.h"
#include "platform/IniFile.h"
#include "upgrade/DfuClass.h"

namespace app::testing {

using namespace std::chrono_literals;

class TestTransport::Link final : public dfu::DfuLink {
 public:
  Link(TestTransport& owner, std::unique_ptr<dfu::DfuLink> inner)
      : owner_(owner), inner_(std::move(inner)) {}

  dfu::UsbError Control(const dfu::Setup& setup, std::span<std::uint8_t> data,
                        std::size_t& transferred) override {
    transferred = 0;
    if (owner_.gone_) return dfu::UsbGone("control");
    const dfu::UsbError error = inner_->Control(setup, data, transferred);
    const bool detach = setup.requestType == dfu::kClassOut &&
                        setup.request == static_cast<std::uint8_t>(dfu::Request::Detach);
    if (detach && !error && owner_.goneAfterDetach) owner_.gone_ = true;
    return error;
  }
  dfu::UsbError Reset() override { return owner_.gone_ ? dfu::UsbGone("reset") : inner_->Reset(); }

 private:
  TestTransport& owner_;
  std::unique_ptr<dfu::DfuLink> inner_;
};

std::unique_ptr<dfu::DfuLink> TestTransport::Open(const std::string& name, dfu::UsbError& error) {
  if (gone_) {
    error = dfu::UsbGone("open " + name);
    return nullptr;
  }
  auto link = inner_.Open(name, error);
  if (!link) return nullptr;
  return std::make_unique<Link>(*this, std::move(link));
}

SimulatedEngine::SimulatedEngine(sim::DfuDevice device)
    : transport(std::make_shared<TestTransport>(std::move(device))) {}

DFUEngineHandle SimulatedEngine::Create() {
  dfu::EngineEnvironment env;
  env.transports = {transport};
  env.waiter = std::make_unique<dfu::testing::VirtualWaiter>();
  return dfu::RegisterEngine(std::make_unique<dfu::Engine>(std::move(env)));
}

bool SimulatedEngine::CreateUSB(DFUEngineHandle handle, const std::string& name) {
  return !refuse.contains("CreateUSB") && UpgradeEngine::CreateUSB(handle, name);
}

bool SimulatedEngine::StartReconfigure(DFUEngineHandle handle, std::uint32_t upload,
                                       std::uint32_t checkFile, const std::string& path) {
  return !refuse.contains("StartReconfigure") &&
         UpgradeEngine::StartReconfigure(handle, upload, checkFile, path);
}

bool SimulatedEngine::StartDownload(DFUEngineHandle handle, const std::string& path) {
  return !refuse.contains("StartDownload") && UpgradeEngine::StartDownload(handle, path);
}

bool SimulatedEngine::StartManifest(DFUEngineHandle handle) {
  return !refuse.contains("StartManifest") && UpgradeEngine::StartManifest(handle);
}

void WindowUpgradeTest::SetUp() {
  DeviceTest::SetUp();
  {
    std::lock_guard lock(mutex_);
    onUsb_ = false;
    mayReturn_ = false;
  }
  upgradeMode = [this](const sim::UpgradeContext& context) { UpgradeMode(context); };
  // The reconnect wait hands messages over and lets time pass while it processes them.
  clock.SetMessageHook([this] { dispatcher.Pump(); });
  clock.SetProcessMessagesStep(1);
}

void WindowUpgradeTest::TearDown() {
  {
    std::lock_guard lock(mutex_);
    mayReturn_ = true;
  }
  changed_.notify_all();
  DeviceTest::TearDown();
  engine = nullptr;
  simulated.reset();
}

void WindowUpgradeTest::StartAll(sim::DfuDeviceConfig config, sim::DfuFaults faults) {
  simulated = std::make_unique<SimulatedEngine>(sim::DfuDevice(sim::Firmware{}, config, faults));
  simulated->transport->SetAttached(false);
  engine = simulated.get();

  firmwarePath = dfu::testing::WriteFirmware(appData / "QMR7_124.dfu", dfu::testing::Header(),
                                             kFirmwareBodySize);
  platform::CreateFolder(appDataFolder + "/FPBFU");
  platform::IniFile(SettingsFile()).WriteString("Setting", "DFU_FileName", firmwarePath);
  settingsText = testsupport::ReadFile(SettingsFile());

  StartHeadset();
  StartWindow();
  OpenAndRead();
  ui.boxes.clear();
}

void WindowUpgradeTest::RequestUpgrade() {
  form->StartDFUUpgradeButton->click();
  ASSERT_EQ(form->PendingCommand, 20) << "command 20 was not sent";
  ASSERT_TRUE(PumpUntil([this] { return form->StartDFUTimer->Enabled(); }))
      << "the headset did not confirm command 20";
  ASSERT_TRUE(headset->WaitForPresence(sim::Presence::Away, 10s));
  std::unique_lock lock(mutex_);
  ASSERT_TRUE(changed_.wait_for(lock, 10s, [this] { return onUsb_; }));
  lock.unlock();
  notifier.Notify(platform::kDeviceRemoveComplete);
}

bool WindowUpgradeTest::RunUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    dispatcher.Pump();
    if (done()) break;
    const bool engineBusy = form->UpgradePhase != TUpgradePhase::Idle &&
                            !form->ResultArrived.load(std::memory_order_acquire);
    if (engineBusy) {
      dispatcher.WaitAndPump(1ms);
      continue;
    }
    clock.Advance(100);
  }
  return true;
}

void WindowUpgradeTest::LetHeadsetReturn() {
  {
    std::lock_guard lock(mutex_);
    mayReturn_ = true;
  }
  changed_.notify_all();
  ASSERT_TRUE(headset->WaitForPresence(sim::Presence::Attached, 10s));
  notifier.Notify(platform::kDeviceArrival);
}

void WindowUpgradeTest::UpgradeMode(const sim::UpgradeContext& context) {
  simulated->transport->SetAttached(true);
  std::unique_lock lock(mutex_);
  onUsb_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return mayReturn_; });
  onUsb_ = false;
  mayReturn_ = false;
  lock.unlock();
  simulated->transport->SetAttached(false);
  const sim::DfuDevice device = simulated->transport->Device();
  if (device.Upgraded()) context.setFirmwareVersion(device.Running().version);
}

}  // namespace app::testing
