#include "upgrade/win32/DeviceNodes.h"

// After windows.h.
#include <setupapi.h>

#include <string>

namespace dfu::win32 {
namespace {

std::vector<std::string> TextList(std::wstring_view value) {
  return winusb::MultiStrings(std::u16string(value.begin(), value.end()));
}

std::string Text(std::wstring_view value) {
  std::vector<std::string> list = TextList(value);
  return list.empty() ? std::string() : std::move(list.front());
}

// A text property of a device in the set; a list of texts comes back with its NULs.
std::wstring TextProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD size = 0;
  ::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &size);
  if (size < sizeof(wchar_t)) return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
    return {};
  }
  return std::wstring(buffer.data(), size / sizeof(wchar_t));
}

std::wstring InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (::CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return id;
}

std::uint32_t ProblemOf(DEVINST node) {
  ULONG status = 0;
  ULONG problem = 0;
  if (::CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS) return 0;
  return (status & DN_HAS_PROBLEM) != 0 ? problem : 0;
}

// The interface classes WinUSB registered the device under, from its hardware key.
std::vector<std::string> InterfaceGuids(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key =
      ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::vector<std::string> guids;
  for (const wchar_t* value : {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"}) {
    DWORD size = 0;
    if (::RegQueryValueExW(key, value, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t)) {
      continue;
    }
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
    if (::RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                           &size) == ERROR_SUCCESS) {
      for (std::string& g : TextList({buffer.data(), size / sizeof(wchar_t)}))
        guids.push_back(std::move(g));
    }
  }
  ::RegCloseKey(key);
  return guids;
}

}  // namespace

void ForEachUsbNode(const std::function<void(DEVINST, const winusb::DeviceNode&)>& visit) {
  const HDEVINFO set =
      ::SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    winusb::DeviceNode node;
    node.instanceId = Text(InstanceId(device.DevInst));
    node.compatibleIds = TextList(TextProperty(set, device, SPDRP_COMPATIBLEIDS));
    node.service = Text(TextProperty(set, device, SPDRP_SERVICE));
    node.problem = ProblemOf(device.DevInst);
    node.interfaceGuids = InterfaceGuids(set, device);
    visit(device.DevInst, node);
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

std::vector<winusb::DeviceNode> PresentUsbNodes() {
  std::vector<winusb::DeviceNode> nodes;
  ForEachUsbNode([&](DEVINST, const winusb::DeviceNode& node) { nodes.push_back(node); });
  return nodes;
}

}  // namespace dfu::win32
