#include "sim/VirtualHeadset.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sim/StateFile.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

// How long the device waits for the tool to take its last answer before leaving, and how often it
// looks.
constexpr milliseconds kLeaveLimit{1000};
constexpr milliseconds kLeaveStep{2};

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

VirtualHeadset::VirtualHeadset(HeadsetState state, Options options)
    : options_(std::move(options)), headset_(std::move(state), options_.faults, options_.timing) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) Fail("eventfd");
  try {
    Attach();
  } catch (...) {
    ::close(wakeFd_);
    throw;
  }
  thread_ = std::thread([this] { Run(); });
}

VirtualHeadset::~VirtualHeadset() {
  Stop();
  ::close(wakeFd_);
}

void VirtualHeadset::Stop() {
  if (!stopping_.exchange(true)) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (masterFd_ >= 0) {
    Detach(Presence::Unplugged);
  } else if (GetPresence() != Presence::Unplugged) {
    SetPresence(Presence::Unplugged, {});
  }
}

std::string VirtualHeadset::SlavePath() const {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

Presence VirtualHeadset::GetPresence() const {
  std::lock_guard lock(mutex_);
  return presence_;
}

HeadsetState VirtualHeadset::State() const {
  std::lock_guard lock(mutex_);
  return headset_.State();
}

bool VirtualHeadset::WaitForPresence(Presence wanted, milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return presenceChanged_.wait_for(lock, timeout, [&] { return presence_ == wanted; });
}

void VirtualHeadset::SetPresence(Presence presence, const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    presence_ = presence;
    slavePath_ = path;
  }
  presenceChanged_.notify_all();
  if (options_.onPresence) options_.onPresence(presence, path);
}

void VirtualHeadset::Attach() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) Fail("posix_openpt");
  char name[128];
  int slave = -1;
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0 ||
      (slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    const int error = errno;
    ::close(master);
    errno = error;
    Fail("pseudo-terminal");
  }
  // Raw bytes both ways, at the headset's line speed: no echo, no CR/LF translation, no signals.
  termios tio{};
  ::tcgetattr(slave, &tio);
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  ::tcsetattr(slave, TCSANOW, &tio);
  // Never block on a tool that does not read: what it leaves unread is lost, as on the wire.
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

  // The path is known before the registration appears, so whoever hears of the port from the
  // registry finds the same path here.
  {
    std::lock_guard lock(mutex_);
    slavePath_ = name;
  }
  if (options_.registry != nullptr) {
    platform::VirtualDevice device;
    device.kind = platform::kSerialKind;
    device.path = name;
    device.description = options_.description;
    try {
      registration_ = platform::ScopedRegistration(*options_.registry, device);
    } catch (...) {
      {
        std::lock_guard lock(mutex_);
        slavePath_.clear();
      }
      ::close(slave);
      ::close(master);
      throw;
    }
  }
  masterFd_ = master;
  slaveFd_ = slave;
  // Opens and closes by the tool; our own slave descriptor is older than the watch. Without the
  // watch the port still works, but only for one exclusive open.
  watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd_ >= 0 &&
      ::inotify_add_watch(watchFd_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    ::close(watchFd_);
    watchFd_ = -1;
  }
  SetPresence(Presence::Attached, name);
}

void VirtualHeadset::Detach(Presence next) {
  registration_.Reset();
  if (watchFd_ >= 0) ::close(watchFd_);
  watchFd_ = -1;
  ::close(masterFd_);
  ::close(slaveFd_);
  masterFd_ = slaveFd_ = -1;
  SetPresence(next, {});
}

