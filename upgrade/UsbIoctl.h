// The platform's USB host-controller and hub requests as bytes: the control codes and the request
// and reply records, laid out here field by field (the platform packs them, no padding), so that
// code which builds and reads them runs, and is tested, on any system.
//
// The system calls themselves sit behind UsbIo: open a device path, send a control code with a
// buffer that goes in and comes back, close. upgrade/win32 has the real one (MakeWin32UsbIo); tests
// replay a hub tree through a fake.
//
// Threads: a UsbIo and its devices belong to the thread that uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace usbioctl {

// Device type USB, buffered transfer, any access; the function number in bits 2 to 13.
constexpr std::uint32_t ControlCode(std::uint32_t function) {
  return 0x22u << 16 | function << 2;
}

// To a host controller ("\\.\HCDn").
inline constexpr std::uint32_t kGetRootHubName = ControlCode(258);
// To a hub ("\\.\" and its name). The first has the same value as kGetRootHubName: which one it is
// depends on the device that receives it.
inline constexpr std::uint32_t kGetNodeInformation = ControlCode(258);
inline constexpr std::uint32_t kGetNodeConnectionInformation = ControlCode(259);
inline constexpr std::uint32_t kGetDescriptorFromNodeConnection = ControlCode(260);
inline constexpr std::uint32_t kGetNodeConnectionName = ControlCode(261);
inline constexpr std::uint32_t kHubCyclePort = ControlCode(273);

// USB_ROOT_HUB_NAME: ActualLength (32 bits, the size of the whole record the name needs), then
// the name in UTF-16, NUL-terminated.
inline constexpr std::size_t kRootHubNameSize = 6;
inline constexpr std::size_t kRootHubNameText = 4;

// USB_NODE_INFORMATION: NodeType (32 bits), then the hub descriptor (bDescriptorLength,
// bDescriptorType, bNumberOfPorts, ...) and whether the hub is bus powered.
inline constexpr std::size_t kNodeInformationSize = 76;
inline constexpr std::size_t kNodeNumberOfPorts = 6;

// USB_NODE_CONNECTION_INFORMATION with room for 30 pipes of 11 bytes: ConnectionIndex (32 bits),
// the device descriptor (18 bytes), CurrentConfigurationValue, LowSpeed, DeviceIsHub (one byte
// each), DeviceAddress (16 bits), NumberOfOpenPipes and ConnectionStatus (32 bits each), the pipes.
inline constexpr std::size_t kConnectionPipes = 30;
inline constexpr std::size_t kPipeInfoSize = 11;
inline constexpr std::size_t kConnectionFixedSize = 35;
inline constexpr std::size_t kConnectionInformationSize =
    kConnectionFixedSize + kConnectionPipes * kPipeInfoSize;
inline constexpr std::size_t kConnectionDeviceDescriptor = 4;
inline constexpr std::size_t kConnectionDeviceIsHub = 24;
inline constexpr std::size_t kConnectionStatus = 31;

// USB_DESCRIPTOR_REQUEST: ConnectionIndex (32 bits), the setup packet (bmRequest, bRequest, wValue,
// wIndex, wLength), then the descriptor's bytes.
inline constexpr std::size_t kDescriptorRequestSize = 12;
inline constexpr std::size_t kSetupValue = 6;
inline constexpr std::size_t kSetupIndex = 8;
inline constexpr std::size_t kSetupLength = 10;

// USB_NODE_CONNECTION_NAME: ConnectionIndex, ActualLength (32 bits each), the name in UTF-16,
// NUL-terminated.
inline constexpr std::size_t kConnectionNameSize = 10;
inline constexpr std::size_t kConnectionNameLength = 4;
inline constexpr std::size_t kConnectionNameText = 8;

// USB_CYCLE_PORT_PARAMS: ConnectionIndex, StatusReturned (32 bits each).
inline constexpr std::size_t kCyclePortSize = 8;

// A name record is never asked for with more room than this: a reply that claims more is broken.
inline constexpr std::size_t kMaxNameRecord = 64 * 1024;

std::uint16_t Get16(std::span<const std::uint8_t> record, std::size_t at);
std::uint32_t Get32(std::span<const std::uint8_t> record, std::size_t at);
void Put16(std::span<std::uint8_t> record, std::size_t at, std::uint16_t value);
void Put32(std::span<std::uint8_t> record, std::size_t at, std::uint32_t value);

// The UTF-16 text from `at` to its NUL or the end of `record`, in UTF-8.
std::string NameText(std::span<const std::uint8_t> record, std::size_t at);

// An open device. Closing it is destroying it.
class UsbIoDevice {
 public:
  virtual ~UsbIoDevice() = default;

  // Sends `code` with the first `inBytes` of `buffer` and receives the reply into `buffer`: the
  // number of bytes the driver returned, or nullopt when the request failed.
  virtual std::optional<std::uint32_t> Control(std::uint32_t code, std::span<std::uint8_t> buffer,
                                               std::size_t inBytes) = 0;

  // The system's code for the last failure of Control on this device (0 when it has none).
  virtual std::uint32_t LastError() const { return 0; }
};

class UsbIo {
 public:
  virtual ~UsbIo() = default;

  // Opens an existing device for writing, sharing writes with others; null when it does not open.
  virtual std::unique_ptr<UsbIoDevice> Open(const std::string& path) = 0;
};

// The system's USB requests (Windows only).
std::unique_ptr<UsbIo> MakeWin32UsbIo();

}  // namespace usbioctl
