#include "platform/UdevPortEnumerator.h"

#include <dirent.h>
#include <libudev.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace platform {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::string_view Str(const char* s) {
  return s != nullptr ? std::string_view(s) : std::string_view();
}

// The tty class's entries that are not virtual devices, in name order. Consoles and
// pseudo-terminals (dozens on every system) have no hardware parent; telling them apart by their
// link spares libudev resolving each one's path (over a dozen system calls each), which made
// listing the ports most of the tool's start-up time.
std::vector<std::string> NonVirtualTtys() {
  constexpr const char* kClass = "/sys/class/tty";
  std::vector<std::string> paths;
  DIR* dir = ::opendir(kClass);
  if (dir == nullptr) return paths;
  // One readlinkat per entry: the class folder holds only links, so nothing needs a stat first.
  char target[PATH_MAX];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, target, sizeof target - 1);
    if (n <= 0) continue;
    if (std::string_view(target, static_cast<std::size_t>(n)).find("/devices/virtual/") !=
        std::string_view::npos) {
      continue;
    }
    paths.push_back(std::string(kClass) + "/" + entry->d_name);
  }
  ::closedir(dir);
  std::sort(paths.begin(), paths.end());
  return paths;
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
  for (const std::string& path : NonVirtualTtys()) {
    UdevPtr<udev_device> tty(udev_device_new_from_syspath(u.get(), path.c_str()));
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
