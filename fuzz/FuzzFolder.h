// A private folder for a fuzz target's files, made once and removed when the fuzzer ends (it ends
// through exit()). It is made in /dev/shm when that can be written, so the files cost no disk
// writes and no flushes, else in TMPDIR or /tmp.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzing {

inline const std::string& FuzzFolder() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = ::access("/dev/shm", W_OK) == 0   ? "/dev/shm"
                       : tmp != nullptr && tmp[0] == '/' ? tmp
                                                         : "/tmp";
    std::string pattern = base + "/qmr7-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  static const int removal = std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(FuzzFolder(), ec);
  });
  static_cast<void>(removal);
  return path;
}

// Bytes of the fuzzer's input taken from the front, for inputs that script several answers.
class Script {
 public:
  Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return size_ == 0; }
  // The next byte; `fallback` once the input is used up.
  std::uint8_t Byte(std::uint8_t fallback = 0) {
    if (size_ == 0) return fallback;
    --size_;
    return *data_++;
  }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  // Up to `n` bytes, fewer when the input runs out.
  std::string Bytes(std::size_t n) {
    n = std::min(n, size_);
    std::string bytes(reinterpret_cast<const char*>(data_), n);
    data_ += n;
    size_ -= n;
    return bytes;
  }
  std::string Rest() { return Bytes(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace fuzzing
