// The side services' Windows calls against the system: the registry reader over a tree of the
// test's own, QueryDosDevice, the comm-configuration record and the port drivers' defaults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comport/ComEnumRules.h"
#include "comport/backend/SideServices.h"
#include "comport/backend/win32/CommConfig.h"
#include "comport/backend/win32/RegistryReader.h"
#include "tests/support/Win32TestSupport.h"
#include "toolkit/backend/win32/SystemError.h"

namespace comport {
namespace {

using ::testing::UnorderedElementsAre;
using testsupport::UnderWine;
using toolkit::win32::Wide;
using Names = std::vector<std::string>;

// A registry tree below HKEY_CURRENT_USER that the test writes and removes again; the reader is
// rooted there, as it is at HKEY_LOCAL_MACHINE for the machine.
class RegistryTree {
 public:
  RegistryTree() : path_(L"Software\\qmr7-tests-" + std::to_wstring(::GetCurrentProcessId())) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &root_, nullptr);
  }
  ~RegistryTree() {
    ::RegCloseKey(root_);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  HKEY Root() const { return root_; }

  // `bytes` counts the data's bytes; -1: the text with its terminator.
  void String(const std::string& key, const std::string& name, const std::string& text,
              int bytes = -1) {
    const std::wstring data = Wide(text);
    const DWORD size = bytes >= 0 ? static_cast<DWORD>(bytes)
                                  : static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    Set(key, name, REG_SZ, data.c_str(), size);
  }
  void Dword(const std::string& key, const std::string& name, DWORD value) {
    Set(key, name, REG_DWORD, &value, sizeof value);
  }

 private:
  void Set(const std::string& key, const std::string& name, DWORD type, const void* data,
           DWORD size) {
    HKEY k = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(root_, Wide(key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &k, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(
        ::RegSetValueExW(k, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), size),
        ERROR_SUCCESS);
    ::RegCloseKey(k);
  }

  std::wstring path_;
  HKEY root_ = nullptr;
};

class RegistryReaderTest : public ::testing::Test {
 protected:
  RegistryReaderTest() {
    tree_.String(kSerialMapKey, "\\Device\\Serial0", "COM1");
    tree_.Dword(kSerialMapKey, "\\Device\\Odd", 3);
    tree_.String(kSerialMapKey, "\\Device\\USBSER000", "COM10");
    tree_.String(kSerialMapKey, "\\Device\\NoTerminator", "COM11", 10);
    const std::string enumKey = kDeviceTreeKey;
    tree_.String(enumKey + "\\USB\\VID_1209&PID_7207\\5&2b1f", "ClassGUID",
                 "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    tree_.String(enumKey + "\\USB\\VID_1209&PID_7207\\5&2b1f", "FriendlyName",
                 "USB シリアル デバイス (COM10)");
    tree_.String(enumKey + "\\ACPI\\PNP0501\\1", "ClassGUID", kPortsClassGuid);
    tree_.String(enumKey + "\\ACPI\\PNP0501\\1", "FriendlyName", long_);
    tree_.String(enumKey + "\\SCSI\\Disk\\1", "ClassGUID",
                 "{4d36e967-e325-11ce-bfc1-08002be10318}");
    tree_.String(enumKey + "\\SCSI\\Disk\\1", "FriendlyName", "A disk");
  }

  RegistryTree tree_;
  // Longer than the reader's first buffer.
  const std::string long_ = "Communications Port (COM1) " + std::string(300, 'x');
};

TEST_F(RegistryReaderTest, TheSerialMapAndThePortsClassReadFromTheRegistry) {
  win32::RegistryReader reader(tree_.Root());
  Names ports = {"kept"};
  AppendSerialMap(ports, reader);
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0], "kept");
  EXPECT_THAT(Names(ports.begin() + 1, ports.end()),
              UnorderedElementsAre("COM1", "COM10", "COM11"));

