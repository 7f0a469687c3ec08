// The port's side services on Windows, through the component: the notices naming the platform, its
// own hidden window for notifications when the application gives no notifier, the registry it
// is given, and the configuration dialogs over the port drivers' defaults.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <dbt.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comport/ComConfigDialog.h"
#include "comport/ComEnumRules.h"
#include "comport/ComPort.h"
#include "comport/ComSignal.h"
#include "comport/backend/win32/CommConfig.h"
#include "platform/win32/MessageWindowNotifier.h"
#include "tests/support/Win32TestSupport.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/testing/ManualClock.h"

namespace comport {
namespace {

std::vector<unsigned char> PortBroadcast(const std::wstring& name) {
  std::vector<unsigned char> record(sizeof(DEV_BROADCAST_HDR) + (name.size() + 1) * 2);
  DEV_BROADCAST_HDR header{};
  header.dbch_size = static_cast<DWORD>(record.size());
  header.dbch_devicetype = DBT_DEVTYP_PORT;
  std::memcpy(record.data(), &header, sizeof header);
  std::memcpy(record.data() + sizeof header, name.c_str(), (name.size() + 1) * 2);
  return record;
}

HWND NotifierWindow() {
  return ::FindWindowExW(nullptr, nullptr, platform::win32::kNotifierWindowClass, nullptr);
}

TEST(Win32ComAboutTest, TheNoticesNameWindows) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  toolkit::testing::ManualClock clock;
  TComSignal signal(nullptr, clock);
  EXPECT_EQ(port.About(), "TComPort 1.0 (Windows)");
  EXPECT_EQ(signal.About(), "TComSignal 1.0 (Windows)");
}

TEST(Win32ComNotifyTest, WithoutTheApplicationsNotifierThePortRegistersAWindowOfItsOwn) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  std::vector<std::string> heard;
  port.SetOnDeviceArrival(
      [&](toolkit::Component*, const std::string& name) { heard.push_back("arrived " + name); });
  port.SetOnDeviceRemoved(
      [&](toolkit::Component*, const std::string& name) { heard.push_back("removed " + name); });
  const HWND window = NotifierWindow();
  if (window == nullptr && testsupport::UnderWine()) {
    GTEST_SKIP() << "wine: RegisterDeviceNotification refused the registration here";
  }
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(port.StartNotification());  // already registered: nothing more

  auto com4 = PortBroadcast(L"COM4");
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                 reinterpret_cast<LPARAM>(com4.data()));
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(com4.data()));
  EXPECT_EQ(heard, (std::vector<std::string>{"removed COM4", "arrived COM4"}));

  port.SetOnDeviceArrival(nullptr);
  EXPECT_NE(NotifierWindow(), nullptr);
  port.SetOnDeviceRemoved(nullptr);
  EXPECT_EQ(NotifierWindow(), nullptr);
}

// The registry the port reads: a fixed answer for the serial map.
class OneKeyRegistry final : public TRegistryReader {
 public:
  std::optional<std::vector<std::string>> SubKeys(const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::vector<Value>> Values(const std::string& path) override {
    if (path != kSerialMapKey) return std::nullopt;
    return std::vector<Value>{{"\\Device\\Serial0", kString, "COM3"}};
  }
  std::optional<Value> Read(const std::string&, const std::string&) override {
    return std::nullopt;
  }
};

TEST(Win32ComEnumTest, ThePortReadsTheRegistryItIsGiven) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  OneKeyRegistry registry;
  TComServices services;
  services.registry = &registry;
  port.SetServices(services);
  std::vector<std::string> list = {"kept"};
  port.EnumComDevicesFromRegistry(list);
  port.EnumComFriendlyNames(list);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "COM3"}));
}

// Records what it was shown and answers as told.
class AnsweringDialogs final : public TComDialogService {
 public:
  bool ShowConfigDialog(const std::string& name, TCommConfig& config) override {
    shownName = name;
    shown = config.dcb;
    if (!confirm) return false;
    config.dcb.BaudRate = 19200;
    config.dcb.ByteSize = 7;
    return true;
  }
  bool confirm = false;
  std::string shownName;
  TDcb shown;
};

// QMR7_TEST_COM_PORT, else the first COM port whose defaults the system keeps.
std::string TestPort() {
  if (const char* port = std::getenv("QMR7_TEST_COM_PORT"); port != nullptr && port[0] != '\0') {
    return port;
  }
  toolkit::DispatchQueue ui;
  TComPort probe(nullptr, ui);
  std::vector<std::string> com;
  probe.EnumComDevices(com);
  for (const std::string& name : com) {
    TCommConfig config;
    config.dwSize = kCommConfigSize;
    if (!win32::ReadPortDefaults(name, config)) return name;
  }
  return {};
}

TEST(Win32ComConfigDialogTest,
     TheDialogOpensOnTheDriversDefaultsAndAConfirmedOneChangesTheSettings) {
  const std::string name = TestPort();
  if (name.empty()) {
    GTEST_SKIP() << "no COM port whose defaults the system keeps (QMR7_TEST_COM_PORT names one)";
  }
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  AnsweringDialogs dialogs;
  TComServices services;
  services.dialogs = &dialogs;
  port.SetServices(services);
  port.SetDeviceName("\\\\.\\" + name);
  port.SetBaudRate(br115200);

  EXPECT_FALSE(port.ConfigDialog());
  EXPECT_EQ(dialogs.shownName, name);
  EXPECT_EQ(dialogs.shown.BaudRate, 115200u);  // the component's own setting over the defaults
  EXPECT_EQ(port.BaudRate(), br115200);

  dialogs.confirm = true;
  EXPECT_TRUE(port.ConfigDialog());
  EXPECT_EQ(port.CustomBaudRate(), 19200);
  EXPECT_EQ(port.DataBits(), db7);
  EXPECT_FALSE(port.Active());
}

TEST(Win32ComConfigDialogTest, APortTheSystemDoesNotKnowRaisesTheSystemsError) {
  toolkit::DispatchQueue ui;
  TComPort port(nullptr, ui);
  AnsweringDialogs dialogs;
  TComServices services;
  services.dialogs = &dialogs;
  port.SetServices(services);
  port.SetDeviceName("NOPORT9");
  try {
    port.DefaultConfigDialog();
    ADD_FAILURE() << "no error";
  } catch (const EComError& e) {
    EXPECT_NE(e.ErrorCode, 0);
  }
  EXPECT_EQ(dialogs.shownName, "");
}

}  // namespace
}  // namespace comport
