#include "tests/upgrade/umockdev/UsbTestbed.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <stdexcept>

#include "upgrade/DfuClass.h"

namespace usbtestbed {
namespace {

constexpr std::size_t kSetupSize = 8;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (const std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

// A sysfs attribute value in umockdev's text format: the line feed the kernel ends it with is
// written as an escape.
std::string Attribute(const std::string& name, const std::string& value) {
  return "A: " + name + "=" + value + "\\n\n";
}

std::string Node(int bus, int address) {
  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", bus, address);
  return node;
}

std::string Parent(const std::string& name, int bus) {
  const auto dot = name.rfind('.');
  if (dot != std::string::npos) return name.substr(0, dot);
  return "usb" + std::to_string(bus);
}

std::vector<std::uint8_t> Ask(sim::DfuDevice& model, std::uint8_t type) {
  const dfu::Setup setup{dfu::kStandardIn, dfu::kGetDescriptor,
                         static_cast<std::uint16_t>(type << 8), 0, 4096};
  return model.Control(setup, {}).data;
}

}  // namespace

bool InMockEnvironment() {
  // umockdev_in_mock_environment() answers only once a testbed exists; the preload is what counts.
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::vector<std::uint8_t> Descriptors(std::uint16_t vendor, std::uint16_t product,
                                      std::vector<std::uint8_t> config, bool hub,
                                      std::uint8_t iProduct) {
  const std::uint8_t head[18] = {18,
                                 dfu::kDeviceDescriptor,
                                 0x00,
                                 0x02,
                                 static_cast<std::uint8_t>(hub ? 9 : 0),
                                 0,
                                 0,
                                 64,
                                 static_cast<std::uint8_t>(vendor),
                                 static_cast<std::uint8_t>(vendor >> 8),
                                 static_cast<std::uint8_t>(product),
                                 static_cast<std::uint8_t>(product >> 8),
                                 0x00,
                                 0x01,
                                 0,
                                 iProduct,
                                 0,
                                 1};
  std::vector<std::uint8_t> d(std::begin(head), std::end(head));
  for (const std::uint8_t b : config)
    d.push_back(b);  // not insert: GCC 12 misjudges its bounds here
  return d;
}

std::vector<std::uint8_t> HubConfig(std::uint8_t iConfiguration) {
  return {9,
          dfu::kConfigDescriptor,
          25,
          0,
          1,
          1,
          iConfiguration,
          0xE0,
          0,
          9,
          dfu::kInterfaceDescriptor,
          0,
          0,
          1,
          9,
          0,
          0,
          0,
          7,
          5,
          0x81,
          3,
          2,
          0,
          12};
}

// One device node answered from a model.
struct ModelNode {
  explicit ModelNode(sim::DfuDevice device) : model(std::move(device)) {}
  ModelNode(const ModelNode&) = delete;
  ModelNode& operator=(const ModelNode&) = delete;

  ~ModelNode() {
    for (UMockdevIoctlData* urb : done)
      g_object_unref(urb);
    if (handler != nullptr) g_object_unref(handler);
  }

  UMockdevIoctlBase* handler = nullptr;
  mutable std::mutex mutex;
  sim::DfuDevice model;
  std::vector<std::string> requests;
  std::list<UMockdevIoctlData*> done;  // URBs answered, waiting to be reaped

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<ModelNode*>(self)->HandleIoctl(client) ? TRUE : FALSE;
  }

  bool HandleIoctl(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex);
    const bool gone = model.Mode() == sim::DfuMode::Gone;
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        // None of the optional ones: libusb then takes its plain paths (no disconnect-claim).
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        const guint32 none = 0;
        std::memcpy(caps->data, &none, sizeof none);
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      }
      case USBDEVFS_GETDRIVER:
      case USBDEVFS_IOCTL:  // libusb's detach: there is no kernel driver to disconnect
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_SETINTERFACE:
        umockdev_ioctl_client_complete(client, gone ? -1 : 0, gone ? ENODEV : 0);
        return true;
      case USBDEVFS_RESET:
        if (gone) {
          umockdev_ioctl_client_complete(client, -1, ENODEV);
          return true;
        }
        requests.push_back("reset");
        model.Reset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
      case USBDEVFS_SUBMITURB:
        Submit(client, arg, gone);
        return true;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        Reap(client, arg);
        return true;
      case USBDEVFS_DISCARDURB:
        // Every URB is answered as it is submitted: none is left to discard.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
      default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
  }