  Names names;
  AppendPortsClassFriendlyNames(names, reader);
  EXPECT_THAT(names, UnorderedElementsAre("USB シリアル デバイス (COM10)", long_));
}

TEST_F(RegistryReaderTest, KeysAndValuesThatAreNotThereReadAsNothing) {
  win32::RegistryReader reader(tree_.Root());
  EXPECT_EQ(reader.SubKeys("no\\such\\key"), std::nullopt);
  EXPECT_EQ(reader.Values("no\\such\\key"), std::nullopt);
  EXPECT_EQ(reader.Read(kSerialMapKey, "no such value"), std::nullopt);
  const auto odd = reader.Read(kSerialMapKey, "\\Device\\Odd");
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->type, static_cast<unsigned long>(REG_DWORD));
  EXPECT_EQ(odd->text, "");
  EXPECT_THAT(*reader.SubKeys(kDeviceTreeKey), UnorderedElementsAre("USB", "ACPI", "SCSI"));
}

TEST(RegistryReaderMachineTest, TheMachinesSerialMapOpensReadOnly) {
  // Whatever the machine holds there: every entry a port name.
  win32::RegistryReader machine;
  Names ports;
  AppendSerialMap(ports, machine);
  for (const std::string& port : ports)
    EXPECT_FALSE(port.empty());
}

TEST(DosDevicesTest, TheComDevicesAreTheDevicesThatNameAComPortInTheSystemsOrder) {
  Names all = {"kept"};
  Names com = {"kept"};
  backend::AppendDevices(all, TComServices{});
  backend::AppendComDevices(com, TComServices{});
  ASSERT_GT(all.size(), 1u) << "QueryDosDevice listed nothing";
  Names expected = {"kept"};
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (IsComDeviceName(all[i])) expected.push_back(all[i]);
  }
  EXPECT_EQ(com, expected);
}

TEST(DosDevicesTest, ANameDefinedForThisSessionIsListed) {
  if (UnderWine()) {
    GTEST_SKIP() << "wine: a name DefineDosDevice adds is not listed by QueryDosDevice";
  }
  ASSERT_TRUE(::DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"COM241", L"\\Device\\Null"));
  Names com;
  backend::AppendComDevices(com, TComServices{});
  ::DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                     L"COM241", L"\\Device\\Null");
  EXPECT_THAT(com, ::testing::Contains("COM241"));
}

