// The system's USB host-controller and hub requests: a device path opened for writing with write
// sharing, and DeviceIoControl with one buffer that goes in and comes back.
#include <windows.h>
#include <winioctl.h>
// After windows.h, which it needs.
#include <usbioctl.h>

#include <cstddef>
#include <string>

#include "toolkit/Utf.h"
#include "upgrade/UsbIoctl.h"

namespace usbioctl {

// The byte layouts of UsbIoctl.h are the platform's.
static_assert(kGetRootHubName == IOCTL_USB_GET_ROOT_HUB_NAME);
static_assert(kGetNodeInformation == IOCTL_USB_GET_NODE_INFORMATION);
static_assert(kGetNodeConnectionInformation == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
static_assert(kGetDescriptorFromNodeConnection == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION);
static_assert(kGetNodeConnectionName == IOCTL_USB_GET_NODE_CONNECTION_NAME);
static_assert(kHubCyclePort == IOCTL_USB_HUB_CYCLE_PORT);
static_assert(sizeof(USB_ROOT_HUB_NAME) == kRootHubNameSize);
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) == kRootHubNameText);
static_assert(sizeof(USB_NODE_INFORMATION) == kNodeInformationSize);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) ==
              kNodeNumberOfPorts);
static_assert(sizeof(USB_PIPE_INFO) == kPipeInfoSize);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == kConnectionFixedSize);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor) ==
              kConnectionDeviceDescriptor);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == kConnectionDeviceIsHub);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == kConnectionStatus);
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == kDescriptorRequestSize);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue) == kSetupValue);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wIndex) == kSetupIndex);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength) == kSetupLength);
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == kConnectionNameSize);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ActualLength) == kConnectionNameLength);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, NodeName) == kConnectionNameText);
static_assert(sizeof(USB_CYCLE_PORT_PARAMS) == kCyclePortSize);

namespace {

class Win32Device final : public UsbIoDevice {
 public:
  explicit Win32Device(HANDLE handle) : handle_(handle) {}
  ~Win32Device() override { ::CloseHandle(handle_); }
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  std::optional<std::uint32_t> Control(std::uint32_t code, std::span<std::uint8_t> buffer,
                                       std::size_t inBytes) override {
    DWORD returned = 0;
    if (!::DeviceIoControl(handle_, code, inBytes == 0 ? nullptr : buffer.data(),
                           static_cast<DWORD>(inBytes), buffer.data(),
                           static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
      lastError_ = ::GetLastError();
      return std::nullopt;
    }
    return returned;
  }

  std::uint32_t LastError() const override { return lastError_; }

 private:
  HANDLE handle_;
  DWORD lastError_ = 0;
};

class Win32UsbIo final : public UsbIo {
 public:
  std::unique_ptr<UsbIoDevice> Open(const std::string& path) override {
    const std::u16string units = toolkit::Utf8ToUtf16(path);
    const std::wstring wide(units.begin(), units.end());
    const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32Device>(handle);
  }
};

}  // namespace

std::unique_ptr<UsbIo> MakeWin32UsbIo() {
  return std::make_unique<Win32UsbIo>();
}

}  // namespace usbioctl
