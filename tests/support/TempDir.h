// A private folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace testsupport {

class TempDir {
 public:
  // A new folder with a random name, open to its owner only.
  TempDir() {
    namespace fs = std::filesystem;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const fs::path candidate =
          fs::temp_directory_path() / ("qmr7-test-" + std::to_string(random()));
      std::error_code ec;
      if (!fs::create_directory(candidate, ec)) continue;  // taken, or not allowed
      fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
      path_ = candidate.string();
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
