// The walk's host on the Windows hub requests. A host controller stays open while its root hub's
// tree is walked, a hub while its ports are; every buffer is zero-filled, sized as the request
// record says, and a reply is taken only when its byte count fits what was asked. A request that
// fails, or a reply that does not fit, is the same to the walk: the port, hub or controller is
// passed over.
#include <map>
#include <new>
#include <vector>

#include "upgrade/UsbEnum.h"
#include "upgrade/UsbIoctl.h"
#include "upgrade/WinUsbRules.h"

namespace usbenum {
namespace {

using namespace usbioctl;

// The reply came, and no larger than the buffer it was asked into.
bool Fits(std::optional<std::uint32_t> got, std::size_t size) {
  return got && *got <= size;
}

// An allocation that fails is a request that fails.
template <typename Request>
auto Guarded(Request request) -> decltype(request()) {
  try {
    return request();
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// A name record (root hub name, connection name): first the fixed record, which says in
// ActualLength how large the record with the whole name is, then that record. `index` goes first
// in both when the record has one. The name must not be empty.
std::optional<std::string> ReadName(UsbIoDevice& device, std::uint32_t code, std::size_t fixedSize,
                                    std::size_t lengthAt, std::size_t textAt,
                                    std::optional<std::uint32_t> index) {
  // The root hub name is asked without sending anything; the connection name sends its index.
  const auto ask = [&](std::vector<std::uint8_t>& record) {
    if (index) Put32(record, 0, *index);
    return device.Control(code, record, index ? record.size() : 0);
  };
  std::vector<std::uint8_t> head(fixedSize);
  const auto got = ask(head);
  if (!Fits(got, head.size()) || *got < lengthAt + 4) return std::nullopt;
  const std::uint32_t needed = Get32(head, lengthAt);
  if (needed <= fixedSize || needed > kMaxNameRecord) return std::nullopt;
  std::vector<std::uint8_t> record(needed);
  const auto gotAll = ask(record);
  if (!Fits(gotAll, record.size()) || *gotAll <= textAt) return std::nullopt;
  std::string name = NameText(std::span(record).first(*gotAll), textAt);
  if (name.empty()) return std::nullopt;
  return name;
}

class IoctlUsbHost final : public UsbHost {
 public:
  explicit IoctlUsbHost(std::shared_ptr<UsbIo> io) : io_(std::move(io)) {}

  std::vector<std::string> RootHubs() override {
    std::vector<std::string> hubs;
    ForEachRootHub([&](const std::string& hub) {
      hubs.push_back(hub);
      return true;
    });
    return hubs;
  }

  void ForEachRootHub(const std::function<bool(const std::string&)>& walk) override {
    for (int n = 0; n < kMaxHostControllers; ++n) {
      const std::unique_ptr<UsbIoDevice> controller = io_->Open("\\\\.\\HCD" + std::to_string(n));
      if (!controller) continue;
      const auto name = Guarded([&] {
        return ReadName(*controller, kGetRootHubName, kRootHubNameSize, 0, kRootHubNameText, {});
      });
      if (name && !walk(*name)) return;
    }
  }

  std::optional<int> PortCount(const std::string& hub) override {
    return Guarded([&]() -> std::optional<int> {
      std::unique_ptr<UsbIoDevice> device = io_->Open("\\\\.\\" + hub);
      if (!device) return std::nullopt;
      std::vector<std::uint8_t> info(kNodeInformationSize);
      const auto got = device->Control(kGetNodeInformation, info, info.size());
      if (!Fits(got, info.size()) || *got <= kNodeNumberOfPorts) return std::nullopt;
      hubs_[hub] = std::move(device);
      return info[kNodeNumberOfPorts];
    });
  }

  void ReleaseHub(const std::string& hub) override { hubs_.erase(hub); }

  std::optional<UsbConnection> Connection(const std::string& hub, int port) override {
    UsbIoDevice* device = OpenHub(hub);
    if (device == nullptr) return std::nullopt;
    return Guarded([&]() -> std::optional<UsbConnection> {
      std::vector<std::uint8_t> info(kConnectionInformationSize);
      Put32(info, 0, static_cast<std::uint32_t>(port));
      const auto got = device->Control(kGetNodeConnectionInformation, info, info.size());
      if (!Fits(got, info.size()) || *got < kConnectionFixedSize) return std::nullopt;
      const std::span<const std::uint8_t> d = std::span(info).subspan(kConnectionDeviceDescriptor);
      UsbConnection c;
      c.status = static_cast<ConnectionStatus>(Get32(info, kConnectionStatus));
      c.deviceIsHub = info[kConnectionDeviceIsHub] != 0;
      c.idVendor = Get16(d, 8);
      c.idProduct = Get16(d, 10);
      c.iManufacturer = d[14];
      c.iProduct = d[15];
      c.iSerialNumber = d[16];
      c.deviceName =
          dfu::winusb::PortDeviceName(dfu::winusb::HubInstanceOf(hub), static_cast<unsigned>(port));
      return c;
    });
  }

  std::optional<std::vector<std::uint8_t>> Descriptor(const std::string& hub, int port,
                                                      std::uint8_t type, std::uint8_t index,
                                                      std::uint16_t language,
                                                      std::uint16_t length) override {
    UsbIoDevice* device = OpenHub(hub);
    if (device == nullptr) return std::nullopt;
    return Guarded([&]() -> std::optional<std::vector<std::uint8_t>> {
      // The hub fills in the request type and GET_DESCRIPTOR itself.
      std::vector<std::uint8_t> request(kDescriptorRequestSize + length);
      Put32(request, 0, static_cast<std::uint32_t>(port));
      Put16(request, kSetupValue, static_cast<std::uint16_t>(type << 8 | index));
      Put16(request, kSetupIndex, language);
      Put16(request, kSetupLength, length);
      const auto got = device->Control(kGetDescriptorFromNodeConnection, request, request.size());
      if (!Fits(got, request.size()) || *got < kDescriptorRequestSize) return std::nullopt;
      return std::vector<std::uint8_t>(request.begin() + kDescriptorRequestSize,
                                       request.begin() + *got);
    });
  }

  std::optional<std::string> DownstreamHub(const std::string& hub, int port) override {
    UsbIoDevice* device = OpenHub(hub);
    if (device == nullptr) return std::nullopt;
    return Guarded([&] {
      return ReadName(*device, kGetNodeConnectionName, kConnectionNameSize, kConnectionNameLength,
                      kConnectionNameText, static_cast<std::uint32_t>(port));
    });
  }

 private:
  UsbIoDevice* OpenHub(const std::string& hub) const {
    const auto it = hubs_.find(hub);
    return it == hubs_.end() ? nullptr : it->second.get();
  }

  std::shared_ptr<UsbIo> io_;
  // The hubs whose ports are being walked: the root hub and the hubs down to the current port.
  std::map<std::string, std::unique_ptr<UsbIoDevice>> hubs_;
};

}  // namespace

std::unique_ptr<UsbHost> MakeIoctlUsbHost(std::shared_ptr<usbioctl::UsbIo> io) {
  return std::make_unique<IoctlUsbHost>(std::move(io));
}

}  // namespace usbenum
