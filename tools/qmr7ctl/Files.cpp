#include "tools/qmr7ctl/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/IniFile.h"

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

int WriteFileInPlace(const std::string& path, std::string_view contents, bool replace) {
  if (replace) {
    errno = 0;
    if (platform::WriteFileAtomically(path, contents)) return 0;
    return errno != 0 ? errno : EIO;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return EEXIST;

  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return errno;
  int error = ::fchmod(fd, 0644) == 0 ? 0 : errno;
  std::size_t done = 0;
  while (error == 0 && done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::link(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    // Some file systems (FAT on a memory stick) have no hard links, but may rename without
    // replacing.
    if ((error == EPERM || error == EOPNOTSUPP) &&
        ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      return 0;
    }
  }
  ::unlink(temp.c_str());
  return error;
}

}  // namespace qmr7ctl
