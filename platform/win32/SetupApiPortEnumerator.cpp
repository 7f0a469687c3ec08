#include "platform/win32/SetupApiPortEnumerator.h"

#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <memory>
#include <vector>

#include "platform/PortsClass.h"

namespace platform::win32 {
namespace {

using ClassGuidsFromNameFn = BOOL(WINAPI*)(PCWSTR, LPGUID, DWORD, PDWORD);
using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCWSTR, HWND, DWORD);
using EnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
using OpenDevRegKeyFn = HKEY(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
using GetDeviceRegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                  DWORD, PDWORD);
using DestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);

struct LibraryCloser {
  void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser>;

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  // Through the generic function pointer type, which every function pointer converts to.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The setup library's functions this listing uses, looked up by name.
struct SetupApi {
  Library library;
  ClassGuidsFromNameFn ClassGuidsFromName = nullptr;
  GetClassDevsFn GetClassDevs = nullptr;
  EnumDeviceInfoFn EnumDeviceInfo = nullptr;
  OpenDevRegKeyFn OpenDevRegKey = nullptr;
  GetDeviceRegistryPropertyFn GetDeviceRegistryProperty = nullptr;
  DestroyDeviceInfoListFn DestroyDeviceInfoList = nullptr;

  bool Load() {
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const std::wstring path = std::wstring(folder, length) + L"\\SETUPAPI.DLL";
    library.reset(::LoadLibraryW(path.c_str()));
    if (!library) return false;
    HMODULE m = library.get();
    ClassGuidsFromName = Lookup<ClassGuidsFromNameFn>(m, "SetupDiClassGuidsFromNameW");
    GetClassDevs = Lookup<GetClassDevsFn>(m, "SetupDiGetClassDevsW");
    EnumDeviceInfo = Lookup<EnumDeviceInfoFn>(m, "SetupDiEnumDeviceInfo");
    OpenDevRegKey = Lookup<OpenDevRegKeyFn>(m, "SetupDiOpenDevRegKey");
    GetDeviceRegistryProperty =
        Lookup<GetDeviceRegistryPropertyFn>(m, "SetupDiGetDeviceRegistryPropertyW");
    DestroyDeviceInfoList = Lookup<DestroyDeviceInfoListFn>(m, "SetupDiDestroyDeviceInfoList");
    return ClassGuidsFromName && GetClassDevs && EnumDeviceInfo && OpenDevRegKey &&
           GetDeviceRegistryProperty && DestroyDeviceInfoList;
  }
};

std::u16string AsUtf16(const std::vector<BYTE>& data, DWORD size) {
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }
  return text;
}

std::optional<RawText> ReadPortName(HKEY key) {
  std::vector<BYTE> data(64);
  for (;;) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status = ::RegQueryValueExW(key, L"PortName", nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA && size > data.size()) {
      data.resize(size);
      continue;
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    return RawText{type, AsUtf16(data, size)};
  }
}

std::optional<RawText> ReadDescription(const SetupApi& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::vector<BYTE> data(1024);
  for (;;) {
    DWORD type = 0;
    DWORD size = 0;
    if (api.GetDeviceRegistryProperty(set, &device, SPDRP_DEVICEDESC, &type, data.data(),
                                      static_cast<DWORD>(data.size()), &size)) {
      return RawText{type, AsUtf16(data, size)};
    }
    if (::GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > data.size()) {
      data.resize(size);
      continue;
    }
    return std::nullopt;
  }
}

PortsClassDevice ReadDevice(const SetupApi& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  PortsClassDevice read;
  const HKEY key = api.OpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE || key == nullptr) return read;
  read.keyOpened = true;
  read.portName = ReadPortName(key);
  ::RegCloseKey(key);
  read.description = ReadDescription(api, set, device);
  return read;
}

}  // namespace

std::vector<PortInfo> SetupApiPortEnumerator::Enumerate() {
  std::vector<PortInfo> ports;
  SetupApi api;
  if (!api.Load()) return ports;

  DWORD count = 0;
  api.ClassGuidsFromName(L"Ports", nullptr, 0, &count);
  if (count == 0) return ports;
  std::vector<GUID> classes(count);
  if (!api.ClassGuidsFromName(L"Ports", classes.data(), count, &count) || count == 0) return ports;

  const HDEVINFO set = api.GetClassDevs(&classes[0], nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; api.EnumDeviceInfo(set, index, &device); ++index) {
    if (auto port = PortOfPortsClassDevice(ReadDevice(api, set, device))) {
      ports.push_back(std::move(*port));
    }
  }
  api.DestroyDeviceInfoList(set);
  return ports;
}

}  // namespace platform::win32
