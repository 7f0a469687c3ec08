#include "tests/app/posix/PtyHeadsetLine.h"

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

constexpr std::size_t kReadPiece = 512;

// Whether bytes are waiting, asked with poll(), which first moves bytes still on their way through
// the pty into the reader's queue: a step never misses what was written before it.
bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

PtyHeadsetLine::PtyHeadsetLine() {
  masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
      ::ptsname_r(masterFd_, name, sizeof name) != 0 ||
      (slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    const std::string why = std::strerror(errno);
    if (masterFd_ >= 0) ::close(masterFd_);
    masterFd_ = -1;
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
    HangUp();
    throw std::runtime_error("watching the pseudo-terminal: " + why);
  }
}

PtyHeadsetLine::~PtyHeadsetLine() {
  HangUp();
}

bool PtyHeadsetLine::ToolHasUnread() const {
  return slaveFd_ >= 0 && Readable(slaveFd_);
}

// A tool that opened the port exclusively (TIOCEXCL) leaves the flag on the pty, which our own
// descriptor keeps alive; unlike on a real port, its next open would fail with EBUSY.
void PtyHeadsetLine::FollowToolCloses() {
  alignas(inotify_event) char events[1024];
  bool closed = false;
  while (::read(watchFd_, events, sizeof events) > 0)
    closed = true;
  if (closed) ::ioctl(slaveFd_, TIOCNXCL);
}

HeadsetLine::Exchange PtyHeadsetLine::Step(std::string_view out, bool take) {
  if (masterFd_ < 0) throw std::runtime_error("the line has hung up");
  FollowToolCloses();
  // The tool reads as it goes and the pty holds far more than one answer.
  if (!out.empty() &&
      ::write(masterFd_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
    throw std::runtime_error("writing to the tool: " + std::string(std::strerror(errno)));
  }
  Exchange exchange;
  if (take && Readable(masterFd_)) {
    char buffer[kReadPiece];
    const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
    if (n > 0) exchange.taken.assign(buffer, static_cast<std::size_t>(n));
  }
  exchange.toolHasUnread = ToolHasUnread();
  return exchange;
}

void PtyHeadsetLine::HangUp() {
  if (watchFd_ >= 0) ::close(watchFd_);
  if (masterFd_ >= 0) ::close(masterFd_);
  if (slaveFd_ >= 0) ::close(slaveFd_);
  masterFd_ = slaveFd_ = watchFd_ = -1;
}

}  // namespace app::testing
