// A firmware file read once and kept as a sealed private copy, so that whatever reads the file
// after its check (the engine's own checks, the download) reads exactly the bytes that were
// checked, whatever happens to the file on disk meanwhile: rewritten, replaced, cut or removed.
//
// The copy is an anonymous memory file sealed against any change, by this process or another;
// Path() names it for calls that take a path (/proc/self/fd/<n>) for as long as the object lives.
// Threads: an object belongs to one thread; its path may be opened from any.
#pragma once

#include <string>

#include "upgrade/DfuFile.h"

namespace dfu {

class FirmwareCopy {
 public:
  FirmwareCopy() = default;
  ~FirmwareCopy();
  FirmwareCopy(FirmwareCopy&& other) noexcept;
  FirmwareCopy& operator=(FirmwareCopy&& other) noexcept;
  FirmwareCopy(const FirmwareCopy&) = delete;
  FirmwareCopy& operator=(const FirmwareCopy&) = delete;

  // Reads the file at `path` once and checks the bytes read as CheckFile checks a file. Without a
  // fault `copy` holds those bytes and `info` describes them; with one, `copy` holds nothing. A
  // copy that cannot be made (no memory, no descriptor) is reported as Read.
  static FileFault Take(const std::string& path, FirmwareCopy& copy, FileInfo& info);

  bool Held() const { return fd_ >= 0; }
  // Empty when nothing is held.
  const std::string& Path() const { return path_; }

 private:
  void Release() noexcept;

  int fd_ = -1;
  std::string path_;
};

}  // namespace dfu
