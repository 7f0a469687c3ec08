// Where the program keeps its per-user files, and the program's own name. Paths are UTF-8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// What joins a folder and a name in the paths the program shows and stores.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The per-user application-data folder. Linux: $XDG_CONFIG_HOME when it is an absolute path, else
// ~/.config. Windows: the user's roaming application-data folder, as the shell reports it. Empty
// when it cannot be determined.
std::string UserAppDataFolder();

// Creates the folder and any missing parents. False when it could not be created; an existing
// folder also counts as a failure, as the caller ignores the result either way.
bool CreateFolder(const std::string& path);

// The running program's file. Linux: /proc/self/exe, else `argv0`. Windows: the module's file.
std::string ProgramPath(std::string_view argv0);

// The program's name for its own files: the file name without its folder ("/" or "\") and without
// the program extension. Linux programs carry none, so only a final ".exe" goes
// ("/opt/my.tool.exe" and "/opt/my.tool" both give "my.tool"); cutting at any last dot would turn
// my.tool into "my".
std::string ProgramBaseName(std::string_view programPath);

// A UTF-8 path as the file system library takes it, whatever the system's own code page.
std::filesystem::path FsPath(std::string_view utf8);

}  // namespace platform
