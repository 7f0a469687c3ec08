#include "platform/VirtualDeviceRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
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

// Renames bring registrations in; deletions and renames away take them out; a file written in
// place (not by this library) shows up on its close. The folder's own removal or move ends the
// watch.
constexpr std::uint32_t kFolderEvents =
    IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::string_view kSocketPrefix = ".dfu-";
constexpr std::string_view kSocketSuffix = ".sock";

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

// The inode of this process's pid namespace, 0 when it cannot be read.
unsigned long long OwnPidNamespace() {
  struct stat st {};
  return ::stat("/proc/self/ns/pid", &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

// What can be told of an owner from this process. A pid that names no process here may still run
// in another pid namespace (a container, a sandbox), so only an exit seen, another start time, or
// a missing pid of the reader's own namespace is proof that the owner has gone.
enum class Owner { Alive, Gone, NotSeen };

Owner OwnerState(pid_t pid, unsigned long long started, unsigned long long pidNamespace = 0) {
  if (pid <= 0) return Owner::Gone;
  // The pid of another namespace names some other process here, if any: it says nothing.
  const unsigned long long ownNamespace = pidNamespace != 0 ? OwnPidNamespace() : 0;
  if (pidNamespace != 0 && ownNamespace != 0 && pidNamespace != ownNamespace) {
    return Owner::NotSeen;
  }
  // A pidfd tells an exited process (zombie included) from a running one without races.
  const int pidFd = OpenPidFd(pid);
  if (pidFd >= 0) {
    pollfd p{pidFd, POLLIN, 0};
    const bool exited = ::poll(&p, 1, 0) > 0;
    ::close(pidFd);
    if (exited) return Owner::Gone;
  } else if (errno == ESRCH || (::kill(pid, 0) != 0 && errno == ESRCH)) {
    return pidNamespace != 0 && pidNamespace == ownNamespace ? Owner::Gone : Owner::NotSeen;
  }
  if (started == 0) return Owner::Alive;
  const unsigned long long now = VirtualDeviceRegistry::ProcessStartTime(pid);
  return now == 0 || now == started ? Owner::Alive : Owner::Gone;
}

// Whether no one listens on the Unix socket at `path` (connect refused, or no socket there).
bool SocketAbandoned(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool refused =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      (errno == ECONNREFUSED || errno == ENOENT);
  ::close(fd);
  return refused;
}

// Whether the device a registration names is there no more: its tty or socket removed, or a
// socket no one listens on.
bool DeviceGone(const VirtualDevice& device) {
  struct stat st {};
  if (::lstat(device.path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  return S_ISSOCK(st.st_mode) && SocketAbandoned(device.path);
}

// A temporary file of a registration write that nobody holds locked: its writer has gone (the
// writer locks it from its creation to its rename, in whatever namespace it runs).
bool TempFileAbandoned(int dirFd, const std::string& name) {
  const int fd =
      ::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  const bool abandoned = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && IsPrivate(st) &&
                         ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return abandoned;
}

// The pid in a socket's name `.dfu-<pid>-<hex>.sock`, 0 when there is none.
pid_t PidOfSocketName(std::string_view name) {
  name.remove_prefix(kSocketPrefix.size());
  const auto dash = name.find('-');
  pid_t pid = 0;
  if (dash == std::string_view::npos || !ParseNumber(name.substr(0, dash), pid)) return 0;
  return pid;
}

}  // namespace

RegistryError::RegistryError(const std::string& operation, int errorCode)
    : std::runtime_error(operation + ": " + ErrnoText(errorCode)), errorCode_(errorCode) {}

RegistryError::RegistryError(const std::string& operation, const std::string& reason)
    : std::runtime_error(operation + ": " + reason), errorCode_(0) {}

std::string VirtualDeviceRegistry::DefaultDirectory() {
  // Only this user's own runtime folder: under `sudo -E` root would otherwise leave a folder of
  // its own in the user's, which the user's simulator could no longer use.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid()) {
    return std::string(runtime) + "/qmr7";
  }
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
  entry.pidNamespace = OwnPidNamespace();
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
      // A temporary file left by a writer that died before its rename, or the socket of a
      // simulator that was killed.
      if (EndsWith(name, ".tmp") && TempFileAbandoned(dirFd, name)) {
        ::unlinkat(dirFd, name.c_str(), 0);
      } else if (name.starts_with(kSocketPrefix) && EndsWith(name, kSocketSuffix)) {
        const pid_t pid = PidOfSocketName(name);
        if (pid > 0 && OwnerState(pid, 0) != Owner::Alive &&
            SocketAbandoned(directory_ + "/" + name)) {
          ::unlinkat(dirFd, name.c_str(), 0);
        }
      }
      continue;
    }
    if (!EndsWith(name, kSuffix)) continue;
    std::string text;
    VirtualDevice device;
    // Entries that are not trusted registrations are passed over and left as they are.
    if (!ReadRegistration(dirFd, name, text) || !Parse(text, device)) continue;
    // Deleted on proof alone: an owner this process cannot see may run in another namespace,
    // and then its device is still there.
    const Owner owner = OwnerState(device.pid, device.started, device.pidNamespace);
    if (owner == Owner::Gone || (owner == Owner::NotSeen && DeviceGone(device))) {
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
    } else if (key == "pidns") {
      if (!ParseNumber(std::string_view(value), device.pidNamespace)) return false;
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
  if (device.pidNamespace != 0) text += "\npidns=" + std::to_string(device.pidNamespace);
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
  return OwnerState(pid, started) == Owner::Alive;
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
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = inotifyFd_;
  folderWatch_ = ::inotify_add_watch(inotifyFd_, registry_.Directory().c_str(), kFolderEvents);
  if (folderWatch_ < 0 || epollFd_ < 0 ||
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

void VirtualDeviceWatcher::WatchFolder() {
  if (folderWatch_ >= 0) ::inotify_rm_watch(inotifyFd_, folderWatch_);
  folderWatch_ = -1;
  try {
    registry_.EnsureDirectory();
    folderWatch_ = ::inotify_add_watch(inotifyFd_, registry_.Directory().c_str(), kFolderEvents);
  } catch (const RegistryError&) {
    // Not now: the parent's watch brings the next try.
  }
  if (folderWatch_ >= 0) {
    if (parentWatch_ >= 0) ::inotify_rm_watch(inotifyFd_, parentWatch_);
    parentWatch_ = -1;
  } else if (parentWatch_ < 0) {
    const std::string& folder = registry_.Directory();
    const auto slash = folder.rfind('/');
    const std::string parent = slash == 0 ? "/" : folder.substr(0, slash);
    parentWatch_ = ::inotify_add_watch(inotifyFd_, parent.c_str(),
                                       IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
  }
}

std::vector<VirtualDeviceEvent> VirtualDeviceWatcher::ReadEvents() {
  // The folder is read again in full, so lost or merged inotify events cannot matter; only the
  // end of the folder's own watch is looked for.
  alignas(inotify_event) char buffer[4096];
  bool folderLost = folderWatch_ < 0;
  for (ssize_t n; (n = ::read(inotifyFd_, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      if (event.wd == folderWatch_ &&
          (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        folderLost = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
  if (folderLost) WatchFolder();
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
