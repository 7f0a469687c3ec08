// A USB bus that exists only for the test process: umockdev's testbed gives the process a /sys
// with root hubs, hubs and devices laid out as the kernel lays them out, and a /dev/bus/usb node
// per device. A device can be backed by a DFU device model: the usbfs ioctls that libusb sends to
// its node (control URBs, claims, reset) are answered from the model on umockdev's handler thread.
//
// The process must run with umockdev's preload library (umockdev-wrapper); InMockEnvironment says
// whether it does, so tests can skip visibly otherwise.
//
// Threads: the handler thread answers ioctls while the test's threads use libusb; each model is
// guarded by its own lock, and Model() hands out a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/DfuDevice.h"

namespace usbtestbed {

bool InMockEnvironment();

// One device in sysfs. The device descriptor's ids and string indices come from `descriptors`.
struct SysfsDevice {
  std::string name;  // "usb1", "1-2", "1-2.3"
  int bus = 1;
  int address = 1;
  std::vector<std::uint8_t> descriptors;  // device descriptor, then the configurations
  int maxchild = 0;
  std::optional<std::string> configuration;  // the active configuration's string
};

// A device descriptor followed by `config`.
std::vector<std::uint8_t> Descriptors(std::uint16_t vendor, std::uint16_t product,
                                      std::vector<std::uint8_t> config, bool hub = false,
                                      std::uint8_t iProduct = 0);
// A hub's one configuration, naming string `iConfiguration`: its interface of class 9.
std::vector<std::uint8_t> HubConfig(std::uint8_t iConfiguration = 0);

class UsbTestbed {
 public:
  UsbTestbed();
  ~UsbTestbed();

  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // Adds a device under its parent (root hubs under /sys/devices); parents first.
  void Add(const SysfsDevice& device);

  // Adds the device `name` backed by `model`: its sysfs descriptors are the model's, as they are
  // in the model's present mode, and its node answers usbfs ioctls from the model. The kernel's
  // copy of the configuration string is the model's unless `configuration` says otherwise.
  void AddModel(const std::string& name, int bus, int address, sim::DfuDevice model,
                std::optional<std::string> configuration = std::nullopt);

  // A copy of the model of device `name` as it is now.
  sim::DfuDevice Model(const std::string& name) const;
  // The requests that model received, in order: "reset", or "bmRequestType bRequest wValue" in
  // hex for a control transfer.
  std::vector<std::string> Requests(const std::string& name) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace usbtestbed
