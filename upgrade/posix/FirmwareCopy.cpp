#include "upgrade/FirmwareCopy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

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

bool FirmwareCopy::Seal(const std::vector<std::uint8_t>& bytes, std::intptr_t& handle,
                        std::string& path) {
  const int fd = ::memfd_create("qmr7-firmware", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return false;
  constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
  if (!WriteAll(fd, bytes) || ::fcntl(fd, F_ADD_SEALS, kSeals) != 0) {
    ::close(fd);
    return false;
  }
  handle = fd;
  path = "/proc/self/fd/" + std::to_string(fd);
  return true;
}

void FirmwareCopy::Close(std::intptr_t handle) noexcept {
  ::close(static_cast<int>(handle));
}

}  // namespace dfu
