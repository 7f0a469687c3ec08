// Cold start: the time from exec until the window is shown and the event loop idle, for the tool
// and for a minimal Qt Widgets program with one button, started alternately on Qt's offscreen
// platform with private configuration and runtime folders. Medians of RUNS starts each (after
// one uncounted start of each), and their ratio. Target: at most 1.3.
//
//   qmr7-bench-start [RUNS]                       (default 20)
//   qmr7-bench-start --wine WINE_RUN DIR [RUNS]   the Windows build's two programs in DIR, each
//                                                 started through WINE_RUN (scripts/wine-run)
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

// How the programs are started: directly, or a Windows build through wine.
struct Launcher {
  std::string wineRun;  // empty: directly
};

// Starts `program`, which reports on the pipe it is given, and returns the time until it did.
double TimeToReady(const Launcher& launcher, const std::string& program) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) Fail("no pipe");
  // Only the write end reaches the child, under the number it is told. A Windows program gets it
  // as its standard output, the one descriptor wine hands on.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const bool wine = !launcher.wineRun.empty();
  const int childFd = wine ? STDOUT_FILENO : 3;
  posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
  // Qt's notes about the offscreen platform would only clutter the figures.
  if (!wine) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string fdText = std::to_string(childFd);
  std::vector<char*> argv;
  if (wine) argv.push_back(const_cast<char*>(launcher.wineRun.c_str()));
  argv.push_back(const_cast<char*>(program.c_str()));
  argv.push_back(fdText.data());
  argv.push_back(nullptr);

  pid_t child = 0;
  const auto start = Clock::now();
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
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
  std::vector<std::string> args(argv + 1, argv + argc);
  Launcher launcher;
  auto folder = std::filesystem::canonical("/proc/self/exe").parent_path();
  std::string suffix;
  if (!args.empty() && args[0] == "--wine") {
    if (args.size() < 3) Fail("--wine needs scripts/wine-run and the Windows programs' folder");
    launcher.wineRun = std::filesystem::absolute(args[1]).string();
    folder = std::filesystem::absolute(args[2]);
    suffix = ".exe";
    args.erase(args.begin(), args.begin() + 3);
  }
  const int runs = !args.empty() ? std::atoi(args[0].c_str()) : 20;
  if (runs <= 0) Fail("RUNS must be a positive number");
  const std::string tool = (folder / ("qmr7-bench-start-tool" + suffix)).string();
  const std::string minimal = (folder / ("qmr7-bench-start-minimal" + suffix)).string();
  const auto timeToReady = [&launcher](const std::string& program) {
    return TimeToReady(launcher, program);
  };

  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const PrivateFolders folders;

  timeToReady(tool);
  timeToReady(minimal);
  std::vector<double> toolTimes;
  std::vector<double> minimalTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternating which goes first, so that neither always follows the other's shutdown.
    if (i % 2 == 0) {
      toolTimes.push_back(timeToReady(tool));
      minimalTimes.push_back(timeToReady(minimal));
    } else {
      minimalTimes.push_back(timeToReady(minimal));
      toolTimes.push_back(timeToReady(tool));
    }
  }
  const double toolMedian = Median(toolTimes);
  const double minimalMedian = Median(minimalTimes);
  const auto [toolMin, toolMax] = std::minmax_element(toolTimes.begin(), toolTimes.end());
  const auto [minMin, minMax] = std::minmax_element(minimalTimes.begin(), minimalTimes.end());
  std::printf("start until shown and idle, %d starts each (offscreen%s)\n", runs,
              launcher.wineRun.empty() ? "" : "; Windows build under wine");
  std::printf("  %-22s median %7.1f ms   range %7.1f to %7.1f ms\n", "one-button program",
              minimalMedian, *minMin, *minMax);
  std::printf("  %-22s median %7.1f ms   range %7.1f to %7.1f ms\n", "the tool", toolMedian,
              *toolMin, *toolMax);
  std::printf("  ratio %.2f (target at most 1.30)\n", toolMedian / minimalMedian);
  return 0;
}
