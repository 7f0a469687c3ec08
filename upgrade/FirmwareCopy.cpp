#include "upgrade/FirmwareCopy.h"

#include <utility>

namespace dfu {

FirmwareCopy::~FirmwareCopy() {
  Release();
}

FirmwareCopy::FirmwareCopy(FirmwareCopy&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), path_(std::move(other.path_)) {
  other.path_.clear();
}

FirmwareCopy& FirmwareCopy::operator=(FirmwareCopy&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNone);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void FirmwareCopy::Release() noexcept {
  if (handle_ != kNone) Close(handle_);
  handle_ = kNone;
  path_.clear();
}

FileFault FirmwareCopy::Take(const std::string& path, FirmwareCopy& copy, FileInfo& info) {
  copy.Release();
  info = FileInfo{};
  std::vector<std::uint8_t> bytes;
  FileFault fault = ReadWholeFile(path, bytes);
  if (fault == FileFault::None) fault = CheckBytes(bytes, info);
  if (fault != FileFault::None) return fault;
  if (!Seal(bytes, copy.handle_, copy.path_)) {
    copy.handle_ = kNone;
    copy.path_.clear();
    info = FileInfo{};
    return FileFault::Read;
  }
  return FileFault::None;
}

}  // namespace dfu
