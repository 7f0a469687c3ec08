// The Windows services' rules that need no Windows: the device-change record, the ports class's
// entries, the language identifier, the program's base name.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/DeviceBroadcast.h"
#include "platform/Folders.h"
#include "platform/PortsClass.h"
#include "platform/UiLanguage.h"

namespace platform {
namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& record, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    record[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A record as the system lays it out: size, type, reserved, then `fixed` bytes of the type's own
// fields and the UTF-16 name with its terminator. `size` 0: the record's true size.
Bytes Record(std::uint32_t type, std::size_t fixed, const std::u16string& name,
             std::uint32_t size = 0) {
  Bytes record(12 + fixed);
  for (char16_t c : name + u'\0') {
    record.push_back(static_cast<unsigned char>(c & 0xFF));
    record.push_back(static_cast<unsigned char>(c >> 8));
  }
  Put32(record, 0, size != 0 ? size : static_cast<std::uint32_t>(record.size()));
  Put32(record, 4, type);
  return record;
}

TEST(DeviceBroadcastTest, PortsAndInterfacesAreNamedOtherDevicesAreChangesWithoutAName) {
  struct Case {
    const char* what;
    unsigned eventCode;
    Bytes record;
    std::optional<DeviceChange> expected;
  };
  const std::u16string path =
      u"\\\\?\\USB#VID_1209&PID_7207#5&2b1f#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const Case cases[] = {
      {"port removed", 0x8004, Record(3, 0, u"COM4"),
       DeviceChange{kDeviceRemoveComplete, DeviceKind::Port, "COM4"}},
      {"port arrived", 0x8000, Record(3, 0, u"COM12"),
       DeviceChange{kDeviceArrival, DeviceKind::Port, "COM12"}},
      {"interface arrived", 0x8000, Record(5, 16, path),
       DeviceChange{kDeviceArrival, DeviceKind::Interface,
                    "\\\\?\\USB#VID_1209&PID_7207#5&2b1f#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}},
      {"a volume", 0x8000, Record(2, 8, u""), DeviceChange{kDeviceArrival, DeviceKind::Other, ""}},
      {"a non-ASCII port name", 0x8000, Record(3, 0, u"ポート1"),
       DeviceChange{kDeviceArrival, DeviceKind::Port, "ポート1"}},
      {"no record", 0x8004, Bytes{}, DeviceChange{kDeviceRemoveComplete, DeviceKind::Other, ""}},
      {"removal asked, not done", 0x8001, Record(3, 0, u"COM4"), std::nullopt},
      {"removal pending", 0x8003, Record(3, 0, u"COM4"), std::nullopt},
      {"nodes changed", 0x0007, Bytes{}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeDeviceBroadcast(c.eventCode, c.record), c.expected) << c.what;
  }
}

TEST(DeviceBroadcastTest, NoReadGoesPastTheRecordsOwnSize) {
  // The size field says less than the bytes at hand: the name ends where the record does.
  const Bytes shortPort = Record(3, 0, u"COM45", 12 + 2 * 4);
  EXPECT_EQ(DecodeDeviceBroadcast(0x8000, shortPort)->name, "COM4");
  // No terminator within the record: the name runs to its end.
  Bytes unterminated = Record(3, 0, u"COM7");
  unterminated.resize(unterminated.size() - 2);
  Put32(unterminated, 0, static_cast<std::uint32_t>(unterminated.size()));
  EXPECT_EQ(DecodeDeviceBroadcast(0x8000, unterminated)->name, "COM7");
  // Too short for an interface's name, or for a header at all: a change with no name.
  EXPECT_EQ(*DecodeDeviceBroadcast(0x8000, Record(5, 16, u"x", 20)),
            (DeviceChange{kDeviceArrival, DeviceKind::Other, ""}));
  EXPECT_EQ(*DecodeDeviceBroadcast(0x8000, Record(3, 0, u"COM1", 8)),
            (DeviceChange{kDeviceArrival, DeviceKind::Other, ""}));
  // A size larger than what can be read is bounded by what can.
  const Bytes large = Record(3, 0, u"COM9", 4096);
  EXPECT_EQ(DecodeDeviceBroadcast(0x8000, large)->name, "COM9");
  EXPECT_EQ(DeviceBroadcastSize(large.data()), 4096u);
  EXPECT_EQ(DeviceBroadcastSize(nullptr), 0u);
}

RawText Sz(const std::u16string& text) {
  return RawText{1, text + u'\0'};
}

TEST(PortsClassTest, ADeviceGivesAPortOnlyWhenItsKeyOpensAndItsPortNameNamesACom) {
  struct Case {
    const char* what;
    PortsClassDevice device;
    std::optional<PortInfo> expected;
  };
  const Case cases[] = {
      {"USB", {true, Sz(u"COM7"), Sz(u"USB Serial Device")}, PortInfo{"COM7", "USB Serial Device"}},
      {"letter case",
       {true, Sz(u"com12"), Sz(u"Communications Port")},
       PortInfo{"com12", "Communications Port"}},
      {"no terminator", {true, RawText{1, u"COM3"}, RawText{1, u"Port"}}, PortInfo{"COM3", "Port"}},
      {"text after the terminator",
       {true, RawText{1, std::u16string(u"COM5\0junk", 9)}, Sz(u"P")},
       PortInfo{"COM5", "P"}},
      {"description unreadable", {true, Sz(u"COM8"), std::nullopt}, PortInfo{"COM8", ""}},
      {"description not a string",
       {true, Sz(u"COM8"), RawText{3, u"\x1234"}},
       PortInfo{"COM8", ""}},
      {"non-ASCII description",
       {true, Sz(u"COM9"), Sz(u"USB シリアル デバイス")},
       PortInfo{"COM9", "USB シリアル デバイス"}},
      {"key does not open", {false, Sz(u"COM1"), Sz(u"Port")}, std::nullopt},
      {"no PortName", {true, std::nullopt, Sz(u"Port")}, std::nullopt},
      {"PortName not a string", {true, RawText{4, u"\x0003\x0000"}, Sz(u"Port")}, std::nullopt},
      {"a printer port", {true, Sz(u"LPT1"), Sz(u"Printer Port")}, std::nullopt},
      {"COM without a number", {true, Sz(u"COMX"), Sz(u"Port")}, std::nullopt},
      {"too short to name a port", {true, Sz(u"COM"), Sz(u"Port")}, std::nullopt},
      {"empty", {true, Sz(u""), Sz(u"Port")}, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto port = PortOfPortsClassDevice(c.device);
    ASSERT_EQ(port.has_value(), c.expected.has_value()) << c.what;
    if (port) {
      EXPECT_EQ(port->name, c.expected->name) << c.what;
      EXPECT_EQ(port->description, c.expected->description) << c.what;
    }
  }
}

TEST(UiLanguageTest, OnlyJapaneseLanguageIdentifiersGiveJapanese) {
  struct Case {
    unsigned langId;
    resources::Language expected;
  };
  const Case cases[] = {
      {0x0411, resources::Language::Japanese},  // ja-JP
      {0x0011, resources::Language::Japanese},  // Japanese, neutral
      {0x0409, resources::Language::English},   // en-US
      {0x0809, resources::Language::English},   // en-GB
      {0x0404, resources::Language::English},   // zh-TW
      {0x0412, resources::Language::English},   // ko-KR
      {0x0000, resources::Language::English},
      {0x1011, resources::Language::Japanese},  // a sub-language not yet assigned
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanguageOfLangId(c.langId), c.expected) << std::hex << c.langId;
  }
}

TEST(FoldersTest, ProgramBaseNameTakesWindowsPathsToo) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Program Files\\QM-R7\\qmr7-tool.exe", "qmr7-tool"},
      {"C:\\Tools\\my.tool.EXE", "my.tool"},
      {"\\\\server\\share\\a.b\\tool.exe", "tool"},
      {"D:/mixed\\sep/tool.exe", "tool"},
  };
  for (const auto& [path, base] : cases)
    EXPECT_EQ(ProgramBaseName(path), base) << path;
}

}  // namespace
}  // namespace platform
