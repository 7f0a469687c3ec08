// Cold start: the time from exec until the window is shown and the event loop idle, for the tool
// and for a minimal Qt Widgets program with one button, started alternately on Qt's offscreen
// platform with private configuration and runtime folders. Medians of RUNS starts each (after
// one uncounted start of each), and their ratio. Target: at most 1.3.
//
//   qmr7-bench-start [RUNS]     (default 20)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kReadyTimeoutMs = 30000;

double Millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "qmr7-bench-start: %s\n", what.c_str());
  std::exit(1);
}

// Starts `program`, which reports on the pipe it is given, and returns the time until it did.
double TimeToReady(const std::string& program) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) Fail("no pipe");
  // Only the write end reaches the child, under the number it is told.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  constexpr int kChildFd = 3;
  posix_spawn_file_actions_adddup2(&actions, fds[1], kChildFd);
  // Qt's notes about the offscreen platform would only clutter the figures.
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string fdText = std::to_string(kChildFd);
  char* argv[] = {const_cast<char*>(program.c_str()), fdText.data(), nullptr};

  pid_t child = 0;
  const auto start = Clock::now();
  const int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (spawned != 0) Fail("cannot start " + program);

  pollfd ready{fds[0], POLLIN, 0};
  const int n = ::poll(&ready, 1, kReadyTimeoutMs);
  const auto end = Clock::now();
  char byte = 0;
  const bool reported = n == 1 && ::read(fds[0], &byte, 1) == 1;
  ::close(fds[0]);
  // Its shutdown is no part of the start; it ends before the next start begins.
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!reported) Fail(program + " never reported its window ready");
  return Millis(end - start);
}

// A folder of its own for configuration and runtime files, removed at the end.
class PrivateFolders {
 public:
  PrivateFolders() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/qmr7-bench-start-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary folder");
    root_ = pattern;
    std::filesystem::create_directory(root_ / "config");
    std::filesystem::create_directory(root_ / "runtime");
    std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
  }
  ~PrivateFolders() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  PrivateFolders(const PrivateFolders&) = delete;
  PrivateFolders& operator=(const PrivateFolders&) = delete;

 private:
  std::filesystem::path root_;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  if (runs <= 0) Fail("RUNS must be a positive number");
  const auto here = std::filesystem::canonical("/proc/self/exe").parent_path();
  const std::string tool = (here / "qmr7-bench-start-tool").string();
  const std::string minimal = (here / "qmr7-bench-start-minimal").string();

  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const PrivateFolders folders;

  TimeToReady(tool);
  TimeToReady(minimal);
  std::vector<double> toolTimes;
  std::vector<double> minimalTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternating which goes first, so that neither always follows the other's shutdown.
    if (i % 2 == 0) {
      toolTimes.push_back(TimeToReady(tool));
      minimalTimes.push_back(TimeToReady(minimal));
    } else {
      minimalTimes.push_back(TimeToReady(minimal));
      toolTimes.push_back(TimeToReady(tool));
    }
  }
  const double toolMedian = Median(toolTimes);
  const double minimalMedian = Median(minimalTimes);
  const auto [toolMin, toolMax] = std::minmax_element(toolTimes.begin(), toolTimes.end());
  const auto [minMin, minMax] = std::minmax_element(minimalTimes.begin(), minimalTimes.end());
  std::printf("start until shown and idle, %d starts each (offscreen)\n", runs);
  std::printf("  %-22s median %7.1f ms   range %7.1f to %7.1f ms\n", "one-button program",
              minimalMedian, *minMin, *minMax);
  std::printf("  %-22s median %7.1f ms   range %7.1f to %7.1f ms\n", "the tool", toolMedian,
              *toolMin, *toolMax);
  std::printf("  ratio %.2f (target at most 1.30)\n", toolMedian / minimalMedian);
  return 0;
}
