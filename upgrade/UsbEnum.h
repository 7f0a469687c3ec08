// The USB tree walk that finds which firmware a device says it runs: host controllers in order,
// each hub's ports by number, depth first, a downstream hub's own configuration after its ports.
// Every device's configuration strings are read; the last one, in walk order, that holds both
// "FW:" and "PSR:" is the result, with the identity of the device that sent it. Devices whose DFU
// interface is in DFU mode are listed as well, so that a headset's boot loader, which may name
// itself rather than the firmware, is found by its ids (WithHeadsetLoader).
//
// The walk asks a UsbHost, which stands for the platform's host-controller and hub requests:
// Linux sysfs (MakeSysfsUsbHost), the virtual devices of the registry (MakeVirtualUsbHost), the
// Windows hub requests (MakeIoctlUsbHost), and a fixture tree in tests. Descriptors come back as
// the device sent them, so the walk applies the same length and type checks to every backend.
//
// Errors: none reach the caller. A request that fails skips that port, hub or controller; the
// only sign is an empty result.
// Threads: a walk and its hosts belong to the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "upgrade/DfuQuirks.h"
#include "upgrade/WinUsbRules.h"

namespace usbioctl {
class UsbIo;
}

namespace usbenum {

// A port's state, numbered as the platform's connection states are.
enum class ConnectionStatus {
  NoDeviceConnected = 0,
  DeviceConnected = 1,
  DeviceFailedEnumeration = 2,
  DeviceGeneralFailure = 3,
  DeviceCausedOvercurrent = 4,
  DeviceNotEnoughPower = 5,
};

// What a hub says about one of its ports.
struct UsbConnection {
  ConnectionStatus status = ConnectionStatus::NoDeviceConnected;
  bool deviceIsHub = false;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint8_t iManufacturer = 0;
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
  // How the DFU engine names this device ("usb:1-2.3", "virtual:<id>"); empty: no name.
  std::string deviceName;
};

class UsbHost {
 public:
  virtual ~UsbHost() = default;

  // The root hubs of this host's controllers, in controller order.
  virtual std::vector<std::string> RootHubs() = 0;
  // The host controller that a root hub belongs to. Root hubs of one controller (an xHCI
  // controller has one for USB 2 and one for USB 3) count once against kMaxHostControllers. The
  // default: each root hub is a controller of its own.
  virtual std::string ControllerOf(const std::string& rootHub) { return rootHub; }
  // False for a host whose controllers are not the machine's (the registry's virtual devices):
  // they are not counted against kMaxHostControllers, so the cap never keeps them from the walk.
  virtual bool CountsAgainstControllerCap() const { return true; }
  // Calls walk(rootHub) for each controller in order, while it returns true. The default walks
  // RootHubs(); a host that holds a controller open while its tree is walked overrides it.
  virtual void ForEachRootHub(const std::function<bool(const std::string&)>& walk);
  // The number of downstream ports of a hub; nullopt when the hub cannot be asked.
  virtual std::optional<int> PortCount(const std::string& hub) = 0;
  // The walk is done with the ports of a hub whose PortCount it had: a host that keeps the hub
  // open for the requests to its ports closes it here.
  virtual void ReleaseHub(const std::string& /*hub*/) {}
  // Port `port` (from 1) of `hub`; nullopt when the request fails.
  virtual std::optional<UsbConnection> Connection(const std::string& hub, int port) = 0;
  // GET_DESCRIPTOR to the device on that port: at most `length` bytes of descriptor `type` and
  // `index` in `language`, as the device sent them; nullopt when the request fails.
  virtual std::optional<std::vector<std::uint8_t>> Descriptor(const std::string& hub, int port,
                                                              std::uint8_t type, std::uint8_t index,
                                                              std::uint16_t language,
                                                              std::uint16_t length) = 0;
  // The name of the hub on that port; nullopt when there is none.
  virtual std::optional<std::string> DownstreamHub(const std::string& hub, int port) = 0;
};

// A device the walk saw with a DFU interface in DFU mode.
struct DfuModeDevice {
  std::string deviceName;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
};

// What detection needs: the configuration string (upper case, empty when no device sent one
// with both markers) and the device that sent it, or the headset's boot loader found by its ids.
struct UsbDetection {
  std::string configText;
  std::string deviceName;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  // The device found waits in DFU mode (its DFU interface has protocol 2): an upgrade was cut
  // short, and the next one starts there.
  bool dfuMode = false;
  // Every device in DFU mode, in walk order, whatever its strings.
  std::vector<DfuModeDevice> dfuModeDevices;