  // A control URB: the setup packet and the data stage in one buffer. The model answers at once;
  // the answer is written into the caller's URB as the kernel would on completion.
  void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool gone) {
    if (gone) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 0 ||
        static_cast<std::size_t>(urb->buffer_length) < kSetupSize) {
      g_object_unref(urbData);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
    std::uint8_t* bytes = buffer->data;
    const dfu::Setup setup{bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                           static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8),
                           static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8)};
    char line[48];
    std::snprintf(line, sizeof line, "%02x %02x %04x", setup.requestType, setup.request,
                  setup.value);
    requests.push_back(line);
    const std::size_t room = static_cast<std::size_t>(urb->buffer_length) - kSetupSize;
    const bool in = (setup.requestType & 0x80) != 0;
    const sim::ControlReply reply =
        model.Control(setup, in ? std::span<const std::uint8_t>()
                                : std::span<const std::uint8_t>(bytes + kSetupSize, room));
    switch (reply.kind) {
      case sim::ControlReply::Kind::Ok: {
        const std::size_t n = in ? std::min(reply.data.size(), room) : room;
        if (in && n > 0) std::memcpy(bytes + kSetupSize, reply.data.data(), n);
        urb->actual_length = static_cast<int>(n);
        urb->status = 0;
        break;
      }
      case sim::ControlReply::Kind::Stall:
        urb->actual_length = 0;
        urb->status = -EPIPE;
        break;
      case sim::ControlReply::Kind::Gone:
        urb->actual_length = 0;
        urb->status = -ESHUTDOWN;
        break;
    }
    g_object_unref(buffer);
    done.push_back(urbData);  // keeps the reference until it is reaped
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (done.empty()) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return;
    }
    UMockdevIoctlData* urbData = done.front();
    done.pop_front();
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(pointer, 0, urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(pointer);
    g_object_unref(urbData);
  }
};

struct UsbTestbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::map<std::string, std::string> paths;  // device name to sysfs path
  // Nodes go before the testbed: its worker thread ends with it.
  std::map<std::string, std::unique_ptr<ModelNode>> models;

  ~Impl() {
    if (testbed != nullptr) g_object_unref(testbed);
    models.clear();
  }
};

UsbTestbed::UsbTestbed() : impl_(std::make_unique<Impl>()) {
  impl_->testbed = umockdev_testbed_new();
  if (impl_->testbed == nullptr) throw std::runtime_error("no umockdev testbed");
}

UsbTestbed::~UsbTestbed() = default;

void UsbTestbed::Add(const SysfsDevice& device) {
  const bool root = device.name.rfind("usb", 0) == 0;
  const std::string parent =
      root ? std::string("/devices") : impl_->paths.at(Parent(device.name, device.bus));
  const std::string path = parent + "/" + device.name;
  impl_->paths[device.name] = path;
  char number[8];
  std::snprintf(number, sizeof number, "%03d", device.bus);
  const std::string busText = number;
  std::snprintf(number, sizeof number, "%03d", device.address);
  const std::string addressText = number;
  std::string text =
      "P: " + path + "\nN: " + Node(device.bus, device.address) +
      "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=" + busText +
      "\nE: DEVNUM=" + addressText + "\nE: DEVNAME=/dev/" + Node(device.bus, device.address) + "\n";
  text += Attribute("busnum", std::to_string(device.bus));
  text += Attribute("devnum", std::to_string(device.address));
  text += Attribute("maxchild", std::to_string(device.maxchild));
  text += Attribute("bConfigurationValue", "1");
  text += Attribute("speed", "480");
  if (device.configuration) text += Attribute("configuration", *device.configuration);
  text += "H: descriptors=" + Hex(device.descriptors) + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(impl_->testbed, text.c_str(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error("umockdev refused " + device.name + ": " + message);
  }
}

void UsbTestbed::AddModel(const std::string& name, int bus, int address, sim::DfuDevice model,
                          std::optional<std::string> configuration) {
  SysfsDevice device;
  device.name = name;
  device.bus = bus;
  device.address = address;
  device.descriptors = Ask(model, dfu::kDeviceDescriptor);
  const auto config = Ask(model, dfu::kConfigDescriptor);
  for (const std::uint8_t b : config)
    device.descriptors.push_back(b);
  device.configuration = configuration ? *configuration : model.ConfigurationString();

  // The handler first, so the node is made as an emulated device when the device is added.
  auto node = std::make_unique<ModelNode>(std::move(model));
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(&ModelNode::OnIoctl), node.get());
  const std::string path = "/dev/" + Node(bus, address);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(impl_->testbed, path.c_str(), node->handler, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot emulate " + path + ": " + message);
  }
  impl_->models[name] = std::move(node);
  Add(device);
}

sim::DfuDevice UsbTestbed::Model(const std::string& name) const {
  const ModelNode& node = *impl_->models.at(name);
  std::lock_guard lock(node.mutex);
  return node.model;
}

std::vector<std::string> UsbTestbed::Requests(const std::string& name) const {
  const ModelNode& node = *impl_->models.at(name);
  std::lock_guard lock(node.mutex);
  return node.requests;
}

}  // namespace usbtestbed
