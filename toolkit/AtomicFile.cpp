#include "toolkit/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace toolkit {
namespace {

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kRandomLength = 6;  // what mkostemps puts in place of "XXXXXX"

// Whether `entry` is a temporary file of a write of the file `name`.
bool IsTempOf(std::string_view entry, std::string_view name) {
  const std::size_t prefix = 1 + name.size() + 1;
  if (entry.size() != prefix + kRandomLength + kTempSuffix.size()) return false;
  if (entry[0] != '.' || entry.substr(1, name.size()) != name || entry[prefix - 1] != '.') {
    return false;
  }
  if (entry.substr(prefix + kRandomLength) != kTempSuffix) return false;
  for (char c : entry.substr(prefix, kRandomLength)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

// Removes the temporary files that earlier writers of `name` left when they died: those of this
// user that no writer holds locked. Best effort: what cannot be looked at stays.
void RemoveAbandonedTempFiles(const std::string& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (!IsTempOf(entry->d_name, name)) continue;
    // Never follow a link or wait on a pipe or device someone put there under such a name.
    const int fd =
        ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) continue;
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == ::geteuid() &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(opened, named)) {
      ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

// A temporary file that removes itself unless it has been renamed into place, locked while it
// exists under its name (see the header).
class TempFile {
 public:
  explicit TempFile(const std::string& target) : folder_(FolderOf(target)), name_(NameOf(target)) {
    error_ = Create();
  }
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_ && error_ == 0) ::unlink(path_.c_str());
    // Unlocked only once it is gone or renamed, so no one takes it for an abandoned one.
    if (lockFd_ >= 0) ::close(lockFd_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int OpenError() const { return error_; }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  const std::string& Folder() const { return folder_; }

  // Closes the descriptor written through; the lock stays until the file is gone or renamed.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }
  void Renamed() { renamed_ = true; }

 private:
  static constexpr int kCreateAttempts = 8;

  int Create() {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
      path_ = folder_ + "/." + name_ + ".XXXXXX" + std::string(kTempSuffix);
      const int fd = ::mkostemps(path_.data(), static_cast<int>(kTempSuffix.size()), O_CLOEXEC);
      if (fd < 0) return errno;
      int locked;
      do {
        locked = ::flock(fd, LOCK_EX);
      } while (locked != 0 && errno == EINTR);
      if (locked != 0) {
        // A file system without locks: no writer can lock, so no one removes another's file.
        fd_ = fd;
        return 0;
      }
      // Between its creation and the lock, another writer may have found the file unlocked and
      // removed it as abandoned: then this one starts again under a new name.
      struct stat opened {};
      struct stat named {};
      if (::fstat(fd, &opened) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
          SameFile(opened, named)) {
        lockFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (lockFd_ < 0) {
          const int error = errno;
          ::close(fd);
          ::unlink(path_.c_str());
          return error;
        }
        fd_ = fd;
        return 0;
      }
      ::close(fd);
    }
    return EAGAIN;
  }

  std::string folder_;
  std::string name_;
  std::string path_;
  int fd_ = -1;
  int lockFd_ = -1;  // the same open file as fd_: holds the lock after fd_ is closed
  int error_ = 0;
  bool renamed_ = false;
};

// The process's umask, read without changing it (umask() would, for every thread at once); when
// it cannot be read, the most private one.
mode_t CurrentUmask() {
  constexpr mode_t kPrivate = 077;
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return kPrivate;
  mode_t mask = kPrivate;
  char line[256];
  unsigned value = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      mask = static_cast<mode_t>(value) & 0777;
      break;
    }
  }
  std::fclose(status);
  return mask;
}

int SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  // Some file systems cannot flush a folder; the rename has still happened.
  return error == EINVAL || error == EROFS ? 0 : error;
}

// Puts the finished temporary file in place without replacing anything: a hard link fails when
// the name exists; file systems without hard links (FAT) may still rename without replacing.
int LinkInPlace(const std::string& temp, const std::string& path) {
  if (::link(temp.c_str(), path.c_str()) == 0) return 0;
  const int error = errno;
  if (error != EPERM && error != EOPNOTSUPP) return error;
  return ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0 ? -1
                                                                                            : errno;
}

}  // namespace

Error WriteFileAtomically(const std::string& path, std::string_view contents, unsigned newFileMode,
                          Existing existing) {
  // The rename would replace a file the user may not write (another user's in a shared folder,
  // or one made read-only to keep it) as readily as any other: such a file is left alone.
  if (existing == Existing::Replace && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 &&
      errno == EACCES) {
    return ErrnoError(EACCES, "replace " + path);
  }
  RemoveAbandonedTempFiles(FolderOf(path), NameOf(path));
  TempFile temp(path);
  if (temp.OpenError() != 0) return ErrnoError(temp.OpenError(), "create " + temp.Path());

  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0
                          ? (st.st_mode & 07777)
                          : (static_cast<mode_t>(newFileMode) & ~CurrentUmask());
  if (::fchmod(temp.Fd(), mode) != 0) return ErrnoError(errno, "set the mode of " + temp.Path());
  if (const int e = WriteAll(temp.Fd(), contents)) return ErrnoError(e, "write " + temp.Path());
  if (::fsync(temp.Fd()) != 0) return ErrnoError(errno, "flush " + temp.Path());
  if (const int e = temp.Close()) return ErrnoError(e, "close " + temp.Path());
  if (existing == Existing::Keep) {
    const int e = LinkInPlace(temp.Path(), path);
    if (e > 0) return ErrnoError(e, "link " + temp.Path() + " to " + path);
    if (e < 0) temp.Renamed();
  } else {
    if (::rename(temp.Path().c_str(), path.c_str()) != 0) {
      return ErrnoError(errno, "rename " + temp.Path() + " to " + path);
    }
    temp.Renamed();
  }
  if (const int e = SyncFolder(temp.Folder()))
    return ErrnoError(e, "flush the folder " + temp.Folder());
  return {};
}

}  // namespace toolkit
