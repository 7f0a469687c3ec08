#include "platform/VirtualDeviceRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string_view>

#include "toolkit/AtomicFile.h"

namespace platform {
namespace {

constexpr std::string_view kHeader = "qmr7-virtual-device 1";
constexpr std::string_view kSuffix = ".reg";
constexpr std::size_t kMaxFileSize = 4096;

std::string ErrnoText(int code) {
  return code != 0 ? toolkit::ErrnoText(code) : "no error";
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

// The pid at the start of a registration or temporary file name, 0 when there is none.
pid_t PidOfName(std::string_view name) {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  const auto dash = name.find('-');
  pid_t pid = 0;
  if (dash == std::string_view::npos || !ParseNumber(name.substr(0, dash), pid)) return 0;
  return pid;
}

// Reads at most kMaxFileSize bytes of an open file, and closes it.
bool ReadAndClose(int fd, std::string& text) {
  text.clear();
  char buffer[512];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxFileSize) ok = false;
    if (!ok) break;
  }
  ::close(fd);
  return ok;
}

bool ReadSmallFile(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  return fd >= 0 && ReadAndClose(fd, text);
}

// Whether an object of the folder can be trusted: it belongs to this user and no one else may
// write to it. Anything else may have been planted, or changed, by another user.
bool IsPrivate(const struct stat& st) {
  return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A registration file of the folder `dirFd`: a regular file of this user that only this user may
// write. A symlink is not followed, and a named pipe or a device is opened without waiting and
// never read, so no entry can block a listing.
bool ReadRegistration(int dirFd, const std::string& name, std::string& text) {
  const int fd =
      ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !IsPrivate(st)) {
    ::close(fd);
    return false;
  }
  return ReadAndClose(fd, text);
}

bool IsOneLine(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos && value.find('\0') == std::string::npos;
}

bool IsKey(const std::string& key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

int OpenPidFd(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

}  // namespace

RegistryError::RegistryError(const std::string& operation, int errorCode)
    : std::runtime_error(operation + ": " + ErrnoText(errorCode)), errorCode_(errorCode) {}

RegistryError::RegistryError(const std::string& operation, const std::string& reason)
    : std::runtime_error(operation + ": " + reason), errorCode_(0) {}

std::string VirtualDeviceRegistry::DefaultDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/qmr7";
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  return base + "/qmr7-" + std::to_string(::geteuid());
}

void VirtualDeviceRegistry::EnsureDirectory() const {
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    throw RegistryError("create " + directory_, errno);
  }
  // Checked through a descriptor of the folder itself, so that a symlink or a folder swapped in
  // between is never trusted.
  const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw RegistryError("open " + directory_, errno);
  struct stat st {};
  std::string problem;
  if (::fstat(fd, &st) != 0) {
    problem = ErrnoText(errno);
  } else if (st.st_uid != ::geteuid()) {
    problem = "belongs to another user";
  } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
    problem = ErrnoText(errno);
  }
  ::close(fd);
  if (!problem.empty()) throw RegistryError("use " + directory_, problem);
}

std::string VirtualDeviceRegistry::Register(const VirtualDevice& device) const {
  if (device.kind.empty() || !IsKey(device.kind) || device.path.empty() ||
      !IsOneLine(device.path) || !IsOneLine(device.description)) {
    throw RegistryError("register " + device.path, "kind, path or description not allowed");
  }
  for (const auto& [key, value] : device.extra) {
    if (!IsKey(key) || !IsOneLine(value)) {
      throw RegistryError("register " + device.path, "extra field not allowed: " + key);
    }
  }
  EnsureDirectory();

  VirtualDevice entry = device;
  entry.pid = ::getpid();
  entry.started = ProcessStartTime(entry.pid);
  std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
  entry.id = std::to_string(entry.pid) + "-" + suffix;

  // Written under a dot name and renamed into place, so readers never see half a registration;
  // a writer that dies first leaves `.<pid>-...tmp`, which List clears away.
  const std::string final = directory_ + "/" + entry.id + std::string(kSuffix);
  if (const toolkit::Error e = toolkit::WriteFileAtomically(final, Format(entry), 0600)) {
    throw RegistryError(e.op, e.code);
  }
  return entry.id;
}

