#include "upgrade/UsbEnum.h"

#include <algorithm>
#include <new>
#include <set>
#include <utility>

#include "toolkit/Utf.h"
#include "upgrade/DfuClass.h"
#include "upgrade/DfuProtocol.h"

namespace usbenum {
namespace {

constexpr std::size_t kConfigHeader = 9;
constexpr std::uint16_t kStringLength = 255;

struct StringNode {
  std::uint8_t index = 0;
  std::uint16_t language = 0;
  std::vector<std::uint8_t> descriptor;  // bLength, type 3, UTF-16LE text
};

// What a port gave: the connection, its first configuration descriptor and its strings. A
// downstream hub receives its parent port's data and examines it after its own ports.
struct PortData {
  UsbConnection connection;
  std::optional<std::vector<std::uint8_t>> config;
  std::vector<StringNode> strings;
};

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// Calls visit(descriptor) for each descriptor of a configuration: on by each bLength while more
// than 2 bytes remain and the descriptor fits. A length below 2 ends the scan (0 would never move
// on, 1 holds no type byte for a visitor to read), and so does visit returning false.
template <typename Visit>
void ScanDescriptors(std::span<const std::uint8_t> config, Visit visit) {
  if (config.size() < 4) return;
  const std::size_t total = std::min<std::size_t>(Le16(&config[2]), config.size());
  for (std::size_t at = 0; total > at && total - at > 2;) {
    const std::size_t length = config[at];
    if (length < 2 || at + length > total) return;
    if (!visit(config.subspan(at, length))) return;
    at += length;
  }
}

// The string indices a device names, each once, in the order they are read: its device
// descriptor's, then each configuration's and interface's in descriptor order, up to a descriptor
// of a wrong length or the cap on descriptors.
std::vector<std::uint8_t> StringIndices(const UsbConnection& c,
                                        std::span<const std::uint8_t> config) {
  std::vector<std::uint8_t> indices;
  const auto add = [&](std::uint8_t i) {
    if (i != 0 && std::find(indices.begin(), indices.end(), i) == indices.end())
      indices.push_back(i);
  };
  for (const std::uint8_t i : {c.iManufacturer, c.iProduct, c.iSerialNumber})
    add(i);
  int seen = 0;
  ScanDescriptors(config, [&](std::span<const std::uint8_t> d) {
    if (++seen > kMaxDescriptorsPerDevice) return false;
    if (d[1] == dfu::kConfigDescriptor) {
      if (d.size() != kConfigHeader) return false;
      add(d[6]);
    } else if (d[1] == dfu::kInterfaceDescriptor) {
      if (d.size() != 9 && d.size() != 11) return false;
      add(d[8]);
    }
    return true;
  });
  return indices;
}

// A string descriptor as received: at least its two header bytes, type 3, a length that is the
// byte count and even.
bool AcceptString(const std::vector<std::uint8_t>& d) {
  return d.size() >= 2 && d[1] == dfu::kStringDescriptor && d[0] == d.size() && d[0] % 2 == 0;
}

// Only ASCII letters change, so no multi-byte character is broken.
std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Cut to at most `limit` bytes, never inside a UTF-8 character.
std::string CutUtf8(std::string text, std::size_t limit) {
  std::size_t end = 0;
  while (end < text.size()) {
    const std::size_t next = end + toolkit::Utf8CharSize(text, end);
    if (next > limit) break;
    end = next;
  }
  text.resize(end);
  return text;
}

class Walker {
 public:
  Walker(UsbHost& host, UsbDetection& result) : host_(host), result_(result) {}

  void Hub(const std::string& name, const PortData* parent) {
    const std::optional<int> ports = host_.PortCount(name);
    if (!ports) return;
    try {
      for (int p = 1; p <= *ports; ++p)
        Port(name, p);
    } catch (const std::bad_alloc&) {
      // No room for a port's data: the rest of this hub's ports are given up.
    }
    host_.ReleaseHub(name);
    if (parent != nullptr && parent->config) Examine(*parent);
  }

 private:
  void Port(const std::string& hub, int port) {
    PortData data;
    std::optional<UsbConnection> connection = host_.Connection(hub, port);
    if (!connection) return;
    data.connection = std::move(*connection);
    if (data.connection.status == ConnectionStatus::DeviceConnected) {
      data.config = ReadConfig(hub, port);
    }
    if (data.config) {
      const auto indices = StringIndices(data.connection, *data.config);
      if (!indices.empty()) data.strings = ReadStrings(hub, port, indices);
    }
    if (data.connection.deviceIsHub) {
      if (const auto downstream = host_.DownstreamHub(hub, port)) {
        Hub(*downstream, &data);
        return;
      }
    }
    if (data.config) Examine(data);
  }

  // Configuration descriptor 0: its header first, then exactly wTotalLength bytes.
  std::optional<std::vector<std::uint8_t>> ReadConfig(const std::string& hub, int port) {
    const auto head = host_.Descriptor(hub, port, dfu::kConfigDescriptor, 0, 0, kConfigHeader);
    if (!head || head->size() != kConfigHeader) return std::nullopt;
    const std::uint16_t total = Le16(&(*head)[2]);
    if (total < kConfigHeader) return std::nullopt;
    auto whole = host_.Descriptor(hub, port, dfu::kConfigDescriptor, 0, 0, total);
    if (!whole || whole->size() != total || Le16(&(*whole)[2]) != total) return std::nullopt;
    return whole;
  }

