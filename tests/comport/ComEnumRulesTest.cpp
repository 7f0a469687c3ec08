// The classic enumerations' rules over a registry and a DOS-device list given by hand: what each
// adds, in which order, and what it leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "comport/ComEnumRules.h"

namespace comport {
namespace {

using Names = std::vector<std::string>;
using Value = TRegistryReader::Value;
constexpr unsigned long kDword = 4;  // REG_DWORD
constexpr unsigned long kExpandString = 2;

// Keys by path; a key that is missing does not open. Sub-keys and values keep the order given.
class FakeRegistry final : public TRegistryReader {
 public:
  struct Key {
    std::vector<std::string> subKeys;
    std::vector<Value> values;
  };

  std::optional<std::vector<std::string>> SubKeys(const std::string& path) override {
    const auto it = keys.find(path);
    if (it == keys.end()) return std::nullopt;
    return it->second.subKeys;
  }
  std::optional<std::vector<Value>> Values(const std::string& path) override {
    const auto it = keys.find(path);
    if (it == keys.end()) return std::nullopt;
    return it->second.values;
  }
  std::optional<Value> Read(const std::string& path, const std::string& name) override {
    const auto it = keys.find(path);
    if (it == keys.end()) return std::nullopt;
    for (const Value& v : it->second.values) {
      if (v.name == name) return v;
    }
    return std::nullopt;
  }

  std::map<std::string, Key> keys;
};

std::u16string Multi(std::initializer_list<const char16_t*> names) {
  std::u16string list;
  for (const char16_t* name : names) {
    list += name;
    list += u'\0';
  }
  return list + u'\0';
}

TEST(ComEnumRulesTest, DosDeviceNamesKeepTheSystemsOrderAndTheComFilterIsCaseSensitive) {
  const std::u16string names =
      Multi({u"C:", u"COM3", u"NUL", u"\\\\.\\COM12", u"com4", u"COM", u"LPT1", u"COMx", u"Ⅻ"});
  Names all = {"kept", "COM3"};
  AppendDosDeviceNames(all, names, false);
  EXPECT_EQ(all, (Names{"kept", "COM3", "C:", "COM3", "NUL", "\\\\.\\COM12", "com4", "COM", "LPT1",
                        "COMx", "Ⅻ"}));
  Names com = {"kept"};
  AppendDosDeviceNames(com, names, true);
  EXPECT_EQ(com, (Names{"kept", "COM3", "\\\\.\\COM12", "COM", "COMx"}));
}

TEST(ComEnumRulesTest, ADosDeviceListWithoutItsFinalTerminatorsLosesNoName) {
  Names list;
  AppendDosDeviceNames(list, std::u16string(u"COM1\0COM2", 9), true);
  EXPECT_EQ(list, (Names{"COM1", "COM2"}));
  AppendDosDeviceNames(list, std::u16string(), false);
  EXPECT_EQ(list, (Names{"COM1", "COM2"}));
}

TEST(ComEnumRulesTest, TheSerialMapGivesItsStringValuesInTheRegistrysOrder) {
  FakeRegistry registry;
  registry.keys[kSerialMapKey].values = {
      {"\\Device\\Serial0", TRegistryReader::kString, "COM1"},
      {"\\Device\\VCP0", kDword, ""},
      {"\\Device\\USBSER000", TRegistryReader::kString, "COM10"},
      {"\\Device\\Odd", kExpandString, ""},
      {"\\Device\\Serial1", TRegistryReader::kString, "COM2"},
  };
  Names list = {"kept"};
  AppendSerialMap(list, registry);
  EXPECT_EQ(list, (Names{"kept", "COM1", "COM10", "COM2"}));
}

TEST(ComEnumRulesTest, NoSerialMapAddsNothing) {
  FakeRegistry registry;
  Names list = {"kept"};
  AppendSerialMap(list, registry);
  EXPECT_EQ(list, Names{"kept"});
}

// The device tree of a machine with a USB modem, an on-board port and a disk.
class DeviceTreeTest : public ::testing::Test {
 protected:
  void Instance(const std::string& e, const std::string& d, const std::string& i,
                std::vector<Value> values) {
    const std::string tree = kDeviceTreeKey;
    AddSubKey(tree, e);
    AddSubKey(tree + "\\" + e, d);
    AddSubKey(tree + "\\" + e + "\\" + d, i);
    registry_.keys[tree + "\\" + e + "\\" + d + "\\" + i].values = std::move(values);
  }
  void AddSubKey(const std::string& path, const std::string& name) {
    auto& subKeys = registry_.keys[path].subKeys;
    if (std::find(subKeys.begin(), subKeys.end(), name) == subKeys.end()) subKeys.push_back(name);
  }
  static Value Text(const std::string& name, const std::string& text) {
    return {name, TRegistryReader::kString, text};
  }

  FakeRegistry registry_;
};

TEST_F(DeviceTreeTest, FriendlyNamesOfThePortsClassWhateverTheLetterCaseOfItsGuid) {
  Instance("USB", "VID_1209&PID_7207", "5&2b1f",
           {Text("ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}"),
            Text("FriendlyName", "USB Serial Device (COM7)")});
  Instance("ACPI", "PNP0501", "1",
           {Text("ClassGUID", "{4d36e978-e325-11ce-bfc1-08002be10318}"),
            Text("FriendlyName", "Communications Port (COM1)")});
  Instance("SCSI", "Disk", "4&1",
           {Text("ClassGUID", "{4d36e967-e325-11ce-bfc1-08002be10318}"),
            Text("FriendlyName", "A disk")});
  Names list = {"kept"};
  AppendPortsClassFriendlyNames(list, registry_);
  EXPECT_EQ(list, (Names{"kept", "USB Serial Device (COM7)", "Communications Port (COM1)"}));
}

TEST_F(DeviceTreeTest, InstancesWithoutAStringNameOrGuidAndKeysThatDoNotOpenAreSkipped) {
  Instance("ACPI", "PNP0501", "1",
           {Text("ClassGUID", kPortsClassGuid), {"FriendlyName", kDword, ""}});
  Instance("ACPI", "PNP0501", "2", {Text("FriendlyName", "No class (COM2)")});
  Instance("ACPI", "PNP0501", "3",
           {{"ClassGUID", kDword, ""}, Text("FriendlyName", "Class not a string (COM3)")});
  Instance("ACPI", "PNP0501", "4", {Text("ClassGUID", kPortsClassGuid)});
  // Listed, but their keys do not open (access denied, or gone meanwhile).
  AddSubKey(kDeviceTreeKey, "ROOT");
  const std::string acpi = std::string(kDeviceTreeKey).append("\\ACPI");
  AddSubKey(acpi, "PNP0502");
  AddSubKey(acpi + "\\PNP0501", "5");
  Instance(
      "ACPI", "PNP0501", "6",
      {Text("ClassGUID", kPortsClassGuid), Text("FriendlyName", "Communications Port (COM6)")});
  Names list;
  AppendPortsClassFriendlyNames(list, registry_);
  EXPECT_EQ(list, Names{"Communications Port (COM6)"});
}

TEST_F(DeviceTreeTest, NoDeviceTreeAddsNothing) {
  Names list = {"kept"};
  AppendPortsClassFriendlyNames(list, registry_);
  EXPECT_EQ(list, Names{"kept"});
}

}  // namespace
}  // namespace comport
