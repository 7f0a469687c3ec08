#include "platform/UdevPortEnumerator.h"

#include <libudev.h>

#include <memory>

namespace platform {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string_view Str(const char* s) {
  return s != nullptr ? std::string_view(s) : std::string_view();
}

// A tty on a serial-core driver exists for every possible UART; only one whose type is known has
// a chip behind it.
bool HasHardware(udev_device* tty) {
  udev_device* parent = udev_device_get_parent(tty);
  if (parent == nullptr) return false;
  const std::string_view type = Str(udev_device_get_sysattr_value(tty, "type"));
  return type.empty() || type != "0";
}

}  // namespace

std::string PortDescription(bool onUsb, std::string_view usbProduct, std::string_view kernelName) {
  if (onUsb) {
    return usbProduct.empty() ? std::string("USB Serial Device")
                              : "USB Serial Device (" + std::string(usbProduct) + ")";
  }
  return "Serial Port (" + std::string(kernelName) + ")";
}

std::vector<PortInfo> UdevPortEnumerator::Enumerate() {
  std::vector<PortInfo> ports;
  UdevPtr<udev> u(udev_new());
  if (!u) return ports;
  UdevPtr<udev_enumerate> e(udev_enumerate_new(u.get()));
  if (!e) return ports;
  udev_enumerate_add_match_subsystem(e.get(), "tty");
  udev_enumerate_scan_devices(e.get());

  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
    UdevPtr<udev_device> tty(
        udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
    if (!tty || !HasHardware(tty.get())) continue;
    const char* node = udev_device_get_devnode(tty.get());
    if (node == nullptr) continue;
    // Borrowed from the tty device, which owns its parents.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    const std::string_view product =
        usb != nullptr ? Str(udev_device_get_sysattr_value(usb, "product")) : std::string_view();
    ports.push_back(
        {node, PortDescription(usb != nullptr, product, Str(udev_device_get_sysname(tty.get())))});
  }
  return ports;
}

std::vector<PortInfo> SystemPortEnumerator::Enumerate() {
  std::vector<PortInfo> ports = udev_.Enumerate();
  for (const VirtualDevice& device : registry_.List(kSerialKind)) {
    ports.push_back({device.path, device.description});
  }
  return ports;
}

}  // namespace platform
