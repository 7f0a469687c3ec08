// Hot-plug notification: the handler setters register and unregister through the device notifier,
// and the hook hands a port's or a USB device's name to the matching handler.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "comport/ComPort.h"
#include "platform/DeviceNotifier.h"
#include "toolkit/Dispatcher.h"

namespace comport {
namespace {

using platform::DeviceChange;
using platform::DeviceKind;
using platform::kDeviceArrival;
using platform::kDeviceRemoveComplete;

class ComNotifyTest : public ::testing::Test {
 protected:
  ComNotifyTest() {
    TComServices services;
    services.notifier = &notifier_;
    port_->SetServices(services);
  }

  TDeviceArrivalEvent Record(const std::string& what) {
    return [this, what](toolkit::Component* sender, const std::string& name) {
      EXPECT_EQ(sender, port_.get());
      heard_.push_back(what + " " + name);
    };
  }

  platform::ManualDeviceNotifier notifier_;
  toolkit::DispatchQueue ui_;
  std::unique_ptr<TComPort> port_ = std::make_unique<TComPort>(nullptr, ui_);
  std::vector<std::string> heard_;
};

TEST_F(ComNotifyTest, TheHandlersRegisterOnceAndClearingBothUnregisters) {
  EXPECT_FALSE(notifier_.Registered());
  port_->SetOnDeviceArrival(Record("arrived"));
  EXPECT_EQ(notifier_.Registrations(), 1U);
  port_->SetOnDeviceRemoved(Record("removed"));
  EXPECT_EQ(notifier_.Registrations(), 1U);
  EXPECT_TRUE(port_->StartNotification());
  EXPECT_EQ(notifier_.Registrations(), 1U);

  port_->SetOnDeviceArrival(nullptr);
  EXPECT_EQ(notifier_.Registrations(), 1U);  // removals are still wanted
  port_->SetOnDeviceRemoved(nullptr);
  EXPECT_FALSE(notifier_.Registered());
  // Unhooked: a change reaches nobody.
  notifier_.Notify({kDeviceArrival, DeviceKind::Port, "/dev/ttyACM0"});
  EXPECT_TRUE(heard_.empty());
  EXPECT_TRUE(port_->StopNotification());
}

TEST_F(ComNotifyTest, TheHookPassesPortAndUsbDeviceNamesAndIgnoresOtherChanges) {
  port_->SetOnDeviceArrival(Record("arrived"));
  port_->SetOnDeviceRemoved(Record("removed"));
  const DeviceChange changes[] = {
      {kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyACM4"},
      {kDeviceArrival, DeviceKind::Port, "/dev/ttyUSB0"},
      {kDeviceArrival, DeviceKind::Interface, "/dev/bus/usb/001/004"},
      {kDeviceRemoveComplete, DeviceKind::Interface, "/dev/bus/usb/001/004"},
      {kDeviceArrival, DeviceKind::Other, "/dev/sdb"},  // a volume
      {0x8001, DeviceKind::Port, "/dev/ttyUSB0"},       // another event code
      {kDeviceRemoveComplete, DeviceKind::Other, "/dev/sdb1"},
  };
  for (const DeviceChange& change : changes) {
    EXPECT_FALSE(port_->WindowHook(change));  // everybody else hears it too
  }
  EXPECT_EQ(heard_, (std::vector<std::string>{
                        "removed /dev/ttyACM4",
                        "arrived /dev/ttyUSB0",
                        "arrived /dev/bus/usb/001/004",
                        "removed /dev/bus/usb/001/004",
                    }));
  // Through the notifier, as the platform delivers them.
  heard_.clear();
  notifier_.Notify({kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyACM4"});
  EXPECT_EQ(heard_, std::vector<std::string>{"removed /dev/ttyACM4"});
}

TEST_F(ComNotifyTest, OnlyTheAssignedHandlerRuns) {
  port_->SetOnDeviceRemoved(Record("removed"));
  notifier_.Notify({kDeviceArrival, DeviceKind::Port, "/dev/ttyUSB0"});
  notifier_.Notify({kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyUSB0"});
  EXPECT_EQ(heard_, std::vector<std::string>{"removed /dev/ttyUSB0"});
}

TEST_F(ComNotifyTest, ARefusedRegistrationLeavesThePortUnregisteredAndUnhooked) {
  notifier_.refuseRegistrations = true;
  port_->SetOnDeviceArrival(Record("arrived"));  // raises nothing
  EXPECT_FALSE(port_->StartNotification());
  EXPECT_FALSE(notifier_.Registered());
  notifier_.refuseRegistrations = false;
  EXPECT_TRUE(port_->StartNotification());
  notifier_.Notify({kDeviceArrival, DeviceKind::Port, "/dev/ttyUSB0"});
  EXPECT_EQ(heard_, std::vector<std::string>{"arrived /dev/ttyUSB0"});
}

TEST_F(ComNotifyTest, DestructionUnregistersFirst) {
  port_->SetOnDeviceArrival(Record("arrived"));
  ASSERT_TRUE(notifier_.Registered());
  port_.reset();
  EXPECT_FALSE(notifier_.Registered());
  notifier_.Notify({kDeviceArrival, DeviceKind::Port, "/dev/ttyUSB0"});
  EXPECT_TRUE(heard_.empty());
}

TEST_F(ComNotifyTest, AHandlerMayDestroyItsPort) {
  port_->SetOnDeviceRemoved([this](toolkit::Component*, const std::string& name) {
    heard_.push_back(name);
    port_.reset();
  });
  notifier_.Notify({kDeviceRemoveComplete, DeviceKind::Port, "/dev/ttyUSB0"});
  EXPECT_EQ(heard_, std::vector<std::string>{"/dev/ttyUSB0"});
  EXPECT_FALSE(notifier_.Registered());
}

TEST_F(ComNotifyTest, AtDesignTimeTheSettersOnlyStore) {
  port_->SetDesigning(true);
  port_->SetOnDeviceArrival(Record("arrived"));
  EXPECT_FALSE(notifier_.Registered());
  EXPECT_TRUE(static_cast<bool>(port_->OnDeviceArrival()));
}

}  // namespace
}  // namespace comport
