// The detection walk's reading of what USB devices say: descriptors and strings of any length and
// content, hubs within hubs, requests that fail, from two hosts. The first input byte picks one:
//   even: a host whose every answer the input scripts (the walk's own checks of lengths and types);
//   odd:  a Linux sysfs tree written from the input (the sysfs host's parsing of the descriptors
//         and string attributes the kernel keeps).
// Whatever the devices say, the walk must end, read nothing past what it was given, and give
// either nothing or an upper-case text of at most 255 bytes of well-formed UTF-8 with both markers.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzFolder.h"
#include "toolkit/Utf.h"
#include "upgrade/DfuProtocol.h"
#include "upgrade/UsbEnum.h"

namespace {

using fuzzing::Script;
using usbenum::ConnectionStatus;
using usbenum::UsbConnection;

// Every answer from the script: a flags byte first, whose bit 0 makes the request fail.
class ScriptedHost final : public usbenum::UsbHost {
 public:
  explicit ScriptedHost(Script& script) : script_(script) {}

  std::vector<std::string> RootHubs() override {
    const int count = 1 + script_.Byte() % 2;
    std::vector<std::string> hubs;
    for (int i = 0; i < count; ++i)
      hubs.push_back("root" + std::to_string(i));
    return hubs;
  }
  std::optional<int> PortCount(const std::string&) override {
    const std::uint8_t b = script_.Byte(0xFF);
    if (b == 0xFF) return std::nullopt;
    return b % 8;
  }
  std::optional<UsbConnection> Connection(const std::string&, int) override {
    if (script_.Empty()) return std::nullopt;
    UsbConnection c;
    c.status = static_cast<ConnectionStatus>(script_.Byte() % 6);
    const std::uint8_t flags = script_.Byte();
    if ((flags & 1) != 0) return std::nullopt;
    c.deviceIsHub = (flags & 2) != 0;
    c.iManufacturer = script_.Byte();
    c.iProduct = script_.Byte();
    c.iSerialNumber = script_.Byte();
    c.idVendor = script_.Word();
    c.idProduct = script_.Word();
    c.deviceName = "fuzz:" + std::to_string(++devices_);
    return c;
  }
  std::optional<std::vector<std::uint8_t>> Descriptor(const std::string&, int, std::uint8_t,
                                                      std::uint8_t, std::uint16_t,
                                                      std::uint16_t length) override {
    if (script_.Empty() || (script_.Byte() & 1) != 0) return std::nullopt;
    // As a host does: at most the length asked for.
    const std::string bytes = script_.Bytes(std::min<std::size_t>(script_.Word(), length));
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }
  std::optional<std::string> DownstreamHub(const std::string&, int) override {
    if ((script_.Byte() & 1) == 0) return std::nullopt;
    return "hub" + std::to_string(++hubs_);
  }

 private:
  Script& script_;
  int devices_ = 0;
  int hubs_ = 0;
};

void Write(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A bus with one device, or, when the input says so, a hub holding a second device with the same
// descriptors. Each attribute is a length-prefixed piece of the input; a missing one is no file.
usbenum::UsbDetection WalkSysfsTree(Script& script) {
  namespace fs = std::filesystem;
  const fs::path root = fuzzing::FuzzFolder();
  const fs::path devices = root / "bus" / "usb" / "devices";
  std::error_code ec;
  fs::remove_all(root / "bus", ec);
  const bool hub = (script.Byte() & 1) != 0;
  std::vector<std::string> names = {"1-1"};
  if (hub) names.push_back("1-1.1");
  fs::create_directories(devices / "usb1");
  Write(devices / "usb1" / "maxchild", "1\n");
  for (const std::string& name : names)
    fs::create_directories(devices / name);
  if (hub) Write(devices / "1-1" / "maxchild", "1\n");
  for (const char* attribute : {"descriptors", "bConfigurationValue", "manufacturer", "product",
                                "serial", "configuration"}) {
    if (script.Empty()) break;
    const std::string bytes = script.Bytes(script.Word());
    for (const std::string& name : names)
      Write(devices / name / attribute, bytes);
  }
  const auto host = usbenum::MakeSysfsUsbHost(root.string());
  usbenum::UsbHost* hosts[] = {host.get()};
  return usbenum::WalkUsbTree(hosts);
}

void Check(const usbenum::UsbDetection& found) {
  const std::string& text = found.configText;
  if (text.empty()) return;
  if (text.size() > usbenum::kMaxConfigText) std::abort();
  if (text.find("FW:") == std::string::npos || text.find("PSR:") == std::string::npos) {
    std::abort();
  }
  for (const char c : text) {
    if (c >= 'a' && c <= 'z') std::abort();
  }
  if (toolkit::Utf16ToUtf8(toolkit::Utf8ToUtf16(text)) != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Script script(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    ScriptedHost host(script);
    usbenum::UsbHost* hosts[] = {&host};
    Check(usbenum::WalkUsbTree(hosts));
  } else {
    Check(WalkSysfsTree(script));
  }

  // A device's string descriptor for any text reads back as that text, made well-formed.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto descriptor = usbenum::StringDescriptorOf(text);
  std::string back;
  if (descriptor.size() > 254 || dfu::ParseString(descriptor, back) != dfu::ReplyFault::None) {
    std::abort();
  }
  const std::string expected = toolkit::Utf16ToUtf8(toolkit::Utf8ToUtf16(text));
  if (expected.compare(0, back.size(), back) != 0) std::abort();
  return 0;
}