void VirtualHeadset::Run() {
  char buffer[512];
  while (!stopping_) {
    pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {watchFd_, POLLIN, 0}, {masterFd_, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[0].revents & POLLIN) != 0) return;
    if ((fds[1].revents & POLLIN) != 0) FollowToolOpens();
    if ((fds[2].revents & POLLIN) == 0) continue;
    const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      // Not expected while the slave is held open; going on would spin on the failed port.
      const std::string reason = n == 0 ? "closed" : std::strerror(errno);
      if (options_.onError) options_.onError("port failed: " + reason);
      Detach(Presence::Unplugged);
      return;
    }

    Reply reply;
    HeadsetState saved;
    {
      std::lock_guard lock(mutex_);
      reply = headset_.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
      saved = headset_.State();
    }
    if (reply.stateChanged) Save(saved);
    Answer(reply);
    if (options_.onHeard) {
      for (const std::string& line : reply.heard)
        options_.onHeard(line);
    }
    if (stopping_ || reply.departure == Departure::None) continue;

    LetToolRead();
    if (reply.departure == Departure::Unplug) {
      Detach(Presence::Unplugged);
      return;
    }
    Detach(Presence::Away);
    const UpgradeContext context{[this](milliseconds d) { return Pause(d); },
                                 [this](int version) {
                                   HeadsetState upgraded;
                                   {
                                     std::lock_guard lock(mutex_);
                                     headset_.SetFirmwareVersion(version);
                                     upgraded = headset_.State();
                                   }
                                   Save(upgraded);
                                 },
                                 State().info.firmwareVersion, wakeFd_};
    if (options_.upgradeMode) {
      options_.upgradeMode(context);
    } else {
      context.wait(options_.timing.upgradeAway);
    }
    if (stopping_) return;
    {
      std::lock_guard lock(mutex_);
      headset_.Reattach();
    }
    try {
      Attach();
    } catch (const std::exception& e) {
      if (options_.onError) options_.onError(std::string("cannot come back: ") + e.what());
      SetPresence(Presence::Unplugged, {});
      return;
    }
  }
}

void VirtualHeadset::FollowToolOpens() {
  alignas(inotify_event) char buffer[1024];
  ssize_t n;
  while ((n = ::read(watchFd_, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const bool opened = (event->mask & IN_OPEN) != 0;
      if (!opened) {
        // A tool that opens the port exclusively (TIOCEXCL) leaves the flag on the pty, which
        // outlives the tool's descriptor; unlike a real port, the next open would then fail with
        // EBUSY. Clearing it as the tool closes gives the real port's behaviour back.
        ::ioctl(slaveFd_, TIOCNXCL);
      }
      if (options_.onToolPort) options_.onToolPort(opened);
    }
  }
}

void VirtualHeadset::Save(const HeadsetState& state) {
  if (options_.stateFile.empty()) return;
  try {
    SaveState(options_.stateFile, state);
  } catch (const std::exception& e) {
    if (options_.onError) options_.onError(std::string("cannot keep the settings: ") + e.what());
  }
}

void VirtualHeadset::Answer(const Reply& reply) {
  for (const Chunk& chunk : reply.chunks) {
    if (chunk.pause.count() > 0 && !Pause(chunk.pause)) return;
    WriteToTool(chunk.bytes);
  }
}

void VirtualHeadset::WriteToTool(const std::string& bytes) {
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t n = ::write(masterFd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

void VirtualHeadset::LetToolRead() {
  for (milliseconds waited{0}; waited < kLeaveLimit; waited += kLeaveStep) {
    // Our own slave descriptor is readable while the tool has bytes left to read. Unlike
    // FIONREAD, poll first moves bytes still on their way into the slave's queue.
    pollfd unread{slaveFd_, POLLIN, 0};
    if (::poll(&unread, 1, 0) != 1) return;
    if (!RealWait(kLeaveStep)) return;
  }
}

bool VirtualHeadset::Pause(milliseconds duration) {
  if (!options_.pacer) return RealWait(duration);
  options_.pacer(duration);
  return !stopping_;
}

bool VirtualHeadset::RealWait(milliseconds duration) {
  pollfd wake{wakeFd_, POLLIN, 0};
  // The wake event is never consumed, so a stop during the wait ends every later wait at once.
  const int ready = ::poll(&wake, 1, static_cast<int>(duration.count()));
  if (ready < 0 && errno == EINTR) return !stopping_;  // a little early: harmless for a device
  return ready == 0 && !stopping_;
}

}  // namespace sim
