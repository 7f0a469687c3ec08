// Starting the project's programs from a test: each gets its own virtual-device registry through
// XDG_RUNTIME_DIR, so that it meets only what the test registers.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

// This process's environment with XDG_RUNTIME_DIR set to `runtimeDir`.
inline std::vector<std::string> EnvironmentWithRuntimeDir(const std::string& runtimeDir) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0) env.push_back(*e);
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  return env;
}

// Starts args[0] with `env`; standard output and error go to `out` and `err`, or to /dev/null
// where -1. Returns the child's pid, -1 when it could not be started.
inline pid_t Spawn(std::vector<std::string> args, std::vector<std::string> env, int out = -1,
                   int err = -1) {
  const auto pointers = [](std::vector<std::string>& v) {
    std::vector<char*> p;
    for (auto& s : v)
      p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int targets[] = {out, err};
  for (int fd = 1; fd <= 2; ++fd) {
    const int from = targets[fd - 1];
    if (from >= 0) {
      posix_spawn_file_actions_adddup2(&actions, from, fd);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_WRONLY, 0);
    }
  }
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, pointers(args).data(),
                                   pointers(env).data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

}  // namespace testsupport
