// The window talking through its real serial port to the virtual headset on a pseudo-terminal.
// The headset runs in-process; its pauses take no time; the window's clock is manual, so the
// response time-out happens only when a test advances it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/UdevPortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"
#include "sim/VirtualHeadset.h"
#include "sim/testing/GatedPacer.h"
#include "tests/app/MainformTestFixture.h"

namespace app::testing {

class DeviceTest : public MainformTest {
 protected:
  void TearDown() override;

  // Starts the headset with these faults ("split", "slow=200", ...) and settings, and a window
  // that lists it.
  void StartHeadset(const std::string& faults = {}, sim::Settings settings = {});
  void StartWindow();

  // Presses Open with the headset's line selected.
  void OpenPort();
  // Opens the port and waits until the read chain has ended.
  void OpenAndRead();

  // Hands the port's events to the window until `done` holds; false if that took over 10 s.
  bool PumpUntil(const std::function<bool()>& done);
  bool PumpUntilIdle() {
    return PumpUntil([this] { return form->PendingCommand == kIdleCommand; });
  }

  platform::VirtualDeviceRegistry registry{appData / "registry"};
  platform::SystemPortEnumerator systemPorts{registry};
  sim::testing::GatedPacer pacer;
  // What the headset does in upgrade mode (after command 20); unset: stays away for a while.
  std::function<void(const sim::UpgradeContext&)> upgradeMode;
  // What the headset StartHeadset starts says it is.
  sim::DeviceInfo headsetInfo;
  std::unique_ptr<sim::VirtualHeadset> headset;
  std::unique_ptr<TMajorForm> form;
};

}  // namespace app::testing
