/* Gives a wine prefix what Windows has for a plugged-in USB serial adapter: a device of the Ports
 * setup class with a "USB ..." description whose device key names its COM port. Wine lists its
 * own COM ports in no setup class, so without this the window's port list is empty under wine.
 *   add-ports-device.exe COM6 "USB Serial Device"
 * Built with the mingw-w64 compiler; runs once per prefix, before the tool. */
#include <windows.h>
/* After windows.h, which it needs. */
#include <setupapi.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* The Ports setup class. */
static const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static int Fail(const char* what) {
  fprintf(stderr, "add-ports-device: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: add-ports-device COMn DESCRIPTION\n");
    return 2;
  }
  const wchar_t* port = argv[1];
  const wchar_t* description = argv[2];
  wchar_t instance[64];
  swprintf(instance, 64, L"USB\\VID_1209&PID_7207\\QMR7SIM%ls", port);

  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPortsClass, NULL);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device;
  memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoW(set, instance, &kPortsClass, description, NULL, 0, &device)) {
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) return Fail("SetupDiCreateDeviceInfo");
    if (!SetupDiOpenDeviceInfoW(set, instance, NULL, 0, &device))
      return Fail("SetupDiOpenDeviceInfo");
  } else if (!SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL)) {
    return Fail("SetupDiRegisterDeviceInfo");
  }
  const DWORD bytes = (DWORD)((wcslen(description) + 1) * sizeof(wchar_t));
  if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, (const BYTE*)description,
                                         bytes))
    return Fail("SetupDiSetDeviceRegistryProperty");
  HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
  if (key == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDevRegKey");
  const LSTATUS status = RegSetValueExW(key, L"PortName", 0, REG_SZ, (const BYTE*)port,
                                        (DWORD)((wcslen(port) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    SetLastError((DWORD)status);
    return Fail("RegSetValueEx(PortName)");
  }
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}
