// A firmware file opened for reading, the one thing of the file module that needs the system:
// DfuFileReaderPosix.cpp on Linux, win32/DfuFileReaderWin32.cpp on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dfu {

class FileReader {
 public:
  // A regular file at `path` (UTF-8); null when it cannot be opened or is something else (a
  // folder, a device, a pipe), which is never waited for.
  static std::unique_ptr<FileReader> Open(const std::string& path);

  virtual ~FileReader() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly `size` bytes from `offset`; false when reading fails or the file ends first.
  virtual bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
};

}  // namespace dfu
