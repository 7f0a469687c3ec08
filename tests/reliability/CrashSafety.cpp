// Kills the writers of the files that hold a user's data with SIGKILL at random moments, and
// checks what each kill leaves: the file reads as a whole and holds either the value from before
// the write that was cut short or the value that write was putting there, and a temporary file
// left by a kill is gone once a later write of the file has run.
//
//   qmr7-crash-safety [--kills N] [--seed S] [--markdown] [settings] [state] [backup]
//
//   settings  a child process writes the tool's settings file in a loop, through platform::IniFile
//             as the window does at close, each value of another length, among other lines that
//             must stay as they are;
//   state     qmr7-sim, storing a setting for every command it is sent (it saves before it
//             answers), is killed and started again, and must come back with what the file holds;
//   backup    `qmr7ctl backup --force` runs against a qmr7-sim whose settings change between
//             backups, killed at a random moment of its run (from start to exit).
//
// Without subjects, all three, N kills each (default 1000). Exit status 1 when any kill left a
// file damaged, a value that is neither, or a temporary file that a later write did not remove.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/IniFile.h"
#include "platform/VirtualDeviceRegistry.h"
#include "sim/StateFile.h"
#include "tests/reliability/Reliability.h"
#include "tests/support/Spawn.h"
#include "tests/support/TempDir.h"
#include "tools/qmr7ctl/Settings.h"

namespace reliability {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 10s;  // for anything that must happen; reached only when something hangs

// --- What every subject counts ------------------------------------------------------------------

struct Outcome {
  std::string file;
  std::string killed;
  int kills = 0;
  int keptOld = 0;     // the value from before the write that was cut short
  int heldNew = 0;     // the value being written
  int finished = 0;    // the writer had finished before the kill came
  int damaged = 0;     // the file held neither value, or did not read
  int cutShort = 0;    // the kill left a temporary file
  int mostTemps = 0;   // temporary files present at once after a kill
  int outlived = 0;    // temporary files still there after a later write completed
  int leftAtEnd = -1;  // temporary files after a last, complete write
  double seconds = 0;
  std::vector<std::string> failures;
};

using Rng = std::mt19937_64;

Clock::duration RandomDelay(Rng& rng, Clock::duration most) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(most).count();
  return std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(0, us)(rng));
}

void Kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::vector<std::string> OwnEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    env.emplace_back(*e);
  return env;
}

// Waits for the child to end, for at most `wait`; true when it has ended (it is then reaped).
bool WaitForExit(pid_t pid, Clock::duration wait, int& status) {
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd >= 0) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec limit{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{pidFd, POLLIN, 0};
    ::ppoll(&p, 1, &limit, nullptr);
    ::close(pidFd);
  }
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Tracks the temporary files across kills: each kill's new ones, and that those present before a
// round in which a write completed are gone after it (the write removed them first).
class TempWatch {
 public:
  TempWatch(std::string folder, std::string name)
      : folder_(std::move(folder)), name_(std::move(name)) {}

  // After a kill. `wrote` says a write completed in the round.
  void AfterKill(bool wrote, int round, Outcome& out) {
    const auto now = TempFilesOf(folder_, name_);
    const std::set<std::string> current(now.begin(), now.end());
    bool leftNew = false;
    for (const auto& name : current) {
      if (!before_.contains(name)) leftNew = true;
      if (wrote && before_.contains(name)) {
        ++out.outlived;
        out.failures.push_back("kill " + std::to_string(round) + ": " + name +
                               " outlived a later complete write");
      }
    }
    if (leftNew) ++out.cutShort;
    out.mostTemps = std::max(out.mostTemps, static_cast<int>(current.size()));
    before_ = current;
  }

  int Count() const { return static_cast<int>(TempFilesOf(folder_, name_).size()); }

 private:
  std::string folder_;
  std::string name_;
  std::set<std::string> before_;
};

// --- The settings file --------------------------------------------------------------------------

constexpr char kSection[] = "Setting";
constexpr char kKey[] = "DFU_FileName";

