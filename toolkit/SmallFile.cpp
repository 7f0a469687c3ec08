#include "toolkit/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace toolkit {

Error ReadSmallFile(const std::string& path, std::size_t limit, std::string& text) {
  text.clear();
  const std::string op = "read " + path;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return ErrnoError(errno, op);
  // Codes for callers that pass one on; the texts say more than the system's would.
  const Error tooLarge{ErrorKind::OsFailure, EFBIG,
                       "larger than " + std::to_string(limit) + " bytes", op};
  Error error;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = ErrnoError(errno, op);
  } else if (!S_ISREG(st.st_mode)) {
    error = Error{ErrorKind::OsFailure, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "not a regular file",
                  op};
  } else if (static_cast<std::size_t>(st.st_size) > limit) {
    error = tooLarge;
  }
  char chunk[4096];
  while (!error) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = ErrnoError(errno, op);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    // A file that grows while it is read, or whose size says nothing (/proc), stops here too.
    if (text.size() > limit) error = tooLarge;
  }
  ::close(fd);
  if (error) text.clear();
  return error;
}

}  // namespace toolkit
