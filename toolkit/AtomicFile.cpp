#include "toolkit/AtomicFile.h"

#include <fcntl.h>
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

// A temporary file that removes itself unless it has been renamed into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target)
      : folder_(FolderOf(target)), path_(folder_ + "/." + NameOf(target) + ".XXXXXX.tmp") {
    fd_ = ::mkostemps(path_.data(), 4, O_CLOEXEC);
    if (fd_ < 0) error_ = errno;
  }
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_ && error_ == 0) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int OpenError() const { return error_; }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  const std::string& Folder() const { return folder_; }

  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }
  void Renamed() { renamed_ = true; }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool renamed_ = false;
};

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
  TempFile temp(path);
  if (temp.OpenError() != 0) return ErrnoError(temp.OpenError(), "create " + temp.Path());

  struct stat st {};
  const mode_t mode =
      ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : static_cast<mode_t>(newFileMode);
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
