#include "upgrade/RegularFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

namespace dfu {
namespace {

class PosixFile final : public RegularFile {
 public:
  PosixFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::uint64_t Size() const override { return size_; }

  bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
    while (size > 0) {
      const ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  const int fd_;
  const std::uint64_t size_;
};

// The file systems whose files the kernel makes up as they are read (/proc, /sys and their kin):
// their sizes say nothing of what a read returns, and reading some of them has effects or waits.
bool OnKernelFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return true;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path) {
  // Looked at before it is opened: opening a device node can have effects of its own, and opening
  // a named pipe waits for a writer.
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return nullptr;
  // Non-blocking all the same, and looked at again through the descriptor, in case something else
  // was put in the file's place in between.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != named.st_dev ||
      st.st_ino != named.st_ino || OnKernelFileSystem(fd)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

}  // namespace dfu