// Values of lengths from 29 to 126 characters, so a file cut short anywhere shows.
std::string SettingsValue(std::int64_t i) {
  return "/home/user/firmware/QMR7_" + std::to_string(i) + "_" +
         std::string(static_cast<std::size_t>(i % 97), 'x') + ".dfu";
}

// The whole file as it must read with `value`: the other lines never change.
std::string SettingsText(const std::string& value) {
  return "; written by the QM-R7 tool\n[Setting]\nDFU_FileName=" + value +
         "\n\n[Other]\nKept=yes\n";
}

// The child: writes values first, first + 1, ... (count of them, or forever), telling its parent
// on standard output "S i" before each write and "D i" after it.
int WriteSettingsLoop(const std::string& path, std::int64_t first, std::int64_t count) {
  const platform::IniFile ini(path);
  const auto say = [](const std::string& line) {
    return ::write(STDOUT_FILENO, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  };
  if (!say("R\n")) return 1;
  for (std::int64_t i = first; count < 0 || i < first + count; ++i) {
    say("S " + std::to_string(i) + "\n");
    try {
      ini.WriteString(kSection, kKey, SettingsValue(i));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmr7-crash-safety: %s\n", e.what());
      return 1;
    }
    say("D " + std::to_string(i) + "\n");
  }
  return 0;
}

struct ChildReport {
  std::int64_t started = -1;
  std::int64_t done = -1;
  bool ready = false;
};

void ParseReport(const std::string& text, ChildReport& report) {
  std::size_t at = 0;
  while (at < text.size()) {
    const auto lf = text.find('\n', at);
    if (lf == std::string::npos) break;
    const std::string line = text.substr(at, lf - at);
    at = lf + 1;
    if (line == "R") report.ready = true;
    if (line.size() > 2 && line[0] == 'S') report.started = std::stoll(line.substr(2));
    if (line.size() > 2 && line[0] == 'D') report.done = std::stoll(line.substr(2));
  }
}

// Reads from `fd` until "R\n" came or the bound passed; the text read so far.
bool AwaitReady(int fd, std::string& text) {
  const auto deadline = Clock::now() + kBound;
  while (text.find("R\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// Runs the writer child; kills it after `delay` from its being ready, or lets it finish when
// `delay` is nothing. Returns what it reported.
std::optional<ChildReport> RunSettingsWriter(const std::string& path, std::int64_t first,
                                             std::int64_t count,
                                             std::optional<Clock::duration> delay) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = testsupport::Spawn(
      {OwnPath(), "--write-settings", path, std::to_string(first), std::to_string(count)},
      OwnEnvironment(), pipeFds[1], STDERR_FILENO);
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return std::nullopt;
  }
  std::string text;
  const bool ready = AwaitReady(pipeFds[0], text);
  if (ready && delay) std::this_thread::sleep_for(*delay);
  if (!ready || delay) {
    Kill(pid);
  } else {
    ::waitpid(pid, nullptr, 0);
  }
  text += ReadToEnd(pipeFds[0]);
  ::close(pipeFds[0]);
  ChildReport report;
  ParseReport(text, report);
  if (!report.ready) return std::nullopt;
  return report;
}

Outcome SettingsSubject(int kills, Rng& rng, const std::string& root) {
  Outcome out;
  out.file = "settings file (`qmr7-tool.INI`)";
  out.killed = "a child writing it in a loop";
  const std::string folder = root + "/FPBFU";
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/qmr7-tool.INI";
  std::int64_t next = 0;
  std::string committed = SettingsValue(next++);
  testsupport::WriteFile(path, SettingsText(committed));
  TempWatch temps(folder, "qmr7-tool.INI");

  const auto start = Clock::now();
  for (int round = 1; round <= kills; ++round) {
    const auto report = RunSettingsWriter(path, next, -1, RandomDelay(rng, 20ms));
    if (!report) {
      out.failures.push_back("kill " + std::to_string(round) + ": the writer did not start");
      break;
    }
    ++out.kills;
    if (report->done >= 0) committed = SettingsValue(report->done);
    const bool inFlight = report->started > report->done;
    const std::string writing = inFlight ? SettingsValue(report->started) : std::string();
    next = std::max(next, report->started + 1);

    const std::string text = ReadWholeFile(path);
    const auto value = platform::IniFile(path).Read(kSection, kKey);
    if (text == SettingsText(committed) && value == committed) {
      ++out.keptOld;
    } else if (inFlight && text == SettingsText(writing) && value == writing) {
      ++out.heldNew;
      committed = writing;
    } else {
      ++out.damaged;
      out.failures.push_back("kill " + std::to_string(round) + ": the file holds neither value (" +
                             std::to_string(text.size()) + " bytes)");
      testsupport::WriteFile(path, SettingsText(committed));
    }
    // A write that completed, or got as far as its rename, first removed what earlier kills left.
    const bool wrote = report->done >= 0 || committed == writing;
    temps.AfterKill(wrote, round, out);
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!RunSettingsWriter(path, next, 1, std::nullopt)) {
    out.failures.push_back("the last write did not run");
  }
  out.leftAtEnd = temps.Count();
  return out;
}

// --- The simulator's state file -----------------------------------------------------------------

// The commands of one round: each stores a new value, and the file grows and shrinks with them.
struct Save {
  std::string command;
  int code;
};

Save NextSave(std::int64_t i, sim::Settings& settings) {
  const int value = static_cast<int>(i % 100) + 1;
  switch (i % 3) {
    case 0:
      settings.a2dpPercentage = value;
      return {"AT+FPCMD1=24," + std::to_string(value) + "\r", 24};
    case 1:
      settings.gpsPercentage = value;
      settings.gpsSharing = static_cast<int>(i % 2);
      return {"AT+FPCMD1=25," + std::to_string(value) + "," + std::to_string(i % 2) + "\r", 25};
    default: {
      settings.speedDials[0] = std::string(static_cast<std::size_t>(i % 17), '7');
      return {"AT+FPCMD1=21," + settings.speedDials[0] + "\r", 21};
    }
  }
}

// The state file's text for `state`, as the simulator writes it.
class StateTexts {
 public:
  explicit StateTexts(std::string scratch) : scratch_(std::move(scratch)) {}
  const std::string& Of(const sim::HeadsetState& state) {
    const std::string key = Key(state);
    auto found = texts_.find(key);
    if (found == texts_.end()) {
      sim::SaveState(scratch_, state);
      found = texts_.emplace(key, ReadWholeFile(scratch_)).first;
    }
    return found->second;
  }

 private:
  static std::string Key(const sim::HeadsetState& s) {
    const auto& t = s.settings;
    return t.speedDials[0] + "|" + t.speedDials[1] + "|" + t.speedDials[2] + "|" +
           std::to_string(t.a2dpPercentage) + "|" + std::to_string(t.gpsPercentage) + "|" +
           std::to_string(t.gpsSharing) + "|" + std::to_string(s.info.firmwareVersion);
  }
  std::string scratch_;
  std::map<std::string, std::string> texts_;
};

struct Simulator {
  pid_t pid = -1;
  std::string port;
};

std::optional<Simulator> StartSimulator(const std::string& simProgram, const std::string& state,
                                        const std::string& runtimeDir,
                                        platform::VirtualDeviceWatcher& watcher) {
  Simulator s;
  s.pid = testsupport::Spawn({simProgram, "--state", state},
                             testsupport::EnvironmentWithRuntimeDir(runtimeDir));
  if (s.pid < 0) return std::nullopt;
  auto port = WaitForHeadsetPort(watcher, s.pid, Clock::now() + kBound);
  if (!port) {
    Kill(s.pid);
    return std::nullopt;
  }
  s.port = *port;
  return s;
}

Outcome StateSubject(int kills, Rng& rng, const std::string& root, const std::string& simProgram) {
  Outcome out;
  out.file = "simulator state file";
  out.killed = "qmr7-sim, storing a setting per command";
  const std::string runtimeDir = root + "/run";
  std::filesystem::create_directories(runtimeDir);
  std::filesystem::permissions(runtimeDir, std::filesystem::perms::owner_all);
  const platform::VirtualDeviceRegistry registry(runtimeDir + "/qmr7");
  registry.EnsureDirectory();
  platform::VirtualDeviceWatcher watcher(registry);
  const std::string folder = root + "/state";
  const std::string path = folder + "/headset";
  StateTexts texts(root + "/scratch-state");
  sim::HeadsetState committed;
  sim::SaveState(path, committed);
  TempWatch temps(folder, "headset");
  std::int64_t next = 0;

  const auto start = Clock::now();
  for (int round = 1; round <= kills; ++round) {
    const auto fail = [&](const std::string& what) {
      out.failures.push_back("kill " + std::to_string(round) + ": " + what);
    };
    const auto simulator = StartSimulator(simProgram, path, runtimeDir, watcher);
    if (!simulator) {
      fail("qmr7-sim did not start");
      break;
    }
    HeadsetLine line;
    if (!line.Open(simulator->port, Clock::now() + kBound)) {
      fail("its port did not open");
      Kill(simulator->pid);
      break;
    }
    // The headset must come back with what its file held.
    const auto a2dp = line.Exchange("AT+FPCMD1=4\r", 4, Clock::now() + kBound);
    const auto dial = line.Exchange("AT+FPCMD1=1\r", 1, Clock::now() + kBound);
    if (a2dp != std::to_string(committed.settings.a2dpPercentage) ||
        dial != committed.settings.speedDials[0]) {
      fail("qmr7-sim did not come back with the values its file holds");
    }

    const auto killAt = Clock::now() + RandomDelay(rng, 30ms);
    std::optional<sim::HeadsetState> writing;
    bool wrote = false;
    while (Clock::now() < killAt) {
      sim::HeadsetState sent = committed;
      const Save save = NextSave(next++, sent.settings);
      writing = sent;
      if (!line.Send(save.command, killAt)) break;
      const std::string tag = "+FPSTS1=" + std::to_string(save.code) + ",";
      bool answered = false;
      while (auto reply = line.ReadLine(killAt)) {
        if (reply->rfind(tag, 0) == 0) {
          answered = true;
          break;
        }
      }
      if (!answered) break;
      committed = sent;
      writing.reset();
      wrote = true;
    }
    Kill(simulator->pid);
    line.Close();
    ++out.kills;

    const std::string text = ReadWholeFile(path);
    if (text == texts.Of(committed)) {
      ++out.keptOld;
    } else if (writing && text == texts.Of(*writing)) {
      ++out.heldNew;
      committed = *writing;
      wrote = true;
    } else {
      ++out.damaged;
      fail("the state file holds neither value (" + std::to_string(text.size()) + " bytes)");
      sim::SaveState(path, committed);
    }
    temps.AfterKill(wrote, round, out);
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // A last save that runs to its end, and the headset stopped as a user stops it.
  if (const auto simulator = StartSimulator(simProgram, path, runtimeDir, watcher)) {
    HeadsetLine line;
    sim::HeadsetState last = committed;
    const Save save = NextSave(next, last.settings);
    if (!line.Open(simulator->port, Clock::now() + kBound) ||
        !line.Exchange(save.command, save.code, Clock::now() + kBound)) {
      out.failures.push_back("the last save did not run");
    }
    ::kill(simulator->pid, SIGTERM);
    ::waitpid(simulator->pid, nullptr, 0);
  } else {
    out.failures.push_back("qmr7-sim did not start for the last save");
  }
  out.leftAtEnd = temps.Count();
  return out;
}

// --- A qmr7ctl backup ---------------------------------------------------------------------------

std::string BackupOf(const sim::HeadsetState& state) {
  qmr7ctl::DeviceInfo info;
  info.identity = 89075089;
  info.firmwareVersion = state.info.firmwareVersion;
  info.model = state.info.modelName;
  info.address = state.info.address;
  qmr7ctl::DeviceSettings settings;
  settings.speedDials = state.settings.speedDials;
  settings.a2dpPercentage = state.settings.a2dpPercentage;
  settings.gpsPercentage = state.settings.gpsPercentage;
  settings.gpsSharing = state.settings.gpsSharing;
  return qmr7ctl::BackupText(info, settings);
}

// Runs one backup; kills it after `delay` unless it has ended. True when it ended by itself.
bool RunBackup(const std::string& ctlProgram, const std::string& port, const std::string& file,
               const std::string& runtimeDir, std::optional<Clock::duration> delay) {
  const pid_t pid = testsupport::Spawn({ctlProgram, "--port", port, "backup", "--force", file},
                                       testsupport::EnvironmentWithRuntimeDir(runtimeDir));
  if (pid < 0) return false;
  int status = 0;
  if (delay) {
    if (WaitForExit(pid, *delay, status)) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    Kill(pid);
    return false;
  }
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Outcome BackupSubject(int kills, Rng& rng, const std::string& root, const std::string& simProgram,
                      const std::string& ctlProgram) {
  Outcome out;
  out.file = "qmr7ctl backup (`qmr7ctl backup --force`)";
  out.killed = "qmr7ctl, at a random moment of its run";
  const std::string runtimeDir = root + "/run-backup";
  std::filesystem::create_directories(runtimeDir);
  std::filesystem::permissions(runtimeDir, std::filesystem::perms::owner_all);
  const platform::VirtualDeviceRegistry registry(runtimeDir + "/qmr7");
  registry.EnsureDirectory();
  platform::VirtualDeviceWatcher watcher(registry);
  const std::string folder = root + "/backups";
  std::filesystem::create_directories(folder);
  const std::string file = folder + "/backup.json";
  TempWatch temps(folder, "backup.json");

  const auto simulator = StartSimulator(simProgram, root + "/backup-headset", runtimeDir, watcher);
  if (!simulator) {
    out.failures.push_back("qmr7-sim did not start");
    return out;
  }
  sim::HeadsetState headset;
  std::int64_t next = 0;

  // Its run time, to spread the kills over the whole of a run.
  std::vector<Clock::duration> runs;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Clock::now();
    if (!RunBackup(ctlProgram, simulator->port, file, runtimeDir, std::nullopt)) {
      out.failures.push_back("a backup without a kill failed");
      Kill(simulator->pid);
      return out;
    }
    runs.push_back(Clock::now() - t0);
  }
  std::sort(runs.begin(), runs.end());
  const Clock::duration runTime = runs[runs.size() / 2];
  std::string previous = ReadWholeFile(file);

  const auto start = Clock::now();
  HeadsetLine line;
  for (int round = 1; round <= kills; ++round) {
    const auto fail = [&](const std::string& what) {
      out.failures.push_back("kill " + std::to_string(round) + ": " + what);
    };
    // New values for this backup: it is either the old file or all of these.
    if (!line.Open(simulator->port, Clock::now() + kBound)) {
      fail("the headset's port did not open");
      break;
    }
    line.Send("\r", Clock::now() + kBound);  // ends whatever a killed backup left half sent
    for (int k = 0; k < 2; ++k) {
      const Save save = NextSave(next++, headset.settings);
      if (!line.Exchange(save.command, save.code, Clock::now() + kBound)) fail("no answer");
    }
    line.Close();
    const std::string fresh = BackupOf(headset);

    const bool ended = RunBackup(ctlProgram, simulator->port, file, runtimeDir,
                                 RandomDelay(rng, runTime + runTime / 4));
    ++out.kills;
    const std::string text = ReadWholeFile(file);
    bool wrote = false;
    if (text == fresh) {
      ++(ended ? out.finished : out.heldNew);
      wrote = true;
    } else if (ended) {
      ++out.damaged;
      fail("a backup that ran to its end did not write the headset's values");
    } else if (text == previous) {
      ++out.keptOld;
    } else {
      ++out.damaged;
      fail("the backup holds neither the old file nor the new values (" +
           std::to_string(text.size()) + " bytes)");
    }
    previous = text;
    temps.AfterKill(wrote, round, out);
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!RunBackup(ctlProgram, simulator->port, file, runtimeDir, std::nullopt)) {
    out.failures.push_back("the last backup failed");
  }
  out.leftAtEnd = temps.Count();
  ::kill(simulator->pid, SIGTERM);
  ::waitpid(simulator->pid, nullptr, 0);
  return out;
}

// --- Report -------------------------------------------------------------------------------------

void PrintText(const std::vector<Outcome>& outcomes) {
  for (const Outcome& o : outcomes) {
    std::printf("%s, killed: %s\n", o.file.c_str(), o.killed.c_str());
    std::printf(
        "  kills %d: previous value kept %d, new value %d, writer had finished %d, "
        "damaged or another value %d\n",
        o.kills, o.keptOld, o.heldNew, o.finished, o.damaged);
    std::printf(
        "  kills that left a temporary file %d, most at once %d, outlived a later write "
        "%d, left after a last write %d\n",
        o.cutShort, o.mostTemps, o.outlived, o.leftAtEnd);
    std::printf("  %.1f s\n", o.seconds);
    for (const auto& f : o.failures)
      std::printf("  FAILED %s\n", f.c_str());
  }
}

void PrintMarkdown(const std::vector<Outcome>& outcomes, std::uint64_t seed) {
  std::printf(
      "| file | process killed | kills | previous value kept | new value | writer had finished | "
      "damaged or another value | kills that left a temporary file | most at once | outlived a "
      "later write | left after a last write | time |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Outcome& o : outcomes) {
    std::printf("| %s | %s | %d | %d | %d | %d | %d | %d | %d | %d | %d | %.1f s |\n",
                o.file.c_str(), o.killed.c_str(), o.kills, o.keptOld, o.heldNew, o.finished,
                o.damaged, o.cutShort, o.mostTemps, o.outlived, o.leftAtEnd, o.seconds);
  }
  bool first = true;
  for (const Outcome& o : outcomes) {
    for (const auto& f : o.failures) {
      std::printf("%s- %s: %s\n", first ? "\nFailures:\n\n" : "", o.file.c_str(), f.c_str());
      first = false;
    }
  }
  std::printf("\nRandom delays from seed %" PRIu64 " (`--seed` draws the same delays again).\n",
              seed);
}

int Usage() {
  std::fprintf(stderr,
               "usage: qmr7-crash-safety [--kills N] [--seed S] [--markdown] "
               "[settings] [state] [backup]\n");
  return 2;
}

int Main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 4 && args[0] == "--write-settings") {
    return WriteSettingsLoop(args[1], std::stoll(args[2]), std::stoll(args[3]));
  }
  int kills = 1000;
  std::uint64_t seed = std::random_device{}();
  bool markdown = false;
  std::string simProgram = QMR7_SIM_PROGRAM;
  std::string ctlProgram = QMR7CTL_PROGRAM;
  std::vector<std::string> subjects;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--kills" && hasValue) {
      kills = std::max(1, std::atoi(args[++i].c_str()));
    } else if (a == "--seed" && hasValue) {
      seed = std::strtoull(args[++i].c_str(), nullptr, 10);
    } else if (a == "--sim" && hasValue) {
      simProgram = args[++i];
    } else if (a == "--ctl" && hasValue) {
      ctlProgram = args[++i];
    } else if (a == "--markdown") {
      markdown = true;
    } else if (a == "settings" || a == "state" || a == "backup") {
      subjects.push_back(a);
    } else {
      return Usage();
    }
  }
  if (subjects.empty()) subjects = {"settings", "state", "backup"};
  // A broken pipe to a killed child must not end this program.
  ::signal(SIGPIPE, SIG_IGN);

  Rng rng(seed);
  testsupport::TempDir root;
  std::vector<Outcome> outcomes;
  for (const auto& s : subjects) {
    if (s == "settings") outcomes.push_back(SettingsSubject(kills, rng, root.Path()));
    if (s == "state") outcomes.push_back(StateSubject(kills, rng, root.Path(), simProgram));
    if (s == "backup") {
      outcomes.push_back(BackupSubject(kills, rng, root.Path(), simProgram, ctlProgram));
    }
  }
  if (markdown) {
    PrintMarkdown(outcomes, seed);
  } else {
    PrintText(outcomes);
  }
  std::fprintf(stderr, "qmr7-crash-safety: seed %" PRIu64 "\n", seed);
  bool ok = true;
  for (const Outcome& o : outcomes)
    ok = ok && o.failures.empty() && o.leftAtEnd == 0 && o.kills == kills;
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace reliability

int main(int argc, char** argv) {
  return reliability::Main(argc, argv);
}
