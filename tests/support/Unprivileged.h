// Tests of what a user without privileges meets: files they may not read or write, a folder they
// may not change, a full disk. The tests run as root in CI, where every permission check passes, so
// the program under test runs as the unprivileged user `nobody` whenever the test runs as root; a
// small file system that fills up is mounted for the test (root only: elsewhere those cases skip).
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

inline bool RunningAsRoot() {
  return ::geteuid() == 0;
}

// The user the program under test runs as.
inline uid_t UnprivilegedUid() {
  return RunningAsRoot() ? kNobody : ::geteuid();
}
inline gid_t UnprivilegedGid() {
  return RunningAsRoot() ? kNoGroup : ::getegid();
}

// Where a test that runs programs as the unprivileged user makes its folder: the system's
// temporary folder, which anyone may pass through, as a private TMPDIR (0700) is not.
inline std::filesystem::path UnprivilegedTempBase() {
  return RunningAsRoot() ? std::filesystem::path("/tmp") : std::filesystem::temp_directory_path();
}

// The command line that runs `args` as the unprivileged user.
inline std::vector<std::string> AsUnprivileged(std::vector<std::string> args) {
  if (!RunningAsRoot()) return args;
  args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody),
                             "--regid=" + std::to_string(kNoGroup), "--clear-groups", "--"});
  return args;
}

// Gives `path` to the unprivileged user with `mode`; true when done.
inline bool GiveToUnprivileged(const std::string& path, mode_t mode) {
  return ::chown(path.c_str(), UnprivilegedUid(), UnprivilegedGid()) == 0 &&
         ::chmod(path.c_str(), mode) == 0;
}

// A file system of `kib` KiB mounted on an empty folder for the test's lifetime, owned by the
// unprivileged user; Mounted() is false where the test may not mount (not root).
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& folder, unsigned kib) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    if (!RunningAsRoot()) return;
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    mounted_ =
        ::mount("qmr7-test", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    if (mounted_) GiveToUnprivileged(folder_, 0755);
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool Mounted() const { return mounted_; }

  // Fills what is left with one file, as root, so that not a byte more fits; true when it is full.
  bool Fill() const {
    const std::string filler = folder_ + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(4096, 'x');
    int error = 0;
    for (const std::size_t size : {block.size(), std::size_t{1}}) {
      while (::write(fd, block.data(), size) > 0) {
      }
      error = errno;
    }
    ::close(fd);
    return error == ENOSPC;
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace testsupport
