#include "platform/Folders.h"

#include <cctype>
#include <system_error>

namespace platform {

std::filesystem::path FsPath(std::string_view utf8) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

bool CreateFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::create_directories(FsPath(path), ec) && !ec;
}

std::string ProgramBaseName(std::string_view programPath) {
  const auto slash = programPath.find_last_of("/\\");
  std::string_view name =
      slash == std::string_view::npos ? programPath : programPath.substr(slash + 1);
  std::string base(name);
  if (base.size() > 4) {
    std::string ext = base.substr(base.size() - 4);
    for (char& c : ext)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".exe") base.resize(base.size() - 4);
  }
  return base;
}

}  // namespace platform