void VirtualDeviceRegistry::Unregister(const std::string& id) const {
  const std::string path = directory_ + "/" + id + std::string(kSuffix);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw RegistryError("remove " + path, errno);
}

std::vector<VirtualDevice> VirtualDeviceRegistry::List(const std::string& kind) const {
  std::vector<VirtualDevice> devices;
  // A folder that is not this user's own, or that others may write to, is not read at all: any
  // registration in it could be another user's. A symlink in its place is not followed.
  const int dirFd =
      ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (dirFd < 0) return devices;
  struct stat st {};
  DIR* dir = ::fstat(dirFd, &st) == 0 && IsPrivate(st) ? ::fdopendir(dirFd) : nullptr;
  if (dir == nullptr) {
    ::close(dirFd);
    return devices;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.front() == '.') {
      // A temporary file left by a writer that died before its rename.
      const pid_t pid = PidOfName(name);
      if (EndsWith(name, ".tmp") && pid > 0 && !IsProcessAlive(pid, 0)) {
        ::unlinkat(dirFd, name.c_str(), 0);
      }
      continue;
    }
    if (!EndsWith(name, kSuffix)) continue;
    std::string text;
    VirtualDevice device;
    // Entries that are not trusted registrations are passed over and left as they are.
    if (!ReadRegistration(dirFd, name, text) || !Parse(text, device)) continue;
    if (!IsProcessAlive(device.pid, device.started)) {
      ::unlinkat(dirFd, name.c_str(), 0);
      continue;
    }
    device.id = name.substr(0, name.size() - kSuffix.size());
    if (kind.empty() || device.kind == kind) devices.push_back(std::move(device));
  }
  ::closedir(dir);  // closes dirFd too
  std::sort(devices.begin(), devices.end(),
            [](const VirtualDevice& a, const VirtualDevice& b) { return a.id < b.id; });
  return devices;
}

bool VirtualDeviceRegistry::Parse(const std::string& text, VirtualDevice& device) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kHeader) return false;
  device = VirtualDevice{};
  bool hasPid = false;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "kind") {
      device.kind = std::move(value);
    } else if (key == "path") {
      device.path = std::move(value);
    } else if (key == "description") {
      device.description = std::move(value);
    } else if (key == "pid") {
      if (!ParseNumber(std::string_view(value), device.pid) || device.pid <= 0) return false;
      hasPid = true;
    } else if (key == "started") {
      if (!ParseNumber(std::string_view(value), device.started)) return false;
    } else {
      device.extra[key] = std::move(value);
    }
  }
  return hasPid && !device.kind.empty() && !device.path.empty();
}

std::string VirtualDeviceRegistry::Format(const VirtualDevice& device) {
  std::string text(kHeader);
  text += "\nkind=" + device.kind;
  text += "\npath=" + device.path;
  text += "\ndescription=" + device.description;
  text += "\npid=" + std::to_string(device.pid);
  if (device.started != 0) text += "\nstarted=" + std::to_string(device.started);
  for (const auto& [key, value] : device.extra)
    text += "\n" + key + "=" + value;
  text += "\n";
  return text;
}

unsigned long long VirtualDeviceRegistry::ProcessStartTime(pid_t pid) {
  std::string stat;
  if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", stat)) return 0;
  // The command name may hold spaces and parentheses; the fields after it may not.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // After the name come field 3 (state) to field 22 (start time).
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return 0;
  }
  unsigned long long started = 0;
  return ParseNumber(std::string_view(field), started) ? started : 0;
}

bool VirtualDeviceRegistry::IsProcessAlive(pid_t pid, unsigned long long started) {
  if (pid <= 0) return false;
  // A pidfd tells an exited process (zombie included) from a running one without races.
  const int pidFd = OpenPidFd(pid);
  if (pidFd >= 0) {
    pollfd p{pidFd, POLLIN, 0};
    const bool exited = ::poll(&p, 1, 0) > 0;
    ::close(pidFd);
    if (exited) return false;
  } else if (errno == ESRCH) {
    return false;
  } else if (::kill(pid, 0) != 0 && errno == ESRCH) {
    return false;
  }
  if (started == 0) return true;
  const unsigned long long now = ProcessStartTime(pid);
  return now == 0 || now == started;
}

