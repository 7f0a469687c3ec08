#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/qmr7ctl/Files.h"

namespace qmr7ctl {

std::string ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents) {
  // O_NONBLOCK: a named pipe given as the file must not hang the command.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string reason;
  if (::fstat(fd, &st) != 0) {
    reason = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    reason = "not a regular file";
  } else if (static_cast<std::size_t>(st.st_size) > limit) {
    reason = "larger than " + std::to_string(limit) + " bytes";
  }
  contents.clear();
  char chunk[4096];
  while (reason.empty()) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) reason = std::strerror(errno);
    if (n <= 0) break;
    contents.append(chunk, static_cast<std::size_t>(n));
    if (contents.size() > limit) reason = "larger than " + std::to_string(limit) + " bytes";
  }
  ::close(fd);
  return reason;
}

}  // namespace qmr7ctl
