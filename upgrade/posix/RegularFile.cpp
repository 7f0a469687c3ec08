#include "upgrade/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
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

}  // namespace

std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path) {
  // Non-blocking, so that a named pipe cannot hold the caller until a writer comes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

}  // namespace dfu
