// Real DFU devices through libusb. A device is named by its place on the bus ("usb:<bus>-<port
// path>"), which it keeps while it re-enumerates between run-time and DFU mode.
#include "upgrade/LibusbTransport.h"

#include <libusb.h>

#include <cstdio>
#include <mutex>

namespace dfu {
namespace {

constexpr char kScheme[] = "usb:";
constexpr unsigned kTimeoutMs = 5000;

toolkit::ErrorKind KindOf(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return toolkit::ErrorKind::None;
    // The device refused the request (a stall): it keeps the reason in its DFU status. A request
    // the platform itself cannot make (LIBUSB_ERROR_NOT_SUPPORTED) is an OS failure.
    case LIBUSB_ERROR_PIPE:
      return toolkit::ErrorKind::NotSupported;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return toolkit::ErrorKind::DeviceGone;
    case LIBUSB_ERROR_TIMEOUT:
      return toolkit::ErrorKind::TimedOut;
    case LIBUSB_ERROR_INVALID_PARAM:
      return toolkit::ErrorKind::CallerMistake;
    default:
      return toolkit::ErrorKind::OsFailure;
  }
}

// libusb's code as it is, with its wording and its name, for example
// "Pipe error (LIBUSB_ERROR_PIPE)".
UsbError ErrorOf(int code, std::string op) {
  if (code == LIBUSB_SUCCESS) return {};
  return UsbError{KindOf(code), code,
                  std::string(libusb_strerror(code)) + " (" + libusb_error_name(code) + ")",
                  std::move(op)};
}

std::string NameOf(libusb_device* device) {
  std::uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string name = kScheme + std::to_string(libusb_get_bus_number(device));
  for (int i = 0; i < n; ++i)
    name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
}

struct DfuPlace {
  int interface = -1;  // -1: none
  int alternate = 0;
};

// The first DFU interface setting of the active (else the first) configuration.
DfuPlace DfuInterfaceOf(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 &&
      libusb_get_config_descriptor(device, 0, &config) != 0) {
    return {};
  }
  DfuPlace found;
  for (int i = 0; i < config->bNumInterfaces && found.interface < 0; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      if (alt.bInterfaceClass == kInterfaceClass && alt.bInterfaceSubClass == kInterfaceSubClass &&
          (alt.bInterfaceProtocol == kRuntimeProtocol ||
           alt.bInterfaceProtocol == kDfuModeProtocol)) {
        found = {alt.bInterfaceNumber, alt.bAlternateSetting};
        break;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

class LibusbLink final : public DfuLink {
 public:
  LibusbLink(libusb_device_handle* handle, int interface)
      : handle_(handle), interface_(interface) {}
  ~LibusbLink() override { Close(); }

  UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                   std::size_t& transferred) override {
    transferred = 0;
    if (handle_ == nullptr) return UsbGone("control transfer");
    const int n =
        libusb_control_transfer(handle_, setup.requestType, setup.request, setup.value, setup.index,
                                data.data(), static_cast<std::uint16_t>(data.size()), kTimeoutMs);
    if (n < 0) return ErrorOf(n, "control transfer");
    transferred = static_cast<std::size_t>(n);
    return {};
  }

  UsbError Reset() override {
    if (handle_ == nullptr) return UsbGone("reset");
    const int rc = libusb_reset_device(handle_);
    Close();
    // A device that comes back as another device (DFU mode) is "not found" here: expected.
    return rc == LIBUSB_ERROR_NOT_FOUND ? UsbError{} : ErrorOf(rc, "reset");
  }

 private:
  void Close() {
    if (handle_ == nullptr) return;
    libusb_release_interface(handle_, interface_);
    libusb_close(handle_);
    handle_ = nullptr;
  }

  libusb_device_handle* handle_;
  int interface_;
};

// libusb starts on the first look at the bus, not with the engine: its start scans the bus and
// starts an event thread, which most runs of the tool, never upgrading, do not need. A start that
// fails (no usbfs yet, no memory) is tried again at the next look.
class LibusbTransport final : public DfuTransport {
 public:
  explicit LibusbTransport(LibusbStart start) : start_(start) {}
  ~LibusbTransport() override {
    if (context_ != nullptr) libusb_exit(context_);
  }

  std::vector<std::string> List() override {
    std::vector<std::string> names;
    ForEach([&](libusb_device* device) {
      if (DfuInterfaceOf(device).interface >= 0) names.push_back(NameOf(device));
      return false;
    });
    return names;
  }

  bool Owns(const std::string& name) const override { return name.rfind(kScheme, 0) == 0; }

  std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) override {
    error = UsbGone("open " + name);
    std::unique_ptr<DfuLink> link;
    ForEach([&](libusb_device* device) {
      if (NameOf(device) != name) return false;
      const DfuPlace place = DfuInterfaceOf(device);
      const int interface = place.interface;
      if (interface < 0) return true;
      libusb_device_handle* handle = nullptr;
      if (const int rc = libusb_open(device, &handle); rc != 0) {
        error = ErrorOf(rc, "open " + name);
        return true;
      }
      libusb_set_auto_detach_kernel_driver(handle, 1);
      int rc = libusb_claim_interface(handle, interface);
      // Requests go to the DFU setting; alternate settings beyond it name other memories.
      if (rc == 0 && place.alternate != 0) {
        rc = libusb_set_interface_alt_setting(handle, interface, place.alternate);
        if (rc != 0) libusb_release_interface(handle, interface);
      }
      if (rc != 0) {
        error = ErrorOf(rc, "claim the DFU interface of " + name);
        libusb_close(handle);
        return true;
      }
      error = {};
      link = std::make_unique<LibusbLink>(handle, interface);
      return true;
    });
    return link;
  }

 private:
  // Calls `visit` for each attached device until it returns true. No USB here (a container, no
  // usbfs): no device.
  template <typename Visit>
  void ForEach(Visit visit) {
    libusb_context* const context = Context();
    if (context == nullptr) return;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < n; ++i) {
      if (visit(list[i])) break;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
  }

  // The started context, starting it first where no start has succeeded yet; null when it fails.
  libusb_context* Context() {
    std::lock_guard lock(startMutex_);
    if (context_ == nullptr) {
      libusb_context* context = nullptr;
      if (start_(&context) != 0) return nullptr;
      // The engine never prints: failures reach the caller as results.
      libusb_set_option(context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
      context_ = context;
    }
    return context_;
  }

  const LibusbStart start_;
  std::mutex startMutex_;
  libusb_context* context_ = nullptr;  // under startMutex_; once set, it stays to the end
};

}  // namespace

std::shared_ptr<DfuTransport> MakeLibusbTransport(LibusbStart start) {
  return std::make_shared<LibusbTransport>(start);
}

std::shared_ptr<DfuTransport> MakeLibusbTransport() {
  return MakeLibusbTransport(&libusb_init);
}

}  // namespace dfu
