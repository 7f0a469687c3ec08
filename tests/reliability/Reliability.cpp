#include "tests/reliability/Reliability.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

namespace reliability {
namespace {

long StatusKiB(std::string_view key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0 && line.size() > key.size() && line[key.size()] == ':') {
      return std::stol(line.substr(key.size() + 1));
    }
  }
  return -1;
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

}  // namespace

long ResidentKiB() {
  return StatusKiB("VmRSS");
}

long PeakResidentKiB() {
  return StatusKiB("VmHWM");
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the listing's own descriptor
}

int Threads() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string first;
  in >> first;
  return first.empty() ? "?" : first;
}

std::string OwnPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::string> TempFilesOf(const std::string& folder, const std::string& name) {
  std::vector<std::string> found;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return found;
  const std::string prefix = "." + name + ".";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view n = entry->d_name;
    if (n.size() == prefix.size() + 6 + 4 && n.substr(0, prefix.size()) == prefix &&
        n.substr(n.size() - 4) == ".tmp") {
      found.emplace_back(n);
    }
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<std::string> WaitForHeadsetPort(platform::VirtualDeviceWatcher& watcher, pid_t pid,
                                              Clock::time_point deadline) {
  const auto registered = [&]() -> std::optional<std::string> {
    for (const auto& device : watcher.Devices()) {
      if (device.pid == pid && device.kind == platform::kSerialKind) return device.path;
    }
    return std::nullopt;
  };
  for (;;) {
    watcher.ReadEvents();
    if (auto path = registered()) return path;
    pollfd p{watcher.Fd(), POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) {
      watcher.ReadEvents();
      return registered();
    }
  }
}

bool HeadsetLine::Open(const std::string& path, Clock::time_point deadline) {
  Close();
  for (;;) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ >= 0) break;
    if (errno != EBUSY || Clock::now() > deadline) return false;
    // Nothing announces that the headset has seen the tool's close; a short step, bounded.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  termios t{};
  if (::tcgetattr(fd_, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  // Answers a killed tool never read are of no use to anyone.
  ::tcflush(fd_, TCIFLUSH);
  pending_.clear();
  return true;
}

void HeadsetLine::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool HeadsetLine::Send(std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) return false;
  }
  return true;
}

std::optional<std::string> HeadsetLine::ReadLine(Clock::time_point deadline) {
  for (;;) {
    const auto lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[512];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> HeadsetLine::Exchange(const std::string& command, int code,
                                                 Clock::time_point deadline) {
  if (!Send(command, deadline)) return std::nullopt;
  const std::string tag = "+FPSTS1=" + std::to_string(code) + ",";
  while (auto line = ReadLine(deadline)) {
    if (line->rfind(tag, 0) == 0) return line->substr(tag.size());
  }
  return std::nullopt;
}

}  // namespace reliability
