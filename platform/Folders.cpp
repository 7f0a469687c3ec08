#include "platform/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace platform {

std::string UserAppDataFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return std::string(home) + "/.config";
}

bool CreateFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::create_directories(path, ec) && !ec;
}

std::string ProgramPath(std::string_view argv0) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(argv0) : exe.string();
}

std::string ProgramBaseName(std::string_view programPath) {
  const auto slash = programPath.find_last_of('/');
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
