// The window's firmware upgrade against the real engine, whose transport is the in-process
// simulated DFU device and whose waits take no real time. The window's clock is manual; while an
// engine operation runs, the test waits (bounded, in real time) for its end report instead of
// moving the clock, so every operation costs exactly one 100 ms poll of the window's time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "app/UpgradeEngine.h"
#include "sim/DfuDevice.h"
#include "tests/app/DeviceTestFixture.h"
#include "tests/upgrade/FirmwareFiles.h"
#include "upgrade/DfuEngineCore.h"
#include "upgrade/testing/SimulatedTransport.h"

namespace toolkit::testing {

// Boxes in failure messages as the user reads them.
inline void PrintTo(const ShownBox& box, std::ostream* out) {
  *out << "[" << box.caption << "] " << box.text << " (flags 0x" << std::hex << box.flags
       << std::dec << ")";
}

}  // namespace toolkit::testing

namespace app::testing {

// The simulated device behind a door the test controls: unplugged, plugged in, or gone for good
// once it has been told to detach (as a device that never re-enumerates in DFU mode).
class TestTransport final : public dfu::DfuTransport {
 public:
  explicit TestTransport(sim::DfuDevice device) : inner_(std::move(device)) {}

  std::vector<std::string> List() override {
    return gone_ ? std::vector<std::string>{} : inner_.List();
  }
  bool Owns(const std::string& name) const override { return inner_.Owns(name); }
  std::unique_ptr<dfu::DfuLink> Open(const std::string& name, dfu::UsbError& error) override;

  void SetAttached(bool attached) { inner_.SetAttached(attached); }
  void SetRefuseResets(bool refuse) { inner_.SetRefuseResets(refuse); }
  void SetReplugAfterRefusal(std::optional<std::chrono::microseconds> after) {
    inner_.SetReplugAfterRefusal(after);
  }
  sim::DfuDevice Device() const { return inner_.Device(); }

  std::atomic<bool> goneAfterDetach{false};

 private:
  class Link;
  dfu::testing::SimulatedTransport inner_;
  std::atomic<bool> gone_{false};
};

// The real engine on a TestTransport; any of its calls can be made to refuse.
class SimulatedEngine final : public UpgradeEngine {
 public:
  explicit SimulatedEngine(sim::DfuDevice device = sim::DfuDevice());

  DFUEngineHandle Create() override;
  bool CreateUSB(DFUEngineHandle handle, const std::string& name) override;
  bool StartReconfigure(DFUEngineHandle handle, std::uint32_t upload, std::uint32_t checkFile,
                        const std::string& path) override;
  bool StartDownload(DFUEngineHandle handle, const std::string& path) override;
  bool StartManifest(DFUEngineHandle handle) override;

  std::shared_ptr<TestTransport> transport;
  // Names of the calls that return false without reaching the engine.
  std::set<std::string> refuse;
};

// Ten blocks of the simulated device's default transfer size, so faults can be placed in them.
inline constexpr std::size_t kFirmwareBodySize = 10000;

// A window with the virtual headset on a pty and the simulated DFU device: in upgrade mode the
// headset plugs the DFU device in and stays away until the test lets it come back, then returns
// with the version it was given.
class WindowUpgradeTest : public DeviceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The engine's device, then the headset with a firmware file it accepts, then the window with
  // the port open and read. The file is remembered in the settings file, as a previous run left it.
  void StartAll(sim::DfuDeviceConfig config = {}, sim::DfuFaults faults = {});

  // Presses Start and waits until the headset has confirmed command 20 and is on USB.
  void RequestUpgrade();

  // Runs timers and hand-overs until `done` holds (see the top of this file); false after 10 s.
  bool RunUntil(const std::function<bool()>& done);

  // Lets the headset's serial side come back.
  void LetHeadsetReturn();

  std::string firmwarePath;
  std::string settingsText;  // the settings file as it was before the run
  std::unique_ptr<SimulatedEngine> simulated;

 private:
  void UpgradeMode(const sim::UpgradeContext& context);

  std::mutex mutex_;
  std::condition_variable changed_;
  bool onUsb_ = false;
  bool mayReturn_ = false;
};

}  // namespace app::testing
