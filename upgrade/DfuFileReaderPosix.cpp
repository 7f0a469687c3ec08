#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upgrade/DfuFileReader.h"

namespace dfu {
namespace {

class PosixFileReader final : public FileReader {
 public:
  PosixFileReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFileReader() override { ::close(fd_); }
  PosixFileReader(const PosixFileReader&) = delete;
  PosixFileReader& operator=(const PosixFileReader&) = delete;

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
  int fd_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<FileReader> FileReader::Open(const std::string& path) {
  // Non-blocking, so that a named pipe given as the file cannot hold the caller until a writer
  // comes; it is then refused as not a regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFileReader>(fd, static_cast<std::uint64_t>(st.st_size));
}

}  // namespace dfu
