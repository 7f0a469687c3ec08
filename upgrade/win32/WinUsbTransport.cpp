// Real DFU devices on Windows, through WinUSB. A device is one of ours when WinUSB drives its DFU
// interface (the whole device in DFU mode, or that function of a composite device in run-time
// mode) as the engine can use it (winusb::IsUsableDfuInterface). It is named by its place, the
// instance of its hub and its port (WinUsbRules.h), as the USB walk names it; the place stays while
// the device re-enumerates with another product id.
//
// WinUSB has no device reset: the reset is the hub's port cycle, which Windows grants to
// administrators only. Refused, it is a failure of the system with the system's own text.
#include <windows.h>
// After windows.h, which they need.
#include <cfgmgr32.h>
#include <objbase.h>
#include <setupapi.h>
#include <winusb.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/backend/win32/SystemError.h"
#include "upgrade/DfuTransport.h"
#include "upgrade/UsbIoctl.h"
#include "upgrade/WinUsbRules.h"
#include "upgrade/win32/DeviceNodes.h"

namespace dfu {
namespace {

constexpr ULONG kTimeoutMs = 5000;
// GUID_DEVINTERFACE_USB_HUB.
constexpr GUID kHubInterface = {
    0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};

using toolkit::win32::Narrow;
using toolkit::win32::Wide;

UsbError Failure(DWORD code, std::string op) {
  return winusb::SystemError(code, toolkit::win32::SystemErrorText(code), std::move(op));
}

std::optional<std::wstring> InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (::CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::nullopt;
  return std::wstring(id);
}

// Where a device sits: its hub's instance and its port.
struct Place {
  std::wstring hub;
  unsigned port = 0;
};

std::optional<Place> PlaceOf(DEVINST node) {
  const auto id = InstanceId(node);
  if (!id) return std::nullopt;
  DEVINST device = node;
  if (winusb::IsCompositeFunction(Narrow(*id)) && ::CM_Get_Parent(&device, node, 0) != CR_SUCCESS)
    return std::nullopt;
  DEVINST hub = 0;
  if (::CM_Get_Parent(&hub, device, 0) != CR_SUCCESS) return std::nullopt;
  const auto hubId = InstanceId(hub);
  ULONG port = 0;
  ULONG size = sizeof port;
  // For a device on a USB hub, the address is its port number.
  if (!hubId || ::CM_Get_DevNode_Registry_PropertyW(device, CM_DRP_ADDRESS, nullptr, &port, &size,
                                                    0) != CR_SUCCESS) {
    return std::nullopt;
  }
  return Place{*hubId, port};
}

// A DFU device that WinUSB drives.
struct Candidate {
  std::string name;
  Place place;
  std::wstring instance;
  std::vector<std::string> interfaceGuids;
};

// The attached DFU interfaces, in the system's order, that the engine can use through WinUSB.
std::vector<Candidate> Candidates() {
  std::vector<Candidate> found;
  win32::ForEachUsbNode([&](DEVINST devInst, const winusb::DeviceNode& node) {
    if (!winusb::IsUsableDfuInterface(node)) return;
    const auto place = PlaceOf(devInst);
    const auto instance = InstanceId(devInst);
    if (!place || !instance) return;
    found.push_back({winusb::PortDeviceName(Narrow(place->hub), place->port), *place, *instance,
                     node.interfaceGuids});
  });
  return found;
}

// The path of the first present interface of class `guid` of the device `instance`.
std::optional<std::wstring> InterfacePath(const GUID& guid, const std::wstring& instance) {
  const HDEVINFO set = ::SetupDiGetClassDevsW(&guid, instance.c_str(), nullptr,
                                              DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::wstring> path;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  DWORD size = 0;
  if (::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
    ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
  }
  if (size > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    // The record ends in the path; a buffer of DWORDs keeps its alignment.
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) {
      path = std::wstring(detail->DevicePath);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return path;
}

std::optional<std::wstring> WinUsbPath(const Candidate& candidate) {
  for (const std::string& text : candidate.interfaceGuids) {
    GUID guid{};
    if (::CLSIDFromString(Wide(text).c_str(), &guid) != NOERROR) continue;
    if (auto path = InterfacePath(guid, candidate.instance)) return path;
  }
  return std::nullopt;
}

// The first setting of the interface WinUSB drives that is a DFU interface.
std::optional<UCHAR> DfuSetting(WINUSB_INTERFACE_HANDLE usb) {
  USB_INTERFACE_DESCRIPTOR d{};
  for (unsigned alternate = 0; alternate <= 0xFF; ++alternate) {
    if (!::WinUsb_QueryInterfaceSettings(usb, static_cast<UCHAR>(alternate), &d)) break;
    if (d.bInterfaceClass == kInterfaceClass && d.bInterfaceSubClass == kInterfaceSubClass &&
        (d.bInterfaceProtocol == kRuntimeProtocol || d.bInterfaceProtocol == kDfuModeProtocol)) {
      return static_cast<UCHAR>(alternate);
    }
  }
  return std::nullopt;
}

// Power-cycles the port the device sits on, through its hub.
UsbError CyclePort(const Place& place) {
  const std::string op =
      "reset (cycle port " + std::to_string(place.port) + " of " + Narrow(place.hub) + ")";
  const auto hubPath = InterfacePath(kHubInterface, place.hub);
  if (!hubPath) return UsbGone(op);
  const auto hub = usbioctl::MakeWin32UsbIo()->Open(Narrow(*hubPath));
  if (!hub) return Failure(::GetLastError(), op);
  std::uint8_t params[usbioctl::kCyclePortSize] = {};
  usbioctl::Put32(params, 0, place.port);
  if (!hub->Control(usbioctl::kHubCyclePort, params, sizeof params)) {
    return Failure(hub->LastError(), op);
  }
  return {};
}

class WinUsbLink final : public DfuLink {
 public:
  WinUsbLink(HANDLE file, WINUSB_INTERFACE_HANDLE usb, Place place)
      : file_(file), usb_(usb), place_(std::move(place)) {}
  ~WinUsbLink() override { Close(); }
  WinUsbLink(const WinUsbLink&) = delete;
  WinUsbLink& operator=(const WinUsbLink&) = delete;

  UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                   std::size_t& transferred) override {
    transferred = 0;
    if (usb_ == nullptr) return UsbGone("control transfer");
    const WINUSB_SETUP_PACKET packet{setup.requestType, setup.request, setup.value, setup.index,
                                     static_cast<USHORT>(data.size())};
    ULONG n = 0;
    if (!::WinUsb_ControlTransfer(usb_, packet, data.data(), static_cast<ULONG>(data.size()), &n,
                                  nullptr)) {
      return Failure(::GetLastError(), "control transfer");
    }
    transferred = n;
    return {};
  }

  UsbError Reset() override {
    if (usb_ == nullptr) return UsbGone("reset");
    // Let go first, so the device is free to come back as whatever it becomes.
    Close();
    return CyclePort(place_);
  }

 private:
  void Close() {
    if (usb_ != nullptr) ::WinUsb_Free(usb_);
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    usb_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
  }

  HANDLE file_;
  WINUSB_INTERFACE_HANDLE usb_;
  Place place_;
};

class WinUsbTransport final : public DfuTransport {
 public:
  std::vector<std::string> List() override {
    std::vector<std::string> names;
    for (Candidate& c : Candidates())
      names.push_back(std::move(c.name));
    return names;
  }

  bool Owns(const std::string& name) const override { return name.rfind("usb:", 0) == 0; }

  std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) override {
    const std::string op = "open " + name;
    const std::vector<Candidate> candidates = Candidates();
    const auto it = std::find_if(candidates.begin(), candidates.end(),
                                 [&](const Candidate& c) { return c.name == name; });
    if (it == candidates.end()) {
      error = UsbGone(op);
      return nullptr;
    }
    const auto path = WinUsbPath(*it);
    if (!path) {
      // Attached, but WinUSB has not published its interface (yet).
      error = UsbGone(op);
      return nullptr;
    }
    const HANDLE file = ::CreateFileW(path->c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = Failure(::GetLastError(), op);
      return nullptr;
    }
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!::WinUsb_Initialize(file, &usb)) {
      error = Failure(::GetLastError(), op);
      ::CloseHandle(file);
      return nullptr;
    }
    // The link owns both handles from here on.
    auto link = std::make_unique<WinUsbLink>(file, usb, it->place);
    ULONG timeout = kTimeoutMs;
    if (!::WinUsb_SetPipePolicy(usb, 0, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout)) {
      error = Failure(::GetLastError(), op);
      return nullptr;
    }
    // Requests go to the DFU setting; alternate settings beyond it name other memories.
    const auto setting = DfuSetting(usb);
    if (!setting) {
      error = UsbError{toolkit::ErrorKind::OsFailure, 0, "no DFU interface", op};
      return nullptr;
    }
    if (*setting != 0 && !::WinUsb_SetCurrentAlternateSetting(usb, *setting)) {
      error = Failure(::GetLastError(), "select the DFU setting of " + name);
      return nullptr;
    }
    error = {};
    return link;
  }
};

}  // namespace

std::shared_ptr<DfuTransport> MakeWinUsbTransport() {
  return std::make_shared<WinUsbTransport>();
}

}  // namespace dfu
