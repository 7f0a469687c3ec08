// qmr7ctl as a script runs it: a separate process talking to qmr7-sim, another process, through
// the registry and the pseudo-terminal the simulator made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Hostile.h"
#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"
#include "tests/upgrade/FirmwareFiles.h"

extern char** environ;

namespace qmr7ctl {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Silence longer than this is a hang: qmr7ctl's longest quiet wait is the 60 s for a replugged
// headset, and a loaded machine stretches the simulator's own pauses.
constexpr int kSafetyTimeoutMs = 90000;

struct Result {
  int exit = -1;
  std::string out;
  std::string err;
};

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp_ / "runtime");
    fs::create_directories(tmp_ / "home");
  }

  void TearDown() override {
    if (sim_ > 0) {
      ::kill(sim_, SIGTERM);
      ::waitpid(sim_, nullptr, 0);
    }
    if (simOut_ >= 0) ::close(simOut_);
    sim_ = -1;
    simOut_ = -1;
  }

  // Private runtime (the registry) and home folders, and the language asked for.
  std::vector<std::string> Environment(const std::string& lang = "C") const {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (!entry.starts_with("XDG_") && !entry.starts_with("HOME=") && !entry.starts_with("LANG") &&
          !entry.starts_with("LC_")) {
        env.push_back(entry);
      }
    }
    env.push_back("XDG_RUNTIME_DIR=" + tmp_ / "runtime");
    env.push_back("HOME=" + tmp_ / "home");
    env.push_back("LANG=" + lang);
    return env;
  }

  // Starts qmr7-sim and returns the path of its port.
  std::string StartSim(std::vector<std::string> args = {}) {
    args.insert(args.begin(), QMR7_SIM_PROGRAM);
    if (unprivileged_) args = testsupport::AsUnprivileged(std::move(args));
    std::vector<std::string> env = Environment();
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    EXPECT_EQ(::posix_spawn(&sim_, args[0].c_str(), &actions, nullptr, Pointers(args).data(),
                            Pointers(env).data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    simOut_ = fds[0];
    const std::regex re("headset on (/dev/pts/[0-9]+)");
    std::string output;
    for (;;) {
      std::smatch match;
      if (std::regex_search(output, match, re)) return match[1].str();
      pollfd p{simOut_, POLLIN, 0};
      char chunk[512];
      ssize_t n = 0;
      if (::poll(&p, 1, kSafetyTimeoutMs) != 1 || (n = ::read(simOut_, chunk, sizeof chunk)) <= 0) {
        ADD_FAILURE() << "qmr7-sim did not start:\n" << output;
        return {};
      }
      output.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Runs qmr7ctl to its end.
  Result Ctl(std::vector<std::string> args, const std::string& lang = "C") {
    args.insert(args.begin(), QMR7CTL_PROGRAM);
    if (unprivileged_) args = testsupport::AsUnprivileged(std::move(args));
    std::vector<std::string> env = Environment(lang);
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, Pointers(args).data(),
                            Pointers(env).data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Result result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
      if (::poll(fds, 2, kSafetyTimeoutMs) <= 0) {
        ADD_FAILURE() << "qmr7ctl hangs";
        ::kill(pid, SIGKILL);
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          sinks[i]->append(chunk, static_cast<std::size_t>(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
    for (auto& f : fds) {
      if (f.fd >= 0) ::close(f.fd);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  // From here on the simulator and qmr7ctl run as the unprivileged user, with folders of theirs.
  void RunUnprivileged() {
    unprivileged_ = true;
    ASSERT_EQ(::chmod(tmp_.Path().c_str(), 0711), 0);
    ASSERT_TRUE(testsupport::GiveToUnprivileged(tmp_ / "runtime", 0700));
    ASSERT_TRUE(testsupport::GiveToUnprivileged(tmp_ / "home", 0700));
  }

  // Below a folder anyone may pass through, for the tests that run programs as another user.
  testsupport::TempDir tmp_{testsupport::UnprivilegedTempBase()};
  bool unprivileged_ = false;
  pid_t sim_ = -1;
  int simOut_ = -1;
};

TEST_F(ProgramTest, EveryCommandAgainstTheSimulator) {
  const std::string port = StartSim();
  ASSERT_FALSE(port.empty());

  Result r = Ctl({"ports", "--json"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("\"name\": \"" + port +
                       "\",\n      \"description\": \"USB Serial Device "
                       "(QM-R7 virtual headset)\""),
            std::string::npos)
      << r.out;

  r = Ctl({"info", "--port", port});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("Firmware version:  V1.23\n"), std::string::npos) << r.out;

  r = Ctl({"set", "--port=" + port, "speed-dial-1=0312", "gps-percentage=55"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "Save successfully.\n");

  r = Ctl({"get", "--port", port, "--json"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "{\n  \"port\": \"" + port + "\",\n" + R"json(  "settings": {
    "speed-dial-1": "0312",
    "speed-dial-2": "",
    "speed-dial-3": "",
    "a2dp-percentage": 20,
    "gps-percentage": 55,
    "gps-sharing": true
  }
}
)json");

  const std::string backup = tmp_ / "settings.json";
  r = Ctl({"backup", "--port", port, backup});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(ReadFile(backup).find("\"gps-percentage\": 55"), std::string::npos);
  r = Ctl({"backup", "--port", port, backup});
  EXPECT_EQ(r.exit, 2);

  r = Ctl({"restore-defaults", "--port", port});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("GPS audio share (%):  20\n"), std::string::npos) << r.out;

  r = Ctl({"restore", "--port", port, backup});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.out.find("Speed dial 1:         0312\n"), std::string::npos) << r.out;

  const std::string firmware =
      dfu::testing::WriteFirmware(tmp_ / "QMR7_124.dfu", dfu::testing::Header());
  r = Ctl({"firmware", "--port", port, firmware});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "The firmware file passes the checks for QMR7.\n");

  // The messages follow the session's language.
  r = Ctl({"set", "--port", port, "a2dp-percentage=0"}, "ja_JP.UTF-8");
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.err.rfind("qmr7ctl: a2dp-percentage: 1から100までの整数を入力してください。\n", 0),
            0u)
      << r.err;
}

// The headset's boot loader repeating the firmware's configuration string, or naming itself.
TEST_F(ProgramTest, UpgradeFailsWith7AndTheNextRunFinishesFromDfuMode) {
  struct Case {
    const char* options;
    const char* found;
  };
  for (const Case& c : {Case{"status=7@4", "(FW:QMR7_123.XPV PSR:QMR7_123.PSR)"},
                        Case{"status=7@4,loader-strings", "(1209:7208)"}}) {
    SCOPED_TRACE(c.options);
    TearDown();
    fs::remove_all(tmp_ / "runtime");
    fs::remove_all(tmp_ / "home");
    SetUp();
    ASSERT_FALSE(StartSim({"--dfu", c.options}).empty());
    const std::string firmware = dfu::testing::WriteFirmware(
        tmp_ / "QMR7_125.dfu", dfu::testing::Header("FARPOINT QM-R7", 125), 20000);

    Result r = Ctl({"upgrade", firmware});
    EXPECT_EQ(r.exit, 7) << r.err;
    EXPECT_NE(r.err.find("Result = fail_dfu_verify"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    r = Ctl({"upgrade", firmware});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.err.find(std::string("in DFU mode ") + c.found), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Firmware version:          V1.25\n"), std::string::npos) << r.out;

    r = Ctl({"info"});
    EXPECT_NE(r.out.find("Firmware version:  V1.25\n"), std::string::npos) << r.out;
  }
}

// The system refuses the resets; the simulated user replugs the headset a second after each.
TEST_F(ProgramTest, UpgradeThroughRefusedResetsAsksForAReplugEachTime) {
  ASSERT_FALSE(StartSim({"--dfu", "reset-refused"}).empty());
  const std::string firmware = dfu::testing::WriteFirmware(
      tmp_ / "QMR7_126.dfu", dfu::testing::Header("FARPOINT QM-R7", 126), 20000);
  const Result r = Ctl({"upgrade", firmware});
  EXPECT_EQ(r.exit, 0) << r.err;
  const std::string line = "Unplug the headset, plug it in again and wait";
  const auto first = r.err.find(line);
  ASSERT_NE(first, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(line, first + 1), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Firmware version:          V1.26\n"), std::string::npos) << r.out;
}

// A backup that cannot be written, met by a user without privileges: the old backup stays as it
// was, nothing is left beside it, and qmr7ctl says why.
TEST_F(ProgramTest, ABackupThatCannotBeWrittenLeavesTheOldOneWhole) {
  RunUnprivileged();
  const std::string port = StartSim();
  ASSERT_FALSE(port.empty());
  const std::string old = "{\"format\": \"qmr7-settings\", \"old\": true}\n";

  struct Case {
    const char* input;
    const char* folder;
    mode_t folderMode;
    bool fileOfRoot;  // another user's file; root only
    mode_t fileMode;
    bool fullDisk;  // root only
    const char* reason;
  };
  const Case cases[] = {
      {"a backup replaced on a full file system", "full", 0755, false, 0600, true,
       "No space left on device"},
      {"a backup replaced in a folder the user may not change (0555)", "closed", 0555, false, 0600,
       false, "Permission denied"},
      {"a backup the user made read-only (0400)", "readonly", 0700, false, 0400, false,
       "Permission denied"},
      {"another user's backup (0600) in a folder the user may change", "shared", 0700, true, 0600,
       false, "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string folder = tmp_ / c.folder;
    testsupport::SmallFileSystem disk(folder, 64);
    if ((c.fullDisk && !disk.Mounted()) || (c.fileOfRoot && !testsupport::RunningAsRoot())) {
      std::cout << "[ SKIPPED  ] " << c.input << ": needs root to set up\n";
      continue;
    }
    ASSERT_TRUE(testsupport::GiveToUnprivileged(folder, 0700));
    const std::string file = folder + "/settings.json";
    WriteFile(file, old);
    if (!c.fileOfRoot) {
      ASSERT_TRUE(testsupport::GiveToUnprivileged(file, c.fileMode));
    }
    ASSERT_EQ(::chmod(file.c_str(), c.fileMode), 0);
    if (c.fullDisk) {
      ASSERT_TRUE(disk.Fill());
    }
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);

    const Result r = Ctl({"backup", "--force", "--port", port, file});
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_EQ(r.err.rfind("qmr7ctl: Unable to write to " + file + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), old);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) {
      left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    const std::vector<std::string> expected =
        c.fullDisk ? std::vector<std::string>{"filler", "settings.json"}
                   : std::vector<std::string>{"settings.json"};
    EXPECT_EQ(left, expected);
    testsupport::RecordHostile(
        "Where files are written", std::string("qmr7ctl backup --force: ") + c.input,
        "refused with \"Unable to write to FILE: ...\" and its reason, exit 1; "
        "the old backup whole, nothing left beside it");
    ::chmod(folder.c_str(), 0700);
  }
}

TEST_F(ProgramTest, ExitCodesForWhatGoesWrong) {
  EXPECT_EQ(Ctl({}).exit, 2);
  const Result missing = Ctl({"info", "--port", tmp_ / "ttyACM7"});
  EXPECT_EQ(missing.exit, 3);
  EXPECT_NE(missing.err.find("Unable to open the COM port"), std::string::npos) << missing.err;

  WriteFile(tmp_ / "bad.json", "{\"format\": \"qmr7-settings\", \"version\": 1}");
  EXPECT_EQ(Ctl({"restore", "--port", "/dev/null", tmp_ / "bad.json"}).exit, 6);

  std::string port = StartSim({"--fault", "wrong-identity"});
  EXPECT_EQ(Ctl({"get", "--port", port}).exit, 4);
  ::kill(sim_, SIGTERM);
  ::waitpid(sim_, nullptr, 0);
  sim_ = -1;
  ::close(simOut_);
  simOut_ = -1;

  port = StartSim({"--fault", "silent"});
  const Result silent = Ctl({"get", "--port", port});
  EXPECT_EQ(silent.exit, 5);
  EXPECT_EQ(silent.err, "qmr7ctl: Time out for the device on " + port + " to respond.\n");
  EXPECT_EQ(silent.out, "");
}

}  // namespace
}  // namespace qmr7ctl
