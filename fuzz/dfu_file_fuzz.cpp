// Firmware file checks on arbitrary bytes: the in-memory parsers, the streamed file check, the
// loading for a download and the checked copy must agree, and none may read out of bounds; the
// image loaded is exactly the bytes checked.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "upgrade/DfuFile.h"
#include "upgrade/FirmwareCopy.h"

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

  dfu::FileInfo inMemory;
  if (dfu::CheckBytes(bytes, inMemory) != expected) std::abort();
  std::vector<std::uint8_t> image;
  dfu::FileInfo loaded;
  if (dfu::LoadImage(path, loaded, image) != expected) std::abort();
  if (expected == dfu::FileFault::None &&
      (image.size() != imageSize || !std::equal(image.begin(), image.end(), data) ||
       loaded.header.description != header.description)) {
    std::abort();
  }
  dfu::FirmwareCopy copy;
  dfu::FileInfo copied;
  if (dfu::FirmwareCopy::Take(path, copy, copied) != expected ||
      copy.Held() != (expected == dfu::FileFault::None)) {
    std::abort();
  }
  if (copy.Held() && dfu::CheckFile(copy.Path(), copied) != dfu::FileFault::None) std::abort();
  return 0;
}
