// Serial ports found through udev: tty devices that sit on hardware (a USB interface, a PCI card,
// a platform UART that answers), not the virtual consoles and pseudo-terminals.
#pragma once

#include <string>
#include <string_view>

#include "platform/PortEnumerator.h"
#include "platform/VirtualDeviceRegistry.h"

namespace platform {

class UdevPortEnumerator final : public PortEnumerator {
 public:
  std::vector<PortInfo> Enumerate() override;
};

// The ports of this machine: the hardware ones udev knows, then the virtual ones registered.
class SystemPortEnumerator final : public PortEnumerator {
 public:
  explicit SystemPortEnumerator(VirtualDeviceRegistry registry) : registry_(std::move(registry)) {}
  std::vector<PortInfo> Enumerate() override;

 private:
  UdevPortEnumerator udev_;
  VirtualDeviceRegistry registry_;
};

// What the user sees for a port: "USB Serial Device (<USB product string>)" for a port on USB
// (without the parentheses when the device names no product), else "Serial Port (<kernel name>)".
std::string PortDescription(bool onUsb, std::string_view usbProduct, std::string_view kernelName);

}  // namespace platform
