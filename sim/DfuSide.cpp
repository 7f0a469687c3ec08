#include "sim/DfuSide.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "upgrade/DfuWire.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLinger{15000};

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() { Reset(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Waits until `fd` is readable (true) or the headset stops or `timeout` passes (false).
bool WaitReadable(int fd, int stopFd, milliseconds timeout, bool& stopping) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    stopping = ready > 0 && (fds[1].revents & POLLIN) != 0;
    return ready > 0 && !stopping && fds[0].revents != 0;
  }
}

std::string SocketPath(const platform::VirtualDeviceRegistry& registry) {
  std::random_device random;
  char name[64];
  std::snprintf(name, sizeof name, "/.dfu-%d-%08x.sock", static_cast<int>(::getpid()),
                static_cast<unsigned>(random()));
  return registry.Directory() + name;
}

// Serves one connection until the host closes it or the device re-enumerates. `refused` is set
// when a reset was refused.
void Serve(int fd, int stopFd, DfuDevice& device, bool& stopping, bool& refused) {
  const unsigned generation = device.Generation();
  for (;;) {
    if (!WaitReadable(fd, stopFd, milliseconds(-1), stopping)) return;
    std::uint8_t kind = 0;
    if (dfu::wire::ReadAll(fd, {&kind, 1}, 1000) != dfu::wire::ReadResult::Ok) return;
    std::vector<std::uint8_t> reply{dfu::wire::kOk, 0, 0};
    if (kind == dfu::wire::kReset && device.RefusesReset()) {
      reply[0] = dfu::wire::kRefused;
      refused = true;
    } else if (kind == dfu::wire::kReset) {
      device.Reset();
    } else if (kind == dfu::wire::kControl) {
      std::uint8_t head[dfu::wire::kSetupSize];
      if (dfu::wire::ReadAll(fd, head, 1000) != dfu::wire::ReadResult::Ok) return;
      const dfu::Setup setup = dfu::wire::GetSetup(head);
      std::vector<std::uint8_t> data;
      if ((setup.requestType & 0x80) == 0) {
        data.resize(setup.length);
        if (dfu::wire::ReadAll(fd, data, 1000) != dfu::wire::ReadResult::Ok) return;
      }
      const ControlReply answer = device.Control(setup, data);
      reply[0] = answer.kind == ControlReply::Kind::Ok      ? dfu::wire::kOk
                 : answer.kind == ControlReply::Kind::Stall ? dfu::wire::kStall
                                                            : dfu::wire::kGone;
      reply[1] = static_cast<std::uint8_t>(answer.data.size());
      reply[2] = static_cast<std::uint8_t>(answer.data.size() >> 8);
      reply.insert(reply.end(), answer.data.begin(), answer.data.end());
    } else {
      return;
    }
    if (!dfu::wire::WriteAll(fd, reply)) return;
    if (device.Generation() != generation) return;  // re-enumerated: the host must come again
  }
}

}  // namespace

Firmware DefaultFirmware(int version) {
  const std::string base = "QMR7_" + std::to_string(version);
  return Firmware{version, base + ".xpv", base + ".psr"};
}

void RunDfuSide(const UpgradeContext& context, Firmware& running, const DfuSideOptions& options) {
  const auto say = [&](const std::string& text) {
    if (options.onEvent) options.onEvent(text);
  };
  options.registry->EnsureDirectory();
  const std::string path = SocketPath(*options.registry);
  Socket listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (listener.Fd() < 0 || path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("DFU socket: " + std::string(std::strerror(errno)));
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::bind(listener.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.Fd(), 4) != 0) {
    throw std::runtime_error("DFU socket " + path + ": " + std::strerror(errno));
  }
  struct Unlink {
    std::string path;
    ~Unlink() { ::unlink(path.c_str()); }
  } unlink{path};

  platform::VirtualDevice entry;
  entry.kind = platform::kUsbDfuKind;
  entry.path = path;
  entry.description = kDfuDescription;
  platform::ScopedRegistration registration(*options.registry, entry);
  DfuDevice device(running, options.config, options.faults);
  say("on USB as a DFU device: " + device.ConfigurationString());

  bool stopping = false;
  bool announced = false;
  // When the simulated user replugs the headset after a refused reset; max: not asked to.
  using Steady = std::chrono::steady_clock;
  Steady::time_point replugAt = Steady::time_point::max();
  for (;;) {
    // Once upgraded, the host has a while to see the device back before the serial side returns.
    milliseconds limit = device.Upgraded() ? kLinger : options.idleLimit;
    if (replugAt != Steady::time_point::max()) {
      limit = std::min(limit, std::max(milliseconds(0),
                                       std::chrono::ceil<milliseconds>(replugAt - Steady::now())));
    }
    if (!WaitReadable(listener.Fd(), context.stopFd, limit, stopping)) {
      if (stopping) return;
      if (Steady::now() >= replugAt) {
        replugAt = Steady::time_point::max();
        device.Replug();
        say("unplugged and plugged in again, as the tool asked");
        continue;
      }
      if (device.Mode() == DfuMode::Runtime) {
        say(device.Upgraded() ? "back on the serial side"
                              : "no upgrade came: back on the serial side");
        return;
      }
      continue;  // DFU mode waits for its host as long as it takes
    }
    Socket connection(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.Fd() < 0) continue;
    const bool wasUpgraded = device.Upgraded();
    bool refused = false;
    Serve(connection.Fd(), context.stopFd, device, stopping, refused);
    if (refused) {
      say("reset refused: waiting to be unplugged and plugged in again");
      if (options.replugDelay) replugAt = Steady::now() + *options.replugDelay;
    }
    connection.Reset();
    if (stopping) return;
    if (device.Upgraded() && !announced) {
      announced = true;
      running = device.Running();
      context.setFirmwareVersion(running.version);
      say("firmware " + std::to_string(running.version) + " runs: " + device.ConfigurationString());
    }
    if (device.Mode() == DfuMode::Gone) {
      // Off the bus: a host that connected meanwhile is turned away rather than left waiting.
      registration.Reset();
      listener.Reset();
      if (device.LeftForGood()) {
        say("gone after manifestation, never to come back");
        bool ignored = false;
        WaitReadable(context.stopFd, context.stopFd, milliseconds(-1), ignored);
        return;
      }
      say("disconnected in the middle of the download");
      return;
    }
    // The host has seen the device back with its new firmware and let go.
    if (wasUpgraded && device.Mode() == DfuMode::Runtime) return;
  }
}

}  // namespace sim
