#include "upgrade/FirmwareCopy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace dfu {
namespace {

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

FirmwareCopy::~FirmwareCopy() {
  Release();
}

FirmwareCopy::FirmwareCopy(FirmwareCopy&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {
  other.path_.clear();
}

FirmwareCopy& FirmwareCopy::operator=(FirmwareCopy&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void FirmwareCopy::Release() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

FileFault FirmwareCopy::Take(const std::string& path, FirmwareCopy& copy, FileInfo& info) {
  copy.Release();
  info = FileInfo{};
  std::vector<std::uint8_t> bytes;
  FileFault fault = ReadWholeFile(path, bytes);
  if (fault == FileFault::None) fault = CheckBytes(bytes, info);
  if (fault != FileFault::None) return fault;

  const int fd = ::memfd_create("qmr7-firmware", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return FileFault::Read;
  constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
  if (!WriteAll(fd, bytes) || ::fcntl(fd, F_ADD_SEALS, kSeals) != 0) {
    ::close(fd);
    info = FileInfo{};
    return FileFault::Read;
  }
  copy.fd_ = fd;
  copy.path_ = "/proc/self/fd/" + std::to_string(fd);
  return FileFault::None;
}

}  // namespace dfu
