// Where the program keeps its per-user files, and the program's own name.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The per-user application-data folder: $XDG_CONFIG_HOME when it is an absolute path, else
// ~/.config. Empty when neither can be determined.
std::string UserAppDataFolder();

// Creates the folder and any missing parents. False when it could not be created; an existing
// folder also counts as a failure, as the caller ignores the result either way.
bool CreateFolder(const std::string& path);

// The running program's file: /proc/self/exe, else `argv0`.
std::string ProgramPath(std::string_view argv0);

// The program's name for its own files: the file name without its folder and without the
// program extension. Linux programs carry none, so only a final ".exe" goes ("/opt/my.tool.exe"
// and "/opt/my.tool" both give "my.tool"); cutting at any last dot would turn my.tool into "my".
std::string ProgramBaseName(std::string_view programPath);

}  // namespace platform
