// The walk's host on Linux sysfs. A root hub is the bus's device `usb<N>`, its controller the
// device above it; the device on port p of hub `N-a.b` is `N-a.b.p` (of `usb<N>`: `N-p`). The
// kernel keeps each device's descriptors as it read them at enumeration, so nothing here sends a
// request to a device.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

#include "upgrade/DfuClass.h"
#include "upgrade/UsbEnum.h"

namespace usbenum {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kDeviceDescriptorSize = 18;
constexpr std::uint8_t kHubClass = 0x09;
// The kernel reads strings in the device's first language and keeps only their text; this is the
// language the walk is told.
constexpr std::uint16_t kKernelLanguage = 0x0409;

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The kernel's descriptors of a device: its device descriptor and configurations of at most
// 65535 bytes each; an attribute larger than this is no device's.
constexpr std::size_t kMaxAttribute = std::size_t{256} << 10;

std::optional<std::string> ReadAttribute(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxAttribute) return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  return text;
}

// A text attribute without its line feed.
std::optional<std::string> ReadLine(const fs::path& path) {
  auto text = ReadAttribute(path);
  if (text && !text->empty() && text->back() == '\n') text->pop_back();
  return text;
}

std::optional<int> ReadNumber(const fs::path& path) {
  const auto text = ReadLine(path);
  int value = 0;
  if (!text) return std::nullopt;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::optional<int> BusNumber(const std::string& rootHub) {
  if (rootHub.rfind("usb", 0) != 0 || rootHub.size() == 3) return std::nullopt;
  int bus = 0;
  const char* first = rootHub.data() + 3;
  const char* last = rootHub.data() + rootHub.size();
  const auto [end, ec] = std::from_chars(first, last, bus);
  if (ec != std::errc() || end != last) return std::nullopt;
  return bus;
}

class SysfsUsbHost final : public UsbHost {
 public:
  explicit SysfsUsbHost(std::string sysRoot)
      : devices_(fs::path(std::move(sysRoot)) / "bus" / "usb" / "devices") {}

  std::vector<std::string> RootHubs() override {
    // A walk starts here: what the last one read may have changed since.
    devicesRead_.clear();
    std::map<int, std::string> buses;
    std::error_code ec;
    for (fs::directory_iterator it(devices_, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (const auto bus = BusNumber(name)) buses.emplace(*bus, name);
    }
    std::vector<std::string> hubs;
    for (auto& [bus, name] : buses)
      hubs.push_back(std::move(name));
    return hubs;
  }

  // A bus's root hub is a link into the device tree, to a folder below its controller's device,
  // which the two buses of an xHCI controller share. A folder that is no link stands alone.
  std::string ControllerOf(const std::string& rootHub) override {
    std::error_code ec;
    const fs::path link = devices_ / rootHub;
    if (!fs::is_symlink(link, ec)) return rootHub;
    const fs::path target = fs::canonical(link, ec);
    if (ec) return rootHub;
    return target.parent_path().string();
  }

  std::optional<int> PortCount(const std::string& hub) override {
    return ReadNumber(devices_ / hub / "maxchild");
  }

  std::optional<UsbConnection> Connection(const std::string& hub, int port) override {
    UsbConnection c;
    const std::string child = Child(hub, port);
    std::error_code ec;
    if (!fs::exists(devices_ / child, ec)) return c;  // nothing on that port
    const auto& d = Descriptors(child);
    if (!d || d->size() < kDeviceDescriptorSize || (*d)[1] != dfu::kDeviceDescriptor) {
      c.status = ConnectionStatus::DeviceFailedEnumeration;
      return c;
    }
    c.status = ConnectionStatus::DeviceConnected;
    c.deviceIsHub = (*d)[4] == kHubClass;
    c.idVendor = Le16(&(*d)[8]);
    c.idProduct = Le16(&(*d)[10]);
    c.iManufacturer = (*d)[14];
    c.iProduct = (*d)[15];
    c.iSerialNumber = (*d)[16];
    c.deviceName = "usb:" + child;  // the libusb transport's name: bus, then the port path
    return c;
  }

  std::optional<std::vector<std::uint8_t>> Descriptor(const std::string& hub, int port,
                                                      std::uint8_t type, std::uint8_t index,
                                                      std::uint16_t language,
                                                      std::uint16_t length) override {
    const std::string child = Child(hub, port);
    std::vector<std::uint8_t> reply;
    if (type == dfu::kConfigDescriptor && index == 0) {
      const auto& d = Descriptors(child);
      if (!d || d->size() <= kDeviceDescriptorSize) return std::nullopt;
      reply = FirstConfiguration(*d);
    } else if (type == dfu::kStringDescriptor && index == 0 && language == 0) {
      if (Strings(child).empty()) return std::nullopt;
      reply = {4, dfu::kStringDescriptor, kKernelLanguage & 0xFF, kKernelLanguage >> 8};
    } else if (type == dfu::kStringDescriptor && language == kKernelLanguage) {
      const auto& strings = Strings(child);
      const auto it = strings.find(index);
      if (it == strings.end()) return std::nullopt;
      reply = StringDescriptorOf(it->second);
    } else {
      return std::nullopt;
    }
    if (reply.size() > length) reply.resize(length);
    return reply;
  }

  std::optional<std::string> DownstreamHub(const std::string& hub, int port) override {
    const std::string child = Child(hub, port);
    std::error_code ec;
    if (!fs::exists(devices_ / child / "maxchild", ec)) return std::nullopt;
    return child;
  }

 private:
  static std::string Child(const std::string& hub, int port) {
    if (const auto bus = BusNumber(hub)) return std::to_string(*bus) + "-" + std::to_string(port);
    return hub + "." + std::to_string(port);
  }

  // A device's files as this walk first read them: each is read once per walk, however often
  // the walk asks (once per string index and language).
  struct DeviceFiles {
    std::optional<std::vector<std::uint8_t>> descriptors;
    std::optional<std::map<std::uint8_t, std::string>> strings;
  };

  DeviceFiles& Read(const std::string& device) {
    const auto [it, added] = devicesRead_.try_emplace(device);
    if (added) {
      if (const auto text = ReadAttribute(devices_ / device / "descriptors"))
        it->second.descriptors.emplace(text->begin(), text->end());
    }
    return it->second;
  }

  const std::optional<std::vector<std::uint8_t>>& Descriptors(const std::string& device) {
    return Read(device).descriptors;
  }

  // The first configuration's bytes, as many as the kernel kept of its wTotalLength.
  static std::vector<std::uint8_t> FirstConfiguration(const std::vector<std::uint8_t>& d) {
    const auto first = d.begin() + kDeviceDescriptorSize;
    std::size_t size = d.size() - kDeviceDescriptorSize;
    if (size >= 4) size = std::min<std::size_t>(size, Le16(&d[kDeviceDescriptorSize + 2]));
    return {first, first + static_cast<std::ptrdiff_t>(size)};
  }

  // The strings the kernel keeps, by the index the descriptors give them.
  const std::map<std::uint8_t, std::string>& Strings(const std::string& device) {
    DeviceFiles& files = Read(device);
    if (!files.strings) files.strings = ReadStrings(device, files.descriptors);
    return *files.strings;
  }

  std::map<std::uint8_t, std::string> ReadStrings(
      const std::string& device, const std::optional<std::vector<std::uint8_t>>& d) const {
    std::map<std::uint8_t, std::string> strings;
    if (!d || d->size() < kDeviceDescriptorSize) return strings;
    const fs::path dir = devices_ / device;
    const auto add = [&](std::uint8_t index, const char* attribute) {
      if (index == 0 || strings.count(index) != 0) return;
      if (auto text = ReadLine(dir / attribute)) strings.emplace(index, std::move(*text));
    };
    add((*d)[14], "manufacturer");
    add((*d)[15], "product");
    add((*d)[16], "serial");
    add(ActiveConfigurationString(*d, ReadNumber(dir / "bConfigurationValue")), "configuration");
    return strings;
  }

  // iConfiguration of the configuration whose bConfigurationValue is `active`.
  static std::uint8_t ActiveConfigurationString(const std::vector<std::uint8_t>& d,
                                                std::optional<int> active) {
    if (!active) return 0;
    for (std::size_t at = kDeviceDescriptorSize; at + 9 <= d.size();) {
      const std::size_t total = Le16(&d[at + 2]);
      if (d[at + 1] != dfu::kConfigDescriptor || total < 9) return 0;
      if (d[at + 5] == *active) return d[at + 6];
      at += total;
    }
    return 0;
  }

  fs::path devices_;
  std::map<std::string, DeviceFiles> devicesRead_;
};

}  // namespace

std::unique_ptr<UsbHost> MakeSysfsUsbHost(std::string sysRoot) {
  return std::make_unique<SysfsUsbHost>(std::move(sysRoot));
}

}  // namespace usbenum
