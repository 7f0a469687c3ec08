// A firmware file read once and kept as a sealed private copy, so that whatever reads the file
// after its check (the engine's own checks, the download) reads exactly the bytes that were
// checked, whatever happens to the file on disk meanwhile: rewritten, replaced, cut or removed.
//
// On Linux the copy is an anonymous memory file sealed against any change, by this process or
// another, which Path() names as /proc/self/fd/<n>; on Windows a temporary file that goes when it
// is closed, held open so that no one else may write, rename or remove it. Either way Path() names
// the copy for calls that take a path for as long as the object lives. On Windows a reader must open
// that path sharing writing and removal with the copy's own handle, as OpenRegularFile does (the
// engine's checks and downloads read through it); an open that shares less is refused.
// Threads: an object belongs to one thread; its path may be opened from any.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

  bool Held() const { return handle_ != kNone; }
  // Empty when nothing is held.
  const std::string& Path() const { return path_; }

 private:
  static constexpr std::intptr_t kNone = -1;

  void Release() noexcept;
  // The platform's part: the sealed copy of `bytes`, its handle and path; false when it cannot
  // be made.
  static bool Seal(const std::vector<std::uint8_t>& bytes, std::intptr_t& handle,
                   std::string& path);
  static void Close(std::intptr_t handle) noexcept;

  std::intptr_t handle_ = kNone;  // a descriptor, or a Windows handle
  std::string path_;
};

}  // namespace dfu
