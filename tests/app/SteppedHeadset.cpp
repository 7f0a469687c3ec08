#include "tests/app/SteppedHeadset.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace app::testing {
namespace {

// How long the device waits for the tool to take its last answer before leaving, as the
// VirtualHeadset runner does.
constexpr std::uint32_t kLeaveLimitMs = 1000;
constexpr std::size_t kReadPiece = 512;

// Whether `at` has come at `now`, on a tick count that wraps.
bool Reached(std::uint32_t at, std::uint32_t now) {
  return static_cast<std::int32_t>(now - at) >= 0;
}

}  // namespace

SteppedHeadset::SteppedHeadset(sim::HeadsetState state, sim::Faults faults, sim::Timing timing)
    : model_(std::move(state), faults, timing), timing_(timing) {
  masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
      ::ptsname_r(masterFd_, name, sizeof name) != 0 ||
      (slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    const std::string why = std::strerror(errno);
    if (masterFd_ >= 0) ::close(masterFd_);
    throw std::runtime_error("pseudo-terminal: " + why);
  }
  slavePath_ = name;
  termios tio{};
  ::tcgetattr(slaveFd_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slaveFd_, TCSANOW, &tio);
  ::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
  watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd_ < 0 || ::inotify_add_watch(watchFd_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    const std::string why = std::strerror(errno);
    Leave();
    throw std::runtime_error("watching the pseudo-terminal: " + why);
  }
}

SteppedHeadset::~SteppedHeadset() {
  if (!gone_) Leave();
}

void SteppedHeadset::SetFaults(const sim::Faults& faults) {
  model_ = sim::Headset(model_.State(), faults, timing_);
}

bool SteppedHeadset::Readable(int fd) const {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool SteppedHeadset::ToolHasUnread() const {
  return !gone_ && Readable(slaveFd_);
}

std::optional<std::uint32_t> SteppedHeadset::NextDue() const {
  if (!queue_.empty()) return queue_.front().at;
  return leaveBy_;
}

// A tool that opened the port exclusively (TIOCEXCL) leaves the flag on the pty, which our own
// descriptor keeps alive; unlike on a real port, its next open would fail with EBUSY.
void SteppedHeadset::FollowToolCloses() {
  alignas(inotify_event) char events[1024];
  bool closed = false;
  while (::read(watchFd_, events, sizeof events) > 0)
    closed = true;
  if (closed) ::ioctl(slaveFd_, TIOCNXCL);
}

bool SteppedHeadset::Step(std::uint32_t now) {
  if (gone_) return false;
  FollowToolCloses();
  bool moved = false;
  while (!queue_.empty() && Reached(queue_.front().at, now)) {
    const std::string& bytes = queue_.front().bytes;
    // The tool reads as it goes and the pty holds far more than one answer.
    if (::write(masterFd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("writing to the tool: " + std::string(std::strerror(errno)));
    }
    queue_.pop_front();
    moved = true;
  }
  if (!queue_.empty()) return moved;
  if (departing_) {
    if (!leaveBy_) leaveBy_ = now + kLeaveLimitMs;
    if (!ToolHasUnread() || Reached(*leaveBy_, now)) {
      Leave();
      return true;
    }
    return moved;
  }
  if (Readable(masterFd_)) {
    Take(now);
    moved = true;
  }
  return moved;
}

void SteppedHeadset::Take(std::uint32_t now) {
  char buffer[kReadPiece];
  const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
  if (n <= 0) return;
  const sim::Reply reply = model_.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
  std::uint32_t at = now;
  for (const sim::Chunk& chunk : reply.chunks) {
    at += static_cast<std::uint32_t>(chunk.pause.count());
    queue_.push_back({at, chunk.bytes});
  }
  departing_ = reply.departure != sim::Departure::None;
}

void SteppedHeadset::Leave() {
  if (watchFd_ >= 0) ::close(watchFd_);
  if (masterFd_ >= 0) ::close(masterFd_);
  if (slaveFd_ >= 0) ::close(slaveFd_);
  masterFd_ = slaveFd_ = watchFd_ = -1;
  queue_.clear();
  departing_ = false;
  leaveBy_.reset();
  gone_ = true;
}

}  // namespace app::testing
