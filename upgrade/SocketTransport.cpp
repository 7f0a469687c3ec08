// Virtual DFU devices: registered by qmr7-sim in the virtual-device registry (kind usb-dfu, the
// socket's path in `path`), reached over the socket protocol of DfuWire.h.
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/VirtualDeviceRegistry.h"
#include "upgrade/DfuTransport.h"
#include "upgrade/DfuWire.h"

namespace dfu {
namespace {

constexpr char kScheme[] = "virtual:";
constexpr int kReplyTimeoutMs = 5000;

class SocketLink final : public DfuLink {
 public:
  explicit SocketLink(int fd) : fd_(fd) {}
  ~SocketLink() override { Close(); }

  UsbError Control(const Setup& setup, std::span<std::uint8_t> data,
                   std::size_t& transferred) override {
    transferred = 0;
    const bool in = (setup.requestType & 0x80) != 0;
    std::vector<std::uint8_t> request{wire::kControl};
    Setup sent = setup;
    sent.length = static_cast<std::uint16_t>(data.size());
    wire::PutSetup(request, sent);
    if (!in) request.insert(request.end(), data.begin(), data.end());
    std::vector<std::uint8_t> reply;
    if (UsbError error = Exchange(request, reply, "control transfer")) return error;
    if (in) {
      transferred = std::min(reply.size(), data.size());
      std::memcpy(data.data(), reply.data(), transferred);
    } else {
      transferred = data.size();
    }
    return {};
  }

  UsbError Reset() override {
    std::vector<std::uint8_t> reply;
    UsbError error = Exchange({wire::kReset}, reply, "reset");
    Close();  // the device re-enumerates: this connection is over
    return error;
  }

 private:
  // The socket closing is the device going away; the device's own outcome comes in the reply.
  UsbError Exchange(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                    const char* op) {
    if (fd_ < 0 || !wire::WriteAll(fd_, request)) return UsbGone(op);
    std::uint8_t head[3];
    auto r = wire::ReadAll(fd_, head, kReplyTimeoutMs);
    if (r == wire::ReadResult::Ok) {
      reply.resize(static_cast<std::size_t>(head[1] | head[2] << 8));
      r = wire::ReadAll(fd_, reply, kReplyTimeoutMs);
    }
    if (r == wire::ReadResult::Timeout) return UsbTimeout(op);
    if (r == wire::ReadResult::Closed) {
      Close();
      return UsbGone(op);
    }
    switch (head[0]) {
      case wire::kOk:
        return {};
      case wire::kStall:
        return UsbStall(op);
      case wire::kGone:
        return UsbGone(op);
      case wire::kRefused:
        return toolkit::ErrnoError(EACCES, op);
      default:
        return UsbError{toolkit::ErrorKind::OsFailure, 0,
                        "outcome " + std::to_string(head[0]) + " from the device", op};
    }
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_;
};

class SocketTransport final : public DfuTransport {
 public:
  explicit SocketTransport(const std::string& directory)
      : registry_(directory.empty() ? platform::VirtualDeviceRegistry::DefaultDirectory()
                                    : directory) {}

  std::vector<std::string> List() override {
    std::vector<std::string> names;
    for (const auto& device : registry_.List(platform::kUsbDfuKind))
      names.push_back(kScheme + device.id);
    return names;
  }

  bool Owns(const std::string& name) const override { return name.rfind(kScheme, 0) == 0; }

  std::unique_ptr<DfuLink> Open(const std::string& name, UsbError& error) override {
    const std::string op = "open " + name;
    error = UsbGone(op);
    if (!Owns(name)) return nullptr;
    const std::string id = name.substr(std::strlen(kScheme));
    for (const auto& device : registry_.List(platform::kUsbDfuKind)) {
      if (device.id != id) continue;
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      if (device.path.size() >= sizeof address.sun_path) return nullptr;
      std::memcpy(address.sun_path, device.path.c_str(), device.path.size() + 1);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        error = toolkit::ErrnoError(errno, op);
        return nullptr;
      }
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Refused or missing: nobody listens, the device has gone. Denied: it is someone else's.
        const int code = errno;
        error = toolkit::ErrnoError(code, op);
        if (code != EACCES) error.kind = toolkit::ErrorKind::DeviceGone;
        ::close(fd);
        return nullptr;
      }
      error = {};
      return std::make_unique<SocketLink>(fd);
    }
    return nullptr;
  }

 private:
  platform::VirtualDeviceRegistry registry_;
};

}  // namespace

std::shared_ptr<DfuTransport> MakeSocketTransport(const std::string& registryDirectory) {
  return std::make_shared<SocketTransport>(registryDirectory);
}

}  // namespace dfu