ScopedRegistration::ScopedRegistration(ScopedRegistration&& other) noexcept
    : registry_(other.registry_), id_(std::move(other.id_)) {
  other.registry_ = nullptr;
  other.id_.clear();
}

ScopedRegistration& ScopedRegistration::operator=(ScopedRegistration&& other) noexcept {
  if (this != &other) {
    Reset();
    registry_ = other.registry_;
    id_ = std::move(other.id_);
    other.registry_ = nullptr;
    other.id_.clear();
  }
  return *this;
}

void ScopedRegistration::Reset() noexcept {
  if (registry_ != nullptr && !id_.empty()) {
    try {
      registry_->Unregister(id_);
    } catch (const RegistryError&) {
      // The file is stale once we are gone and the next reader cleans it.
    }
  }
  registry_ = nullptr;
  id_.clear();
}

VirtualDeviceWatcher::VirtualDeviceWatcher(VirtualDeviceRegistry registry)
    : registry_(std::move(registry)) {
  registry_.EnsureDirectory();
  inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) throw RegistryError("inotify", errno);
  // Renames bring registrations in; deletions and renames away take them out; a file written in
  // place (not by this library) shows up on its close.
  const std::uint32_t mask = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE;
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = inotifyFd_;
  if (::inotify_add_watch(inotifyFd_, registry_.Directory().c_str(), mask) < 0 || epollFd_ < 0 ||
      ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, inotifyFd_, &event) != 0) {
    const int error = errno;
    if (epollFd_ >= 0) ::close(epollFd_);
    ::close(inotifyFd_);
    throw RegistryError("watch " + registry_.Directory(), error);
  }
  devices_ = registry_.List();
  WatchOwners();
}

VirtualDeviceWatcher::~VirtualDeviceWatcher() {
  for (const auto& [pid, fd] : ownerFds_)
    ::close(fd);
  ::close(inotifyFd_);
  ::close(epollFd_);
}

void VirtualDeviceWatcher::WatchOwners() {
  std::set<pid_t> owners;
  for (const auto& device : devices_)
    owners.insert(device.pid);
  for (auto it = ownerFds_.begin(); it != ownerFds_.end();) {
    if (owners.count(it->first) == 0) {
      ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, it->second, nullptr);
      ::close(it->second);
      it = ownerFds_.erase(it);
    } else {
      ++it;
    }
  }
  for (const pid_t pid : owners) {
    if (ownerFds_.count(pid) != 0) continue;
    // Without pidfds (old kernels) a crashed owner is noticed at the next folder change.
    const int fd = OpenPidFd(pid);
    if (fd < 0) continue;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    ownerFds_[pid] = fd;
  }
}

std::vector<VirtualDeviceEvent> VirtualDeviceWatcher::ReadEvents() {
  // The folder is read again in full, so lost or merged inotify events cannot matter.
  alignas(inotify_event) char buffer[4096];
  while (::read(inotifyFd_, buffer, sizeof buffer) > 0) {
  }
  std::vector<VirtualDevice> now = registry_.List();
  std::vector<VirtualDeviceEvent> events;
  const auto byId = [](const VirtualDevice& a, const VirtualDevice& b) { return a.id < b.id; };
  std::vector<VirtualDevice> gone;
  std::set_difference(devices_.begin(), devices_.end(), now.begin(), now.end(),
                      std::back_inserter(gone), byId);
  std::vector<VirtualDevice> arrived;
  std::set_difference(now.begin(), now.end(), devices_.begin(), devices_.end(),
                      std::back_inserter(arrived), byId);
  for (auto& device : gone) {
    events.push_back({VirtualDeviceEvent::Kind::Removed, std::move(device)});
  }
  for (auto& device : arrived) {
    events.push_back({VirtualDeviceEvent::Kind::Arrived, std::move(device)});
  }
  devices_ = std::move(now);
  WatchOwners();
  return events;
}

}  // namespace platform