  bool Found() const { return !configText.empty() || (dfuMode && !deviceName.empty()); }
};

// The walk's result with the headset's boot loader taken when no device named its firmware: the
// last device in DFU mode whose ids are a headset's DFU-mode ids, in the quirk table or in
// `extra`. No other maker's device is ever taken, whatever its mode.
UsbDetection WithHeadsetLoader(UsbDetection walked, std::span<const dfu::DeviceIds> extra = {});

// Host controllers beyond this many, counted over all hosts in order, are not examined; the root
// hubs of the controllers counted are, wherever their host lists them.
inline constexpr int kMaxHostControllers = 10;
// The longest configuration text kept, in bytes.
inline constexpr std::size_t kMaxConfigText = 255;
// A device's share of a walk, whatever its descriptors claim, so that one hostile device cannot
// stall detection: the descriptors of its configuration looked at for string indices, and the
// string requests sent to it (its language list among them; each index is asked once).
inline constexpr int kMaxDescriptorsPerDevice = 256;
inline constexpr int kMaxStringRequestsPerDevice = 64;

// Walks the controllers of `hosts`, in order (real buses before virtual devices).
UsbDetection WalkUsbTree(std::span<UsbHost* const> hosts);

// This platform's walk. Linux: the real buses (sysfs), then the registry's virtual devices (empty
// folder: the default registry). Windows: the host controllers through the hub requests; the
// registry's virtual devices live on Linux only, so the folder is not used there.
UsbDetection WalkSystemUsb(const std::string& registryDirectory = {});

// What this machine's drivers say of the headset's DFU interface, for a caller that found no
// device it can use. Windows: the configuration manager's answers for every present USB device
// node, judged by dfu::winusb::CheckHeadsetDriver. Linux: usbfs reaches a device whatever drives
// its interfaces, so there is nothing to say: Usual.
dfu::winusb::HeadsetDriverCheck CheckSystemHeadsetDriver(
    std::span<const dfu::DeviceIds> extra = {});

// Linux: the buses under `<sysRoot>/bus/usb/devices` in number order, each root hub counted with
// the controller device it lies under; descriptors come from each device's `descriptors` attribute,
// strings from its string attributes (`manufacturer`, `product`, `serial`, and `configuration` for
// the active configuration's string), which the kernel keeps in one language that it does not name.
std::unique_ptr<UsbHost> MakeSysfsUsbHost(std::string sysRoot = "/sys");

// The registry's virtual DFU devices (kind usb-dfu) as the ports of one host controller, in
// registry order; descriptors are asked of each device over its socket. Empty folder: the
// default registry. No devices: no controller.
std::unique_ptr<UsbHost> MakeVirtualUsbHost(std::string registryDirectory = {});

// Windows: the host controllers "\\.\HCD0" to "\\.\HCD9", each asked for its root hub, and
// the hubs below, asked through `io` with the platform's hub requests and their exact record
// sizes. A device is named as the WinUSB transport names it, by its hub and port.
std::unique_ptr<UsbHost> MakeIoctlUsbHost(std::shared_ptr<usbioctl::UsbIo> io);

// The string descriptor a device would send for `text` (UTF-8), cut to the 126 UTF-16 units
// that fit; invalid UTF-8 becomes U+FFFD.
std::vector<std::uint8_t> StringDescriptorOf(const std::string& text);

}  // namespace usbenum
