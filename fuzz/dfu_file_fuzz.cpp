// Firmware file checks on arbitrary bytes: the in-memory parsers and the streamed file check must
// agree, and neither may read out of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "upgrade/DfuFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  dfu::Suffix suffix;
  std::size_t imageSize = 0;
  dfu::FileFault expected = dfu::ParseSuffix(bytes, suffix, imageSize);
  dfu::ImageHeader header;
  if (expected == dfu::FileFault::None) expected = dfu::ParseHeader(bytes.first(imageSize), header);

  static const int fd = ::memfd_create("dfu-fuzz", 0);
  if (fd < 0) return 0;
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    return 0;
  }
  dfu::FileInfo info;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const dfu::FileFault streamed = dfu::CheckFile(path, info);
  if (streamed != expected) std::abort();
  if (streamed == dfu::FileFault::None &&
      (info.header.description != header.description || info.imageSize != imageSize ||
       info.header.description.size() > dfu::kMaxDescription)) {
    std::abort();
  }
  return 0;
}
