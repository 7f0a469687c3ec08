// The doctor's facts on Windows: the ports class's present nodes with their drivers, the USB
// nodes the WinUSB check judges, and whether the user is an administrator.
#include <windows.h>
// After windows.h.
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "toolkit/Utf.h"
#include "tools/qmr7ctl/Doctor.h"
#include "upgrade/win32/DeviceNodes.h"

namespace qmr7ctl::doctor {
namespace {

std::string Utf8(const wchar_t* text, std::size_t size) {
  std::u16string units(text, text + size);
  while (!units.empty() && units.back() == u'\0')
    units.pop_back();
  return toolkit::Utf16ToUtf8(units);
}

std::string TextProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  DWORD size = 0;
  ::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &size);
  if (size < sizeof(wchar_t)) return {};
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
    return {};
  }
  return Utf8(buffer.data(), size / sizeof(wchar_t));
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  const HKEY key =
      ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[64] = {};
  DWORD size = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  const bool read = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                       reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                    type == REG_SZ;
  ::RegCloseKey(key);
  return read ? Utf8(name, size / sizeof(wchar_t)) : std::string();
}

std::vector<ComPortNode> PresentComPorts() {
  std::vector<ComPortNode> ports;
  const HDEVINFO set =
      ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    ComPortNode node;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (::CM_Get_Device_IDW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS)
      node.instanceId = Utf8(id, wcslen(id));
    node.port = PortName(set, device);
    node.service = TextProperty(set, device, SPDRP_SERVICE);
    ULONG status = 0;
    ULONG problem = 0;
    if (::CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
        (status & DN_HAS_PROBLEM) != 0) {
      node.problem = problem;
    }
    ports.push_back(std::move(node));
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return ports;
}

}  // namespace

std::vector<Finding> SystemFindings(std::span<const dfu::DeviceIds> extra) {
  WindowsFacts facts;
  facts.comPorts = PresentComPorts();
  facts.usbNodes = dfu::win32::PresentUsbNodes();
  facts.elevated = ::IsUserAnAdmin() != FALSE;
  facts.extra = extra;
  return WindowsFindings(facts);
}

}  // namespace qmr7ctl::doctor
