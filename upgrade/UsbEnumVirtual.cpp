// The walk's host for the registry's virtual DFU devices: one controller whose root hub has a
// port per device, in registry order. Each request is a GET_DESCRIPTOR over the device's socket,
// through the same transport the engine uses, so the walk sees what the engine would see.
#include "platform/VirtualDeviceRegistry.h"
#include "upgrade/DfuProtocol.h"
#include "upgrade/DfuTransport.h"
#include "upgrade/UsbEnum.h"

namespace usbenum {
namespace {

constexpr char kRootHub[] = "virtual";
constexpr char kScheme[] = "virtual:";

class VirtualUsbHost final : public UsbHost {
 public:
  explicit VirtualUsbHost(std::string directory)
      : registry_(directory.empty() ? platform::VirtualDeviceRegistry::DefaultDirectory()
                                    : directory),
        transport_(dfu::MakeSocketTransport(registry_.Directory())) {}

  std::vector<std::string> RootHubs() override {
    // The ports are fixed for the walk: a device that comes meanwhile waits for the next one.
    devices_ = registry_.List(platform::kUsbDfuKind);
    if (devices_.empty()) return {};
    return {kRootHub};
  }

  // A stand-in for a device on the machine's buses, not a controller of the machine: however
  // many buses the machine has, the virtual devices are walked.
  bool CountsAgainstControllerCap() const override { return false; }

  std::optional<int> PortCount(const std::string& hub) override {
    if (hub != kRootHub) return std::nullopt;
    return static_cast<int>(devices_.size());
  }

  std::optional<UsbConnection> Connection(const std::string& hub, int port) override {
    const std::string name = NameOf(hub, port);
    if (name.empty()) return std::nullopt;
    UsbConnection c;
    const auto bytes = Descriptor(hub, port, dfu::kDeviceDescriptor, 0, 0, 18);
    dfu::DeviceDescriptor d;
    if (!bytes) return c;  // gone since it was listed
    if (dfu::ParseDeviceDescriptor(*bytes, d) != dfu::ReplyFault::None) {
      c.status = ConnectionStatus::DeviceFailedEnumeration;
      return c;
    }
    c.status = ConnectionStatus::DeviceConnected;
    c.idVendor = d.idVendor;
    c.idProduct = d.idProduct;
    c.iManufacturer = d.iManufacturer;
    c.iProduct = d.iProduct;
    c.iSerialNumber = d.iSerialNumber;
    c.deviceName = name;
    return c;
  }

  std::optional<std::vector<std::uint8_t>> Descriptor(const std::string& hub, int port,
                                                      std::uint8_t type, std::uint8_t index,
                                                      std::uint16_t language,
                                                      std::uint16_t length) override {
    const std::string name = NameOf(hub, port);
    if (name.empty()) return std::nullopt;
    dfu::UsbError error;
    const auto link = transport_->Open(name, error);
    if (!link) return std::nullopt;
    std::vector<std::uint8_t> reply(length);
    std::size_t got = 0;
    const dfu::Setup setup{dfu::kStandardIn, dfu::kGetDescriptor,
                           static_cast<std::uint16_t>(type << 8 | index), language, length};
    if (link->Control(setup, reply, got)) return std::nullopt;
    reply.resize(std::min(got, reply.size()));
    return reply;
  }

  std::optional<std::string> DownstreamHub(const std::string&, int) override {
    return std::nullopt;
  }

 private:
  std::string NameOf(const std::string& hub, int port) const {
    if (hub != kRootHub || port < 1 || port > static_cast<int>(devices_.size())) return {};
    return kScheme + devices_[static_cast<std::size_t>(port - 1)].id;
  }

  platform::VirtualDeviceRegistry registry_;
  std::shared_ptr<dfu::DfuTransport> transport_;
  std::vector<platform::VirtualDevice> devices_;
};

}  // namespace

std::unique_ptr<UsbHost> MakeVirtualUsbHost(std::string registryDirectory) {
  return std::make_unique<VirtualUsbHost>(std::move(registryDirectory));
}

}  // namespace usbenum
