// A regular file opened for reading at given offsets, on the platform's own calls.
//
// Opening never blocks: a named pipe or a device given as a file is refused as not regular
// instead of holding the caller until a writer comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dfu {

class RegularFile {
 public:
  virtual ~RegularFile() = default;
  virtual std::uint64_t Size() const = 0;
  // Exactly `size` bytes from `offset`; false on a read error or a file shorter than that.
  virtual bool ReadAt(std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
};

// Null when `path` cannot be opened or is not a regular file. `path` is UTF-8.
std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path);

}  // namespace dfu