  std::vector<StringNode> ReadStrings(const std::string& hub, int port,
                                      const std::vector<std::uint8_t>& indices) {
    std::vector<StringNode> nodes;
    const auto languages = ReadString(hub, port, 0, 0);
    if (!languages) return nodes;
    int requests = 1;
    const std::size_t count = (*languages)[0] < 4 ? 0 : ((*languages)[0] - 2) / 2;
    for (const std::uint8_t index : indices) {
      for (std::size_t l = 0; l < count; ++l) {
        if (requests++ >= kMaxStringRequestsPerDevice) return nodes;
        const std::uint16_t language = Le16(&(*languages)[2 + 2 * l]);
        if (auto d = ReadString(hub, port, index, language)) {
          nodes.push_back({index, language, std::move(*d)});
        }
      }
    }
    return nodes;
  }

  std::optional<std::vector<std::uint8_t>> ReadString(const std::string& hub, int port,
                                                      std::uint8_t index, std::uint16_t language) {
    auto d = host_.Descriptor(hub, port, dfu::kStringDescriptor, index, language, kStringLength);
    if (!d || !AcceptString(*d)) return std::nullopt;
    return d;
  }

  // The protocol of the configuration's first DFU interface; 0 when it has none.
  static std::uint8_t DfuProtocol(std::span<const std::uint8_t> config) {
    std::uint8_t protocol = 0;
    ScanDescriptors(config, [&](std::span<const std::uint8_t> d) {
      if (d[1] == dfu::kInterfaceDescriptor && d.size() >= 9 && d[5] == dfu::kInterfaceClass &&
          d[6] == dfu::kInterfaceSubClass) {
        protocol = d[7];
        return false;
      }
      return true;
    });
    return protocol;
  }

  void Examine(const PortData& data) {
    const bool dfuMode = DfuProtocol(*data.config) == dfu::kDfuModeProtocol;
    if (dfuMode && !data.connection.deviceName.empty()) {
      result_.dfuModeDevices.push_back(
          {data.connection.deviceName, data.connection.idVendor, data.connection.idProduct});
    }
    ScanDescriptors(*data.config, [&](std::span<const std::uint8_t> d) {
      if (d[1] != dfu::kConfigDescriptor || d.size() != kConfigHeader || d[6] == 0) return true;
      for (const StringNode& node : data.strings) {
        if (node.index == d[6]) Consider(node, data.connection, dfuMode);
      }
      return true;
    });
  }

  void Consider(const StringNode& node, const UsbConnection& connection, bool dfuMode) {
    std::string text;
    dfu::ParseString(node.descriptor, text);
    text = AsciiUpper(CutUtf8(std::move(text), kMaxConfigText));
    if (text.find("FW:") == std::string::npos || text.find("PSR:") == std::string::npos) return;
    result_.configText = std::move(text);
    result_.deviceName = connection.deviceName;
    result_.idVendor = connection.idVendor;
    result_.idProduct = connection.idProduct;
    result_.dfuMode = dfuMode;
  }

  UsbHost& host_;
  UsbDetection& result_;
};

void AppendUnit(std::vector<std::uint8_t>& out, std::uint32_t unit) {
  out.push_back(static_cast<std::uint8_t>(unit));
  out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

}  // namespace

void UsbHost::ForEachRootHub(const std::function<bool(const std::string&)>& walk) {
  for (const std::string& root : RootHubs()) {
    if (!walk(root)) return;
  }
}

UsbDetection WalkUsbTree(std::span<UsbHost* const> hosts) {
  UsbDetection result;
  std::set<std::pair<const UsbHost*, std::string>> controllers;
  for (UsbHost* host : hosts) {
    if (host == nullptr) continue;
    host->ForEachRootHub([&](const std::string& root) {
      if (host->CountsAgainstControllerCap()) {
        auto controller = std::make_pair(host, host->ControllerOf(root));
        if (!controllers.contains(controller)) {
          // Beyond the cap; a later root hub may still belong to a controller counted.
          if (controllers.size() >= static_cast<std::size_t>(kMaxHostControllers)) return true;
          controllers.insert(std::move(controller));
        }
      }
      Walker(*host, result).Hub(root, nullptr);
      return true;
    });
  }
  return result;
}

UsbDetection WithHeadsetLoader(UsbDetection walked, std::span<const dfu::DeviceIds> extra) {
  if (walked.Found()) return walked;
  for (auto it = walked.dfuModeDevices.rbegin(); it != walked.dfuModeDevices.rend(); ++it) {
    if (!dfu::IsHeadsetInDfuMode(it->idVendor, it->idProduct, extra)) continue;
    walked.deviceName = it->deviceName;
    walked.idVendor = it->idVendor;
    walked.idProduct = it->idProduct;
    walked.dfuMode = true;
    break;
  }
  return walked;
}

std::vector<std::uint8_t> StringDescriptorOf(const std::string& text) {
  constexpr std::size_t kMaxUnits = 126;
  std::u16string units = toolkit::Utf8ToUtf16(text);
  if (units.size() > kMaxUnits) {
    // Never half a surrogate pair.
    const bool splitsPair = units[kMaxUnits - 1] >= 0xD800 && units[kMaxUnits - 1] < 0xDC00;
    units.resize(splitsPair ? kMaxUnits - 1 : kMaxUnits);
  }
  std::vector<std::uint8_t> d{0, dfu::kStringDescriptor};
  for (const char16_t unit : units)
    AppendUnit(d, unit);
  d[0] = static_cast<std::uint8_t>(d.size());
  return d;
}

}  // namespace usbenum