TEST(CommConfigRecordTest, TheRecordCarriesTheLineSettingsAndTheProvidersBytes) {
  TCommConfig config;
  config.dwSize = kCommConfigSize;
  config.wVersion = 1;
  config.dcb.BaudRate = 115200;
  config.dcb.ByteSize = 8;
  config.dcb.Flags = dcb::fBinary | dcb::DtrEnable | dcb::fOutxCtsFlow | dcb::RtsHandshake;
  config.dcb.XonChar = 17;
  config.dcb.XoffChar = 19;
  config.dcb.Parity = 2;
  config.dwProviderSubType = kProviderRs232;

  const std::vector<unsigned char> plain = win32::ToSystemRecord(config);
  ASSERT_EQ(plain.size(), kCommConfigSize);
  COMMCONFIG system{};
  std::memcpy(&system, plain.data(), sizeof system);
  EXPECT_EQ(system.dwSize, kCommConfigSize);
  EXPECT_EQ(system.dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(system.dcb.BaudRate, 115200u);
  EXPECT_EQ(system.dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(system.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(system.dcb.Parity, EVENPARITY);
  EXPECT_EQ(system.dwProviderOffset, 0u);
  EXPECT_EQ(win32::FromSystemRecord(plain).dcb, config.dcb);

  config.providerData = std::string("modem\0settings", 14);
  const std::vector<unsigned char> withProvider = win32::ToSystemRecord(config);
  EXPECT_EQ(withProvider.size(), offsetof(COMMCONFIG, wcProviderData) + 14);
  const TCommConfig back = win32::FromSystemRecord(withProvider);
  EXPECT_EQ(back.providerData, config.providerData);
  EXPECT_EQ(back.dwProviderSize, 14u);
  EXPECT_EQ(back.dcb, config.dcb);
}

TEST(CommConfigRecordTest, ProviderBytesOutsideTheRecordAreLeftOut) {
  TCommConfig config;
  config.dcb.BaudRate = 2400;
  config.providerData = "abc";
  std::vector<unsigned char> record = win32::ToSystemRecord(config);
  COMMCONFIG system{};
  std::memcpy(&system, record.data(), offsetof(COMMCONFIG, wcProviderData));
  system.dwProviderSize = 4096;
  std::memcpy(record.data(), &system, offsetof(COMMCONFIG, wcProviderData));
  const TCommConfig back = win32::FromSystemRecord(record);
  EXPECT_EQ(back.dcb.BaudRate, 2400u);
  EXPECT_EQ(back.providerData, "");
  EXPECT_EQ(back.dwProviderSize, 0u);

  EXPECT_EQ(win32::FromSystemRecord(std::vector<unsigned char>(20)).dcb, TDcb{});
}

// The COM port the defaults tests may change: QMR7_TEST_COM_PORT, else the first the system lists
// whose defaults it keeps.
std::string TestPort() {
  if (const char* port = std::getenv("QMR7_TEST_COM_PORT"); port != nullptr && port[0] != '\0') {
    return port;
  }
  Names com;
  backend::AppendComDevices(com, TComServices{});
  for (const std::string& name : com) {
    TCommConfig config;
    config.dwSize = kCommConfigSize;
    if (!win32::ReadPortDefaults(name, config)) return name;
  }
  return {};
}

TEST(PortDefaultsTest, ARecordTooSmallIsRefusedBeforeTheSystemIsAsked) {
  TCommConfig config;
  config.dwSize = kCommConfigSize - 1;
  EXPECT_EQ(win32::ReadPortDefaults("COM1", config).code, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win32::WritePortDefaults("COM1", config).code, ERROR_INVALID_PARAMETER);
}

TEST(PortDefaultsTest, APortTheSystemDoesNotKnowFailsWithTheSystemsCodeAndText) {
  TCommConfig config;
  config.dwSize = kCommConfigSize;
  const toolkit::Error e = win32::ReadPortDefaults("NOPORT9", config);
  EXPECT_NE(e.code, 0);
  EXPECT_FALSE(e.text.empty());
  EXPECT_EQ(e.op, "read the default settings of NOPORT9");
}

TEST(PortDefaultsTest, WrittenDefaultsReadBack) {
  const std::string port = TestPort();
  if (port.empty()) {
    GTEST_SKIP() << "no COM port whose defaults the system keeps (QMR7_TEST_COM_PORT names one)";
  }
  TCommConfig original;
  original.dwSize = kCommConfigSize;
  ASSERT_FALSE(win32::ReadPortDefaults(port, original)) << port;
  EXPECT_NE(original.dcb.BaudRate, 0u);
  EXPECT_EQ(original.dwSize, kCommConfigSize);

  TCommConfig changed = original;
  changed.dcb.BaudRate = original.dcb.BaudRate == 4800 ? 2400 : 4800;
  changed.dcb.ByteSize = 7;
  const toolkit::Error written = win32::WritePortDefaults(port, changed);
  if (written.code == ERROR_ACCESS_DENIED) {
    GTEST_SKIP() << "changing the defaults of " << port << " needs an administrator";
  }
  ASSERT_FALSE(written) << toolkit::Describe(written);
  TCommConfig back;
  back.dwSize = kCommConfigSize;
  ASSERT_FALSE(win32::ReadPortDefaults(port, back));
  EXPECT_EQ(back.dcb.BaudRate, changed.dcb.BaudRate);
  EXPECT_EQ(back.dcb.ByteSize, 7);
  EXPECT_FALSE(win32::WritePortDefaults(port, original));
}

}  // namespace
}  // namespace comport
