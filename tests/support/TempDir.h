// A private folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace testsupport {

class TempDir {
 public:
  // Private to the user (0700), like mkdtemp's, on every platform.
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  explicit TempDir(const std::filesystem::path& base) {
    namespace fs = std::filesystem;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "qmr7-test-%08x", static_cast<unsigned>(random()));
      std::error_code ec;
      if (!fs::create_directory(base / name, ec)) continue;
      fs::permissions(base / name, fs::perms::owner_all, ec);
      path_ = (base / name).string();
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testsupport
